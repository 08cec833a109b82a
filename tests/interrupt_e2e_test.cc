// Interrupting a run: each signal whose default action ends the process, sent while the stub
// carves, while it unpacks and while the payload command runs. The stub removes what the run
// created and ends by that signal; during the command the signal is passed on to it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::Spawned;
using sfx_testing::TempDir;
using sfx_testing::wait_for;
using sfx_testing::WorkRootWatch;
using sfx_testing::ZipEntry;

const int kSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGXFSZ,
                        SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};
// Passed on to a running command: all but those about the stub's own writes.
const int kPassedOnSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGXCPU,
                                SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};

// The signal's name as the shell's trap knows it.
std::string trap_name(int signal_number) { return sigabbrev_np(signal_number); }

// True when the process sleeps in the kernel: blocked on a FIFO or a full pipe here.
bool is_blocked(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t end_of_name = line.rfind(')');
  return end_of_name != std::string::npos && line.size() > end_of_name + 2 &&
         line[end_of_name + 2] == 'S';
}

// The payload directory of a run in a temporary work root, once it exists.
std::string find_payload_dir(const std::string& program_name) {
  for (const std::string& root : list_dir("/tmp")) {
    if (root.rfind("sfxter_", 0) != 0) continue;
    const std::string dir = "/tmp/" + root + "/" + program_name + "-dir";
    if (path_exists(dir)) return dir;
  }
  return "";
}

// An archive whose entries cannot be written (a file stands where their directory should be);
// with SFX_STUB_DEBUG each one prints a line, enough to fill a pipe that nobody reads.
std::string archive_that_floods_output() {
  std::vector<ZipEntry> entries = {ZipEntry::file("blocker", "x")};
  const std::string padding(120, 'p');
  for (int i = 0; i < 1200; ++i) {
    entries.push_back(ZipEntry::file("blocker/" + padding + std::to_string(i), "y"));
  }
  return sfx_testing::make_zip(entries);
}

std::string unique_name(const char* stage, int signal_number) {
  return std::string("intr-") + stage + "-" + std::to_string(signal_number) + "-" +
         std::to_string(getpid());
}

TEST(InterruptEndToEnd, WhileCarving) {
  for (int signal_number : kSignals) {
    SCOPED_TRACE(strsignal(signal_number));
    TempDir dir;
    const std::string name = unique_name("carve", signal_number);
    DistributableBuilder builder;
    builder.archive = sfx_testing::make_zip({ZipEntry::file("file", "data")});
    builder.command = "true";
    builder.write(dir / (name + ".bin"));
    const std::string work = dir / "work";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    sfx_testing::write_file(work + "/keep", "mine");
    // Opening a FIFO for writing waits for a reader: the stub stops inside carving.
    ASSERT_EQ(mkfifo((work + "/archive.zip").c_str(), 0600), 0);

    Spawned stub(dir / (name + ".bin"), {"--sfx-extract-dir", work});
    ASSERT_TRUE(wait_for(
        [&] { return path_exists(work + "/" + name + "-dir") && is_blocked(stub.pid()); }));
    stub.send(signal_number);
    RunResult r = stub.finish();
    EXPECT_EQ(r.term_signal, signal_number);
    EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
    EXPECT_EQ(read_file(work + "/keep"), "mine");
  }
}

TEST(InterruptEndToEnd, WhileExtracting) {
  const std::string archive = archive_that_floods_output();
  for (int signal_number : kSignals) {
    for (bool user_dir : {false, true}) {
      SCOPED_TRACE(std::string(strsignal(signal_number)) + (user_dir ? " in user dir" : ""));
      TempDir dir;
      const std::string name = unique_name(user_dir ? "dirx" : "tmpx", signal_number);
      DistributableBuilder builder;
      builder.archive = archive;
      builder.command = "true";
      builder.write(dir / (name + ".bin"));
      const std::string work = dir / "work";
      ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
      sfx_testing::write_file(work + "/keep", "mine");

      WorkRootWatch watch;
      RunOptions options;
      options.env_set = {{"SFX_STUB_DEBUG", "1"}};
      std::vector<std::string> args;
      if (user_dir) args = {"--sfx-extract-dir", work, "--sfx-extract-only"};
      // Standard output is not read until the signal was sent, so the stub blocks on it.
      Spawned stub(dir / (name + ".bin"), args, options);
      ASSERT_TRUE(wait_for([&] {
        const std::string payload = user_dir ? work + "/" + name + "-dir" : find_payload_dir(name);
        return !payload.empty() && path_exists(payload + "/blocker") && is_blocked(stub.pid());
      }));
      stub.send(signal_number);
      RunResult r = stub.finish();
      EXPECT_EQ(r.term_signal, signal_number);
      EXPECT_NE(r.out.find("error opening blocker/"), std::string::npos);
      EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
      EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
    }
  }
}

TEST(InterruptEndToEnd, WhileThePayloadRuns) {
  for (int signal_number : kPassedOnSignals) {
    SCOPED_TRACE(strsignal(signal_number));
    TempDir dir;
    const std::string name = unique_name("run", signal_number);
    std::string script = "#!/bin/sh\n";
    for (int trapped : kPassedOnSignals) {
      script += "trap 'echo " + trap_name(trapped) + " > " + (dir / "got") + "; exit 7' " +
                trap_name(trapped) + "\n";
    }
    // At most half a minute, so that a stub that fails to pass the signal on leaves no
    // process behind for long.
    script += "touch " + (dir / "started") +
              "\ni=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done\n";
    DistributableBuilder builder;
    builder.archive = sfx_testing::make_zip({ZipEntry::file("run.sh", script, 0100755)});
    builder.command = "run.sh %argv%";
    builder.extra_tool_command = "../../../../../../bin/touch " + (dir / "extra-ran");
    builder.write(dir / (name + ".bin"));

    WorkRootWatch watch;
    Spawned stub(dir / (name + ".bin"), {});
    ASSERT_TRUE(wait_for([&] { return path_exists(dir / "started"); }));
    stub.send(signal_number);
    RunResult r = stub.finish();
    EXPECT_EQ(r.term_signal, 0);
    // The command got the signal. Except for SIGINT and SIGQUIT the stub reports it as its own
    // end; those reach the shell as well, which ends by it, and that status stands.
    EXPECT_EQ(read_file(dir / "got"), trap_name(signal_number) + "\n");
    EXPECT_EQ(r.exit_code, 128 + signal_number);
    EXPECT_FALSE(path_exists(dir / "extra-ran"));
    EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
  }
}

}  // namespace
