// The payload command and the extra-tool command run as a user would start them: real
// distributable files whose programs record the arguments they receive (one per line), their
// working directory, "TEMP" and the files beside them, into a directory outside the payload.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::make_zip;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::TempDir;
using sfx_testing::WorkRootWatch;
using sfx_testing::ZipEntry;

const char kShippedTemplate[] =
    "trevalo -u --log-on-update --ssl-certificate %ca-bundle.crt% %current-dir%  %argv%";
const char kExtraTool[] = "tool2 %device% --reset";
const std::string kHelp = sfx_testing::kOptionsHelp;
const char kVersionStart[] = "SelfExtractor 1.0, pvk 4.28.0-75, built on ";

// A program for the archive that records what it sees into `record` under `name`, prints
// "<name> ran", then does what the SFX_E2E_<NAME>_* variables ask and exits.
std::string recording_script(const std::string& record, const std::string& name,
                             const std::string& env_prefix) {
  const std::string r = "'" + record + "/" + name;
  return "#!/bin/sh\n"
         "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
         r +
         ".args'\n"
         "pwd -P > " +
         r +
         ".pwd'\n"
         "printf '%s' \"${TEMP-(unset)}\" > " +
         r +
         ".temp'\n"
         "ls -A > " +
         r +
         ".files'\n"
         "echo '" +
         name +
         " ran'\n"
         "if [ -n \"$" +
         env_prefix + "_REMOVE\" ]; then rm -rf \"$" + env_prefix +
         "_REMOVE\"; fi\n"
         "if [ -n \"$" +
         env_prefix + "_SIGNAL\" ]; then kill -\"$" + env_prefix +
         "_SIGNAL\" $$; fi\n"
         "exit \"${" +
         env_prefix + "_EXIT:-0}\"\n";
}

// A distributable named `file_name` in a directory of its own, with "trevalo", "tool2",
// "ca-bundle.crt", a devices directory and a program without execute permission.
class RecordingPayload {
 public:
  RecordingPayload(const std::string& file_name, const std::string& command_template,
                   std::optional<std::string> extra_tool = kExtraTool)
      : path_(dir_ / file_name) {
    DistributableBuilder builder;
    builder.archive = make_zip({
        ZipEntry::file("trevalo", recording_script(record_.path(), "trevalo", "SFX_E2E"), 0100755),
        ZipEntry::file("tool2", recording_script(record_.path(), "tool2", "SFX_E2E_TOOL"), 0100755),
        ZipEntry::file("ca-bundle.crt", "CERTIFICATES\n", 0100644),
        ZipEntry::file("devices/", "", 040755),
        ZipEntry::file("devices/a.xml", "<device/>\n", 0100644),
        ZipEntry::file("not-executable", "#!/bin/sh\nexit 0\n", 0100644),
    });
    builder.command = command_template;
    builder.extra_tool_command = extra_tool;
    builder.write(path_);
  }

  const std::string& path() const { return path_; }
  const TempDir& dir() const { return dir_; }
  /// What `program` recorded under `what` ("args", "pwd", "temp", "files"), split into lines.
  std::vector<std::string> lines(const std::string& program, const std::string& what) const {
    std::vector<std::string> result;
    const std::string text = read_file(record_ / (program + "." + what));
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
      result.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return result;
  }
  std::string recorded(const std::string& program, const std::string& what) const {
    return read_file(record_ / (program + "." + what));
  }
  bool ran(const std::string& program) const { return path_exists(record_ / (program + ".args")); }
  void forget_runs() const {
    for (const std::string& name : list_dir(record_.path())) std::remove((record_ / name).c_str());
  }

 private:
  TempDir dir_;
  TempDir record_;
  std::string path_;
};

// The payload directory that `program` ran in, checked to be a fresh temporary work root's.
std::string temporary_payload_dir(const RecordingPayload& payload, const std::string& program,
                                  const std::string& program_name) {
  std::vector<std::string> pwd = payload.lines(program, "pwd");
  if (pwd.size() != 1) {
    ADD_FAILURE() << program << " recorded no working directory";
    return "";
  }
  const std::string prefix = "/tmp/sfxter_";
  const std::string suffix = "/" + program_name + "-dir";
  EXPECT_EQ(pwd[0].rfind(prefix, 0), 0u) << pwd[0];
  EXPECT_EQ(pwd[0].size(), prefix.size() + 6 + suffix.size()) << pwd[0];
  EXPECT_EQ(pwd[0].substr(pwd[0].size() - std::min(pwd[0].size(), suffix.size())), suffix);
  return pwd[0];
}

const std::vector<std::string> kPayloadFiles = {"ca-bundle.crt", "devices", "not-executable",
                                                "tool2", "trevalo"};

std::vector<std::string> shipped_args(const std::string& payload_dir, const std::string& start,
                                      const std::vector<std::string>& forwarded) {
  std::vector<std::string> args = {"-u",
                                   "--log-on-update",
                                   "--ssl-certificate",
                                   payload_dir + "/ca-bundle.crt",
                                   "--current-dir",
                                   start + "/ "};
  args.insert(args.end(), forwarded.begin(), forwarded.end());
  return args;
}

TEST(CommandEndToEnd, WorkedExampleWithTheShippedTemplate) {
  RecordingPayload payload("cmde2e_worked.bin", kShippedTemplate);
  TempDir start;
  WorkRootWatch watch;
  RunOptions options;
  options.cwd = start.path();
  options.env_set = {{"TEMP", "/inherited"}};
  RunResult r = run_program(payload.path(), {"-d", "03:00.0", "-y"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "trevalo ran\n\n-I- Executing cmd : tool2 -d 03:00.0 --reset\ntool2 ran\n");

  const std::string payload_dir = temporary_payload_dir(payload, "trevalo", "cmde2e_worked");
  EXPECT_EQ(payload.lines("trevalo", "args"),
            shipped_args(payload_dir, start.path(), {"-d", "03:00.0", "-y"}));
  EXPECT_EQ(payload.recorded("trevalo", "temp"), "/tmp");
  EXPECT_EQ(payload.lines("trevalo", "files"), kPayloadFiles);

  EXPECT_EQ(payload.lines("tool2", "args"), (std::vector<std::string>{"-d", "03:00.0", "--reset"}));
  EXPECT_EQ(payload.lines("tool2", "pwd"), std::vector<std::string>{payload_dir});
  EXPECT_EQ(payload.recorded("tool2", "temp"), "/tmp");
  EXPECT_FALSE(path_exists(payload_dir));
  EXPECT_EQ(watch.leftovers("cmde2e_worked"), std::vector<std::string>{});
  EXPECT_EQ(list_dir(start.path()), std::vector<std::string>{});
}

TEST(CommandEndToEnd, ShippedTemplateArgumentsAndStartDirectories) {
  RecordingPayload payload("cmde2e_args.bin", kShippedTemplate);
  TempDir scratch;
  const std::string hostile = scratch / "x$(touch PWNED)\"y";
  const std::string blank = scratch / "start dir";
  const std::string named_like_placeholder = scratch / "%current-dir%%ca-bundle.crt%";
  for (const std::string& dir : {hostile, blank, named_like_placeholder}) {
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }
  struct Case {
    const char* name;
    std::string start;
    std::vector<std::string> args;
    std::vector<std::string> received;  // After the current-directory argument.
    std::string tool_display;
    std::vector<std::string> tool_args;
  };
  const std::vector<Case> cases = {
      {"no arguments", scratch.path(), {}, {}, "tool2  --reset", {"--reset"}},
      {"device only",
       scratch.path(),
       {"-d", "03:00.0"},
       {"-d", "03:00.0"},
       "tool2 -d 03:00.0 --reset",
       {"-d", "03:00.0", "--reset"}},
      {"long device option",
       scratch.path(),
       {"--dev", "7"},
       {"--dev", "7"},
       "tool2 -d 7 --reset",
       {"-d", "7", "--reset"}},
      {"root as the start directory", "/", {"-y"}, {"-y"}, "tool2  --reset", {"--reset"}},
      // Forwarded arguments are shell text: a blank splits them, quotes group them.
      {"argument with a blank",
       scratch.path(),
       {"a b", "c"},
       {"a", "b", "c"},
       "tool2  --reset",
       {"--reset"}},
      {"argument with shell quotes",
       scratch.path(),
       {"'a b'"},
       {"a b"},
       "tool2  --reset",
       {"--reset"}},
      {"forwarded placeholders",
       scratch.path(),
       {"%device%", "%argv%"},
       {"%device%", "%argv%"},
       "tool2  --reset",
       {"--reset"}},
      {"start directory with shell characters",
       hostile,
       {"-y"},
       {"-y"},
       "tool2  --reset",
       {"--reset"}},
      {"start directory with a blank", blank, {}, {}, "tool2  --reset", {"--reset"}},
      {"start directory named like placeholders",
       named_like_placeholder,
       {},
       {},
       "tool2  --reset",
       {"--reset"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    payload.forget_runs();
    WorkRootWatch watch;
    RunOptions options;
    options.cwd = c.start;
    RunResult r = run_program(payload.path(), c.args, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "trevalo ran\n\n-I- Executing cmd : " + c.tool_display + "\ntool2 ran\n");
    const std::string payload_dir = temporary_payload_dir(payload, "trevalo", "cmde2e_args");
    EXPECT_EQ(payload.lines("trevalo", "args"),
              shipped_args(payload_dir, c.start == "/" ? "/" : c.start, c.received));
    EXPECT_EQ(payload.lines("trevalo", "files"), kPayloadFiles);
    EXPECT_EQ(payload.lines("tool2", "args"), c.tool_args);
    EXPECT_EQ(payload.lines("tool2", "files"), kPayloadFiles);
    EXPECT_EQ(watch.leftovers("cmde2e_args"), std::vector<std::string>{});
  }
  EXPECT_EQ(list_dir(hostile), std::vector<std::string>{});
  EXPECT_EQ(list_dir(scratch.path()),
            (std::vector<std::string>{"%current-dir%%ca-bundle.crt%", "start dir",
                                      "x$(touch PWNED)\"y"}));
}

TEST(CommandEndToEnd, ProgramNamesThatNeedQuoting) {
  // The program name becomes part of the payload directory, which starts the command line.
  for (const std::string name : {"cmde2e q$(touch PWNED)'x`y`.bin", "cmde2e_plain+,:@%=.bin"}) {
    SCOPED_TRACE(name);
    RecordingPayload payload(name, kShippedTemplate);
    const std::string program_name = name.substr(0, name.rfind('.'));
    WorkRootWatch watch;
    RunOptions options;
    options.cwd = payload.dir().path();
    RunResult r = run_program(payload.path(), {"-d", "1"}, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "trevalo ran\n\n-I- Executing cmd : tool2 -d 1 --reset\ntool2 ran\n");
    const std::string payload_dir = temporary_payload_dir(payload, "trevalo", program_name);
    EXPECT_EQ(payload.lines("trevalo", "args"),
              shipped_args(payload_dir, payload.dir().path(), {"-d", "1"}));
    EXPECT_EQ(payload.lines("trevalo", "files"), kPayloadFiles);
    EXPECT_EQ(payload.lines("tool2", "args"), (std::vector<std::string>{"-d", "1", "--reset"}));
    EXPECT_EQ(list_dir(payload.dir().path()), std::vector<std::string>{name});
    EXPECT_EQ(watch.leftovers(program_name), std::vector<std::string>{});
  }
}

TEST(CommandEndToEnd, ExitStatusesPassThrough) {
  struct Case {
    const char* name;
    std::string command_template;
    std::vector<std::pair<std::string, std::string>> env;
    int exit_code;
    std::string err_part;  // Expected within standard error; empty: nothing on it.
  };
  const std::vector<Case> cases = {
      {"exit code 3", "trevalo %argv%", {{"SFX_E2E_EXIT", "3"}}, 3, ""},
      {"exit code 255", "trevalo %argv%", {{"SFX_E2E_EXIT", "255"}}, 255, ""},
      {"missing program", "nothere %argv%", {}, 127, "nothere: not found"},
      {"program not executable", "not-executable", {}, 126, "Permission denied"},
      {"empty template", "", {}, 126, "Permission denied"},
      // The shell reports the signal that ended its command.
      {"killed by a signal", "trevalo", {{"SFX_E2E_SIGNAL", "9"}}, 128 + 9, "Killed"},
      {"terminated by a signal", "trevalo", {{"SFX_E2E_SIGNAL", "TERM"}}, 128 + 15, "Terminated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPayload payload("cmde2e_status.bin", c.command_template);
    WorkRootWatch watch;
    RunOptions options;
    options.cwd = payload.dir().path();
    options.env_set = c.env;
    RunResult r = run_program(payload.path(), {"-a"}, options);
    EXPECT_EQ(r.exit_code, c.exit_code);
    if (c.err_part.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(c.err_part), std::string::npos) << r.err;
    }
    // A failed payload command is never followed by the extra-tool command.
    EXPECT_EQ(r.out.find("Executing cmd"), std::string::npos) << r.out;
    EXPECT_FALSE(payload.ran("tool2"));
    EXPECT_EQ(watch.leftovers("cmde2e_status"), std::vector<std::string>{});
  }
}

TEST(CommandEndToEnd, ExtraToolRunsOnlyWhenItShould) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    bool with_extra_tool;
    int exit_code;
    bool tool_runs;
    std::string err;
    std::string out_before;  // Expected standard output before "trevalo ran\n".
    std::string out_after;   // Expected standard output after it.
  };
  const std::string tool_lines = "\n-I- Executing cmd : tool2  --reset\ntool2 ran\n";
  // clang-format off
  const std::vector<Case> cases = {
      {"plain run", {"-y"}, {}, true, 0, true, "", "", tool_lines},
      {"no extra-tool command", {"-y"}, {}, false, 0, false, "", "", ""},
      {"extra tool fails", {"-y"}, {{"SFX_E2E_TOOL_EXIT", "5"}}, true, 5, true, "", "",
       tool_lines},
      {"extra tool killed", {"-y"}, {{"SFX_E2E_TOOL_SIGNAL", "KILL"}}, true, 128 + 9, true,
       "Killed\n", "", tool_lines},
      {"payload fails", {"-y"}, {{"SFX_E2E_EXIT", "2"}}, true, 2, false, "", "", ""},
      {"help", {"-h"}, {}, true, 0, false, "", "", kHelp},
      {"long help", {"--help"}, {}, true, 0, false, "", "", kHelp},
      {"help with a failing payload", {"-h"}, {{"SFX_E2E_EXIT", "4"}}, true, 4, false, "", "",
       kHelp},
      {"version", {"-v"}, {}, true, 0, false, "", kVersionStart, ""},
      {"help and version", {"-h", "--version"}, {}, true, 0, false, "", kVersionStart, ""},
      {"query", {"--query"}, {}, true, 0, false, "", "", ""},
      {"no", {"--no"}, {}, true, 0, false, "", "", ""},
      {"online query", {"--online-query-psid"}, {}, true, 0, false, "", "", ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPayload payload(
        "cmde2e_extra.bin", "trevalo %argv%",
        c.with_extra_tool ? std::optional<std::string>(kExtraTool) : std::nullopt);
    WorkRootWatch watch;
    RunOptions options;
    options.cwd = payload.dir().path();
    options.env_set = c.env;
    RunResult r = run_program(payload.path(), c.args, options);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.err, c.err);
    // The payload command receives the options that the launcher noted as well.
    EXPECT_EQ(payload.lines("trevalo", "args"), c.args);
    EXPECT_EQ(payload.ran("tool2"), c.tool_runs);

    const std::string marker = "trevalo ran\n";
    const size_t at = r.out.find(marker);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string before = r.out.substr(0, at);
    if (c.out_before == kVersionStart) {
      // The version line, whole, before the command's output.
      EXPECT_EQ(before.rfind(kVersionStart, 0), 0u) << before;
      EXPECT_EQ(before.find('\n'), before.size() - 1) << before;
    } else {
      EXPECT_EQ(before, c.out_before);
    }
    EXPECT_EQ(r.out.substr(at + marker.size()), c.out_after);
    EXPECT_EQ(watch.leftovers("cmde2e_extra"), std::vector<std::string>{});
  }
}

TEST(CommandEndToEnd, StartDirectoryRemovedByThePayload) {
  RecordingPayload payload("cmde2e_gone.bin", kShippedTemplate);
  for (const int payload_exit : {0, 3}) {
    SCOPED_TRACE(payload_exit);
    payload.forget_runs();
    TempDir scratch;
    const std::string start = scratch / "start";
    ASSERT_EQ(mkdir(start.c_str(), 0755), 0);
    WorkRootWatch watch;
    RunOptions options;
    options.cwd = start;
    options.env_set = {{"SFX_E2E_REMOVE", start}, {"SFX_E2E_EXIT", std::to_string(payload_exit)}};
    RunResult r = run_program(payload.path(), {}, options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "-E- Failed to change directory.\n");
    EXPECT_EQ(payload.ran("tool2"), payload_exit == 0);
    EXPECT_FALSE(path_exists(start));
    EXPECT_EQ(watch.leftovers("cmde2e_gone"), std::vector<std::string>{});
  }
}

TEST(CommandEndToEnd, UserGivenWorkRoot) {
  RecordingPayload payload("cmde2e_dir.bin", kShippedTemplate);
  TempDir scratch;
  const std::string work = scratch / "work dir";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  sfx_testing::write_file(work + "/mine", "keep");
  for (const std::string& dir_arg : {work, std::string("work dir")}) {
    SCOPED_TRACE(dir_arg);
    payload.forget_runs();
    WorkRootWatch watch;
    RunOptions options;
    options.cwd = scratch.path();
    RunResult r = run_program(payload.path(), {"--sfx-extract-dir", dir_arg, "-y"}, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    const std::string payload_dir = work + "/cmde2e_dir-dir";
    EXPECT_EQ(payload.lines("trevalo", "pwd"), std::vector<std::string>{payload_dir});
    EXPECT_EQ(payload.lines("trevalo", "args"), shipped_args(payload_dir, scratch.path(), {"-y"}));
    EXPECT_EQ(payload.recorded("trevalo", "temp"), work);  // Absolute, valid from anywhere.
    EXPECT_EQ(payload.lines("tool2", "pwd"), std::vector<std::string>{payload_dir});
    EXPECT_EQ(list_dir(work), std::vector<std::string>{"mine"});
    EXPECT_EQ(watch.leftovers(), std::vector<std::string>{});
  }
}

TEST(CommandEndToEnd, ExtractOnlyHandedToThePayload) {
  RecordingPayload payload("cmde2e_noex.bin", "trevalo --no_extract_list %argv%");
  TempDir work;
  RunOptions options;
  options.cwd = payload.dir().path();
  RunResult r = run_program(
      payload.path(), {"--sfx-extract-dir", work.path(), "--sfx-extract-only", "-d", "2"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "trevalo ran\n\n-I- Executing cmd : tool2 -d 2 --reset\ntool2 ran\n");
  EXPECT_EQ(payload.lines("trevalo", "args"),
            (std::vector<std::string>{"--no_extract_list", "-d", "2", "--sfx-extract-only"}));
  EXPECT_EQ(payload.lines("trevalo", "pwd"),
            std::vector<std::string>{work.path() + "/cmde2e_noex-dir"});
  EXPECT_EQ(list_dir(work.path()), std::vector<std::string>{});
}

TEST(CommandEndToEnd, ExtractOnlyRunsNothing) {
  RecordingPayload payload("cmde2e_exonly.bin", kShippedTemplate);
  TempDir work;
  RunResult r =
      run_program(payload.path(), {"--sfx-extract-dir", work.path(), "--sfx-extract-only"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Extracting to " + work.path() + "/cmde2e_exonly-dir ... Done\n");
  EXPECT_FALSE(payload.ran("trevalo"));
  EXPECT_FALSE(payload.ran("tool2"));
  EXPECT_EQ(list_dir(work.path() + "/cmde2e_exonly-dir"), kPayloadFiles);
}

TEST(CommandEndToEnd, ShellCannotBeStarted) {
  // As an unprivileged user limited to one process the stub cannot fork its shell.
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 ||
      access("/usr/bin/prlimit", X_OK) != 0) {
    GTEST_SKIP() << "needs root, setpriv and prlimit to run the stub as a limited user";
  }
  RecordingPayload payload("cmde2e_nofork.bin", kShippedTemplate);
  ASSERT_EQ(chmod(payload.dir().path().c_str(), 0755), 0);
  WorkRootWatch watch;
  RunOptions options;
  options.cwd = payload.dir().path();
  // A sanitizer build's leak check at exit needs a process of its own as well.
  options.env_set = {{"ASAN_OPTIONS", "detect_leaks=0"}};
  RunResult r = run_program("/usr/bin/setpriv",
                            {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                             "/usr/bin/prlimit", "--nproc=1", "--", payload.path()},
                            options);
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, "-E- Failed to start /bin/sh: Resource temporarily unavailable\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(payload.ran("trevalo"));
  EXPECT_FALSE(payload.ran("tool2"));
  EXPECT_EQ(watch.leftovers("cmde2e_nofork"), std::vector<std::string>{});
}

}  // namespace
