#include "launcher/space_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::make_raw_zip;
using sfx_testing::RawZipEntry;
using sfx_testing::TempDir;
using sfx_testing::write_file;

struct statvfs file_system(std::uint64_t block, std::uint64_t free_blocks,
                           std::uint64_t free_inodes, std::uint64_t inodes = 1000) {
  struct statvfs fs = {};
  fs.f_bsize = block;
  fs.f_frsize = block;
  fs.f_bfree = fs.f_bavail = free_blocks;
  fs.f_ffree = fs.f_favail = free_inodes;
  fs.f_files = inodes;
  return fs;
}

TEST(SpaceNeed, FilesTakeWholeBlocks) {
  struct Case {
    std::vector<std::uint64_t> sizes;
    std::uint64_t bytes;
  };
  const std::vector<Case> cases = {
      {{}, 0},
      {{0}, 0},
      {{1}, 4096},
      {{4096}, 4096},
      {{4097}, 8192},
      {{1, 1, 1}, 3 * 4096},
      {{5ULL << 32}, 5ULL << 32},  // Sizes past 4 GiB are not cut.
  };
  for (const Case& c : cases) {
    SpaceNeed need;
    for (std::uint64_t size : c.sizes) need.add_file(size, 4096);
    EXPECT_EQ(need.bytes, c.bytes);
    EXPECT_EQ(need.inodes, c.sizes.size());
  }
}

TEST(CompareSpace, MessagesAndLimits) {
  struct Case {
    const char* label;
    SpaceNeed need;
    struct statvfs fs;
    int result;
    std::string err;
  };
  const std::uint64_t mib = 1024 * 1024;
  const std::vector<Case> cases = {
      {"exact fit", {256 * 4096, 10}, file_system(4096, 256, 10), 0, ""},
      {"one block short",
       {257 * 4096, 10},
       file_system(4096, 256, 10),
       -1,
       "-E- Not enough space in /w\x1b: 2 MB needed, 1 MB free\n"},
      {"needed rounded up, free down",
       {3 * mib + 1, 1},
       file_system(4096, (3 * mib) / 4096, 10),
       -1,
       "-E- Not enough space in /w\x1b: 4 MB needed, 3 MB free\n"},
      {"one inode short",
       {4096, 11},
       file_system(4096, 256, 10),
       -1,
       "-E- Not enough inodes in /w\x1b: 11 needed, 10 free\n"},
      {"no inode count kept", {4096, 11}, file_system(4096, 256, 0, 0), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::internal::CaptureStderr();
    // The name is printed as every message prints names: a control byte escaped.
    EXPECT_EQ(compare_space(c.fs, c.need, "/w\x1b"), c.result);
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.err.empty()) {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(err.substr(0, 26), c.err.substr(0, 26));
      EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
      EXPECT_EQ(err.substr(err.find(':')), c.err.substr(c.err.find(':')));
    }
  }
}

// The need is read from the central headers: a file's declared size in whole blocks, a block
// for a directory, an inode each. An archive that unpacking would refuse is not judged here.
TEST(MeasureArchive, CountsWhatUnpackingWritesOrLeavesItToUnpacking) {
  const std::vector<RawZipEntry> sound = {RawZipEntry::stored("d/", "", 040755),
                                          RawZipEntry::stored("d/a", std::string(5000, 'a')),
                                          RawZipEntry::stored("b", "")};
  std::string overlapping = make_raw_zip(sound);
  // b's central header points at d/a's local header: the layout check refuses it.
  sfx_testing::put_le32(
      overlapping, sfx_testing::header_at(overlapping, "PK\1\2", 2) + 42,
      static_cast<std::uint32_t>(sfx_testing::header_at(overlapping, "PK\3\4", 1)));
  struct Case {
    const char* label;
    std::string zip;
    bool measured;
    std::uint64_t bytes;
    std::uint64_t inodes;
  };
  const std::vector<Case> cases = {
      {"files and a directory", make_raw_zip(sound), true, 4096 + 2 * 4096 + 0, 3},
      {"no entries", make_raw_zip({}), true, 0, 0},
      {"count disagrees with the end record", make_raw_zip(sound, 2), false, 0, 0},
      {"an entry pointing at another's local header", overlapping, false, 0, 0},
      {"no archive", "just text", false, 0, 0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(dir / "a.zip", c.zip);
    const int fd = open((dir / "a.zip").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    SpaceNeed need;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool measured = measure_archive({fd, 0, c.zip.size()}, 4096, need);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // Unpacking reports, once.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    close(fd);
    EXPECT_EQ(measured, c.measured);
    if (c.measured) {
      EXPECT_EQ(need.bytes, c.bytes);
      EXPECT_EQ(need.inodes, c.inodes);
    }
  }
}

}  // namespace
