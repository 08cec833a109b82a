// What the payload command is given: the user's arguments through "%quoted-argv%" byte for byte
// and through "%argv%" as the shell splits them, the start directory and the running file in
// its environment; a mistyped option of the stub's own runs nothing; a run that cannot fit on
// its file system is refused before anything is written.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::list_tree;
using sfx_testing::make_zip;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::TempDir;
using sfx_testing::WorkRootWatch;
using sfx_testing::ZipEntry;

constexpr char kProgram[] = "argpkg";  // Payload directory "argpkg-dir".

// Writes each argument, then the two variables, each ended by a NUL byte, to $ARGS_OUT.
const ZipEntry kRecorder = ZipEntry::file(
    "rec",
    "#!/bin/sh\n"
    "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$ARGS_OUT\"\n"
    "printf '%s\\0%s\\0' \"$SFX_START_DIR\" \"$SFX_FILE\" > \"$ARGS_OUT.env\"\n",
    0100755);

// "argpkg.bin" with the recorder and `command`, in `dir` (a directory of the test's own).
std::string make_file(const std::string& dir, const std::string& command,
                      std::vector<ZipEntry> more = {}) {
  more.insert(more.begin(), kRecorder);
  DistributableBuilder builder;
  builder.archive = make_zip(more);
  builder.command = command;
  const std::string path = dir + "/" + kProgram + ".bin";
  builder.write(path);
  return path;
}

std::vector<std::string> split_at_nul(const std::string& text) {
  std::vector<std::string> words;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
  }
  return words;
}

struct Recorded {
  RunResult run;
  std::vector<std::string> args;
  std::vector<std::string> env;  // SFX_START_DIR, SFX_FILE.
};

Recorded run_recorder(const std::string& file, const std::string& out_dir,
                      const std::vector<std::string>& args, const std::string& cwd = "") {
  const std::string out = out_dir + "/args";
  unlink(out.c_str());
  RunOptions options;
  options.cwd = cwd.empty() ? out_dir : cwd;
  options.env_set = {{"ARGS_OUT", out}, {"HOME", "/home-of-the-test"}};
  Recorded recorded;
  recorded.run = run_program(file, args, options);
  if (path_exists(out)) recorded.args = split_at_nul(read_file(out));
  if (path_exists(out + ".env")) recorded.env = split_at_nul(read_file(out + ".env"));
  return recorded;
}

const std::vector<std::string> kHostileArguments = {
    "",         "a b",       "$HOME",   "*",       ";echo X",     "it's",   "\"q\"",
    "\\",       "two\nlines", "\xff\xfe", "`id`",   "$(id)",      " lead",  "tab\there",
    "%argv%",   "%quoted-argv%", "-",    "a=b",     "'",           "!",      "~",
};

TEST(ArgumentsEndToEnd, QuotedArgumentsArriveByteForByte) {
  TempDir dir;
  const std::string file = make_file(dir.path(), "rec %quoted-argv%");
  for (const std::string& arg : kHostileArguments) {
    SCOPED_TRACE("argument [" + arg + "]");
    const Recorded r = run_recorder(file, dir.path(), {arg});
    EXPECT_EQ(r.run.exit_code, 0) << r.run.err;
    EXPECT_EQ(r.args, std::vector<std::string>{arg});
  }
  // All of them at once, in order, and none at all.
  EXPECT_EQ(run_recorder(file, dir.path(), kHostileArguments).args, kHostileArguments);
  EXPECT_EQ(run_recorder(file, dir.path(), {}).args, std::vector<std::string>{});
}

TEST(ArgumentsEndToEnd, RawArgumentsAreSplitByTheShellAsBefore) {
  TempDir dir;
  const std::string file = make_file(dir.path(), "rec %argv%");
  struct Case {
    std::vector<std::string> given;
    std::vector<std::string> arrived;
  };
  const std::vector<Case> cases = {
      {{"a b", "c"}, {"a", "b", "c"}},
      {{"$HOME"}, {"/home-of-the-test"}},
      {{"x", "", "y"}, {"x", "y"}},
      {{"'q r'"}, {"q r"}},
  };
  for (const Case& c : cases) {
    const Recorded r = run_recorder(file, dir.path(), c.given);
    EXPECT_EQ(r.run.exit_code, 0) << r.run.err;
    EXPECT_EQ(r.args, c.arrived);
  }
  // An unbalanced quote still stops the shell before the payload starts.
  const Recorded r = run_recorder(file, dir.path(), {"it's"});
  EXPECT_NE(r.run.exit_code, 0);
  EXPECT_TRUE(r.args.empty());
}

TEST(ArgumentsEndToEnd, ExtractOnlyHandedOnIsOneMoreWord) {
  TempDir dir;
  struct Case {
    const char* command;
    std::vector<std::string> given;
    std::vector<std::string> arrived;
  };
  const std::vector<Case> cases = {
      // "--no_extract_list" on the command line with "--sfx-extract-only".
      {"rec %quoted-argv%",
       {"--no_extract_list", "x y", "--sfx-extract-only"},
       {"--no_extract_list", "x y", "--sfx-extract-only"}},
      {"rec %argv%",
       {"--no_extract_list", "x y", "--sfx-extract-only"},
       {"--no_extract_list", "x", "y", "--sfx-extract-only"}},
      // "--no_extract_list" in the template (and a directory given, as the command line
      // alone does not know of the template's word).
      {"rec --no_extract_list %quoted-argv%",
       {"--sfx-extract-dir", dir.path(), "--sfx-extract-only", "a'b"},
       {"--no_extract_list", "a'b", "--sfx-extract-only"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::string file = make_file(dir.path(), c.command);
    const Recorded r = run_recorder(file, dir.path(), c.given);
    EXPECT_EQ(r.run.exit_code, 0) << r.run.err;
    EXPECT_EQ(r.args, c.arrived);
  }
}

TEST(ArgumentsEndToEnd, MistypedOwnOptionsRunAndCreateNothing) {
  TempDir dir;
  const std::string file = make_file(dir.path(), "rec %argv%");
  struct Case {
    std::vector<std::string> given;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {{"--sfx-chek"}, "--sfx-chek"},
      {{"--sfx-extract-dri", dir.path()}, "--sfx-extract-dri"},
      {{"a", "--sfx-"}, "--sfx-"},
      {{"--sfx-extract-only", "--sfx-x"}, "--sfx-x"},
      {{"--sfx-extract-dir", dir.path(), "--sfx-Info"}, "--sfx-Info"},
      {{"--sfx-\x1b[2J"}, "--sfx-\\x1b[2J"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    WorkRootWatch watch;
    const Recorded r = run_recorder(file, dir.path(), c.given);
    EXPECT_EQ(r.run.exit_code, 252);
    EXPECT_EQ(r.run.out, "");
    EXPECT_EQ(r.run.err, "-E- Unknown self-extractor option '" + c.shown +
                             "'; run with --sfx-help for the list\n");
    EXPECT_TRUE(r.args.empty()) << "the payload ran";
    EXPECT_EQ(watch.leftovers(kProgram), std::vector<std::string>{});
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"argpkg.bin"});
  }
}

TEST(ArgumentsEndToEnd, ExtractDirValueIsTakenUnexamined) {
  TempDir dir;
  const std::string file = make_file(dir.path(), "rec %argv%");
  ASSERT_EQ(mkdir((dir.path() + "/--sfx-x").c_str(), 0755), 0);
  const Recorded r =
      run_recorder(file, dir.path(), {"--sfx-extract-dir", "--sfx-x", "--sfx-extract-only"});
  EXPECT_EQ(r.run.exit_code, 0) << r.run.err;
  EXPECT_EQ(r.run.out, "Extracting to " + dir.path() + "/--sfx-x/argpkg-dir ... Done\n");
  EXPECT_TRUE(path_exists(dir.path() + "/--sfx-x/argpkg-dir/rec"));
}

TEST(ArgumentsEndToEnd, StartDirectoryAndFileInTheEnvironment) {
  TempDir dir;
  const std::string home = dir.path() + "/the vendor's files";
  const std::string start = dir.path() + "/start here $x";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(start.c_str(), 0755), 0);
  const std::string file = make_file(home, "rec %quoted-argv%");
  // Started by a relative path from the start directory, and by its absolute path.
  for (const std::string& how : {std::string("../the vendor's files/argpkg.bin"), file}) {
    SCOPED_TRACE(how);
    RunOptions options;
    options.cwd = start;
    options.env_set = {{"ARGS_OUT", dir.path() + "/args"}};
    const RunResult run = run_program(how, {"input.txt"}, options);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(split_at_nul(read_file(dir.path() + "/args.env")),
              (std::vector<std::string>{start, file}));
  }
}

// Runs `file` with `args` in a private mount namespace whose `mount` is a new tmpfs of
// `size` bytes; the output ends with "status N" and the tmpfs's contents after the run.
RunResult run_on_tmpfs(const std::string& file, const std::string& mount, std::uint64_t size,
                       const std::vector<std::string>& args) {
  std::string script =
      "mount --make-rprivate / && mount -t tmpfs -o size=" + std::to_string(size) +
      " none \"$1\" && shift && \"$@\"; echo \"status $?\"; cd \"$MOUNT\" && find . | sort";
  std::vector<std::string> argv = {"-m", "/bin/sh", "-c", script, "sh", mount, file};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.env_set = {{"MOUNT", mount}};
  return run_program("/usr/bin/unshare", argv, options);
}

TEST(ArgumentsEndToEnd, SpaceIsCheckedBeforeAnythingIsWritten) {
  if (geteuid() != 0 || run_program("/usr/bin/unshare", {"-m", "true"}).exit_code != 0) {
    GTEST_SKIP() << "needs root and a private mount namespace (unshare -m)";
  }
  TempDir dir;
  const std::string mount = dir.path() + "/small";
  ASSERT_EQ(mkdir(mount.c_str(), 0755), 0);
  // Incompressible data: the archive is about as large as the file, and each takes whole pages.
  ZipEntry blob = ZipEntry::file("blob", sfx_testing::random_bytes(127 * 4096 - 100, 5));
  blob.deflate = false;
  const std::string file = make_file(dir.path(), "rec", {blob});
  const std::uint64_t archive = make_zip({kRecorder, blob}).size();
  auto pages = [](std::uint64_t bytes) { return (bytes + 4095) / 4096 * 4096; };
  // Extract-only mode makes no archive.zip: the recorder and the blob. A normal run needs
  // archive.zip beside the payload directory too.
  const std::uint64_t files = pages(kRecorder.data.size()) + pages(blob.data.size());
  const std::uint64_t with_archive = files + pages(archive);
  const std::vector<std::string> extract_only = {"--sfx-extract-dir", mount,
                                                 "--sfx-extract-only"};
  const std::uint64_t mib = 1024 * 1024;
  auto refusal = [&](std::uint64_t need) {
    return "-E- Not enough space in " + mount + ": " + std::to_string((need + mib - 1) / mib) +
           " MB needed, " + std::to_string((need - 4096) / mib) + " MB free\n";
  };

  const RunResult fits = run_on_tmpfs(file, mount, files, extract_only);
  EXPECT_EQ(fits.err, "");
  EXPECT_EQ(fits.out, "Extracting to " + mount + "/argpkg-dir ... Done\nstatus 0\n.\n"
                      "./argpkg-dir\n./argpkg-dir/blob\n./argpkg-dir/rec\n");

  const RunResult refused = run_on_tmpfs(file, mount, files - 4096, extract_only);
  EXPECT_EQ(refused.err, refusal(files));
  EXPECT_EQ(refused.out, "status 252\n.\n");  // Nothing written, nothing left.

  // A normal run needs room for archive.zip too and runs nothing when it does not fit.
  const RunResult normal =
      run_on_tmpfs(file, mount, with_archive - 4096, {"--sfx-extract-dir", mount});
  EXPECT_EQ(normal.err, refusal(with_archive));
  EXPECT_EQ(normal.out, "status 252\n.\n");
}

TEST(ArgumentsEndToEnd, FailedWriteNamesTheEntryAndTheDirectory) {
  // The file-size limit stands in for a device that fills up while the files are written: with
  // SIGXFSZ ignored, the write fails with EFBIG after the space check has passed.
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "needs prlimit";
  TempDir dir;
  const std::string file = make_file(dir.path(), "rec", {ZipEntry::file("zeros", std::string(2 << 20, '\0'))});
  RunOptions options;
  options.cwd = dir.path();
  options.ignored_signals = {SIGXFSZ};
  const std::string payload = dir.path() + "/argpkg-dir";
  const RunResult r = run_program(
      "/usr/bin/prlimit",
      {"--fsize=" + std::to_string(1 << 20), "--", file, "--sfx-extract-dir", dir.path()},
      options);
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.out, "error writing zeros in " + payload + ": File too large\n");
  EXPECT_EQ(r.err, "-E- Failed to extract files to " + payload + "\n");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"argpkg.bin"});
}

}  // namespace
