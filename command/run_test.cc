#include "command/run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "command/command_lists.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::read_file;
using sfx_testing::TempDir;
using sfx_testing::write_file;

TEST(MapShellStatusTest, RawStatuses) {
  struct Case {
    int raw;
    int expected;
  };
  const std::vector<Case> cases = {
      {-1, -1},               // No shell: stays -1, not 255.
      {0, 0},                 // Exit code 0.
      {3 << 8, 3},            // Exit code 3.
      {127 << 8, 127},        // Missing program.
      {255 << 8, 255},        // Highest exit code.
      {SIGKILL, 128 + 9},     // Killed: a failure, never 0.
      {SIGSEGV | 0x80, 139},  // Killed with a core dump.
      {SIGTERM, 128 + 15},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map_shell_status(c.raw), c.expected) << "raw status " << c.raw;
  }
}

TEST(RunShellTest, ExitStatusesOfRealCommands) {
  TempDir dir;
  write_file(dir / "not-executable", "#!/bin/sh\nexit 0\n", 0644);
  struct Case {
    std::string command_line;
    int expected;
  };
  const std::vector<Case> cases = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"exit 255", 255},
      {dir / "missing-program", 127},
      {dir / "not-executable", 126},
      {"kill -9 $$", 128 + 9},
      {"sh -c 'kill -9 $$'", 128 + 9},
      {"kill -TERM $$", 128 + 15},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map_shell_status(run_shell(c.command_line)), c.expected) << c.command_line;
  }
}

TEST(RunShellTest, CommandInheritsDirectoryAndEnvironment) {
  TempDir dir;
  TempDir other;
  char old_dir[4096];
  ASSERT_NE(getcwd(old_dir, sizeof old_dir), nullptr);
  ASSERT_EQ(chdir(other.path().c_str()), 0);
  setenv("SFX_RUN_TEST_VALUE", "v a l", 1);
  const int status = run_shell("pwd > '" + (dir / "pwd") +
                               "'; printf %s \"$SFX_RUN_TEST_VALUE\" > '" + (dir / "env") + "'");
  unsetenv("SFX_RUN_TEST_VALUE");
  ASSERT_EQ(chdir(old_dir), 0);
  EXPECT_EQ(map_shell_status(status), 0);
  EXPECT_EQ(read_file(dir / "pwd"), other.path() + "\n");
  EXPECT_EQ(read_file(dir / "env"), "v a l");
}

// A payload directory with blanks, quotes and shell characters in its name, holding a tool
// that records its arguments one per line.
class RunPayloadTest : public testing::Test {
 protected:
  void SetUp() override {
    extra_commands.clear();
    display_commands.clear();
    payload_dir_ = dir_ / "it's a \"dir\" $(touch PWNED) `x`";
    ASSERT_EQ(mkdir(payload_dir_.c_str(), 0755), 0);
    write_file(payload_dir_ + "/tool",
               "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + (dir_ / "args") +
                   "'\nexit \"${EXIT_WITH:-0}\"\n",
               0755);
    ctx_.cwd = "/start dir";
  }
  void TearDown() override {
    extra_commands.clear();
    display_commands.clear();
  }

  TempDir dir_;
  std::string payload_dir_;
  LaunchContext ctx_;
};

TEST_F(RunPayloadTest, RunsTheToolInsideAPayloadDirectoryThatNeedsQuoting) {
  CarveResult carve;
  carve.command_template = "tool %ca-bundle.crt% %current-dir% %argv%";
  extra_commands = {"tool %device%"};
  ctx_.device_option = "-d 1";
  EXPECT_EQ(run_payload_command(carve, "a 'b c'", payload_dir_, ctx_), 0);
  EXPECT_EQ(read_file(dir_ / "args"),
            payload_dir_ + "/ca-bundle.crt\n--current-dir\n/start dir/ \na\nb c\n");
  EXPECT_FALSE(sfx_testing::path_exists("PWNED"));
  EXPECT_FALSE(sfx_testing::path_exists(payload_dir_ + "/PWNED"));
  // The extra-tool command's run form is a working command line as well.
  ASSERT_EQ(extra_commands.size(), 1u);
  EXPECT_EQ(map_shell_status(run_shell(extra_commands[0])), 0);
  EXPECT_EQ(read_file(dir_ / "args"), "-d\n1\n");
}

TEST_F(RunPayloadTest, ExitCodeOfTheCommandIsReturned) {
  CarveResult carve;
  carve.command_template = "tool";
  setenv("EXIT_WITH", "3", 1);
  EXPECT_EQ(run_payload_command(carve, "", payload_dir_, ctx_), 3);
  unsetenv("EXIT_WITH");
  carve.command_template = "";  // Runs the directory itself.
  EXPECT_EQ(run_payload_command(carve, "", payload_dir_, ctx_), 126);
  carve.command_template = "missing";
  EXPECT_EQ(run_payload_command(carve, "", payload_dir_, ctx_), 127);
}

class ExtraToolLoopTest : public testing::Test {
 protected:
  void TearDown() override {
    extra_commands.clear();
    display_commands.clear();
  }
  TempDir dir_;
};

TEST_F(ExtraToolLoopTest, EveryCommandRunsAndTheLastStatusStands) {
  struct Case {
    const char* name;
    std::vector<std::string> run;
    int expected;
  };
  const std::vector<Case> cases = {
      {"none", {}, 0},
      {"first fails, second succeeds", {"exit 4", "exit 0"}, 0},
      {"first succeeds, second fails", {"exit 0", "exit 5"}, 5},
      {"last one killed", {"exit 0", "kill -9 $$"}, 137},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    extra_commands.clear();
    display_commands.clear();
    std::string expected_out;
    for (size_t i = 0; i < c.run.size(); ++i) {
      const std::string shown = "shown " + std::to_string(i);
      display_commands.push_back(shown);
      // Each command prints a line of its own, which must follow the information line.
      extra_commands.push_back("echo ran " + std::to_string(i) + "; " + c.run[i]);
      expected_out += "\n-I- Executing cmd : " + shown + "\nran " + std::to_string(i) + "\n";
    }
    testing::internal::CaptureStdout();
    const int status = run_extra_tool_commands();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected_out);
    EXPECT_EQ(status, c.expected);
  }
}

}  // namespace
