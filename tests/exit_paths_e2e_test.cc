// Every way a run can end, short of SIGKILL, removes what the run created and reports a true
// status: output to a closed pipe, a file-size limit, a payload that leaves a tree its user
// cannot write, a umask that would make the payload directory unenterable, a parent that
// ignores SIGCHLD or SIGHUP, and a shell that cannot be started.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::mode_of;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::Spawned;
using sfx_testing::TempDir;
using sfx_testing::wait_for;
using sfx_testing::WorkRootWatch;
using sfx_testing::ZipEntry;

// The unprivileged user that runs the stub where root's privileges would hide the fault.
constexpr uid_t kUser = 65534;
const char kSetpriv[] = "/usr/bin/setpriv";
// Far enough up to reach "/" from any payload directory in these tests.
const char kUp[] = "../../../../../../../../..";

std::string unique_name(const std::string& what) {
  return "exit-" + what + "-" + std::to_string(getpid());
}

// A distributable file named `name` + ".bin" in a directory of its own, readable by kUser.
struct Distributable {
  Distributable(const std::string& file_name, const std::string& archive,
                const std::string& command,
                const std::optional<std::string>& extra_tool = std::nullopt)
      : name(file_name), path(dir / (file_name + ".bin")) {
    DistributableBuilder builder;
    builder.archive = archive;
    builder.command = command;
    builder.extra_tool_command = extra_tool;
    builder.write(path);
    chmod(dir.path().c_str(), 0755);
  }
  TempDir dir;
  std::string name;
  std::string path;
};

// A user directory for "--sfx-extract-dir" holding one file of the user's, owned by `owner`.
std::string make_user_dir(const TempDir& dir, uid_t owner) {
  const std::string work = dir / "work";
  EXPECT_EQ(mkdir(work.c_str(), 0755), 0);
  sfx_testing::write_file(work + "/keep", "mine");
  EXPECT_EQ(lchown(work.c_str(), owner, owner), 0);
  EXPECT_EQ(lchown((work + "/keep").c_str(), owner, owner), 0);
  return work;
}

bool can_run_as_user() { return geteuid() == 0 && access(kSetpriv, X_OK) == 0; }

// Runs `program` with `args` as kUser, from `cwd` (which kUser must be able to enter).
RunResult run_as_user(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd) {
  RunOptions options;
  options.cwd = cwd;
  std::vector<std::string> full = {"--reuid=" + std::to_string(kUser),
                                   "--regid=" + std::to_string(kUser), "--clear-groups", "--",
                                   program};
  full.insert(full.end(), args.begin(), args.end());
  // A sanitizer build's leak check at exit runs a process of its own; leave it out here.
  options.env_set.push_back({"ASAN_OPTIONS", "detect_leaks=0"});
  return run_program(kSetpriv, full, options);
}

// Shell lines that wait until `path` exists, for half a minute at most, so that a failed test
// leaves no process behind for long.
std::string wait_for_file(const std::string& path) {
  return "i=0; while [ ! -e '" + path +
         "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done\n";
}

// A script for the archive: run.sh with `body`.
std::string script_archive(const std::string& body) {
  return sfx_testing::make_zip({ZipEntry::file("run.sh", "#!/bin/sh\n" + body, 0100755)});
}

TEST(ExitPathsEndToEnd, OutputToAClosedPipe) {
  // The stub's own lines meet a pipe that nobody reads: it cleans up and ends by SIGPIPE.
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool extra_tool;
  };
  const std::vector<Case> cases = {
      {"version", {"-v"}, false},   // The version line, before the payload command.
      {"extra", {}, true},          // "-I- Executing cmd" before the extra-tool command.
      {"help", {"--help"}, false},  // The options help after the payload command.
  };
  for (const Case& c : cases) {
    for (bool user_dir : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (user_dir ? " in user dir" : ""));
      TempDir record;
      const std::string name = unique_name(std::string("pipe-") + c.what);
      Distributable file(
          name, script_archive("touch " + (record / "payload-ran") + "\n"), "run.sh %argv%",
          c.extra_tool ? std::optional<std::string>(std::string(kUp) + "/bin/touch " +
                                                    (record / "extra-ran"))
                       : std::nullopt);
      std::vector<std::string> args = c.args;
      std::string work;
      if (user_dir) {
        work = make_user_dir(file.dir, 0);
        args.insert(args.begin(), {"--sfx-extract-dir", work});
      }
      WorkRootWatch watch;
      RunOptions options;
      options.stdout_closed = true;
      RunResult r = run_program(file.path, args, options);
      EXPECT_EQ(r.term_signal, SIGPIPE);
      EXPECT_EQ(r.err, "");
      EXPECT_FALSE(path_exists(record / "extra-ran"));
      EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
      if (user_dir) {
        EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
      }
    }
  }
}

TEST(ExitPathsEndToEnd, FileSizeLimit) {
  // A write past the limit raises SIGXFSZ: the partial file goes with the rest of the run.
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "needs prlimit";
  ZipEntry random = ZipEntry::file("random", sfx_testing::random_bytes(3 << 19, 11));
  random.deflate = false;
  const ZipEntry zeros = ZipEntry::file("zeros", std::string(16 << 20, '\0'));
  struct Case {
    const char* stage;
    ZipEntry entry;
  };
  const std::vector<Case> cases = {
      {"carve", random},   // archive.zip itself outgrows the limit.
      {"extract", zeros},  // archive.zip fits, the unpacked file does not.
  };
  const std::string limit = std::to_string(1 << 20);
  for (const Case& c : cases) {
    for (bool user_dir : {false, true}) {
      SCOPED_TRACE(std::string(c.stage) + (user_dir ? " in user dir" : ""));
      const std::string name = unique_name(std::string("fsize-") + c.stage);
      const std::string archive = sfx_testing::make_zip({c.entry});
      ASSERT_EQ(archive.size() > (1u << 20), std::string(c.stage) == "carve");
      Distributable file(name, archive, "true");
      std::vector<std::string> args = {"--fsize=" + limit, "--", file.path};
      std::string work;
      if (user_dir) {
        work = make_user_dir(file.dir, 0);
        args.insert(args.end(), {"--sfx-extract-dir", work});
      }
      WorkRootWatch watch;
      RunResult r = run_program("/usr/bin/prlimit", args);
      EXPECT_EQ(r.term_signal, SIGXFSZ);
      EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
      if (user_dir) {
        EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
      }
    }
  }
}

TEST(ExitPathsEndToEnd, TreeThatThePayloadMadeUnwritable) {
  // A payload run by an ordinary user takes away its own permissions on directories of its
  // tree; clean-up gives them back and removes everything, but changes nothing outside.
  if (!can_run_as_user()) GTEST_SKIP() << "needs root and setpriv to run the stub as a user";
  for (bool user_dir : {false, true}) {
    SCOPED_TRACE(user_dir ? "in user dir" : "in a temporary work root");
    TempDir outside;
    ASSERT_EQ(chmod(outside.path().c_str(), 0755), 0);
    const std::string locked = outside / "locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    sfx_testing::write_file(locked + "/kept", "outside");
    ASSERT_EQ(chown(locked.c_str(), kUser, kUser), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0500), 0);
    const std::string body =
        "set -e\n"
        "mkdir -p a/b/c d e f\n"
        "echo x > a/b/c/file; echo x > d/file; echo x > e/file; echo x > f/file\n"
        "ln -s '" +
        locked +
        "' a/b/link\n"
        "chmod 000 a/b/c\n"
        "chmod 555 a/b\n"
        "chmod 000 d\n"
        "chmod 444 e\n"
        "chmod 311 f\n" +
        (user_dir ? "" : "chmod 555 ..\n") +
        "chmod 000 .\n"
        "echo done\n";
    const std::string name = unique_name(user_dir ? "ro-dir" : "ro-tmp");
    Distributable file(name, script_archive(body), "run.sh");
    std::vector<std::string> args;
    std::string work;
    if (user_dir) {
      work = make_user_dir(file.dir, kUser);
      args = {"--sfx-extract-dir", work};
    }
    WorkRootWatch watch;
    RunResult r = run_as_user(file.path, args, file.dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
    if (user_dir) {
      EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
      EXPECT_EQ(mode_of(work), 0755u);
    }
    EXPECT_EQ(mode_of(locked), 0500u);
    EXPECT_EQ(read_file(locked + "/kept"), "outside");
  }
}

TEST(ExitPathsEndToEnd, PayloadDirectoryIsEnteredWhateverTheUmask) {
  // A umask that takes the owner's search permission would make a payload directory that an
  // ordinary user cannot enter; the stub gives its directory mode 0700 whatever the umask.
  if (!can_run_as_user()) GTEST_SKIP() << "needs root and setpriv to run the stub as a user";
  const std::string name = unique_name("enter");
  Distributable file(name, script_archive("echo ran\n"), "run.sh");
  const std::string work = make_user_dir(file.dir, kUser);
  sfx_testing::UmaskScope mask(0100);
  RunResult r = run_as_user(file.path, {"--sfx-extract-dir", work}, file.dir.path());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "ran\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
}

TEST(ExitPathsEndToEnd, ParentThatIgnoresSigchld) {
  // The stub waits for its commands even when it inherits an ignored SIGCHLD.
  TempDir record;
  const std::string name = unique_name("chld");
  Distributable file(name, script_archive("echo payload\n"), "run.sh",
                     std::string(kUp) + "/bin/touch " + (record / "extra-ran"));
  WorkRootWatch watch;
  RunOptions options;
  options.ignored_signals = {SIGCHLD};
  RunResult r = run_program(file.path, {}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "payload\n\n-I- Executing cmd : " + std::string(kUp) + "/bin/touch " +
                       (record / "extra-ran") + "\n");
  EXPECT_TRUE(path_exists(record / "extra-ran"));
  EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
}

TEST(ExitPathsEndToEnd, CommandsGetTheDispositionsTheStubWasStartedWith) {
  // Ignored signals stay ignored for the payload; the others reach it at their default, with
  // nothing blocked. The masks are read from the payload's own process.
  struct Case {
    std::vector<int> ignored;
    unsigned long long expected_ignored;
  };
  const unsigned long long pipe_bit = 1ull << (SIGPIPE - 1);
  const unsigned long long hup_bit = 1ull << (SIGHUP - 1);
  const std::vector<Case> cases = {{{}, 0}, {{SIGPIPE, SIGHUP}, pipe_bit | hup_bit}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected_ignored);
    TempDir record;
    const std::string name = unique_name("dispositions");
    // exec: the masks of the program the payload's shell runs, not of an extra shell.
    Distributable file(name,
                       script_archive("exec grep -E '^Sig(Ign|Blk)' /proc/self/status > " +
                                      (record / "status") + "\n"),
                       "run.sh");
    RunOptions options;
    options.ignored_signals = c.ignored;
    RunResult r = run_program(file.path, {}, options);
    ASSERT_EQ(r.exit_code, 0);
    const std::string status = read_file(record / "status");
    const size_t ignored_at = status.find("SigIgn:");
    const size_t blocked_at = status.find("SigBlk:");
    ASSERT_NE(ignored_at, std::string::npos) << status;
    ASSERT_NE(blocked_at, std::string::npos) << status;
    const unsigned long long ignored = std::strtoull(status.c_str() + ignored_at + 7, nullptr, 16);
    const unsigned long long blocked = std::strtoull(status.c_str() + blocked_at + 7, nullptr, 16);
    EXPECT_EQ(blocked, 0u);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGUSR1}) {
      // What the test itself ignores reaches the stub as well; SIGPIPE is reset for it.
      struct sigaction own = {};
      sigaction(signal_number, nullptr, &own);
      const unsigned long long bit = 1ull << (signal_number - 1);
      const bool inherited = own.sa_handler == SIG_IGN && signal_number != SIGPIPE;
      EXPECT_EQ((ignored & bit) != 0, (c.expected_ignored & bit) != 0 || inherited)
          << strsignal(signal_number);
    }
  }
}

TEST(ExitPathsEndToEnd, NohupKeepsSighupIgnored) {
  // Under nohup a SIGHUP neither stops the run nor changes its status.
  TempDir record;
  const std::string name = unique_name("nohup");
  const std::string body = "touch " + (record / "started") + "\n" + wait_for_file(record / "go");
  Distributable file(name, script_archive(body), "run.sh",
                     std::string(kUp) + "/bin/touch " + (record / "extra-ran"));
  WorkRootWatch watch;
  Spawned stub("/usr/bin/nohup", {file.path});
  ASSERT_TRUE(wait_for([&] { return path_exists(record / "started"); }));
  stub.send(SIGHUP);
  usleep(200 * 1000);
  sfx_testing::write_file(record / "go", "");
  RunResult r = stub.finish();
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(path_exists(record / "extra-ran"));
  EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
}

TEST(ExitPathsEndToEnd, SignalsAboutOwnWritesWaitForTheCommand) {
  // SIGPIPE and SIGXFSZ concern the stub's own writes: one sent while the command runs is not
  // handed on; it takes effect when the command has ended, with the clean-up.
  for (int signal_number : {SIGPIPE, SIGXFSZ}) {
    SCOPED_TRACE(strsignal(signal_number));
    TempDir record;
    const std::string name = unique_name("own-" + std::to_string(signal_number));
    const std::string body = "trap 'echo got > " + (record / "got") + "' PIPE XFSZ\ntouch " +
                             (record / "started") + "\n" + wait_for_file(record / "go") + "touch " +
                             (record / "ended") + "\n";
    Distributable file(name, script_archive(body), "run.sh",
                       std::string(kUp) + "/bin/touch " + (record / "extra-ran"));
    WorkRootWatch watch;
    Spawned stub(file.path, {});
    ASSERT_TRUE(wait_for([&] { return path_exists(record / "started"); }));
    stub.send(signal_number);
    usleep(200 * 1000);
    sfx_testing::write_file(record / "go", "");
    RunResult r = stub.finish();
    EXPECT_EQ(r.term_signal, signal_number);
    EXPECT_TRUE(path_exists(record / "ended"));
    EXPECT_FALSE(path_exists(record / "got"));
    EXPECT_FALSE(path_exists(record / "extra-ran"));
    EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
  }
}

TEST(ExitPathsEndToEnd, NoShell) {
  // In a private mount namespace an empty file system hides the directory that holds sh.
  if (geteuid() != 0 || system("unshare -m true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root and mount namespaces to hide /bin/sh";
  }
  char bin[PATH_MAX];
  ASSERT_NE(realpath("/bin", bin), nullptr);
  const std::string name = unique_name("nosh");
  Distributable file(name, script_archive("echo ran\n"), "run.sh");
  ASSERT_NE(file.path.rfind(std::string(bin) + "/", 0), 0u);
  WorkRootWatch watch;
  RunResult r = run_program(
      "/usr/bin/unshare", {"-m", "--propagation", "private", "/bin/sh", "-c",
                           "mount -t tmpfs sfx_nosh \"$1\" && exec \"$2\"", "sh", bin, file.path});
  EXPECT_EQ(r.exit_code, 127);
  EXPECT_EQ(r.err, "-E- Failed to start /bin/sh: No such file or directory\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
}

TEST(ExitPathsEndToEnd, CommandLineTooLongForTheSystem) {
  // Two arguments that each pass on their own make a command line past the 128 KiB that the
  // system takes for one argument.
  TempDir record;
  const std::string name = unique_name("e2big");
  Distributable file(name, script_archive("touch " + (record / "ran") + "\n"), "run.sh %argv%",
                     std::string(kUp) + "/bin/touch " + (record / "extra-ran"));
  WorkRootWatch watch;
  RunResult r = run_program(file.path, {std::string(70000, 'a'), std::string(70000, 'b')});
  EXPECT_EQ(r.exit_code, 127);
  EXPECT_EQ(r.err, "-E- Failed to start /bin/sh: Argument list too long\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(path_exists(record / "ran"));
  EXPECT_FALSE(path_exists(record / "extra-ran"));
  EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
}

// Runs `file` through prlimit with `limit` (or directly when empty) and `args`.
RunResult run_with_limit(const std::string& limit, const std::string& file,
                         const std::vector<std::string>& args) {
  if (limit.empty()) return run_program(file, args);
  std::vector<std::string> all = {limit, "--", file};
  all.insert(all.end(), args.begin(), args.end());
  return run_program("/usr/bin/prlimit", all);
}

TEST(ExitPathsEndToEnd, DeepTreeLeftByThePayload) {
  // 1,500 levels: more than the descriptors a process may have open (1,024 by default), and
  // far more than under a limit of 12.
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "needs prlimit";
  // One path of 1,500 "d" parts (3,000 bytes, within what one system call takes).
  const std::string body =
      "p=d; i=1; while [ $i -lt 1500 ]; do p=$p/d; i=$((i + 1)); done\n"
      "mkdir -p $p && touch $p/f && echo done\n";
  for (const char* limit : {"", "--nofile=12"}) {
    for (bool user_dir : {false, true}) {
      SCOPED_TRACE(std::string(limit) + (user_dir ? " in user dir" : ""));
      const std::string name = unique_name("deep");
      Distributable file(name, script_archive(body), "run.sh");
      std::vector<std::string> args;
      std::string work;
      if (user_dir) {
        work = make_user_dir(file.dir, 0);
        args = {"--sfx-extract-dir", work};
      }
      WorkRootWatch watch;
      RunResult r = run_with_limit(limit, file.path, args);
      EXPECT_EQ(r.exit_code, 0);
      EXPECT_EQ(r.out, "done\n");
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
      if (user_dir) {
        EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
      }
    }
  }
}

TEST(ExitPathsEndToEnd, LowDescriptorLimit) {
  // From too few descriptors to make the payload directory up to just enough for the shell:
  // whatever fails says so, and nothing is left behind.
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "needs prlimit";
  if (sfx_testing::sanitized_build()) {
    // The undefined-behaviour checks probe memory through a pipe of their own, and report a
    // fault where none is when no descriptor is left for it.
    GTEST_SKIP() << "the sanitizers' run-time needs descriptors of its own";
  }
  const std::string name = unique_name("nofile");
  Distributable file(name,
                     sfx_testing::make_zip({ZipEntry::file("run.sh",
                                                           "#!/bin/sh\nmkdir -p x/y/z && echo "
                                                           "done\n",
                                                           0100755),
                                            ZipEntry::file("a/b/c/data", "data")}),
                     "run.sh");
  for (int limit = 4; limit <= 12; ++limit) {
    for (bool user_dir : {false, true}) {
      SCOPED_TRACE(std::to_string(limit) + (user_dir ? " in user dir" : ""));
      std::vector<std::string> args;
      std::string work;
      if (user_dir) {
        work = file.dir / ("work-" + std::to_string(limit));
        ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
        args = {"--sfx-extract-dir", work};
      }
      WorkRootWatch watch;
      RunResult r = run_with_limit("--nofile=" + std::to_string(limit), file.path, args);
      if (r.exit_code == 0) {
        EXPECT_EQ(r.out, "done\n");
        EXPECT_EQ(r.err, "");
      } else {
        EXPECT_NE(r.err, "");
        EXPECT_EQ(r.out.find("done"), std::string::npos);
      }
      EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
      if (user_dir) {
        EXPECT_EQ(list_dir(work), std::vector<std::string>{});
      }
    }
  }
}

}  // namespace
