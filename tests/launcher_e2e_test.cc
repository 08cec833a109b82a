// The launcher run as a user would: the bare stub (nothing appended) under several names and
// from several start directories. Without a payload every run that gets past the command line
// and the work root ends at the trailer check, which shows that the launcher created its
// directories and removed them again.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::TempDir;
using sfx_testing::WorkRootWatch;

const char kNoTrailer[] =
    "-E- Failed to find version pattern, qvr_fwsfx_gen is older than expected : '2.0', make "
    "sure to have the latest PVK\n";
const std::string kHelp = sfx_testing::kOptionsHelp;
const char kHint[] = "-I- Please consider using the following options:\n";

// A copy of the bare stub named `name` in its own directory.
class BareStub {
 public:
  explicit BareStub(const std::string& name) : path_(dir_ / name) {
    sfx_testing::write_file(path_, sfx_testing::read_file(sfx_testing::stub_path()), 0755);
  }
  const std::string& path() const { return path_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string path_;
};

TEST(LauncherEndToEnd, CommandLineErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--sfx-extract-dir"},
       "-E- Destination directory not specified with --sfx-extract-dir option\n"},
      {{"a", "-d"}, "-E- Devices is not Specified\n"},
      {{"--dev"}, "-E- Devices is not Specified\n"},
      {{"--sfx-extract-only", "x"},
       "-E- --sfx-extract-only option must be used in conjunction with --sfx-extract-dir "
       "option\n"},
  };
  for (const std::string name : {"fwpkg.bin", "update", ".hidden.run", "with blank.bin"}) {
    BareStub stub(name);
    for (const std::string& start : {stub.dir().path(), std::string("/")}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(name + " from " + start + ": " + c.err);
        WorkRootWatch watch;
        RunOptions options;
        options.cwd = start;
        RunResult r = run_program(stub.path(), c.args, options);
        EXPECT_EQ(r.exit_code, 252);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(watch.leftovers(), std::vector<std::string>{});
        EXPECT_EQ(list_dir(stub.dir().path()).size(), 1u);
      }
    }
  }
}

TEST(LauncherEndToEnd, WorkRootErrors) {
  BareStub stub("fwpkg.bin");
  TempDir scratch;
  sfx_testing::write_file(scratch / "file", "");
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"--sfx-extract-dir", scratch / "file"},
       "-E- " + (scratch / "file") + " is not a directory\n",
       std::string(kHint) + kHelp},
      {{"--sfx-extract-dir", scratch / "missing"},
       "-E- Failed to access directory " + (scratch / "missing") + ": No such file or directory\n",
       std::string(kHint) + kHelp},
      {{"--no_extract_list", "--sfx-extract-dir", "missing"},
       "-E- Failed to access directory missing: No such file or directory\n",
       std::string(kHint) +
           "\nSELF EXTRACTOR OPTIONS\n        --sfx-extract-dir <dir>       : Use <dir> for "
           "temporary files during execution\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    WorkRootWatch watch;
    RunOptions options;
    options.cwd = scratch.path();
    RunResult r = run_program(stub.path(), c.args, options);
    EXPECT_EQ(r.exit_code, 252);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(list_dir(scratch.path()), std::vector<std::string>{"file"});
    EXPECT_EQ(watch.leftovers(), std::vector<std::string>{});
  }

  // The version line follows the help when it was asked for.
  RunResult r = run_program(stub.path(), {"-v", "--sfx-extract-dir", scratch / "file"});
  EXPECT_EQ(r.exit_code, 252);
  ASSERT_EQ(
      r.out.rfind(std::string(kHint) + kHelp + "SelfExtractor 1.0, pvk 4.28.0-75, built on ", 0),
      0u)
      << r.out;
  EXPECT_EQ(r.out.back(), '\n');
}

TEST(LauncherEndToEnd, EmptyArgumentVector) {
  BareStub stub("fwpkg.bin");
  WorkRootWatch watch;
  RunOptions options;
  options.empty_argv = true;
  RunResult r = run_program(stub.path(), {}, options);
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.err, "-E- Missing program name: the argument vector is empty\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(watch.leftovers(), std::vector<std::string>{});
}

TEST(LauncherEndToEnd, TemporaryWorkRootRemovedAfterFailedCarving) {
  for (const std::string name : {"fwpkg.bin", "tool", "my tool.bin"}) {
    SCOPED_TRACE(name);
    BareStub stub(name);
    WorkRootWatch watch;
    RunResult r = run_program(stub.path(), {"-d", "03:00.0", "--sfx-no-pause"});
    EXPECT_EQ(r.exit_code, 252);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNoTrailer);
    EXPECT_EQ(watch.leftovers(), std::vector<std::string>{});
  }
}

TEST(LauncherEndToEnd, ExtractDirKeepsOnlyWhatWasThere) {
  // The user's directory has a blank in its name, and "<dir>/a" beside it must not be touched.
  BareStub stub("fwpkg.bin");
  TempDir scratch;
  const std::string work = scratch / "a b";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((scratch / "a").c_str(), 0755), 0);
  sfx_testing::write_file(scratch / "a/precious", "keep");
  sfx_testing::write_file(work + "/mine", "keep");
  // A payload directory left by an earlier run is replaced, then removed at the end.
  ASSERT_EQ(mkdir((work + "/fwpkg-dir").c_str(), 0755), 0);
  sfx_testing::write_file(work + "/fwpkg-dir/stale", "old");

  for (const std::string& dir_arg : {work, std::string("a b")}) {
    SCOPED_TRACE(dir_arg);
    RunOptions options;
    options.cwd = scratch.path();
    RunResult r = run_program(stub.path(), {"--sfx-extract-dir", dir_arg}, options);
    EXPECT_EQ(r.exit_code, 252);
    EXPECT_EQ(r.err, kNoTrailer);
    EXPECT_EQ(list_dir(work), std::vector<std::string>{"mine"});
    EXPECT_EQ(sfx_testing::read_file(scratch / "a/precious"), "keep");
    EXPECT_EQ(list_dir(scratch.path()), (std::vector<std::string>{"a", "a b"}));
  }
}

TEST(LauncherEndToEnd, PayloadDirectoryCannotBeCreated) {
  BareStub stub("fwpkg.bin");
  RunResult r = run_program(stub.path(), {"--sfx-extract-dir", "/proc"});
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.err, "-E- Failed to create directory /proc/fwpkg-dir: No such file or directory\n");
  EXPECT_EQ(r.out, "");
}

TEST(LauncherEndToEnd, RunningFileFoundWithoutProc) {
  // With /proc hidden the stub falls back to its start directory and argv[0].
  if (geteuid() != 0 || system("unshare -m true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root and mount namespaces to hide /proc";
  }
  if (sfx_testing::sanitized_build()) {
    GTEST_SKIP() << "the sanitizers' runtime needs /proc";
  }
  BareStub stub("fwpkg.bin");
  TempDir start;
  const std::string script = "mount -t tmpfs none /proc && cd '" + start.path() +
                             "' && exec -a fwpkg.bin '" + stub.path() + "'";
  RunResult r = run_program("/usr/bin/unshare", {"-m", "bash", "-c", script});
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.err, "-E- Failed to Extract file " + (start / "fwpkg.bin") +
                       ", No such file or directory\n");
}

}  // namespace
