// The stub in a directory that others share: a world-writable sticky "--sfx-extract-dir" (as
// /var/tmp is) where another local user planted links, FIFOs and archives, or swaps files
// during the run;
// a running file with a path too long to open by name; two runs in one directory; names
// that carry terminal escapes. None of these may run anything but the file's own payload.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::Spawned;
using sfx_testing::TempDir;
using sfx_testing::wait_for;
using sfx_testing::write_file;
using sfx_testing::ZipEntry;

// A payload whose command prints `word`; an attacker's prints "PWNED".
std::string payload_saying(const std::string& word) {
  return sfx_testing::make_zip(
      {ZipEntry::file("trevalo", "#!/bin/sh\necho " + word + "\n", 0100755)});
}

void write_distributable(const std::string& path, const std::string& archive) {
  DistributableBuilder builder;
  builder.archive = archive;
  builder.command = "trevalo";
  builder.write(path);
}

bool have(const std::string& tool) {
  return run_program("/bin/sh", {"-c", "command -v " + tool}).exit_code == 0;
}

class SharedDirTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(shared_.c_str(), 0777), 0);
    // World-writable with the sticky bit: others may add names, but not rename or remove the
    // stub's (without it the stub refuses the directory).
    ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    write_distributable(file_, payload_saying("genuine"));
  }
  RunResult run(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--sfx-extract-dir", shared_};
    args.insert(args.end(), extra.begin(), extra.end());
    RunOptions options;
    options.cwd = dir_.path();
    options.timeout_seconds = 30;
    return run_program(file_, args, options);
  }

  TempDir dir_;
  const std::string shared_ = dir_ / "shared";
  const std::string file_ = dir_ / "fwpkg.bin";
};

TEST_F(SharedDirTest, PlantedLinkIsNotWrittenThrough) {
  const std::string victim = dir_ / "victim";
  write_file(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), (shared_ + "/archive.zip").c_str()), 0);
  RunResult r = run();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "genuine\n");
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_EQ(list_dir(shared_), std::vector<std::string>{});
}

TEST_F(SharedDirTest, FifoAndPlantedZipNeitherHangNorRun) {
  write_file(shared_ + "/archive.zip.zip", payload_saying("PWNED"));
  struct Case {
    const char* label;
    std::string archive;
    int status;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"sound file", payload_saying("genuine"), 0, "genuine\n", ""},
      {"damaged download", "this is no ZIP archive", 252, "", "-E- No valid attachment found\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_distributable(file_, c.archive);
    unlink((shared_ + "/archive.zip").c_str());
    ASSERT_EQ(mkfifo((shared_ + "/archive.zip").c_str(), 0666), 0);
    RunResult r = run();
    EXPECT_EQ(r.exit_code, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(list_dir(shared_), std::vector<std::string>{"archive.zip.zip"});
  }
}

// Another user keeps replacing archive.zip with an archive of their own while root runs the
// file: what runs is always the file's own payload.
TEST_F(SharedDirTest, ArchiveSwappedByAnotherUserIsNeverRun) {
  if (getuid() != 0 || !have("setpriv")) GTEST_SKIP() << "needs root and setpriv";
  const std::string evil = dir_ / "evil.zip";
  write_file(evil, payload_saying("PWNED"), 0644);
  const std::string stop = dir_ / "stop";
  const std::string loop = "while [ ! -e '" + stop + "' ]; do cp '" + evil + "' '" + shared_ +
                           "/.x' 2>/dev/null && mv -f '" + shared_ + "/.x' '" + shared_ +
                           "/archive.zip' 2>/dev/null; done";
  Spawned attacker("/usr/bin/setpriv",
                   {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c", loop});
  for (int i = 0; i < 10; ++i) {
    RunResult r = run();
    // Either the run went ahead with its own payload, or the attacker's file took the name
    // between removal and creation and the run stopped there.
    if (r.exit_code == 0) {
      EXPECT_EQ(r.out, "genuine\n");
    } else {
      EXPECT_EQ(r.exit_code, 252);
      EXPECT_EQ(r.err, "-E- Failed to open file " + shared_ + "/archive.zip\n");
    }
    EXPECT_EQ(r.out.find("PWNED"), std::string::npos);
  }
  write_file(stop, "");
  attacker.finish();
}

TEST_F(SharedDirTest, OverlappingRunsDoNotRemoveEachOthersPayload) {
  const std::string started = dir_ / "started";
  const std::string go = dir_ / "go";
  write_distributable(
      file_,
      sfx_testing::make_zip({ZipEntry::file("trevalo",
                                            "#!/bin/sh\ntouch '" + started + "'\nwhile [ ! -e '" +
                                                go + "' ]; do sleep 0.05; done\ncat data\n",
                                            0100755),
                             ZipEntry::file("data", "first run's data\n")}));
  RunOptions options;
  options.cwd = dir_.path();
  Spawned first(file_, {"--sfx-extract-dir", shared_}, options);
  ASSERT_TRUE(wait_for([&] { return path_exists(started); }));

  RunResult second = run();
  EXPECT_EQ(second.exit_code, 252);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "-E- " + shared_ + "/fwpkg-dir is in use by another run\n");
  EXPECT_EQ(read_file(shared_ + "/fwpkg-dir/data"), "first run's data\n");

  write_file(go, "");
  RunResult r = first.finish();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "first run's data\n");
  EXPECT_EQ(list_dir(shared_), std::vector<std::string>{});
}

// The running file's path is 1024 bytes or longer; a file named by its first 1023 bytes holds
// another payload. The stub reads itself, not whatever the cut name names.
TEST(LongPathEndToEnd, RunningFileIsReadThroughItsDescriptor) {
  TempDir dir;
  std::string path = dir.path();
  while (path.size() < 1000) {
    path += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  }
  const std::string file = path + "/" + std::string(1100 - path.size(), 'f');
  ASSERT_GE(file.size(), 1024u);
  write_distributable(file, payload_saying("genuine"));
  write_distributable(file.substr(0, 1023), payload_saying("PWNED"));
  RunResult r = run_program(file, {});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "genuine\n");
  EXPECT_EQ(r.err, "");
}

TEST(EscapesEndToEnd, NamesFromTheArchiveArePrintable) {
  TempDir dir;
  const std::string file = dir / "esc.bin";
  write_distributable(file, sfx_testing::make_zip({ZipEntry::file("../\x1b]0;owned\x07", "x")}));
  RunResult r = run_program(file, {});
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.out, "refusing unsafe entry name ../\\x1b]0;owned\\x07\n");
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

}  // namespace
