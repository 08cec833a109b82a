#include "pack/archive_writer.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::text_bytes;

using sfx_testing::read_file;
using sfx_testing::TempDir;
using sfx_testing::write_file;

constexpr char kPrefix[] = "STUB IMAGE BYTES";

std::string random_bytes(std::size_t size, unsigned seed = 1) {
  return sfx_testing::random_bytes(size, seed);
}

// Every byte value equally often, yet one 256-byte pattern over and over.
std::string patterned_bytes(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 256);
  return data;
}

struct ReadEntry {
  std::string name;
  std::string data;
  int method = -1;
  std::uint32_t external = 0;
  std::uint32_t made_by = 0;
  std::uint32_t dos_date = 0;
  std::uint64_t compressed = 0;
};

// Reads a ZIP archive with minizip, checking every entry's CRC-32.
std::vector<ReadEntry> read_zip(const std::string& path) {
  std::vector<ReadEntry> entries;
  unzFile zip = unzOpen64(path.c_str());
  EXPECT_NE(zip, nullptr) << "not a ZIP archive";
  if (zip == nullptr) return entries;
  for (int result = unzGoToFirstFile(zip); result == UNZ_OK; result = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    char name[512];
    EXPECT_EQ(unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0),
              UNZ_OK);
    ReadEntry entry;
    entry.name = name;
    entry.method = static_cast<int>(info.compression_method);
    entry.external = static_cast<std::uint32_t>(info.external_fa);
    entry.made_by = static_cast<std::uint32_t>(info.version);
    entry.dos_date = static_cast<std::uint32_t>(info.dosDate);
    entry.compressed = info.compressed_size;
    EXPECT_EQ(unzOpenCurrentFile(zip), UNZ_OK);
    char buffer[65536];
    int got = 0;
    while ((got = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0)
      entry.data.append(buffer, got);
    EXPECT_EQ(got, 0) << entry.name;
    EXPECT_EQ(unzCloseCurrentFile(zip), UNZ_OK) << "CRC-32 of " << entry.name;
    entries.push_back(entry);
  }
  unzClose(zip);
  return entries;
}

class ArchiveWriterTest : public ::testing::Test {
 protected:
  PackEntry add_file(const std::string& name, const std::string& data, mode_t mode = 0644,
                     std::int64_t mtime = 1712262668) {
    write_file(dir_ / ("in-" + std::to_string(count_++)), data, mode);
    PackEntry entry;
    entry.name = name;
    entry.path = dir_ / ("in-" + std::to_string(count_ - 1));
    entry.mode = S_IFREG | mode;
    entry.size = data.size();
    entry.mtime = mtime;
    struct stat info;
    EXPECT_EQ(stat(entry.path.c_str(), &info), 0);
    entry.seen_mtime = info.st_mtim;
    entry.seen_device = info.st_dev;
    entry.seen_inode = info.st_ino;
    return entry;
  }

  static PackEntry directory(const std::string& name, mode_t mode = 0755) {
    PackEntry entry;
    entry.name = name;
    entry.is_directory = true;
    entry.mode = S_IFDIR | mode;
    entry.mtime = 1712262668;
    return entry;
  }

  // Writes the archive behind a prefix, as behind a stub; returns the archive's bytes.
  std::string pack(const std::vector<PackEntry>& entries, const ArchiveOptions& options) {
    const std::string path = dir_ / "out";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    std::fputs(kPrefix, file);
    std::uint64_t length = 0;
    const Status status = write_archive(entries, options, file, length);
    EXPECT_TRUE(status.is_ok()) << status.message();
    std::fclose(file);
    const std::string bytes = read_file(path);
    EXPECT_EQ(bytes.substr(0, sizeof kPrefix - 1), kPrefix);
    EXPECT_EQ(length, bytes.size() - (sizeof kPrefix - 1));
    return bytes.substr(sizeof kPrefix - 1);
  }

  // Packs and reads back through a file holding the archive alone, as the stub carves it.
  std::vector<ReadEntry> round_trip(const std::vector<PackEntry>& entries,
                                    const ArchiveOptions& options) {
    write_file(dir_ / "carved.zip", pack(entries, options));
    return read_zip(dir_ / "carved.zip");
  }

  Status pack_fault(const std::vector<PackEntry>& entries, const ArchiveOptions& options,
                    const std::string& output) {
    std::FILE* file = std::fopen(output.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    std::uint64_t length = 0;
    const Status status = write_archive(entries, options, file, length);
    std::fclose(file);
    return status;
  }

  TempDir dir_;
  int count_ = 0;
};

TEST_F(ArchiveWriterTest, EntriesKeepNamesDataModesAndTimes) {
  const std::vector<PackEntry> entries = {
      directory("bin/"),
      add_file("bin/run", "#!/bin/sh\necho run\n" + text_bytes(2000), 0755),
      add_file("empty", ""),
      directory("nothing/", 0700),
      add_file("random.bin", random_bytes(5000)),
      add_file("read-only", "fixed", 0444, 1000000000),
  };
  const std::vector<ReadEntry> read = round_trip(entries, ArchiveOptions{});
  ASSERT_EQ(read.size(), entries.size());
  for (std::size_t i = 0; i < read.size(); ++i) {
    SCOPED_TRACE(entries[i].name);
    EXPECT_EQ(read[i].name, entries[i].name);
    EXPECT_EQ(read[i].made_by >> 8, 3u);  // Unix
    EXPECT_EQ(read[i].external >> 16, entries[i].mode);
    EXPECT_EQ(read[i].dos_date, dos_date_time(entries[i].mtime));
    if (!entries[i].is_directory) {
      EXPECT_EQ(read[i].data, read_file(entries[i].path));
    }
  }
  EXPECT_EQ(read[0].external & 0xFFFF, 0x10u);  // MS-DOS directory bit
  EXPECT_EQ(read[0].method, 0);
  EXPECT_EQ(read[1].method, Z_DEFLATED);
  EXPECT_EQ(read[1].external & 0xFFFF, 0u);
  EXPECT_EQ(read[2].method, 0);
  EXPECT_EQ(read[4].method, 0);  // Random bytes do not shrink: stored.
  EXPECT_EQ(read[4].compressed, 5000u);
  EXPECT_EQ(read[5].external & 0xFFFF, 0x01u);  // MS-DOS read-only bit
}

struct MethodCase {
  const char* name;
  std::function<std::string()> data;
  int level;
  std::size_t held_chunks;
  int method;
};

TEST_F(ArchiveWriterTest, ChoosesTheSmallerOfDeflateAndStore) {
  const std::string random_then_zeros = random_bytes(200000) + std::string(600000, '\0');
  const MethodCase cases[] = {
      {"text in one piece", [] { return text_bytes(30000); }, 6, 16, Z_DEFLATED},
      {"random in one piece", [] { return random_bytes(30000); }, 6, 16, 0},
      {"text in pieces", [] { return text_bytes(700000); }, 6, 16, Z_DEFLATED},
      {"random in pieces, all held", [] { return random_bytes(700000); }, 6, 100, 0},
      {"random in pieces, measured", [] { return random_bytes(700000); }, 6, 2, 0},
      {"random then zeros, measured", [&] { return random_then_zeros; }, 6, 2, Z_DEFLATED},
      {"random then zeros, held", [&] { return random_then_zeros; }, 6, 100, Z_DEFLATED},
      {"patterned", [] { return patterned_bytes(700000); }, 6, 16, Z_DEFLATED},
      {"text at level 0", [] { return text_bytes(700000); }, 0, 16, 0},
      {"text at level 1", [] { return text_bytes(700000); }, 1, 16, Z_DEFLATED},
  };
  for (const MethodCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = c.data();
    ArchiveOptions options;
    options.level = c.level;
    options.chunk_size = 64 * 1024;
    options.held_chunks = c.held_chunks;
    options.jobs = 2;
    const std::vector<ReadEntry> read = round_trip({add_file("f", data)}, options);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].method, c.method);
    EXPECT_TRUE(read[0].data == data);
    if (c.method == 0) {
      EXPECT_EQ(read[0].compressed, data.size());
    } else {
      EXPECT_LT(read[0].compressed, data.size());
    }
  }
}

TEST_F(ArchiveWriterTest, PatternedBytesAreNotTakenForRandomOnes) {
  // Evenly spread byte values, as in random data, but deflate shrinks them to almost nothing.
  ArchiveOptions options;
  const std::vector<ReadEntry> read =
      round_trip({add_file("p", patterned_bytes(1 << 20))}, options);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_LT(read[0].compressed, 20000u);
}

TEST_F(ArchiveWriterTest, DeflatesAboutAsWellAsOneStream) {
  // Pieces primed with the bytes before them lose next to nothing against zlib in one go.
  const std::string data = text_bytes(3 << 20) + random_bytes(1 << 20) + text_bytes(1 << 20);
  ArchiveOptions options;
  options.jobs = 2;
  const std::vector<ReadEntry> read = round_trip({add_file("f", data)}, options);
  ASSERT_EQ(read.size(), 1u);
  uLongf whole = compressBound(data.size());
  std::string buffer(whole, '\0');
  ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(buffer.data()), &whole,
                      reinterpret_cast<const Bytef*>(data.data()), data.size(), 6),
            Z_OK);
  EXPECT_LT(static_cast<double>(read[0].compressed), static_cast<double>(whole) * 1.01);
}

TEST_F(ArchiveWriterTest, OutputDoesNotDependOnTheNumberOfThreads) {
  const std::vector<PackEntry> entries = {
      directory("d/"),
      add_file("d/a", text_bytes(900000), 0755),
      add_file("d/b", random_bytes(500000)),
      add_file("d/c", random_bytes(150000, 2) + std::string(400000, 'z')),
      add_file("d/e", ""),
      add_file("small", "x"),
  };
  ArchiveOptions options;
  options.chunk_size = 64 * 1024;
  options.held_chunks = 3;
  options.jobs = 1;
  const std::string one = pack(entries, options);
  for (const int jobs : {2, 3, 8}) {
    options.jobs = jobs;
    EXPECT_TRUE(pack(entries, options) == one) << jobs << " jobs";
  }
  write_file(dir_ / "carved.zip", one);
  const std::vector<ReadEntry> read = read_zip(dir_ / "carved.zip");
  ASSERT_EQ(read.size(), entries.size());
  for (std::size_t i = 1; i < read.size(); ++i) {
    EXPECT_TRUE(read[i].data == read_file(entries[i].path)) << entries[i].name;
  }
}

TEST_F(ArchiveWriterTest, StoredLengthIsExact) {
  const std::vector<PackEntry> entries = {directory("a/"), add_file("a/b", text_bytes(100000)),
                                          add_file("c", "")};
  ArchiveOptions options;
  options.level = 0;
  EXPECT_EQ(pack(entries, options).size(), stored_archive_length(entries));
}

TEST_F(ArchiveWriterTest, EmptyArchiveIsTheEndRecordAlone) {
  EXPECT_EQ(pack({}, ArchiveOptions{}), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

TEST_F(ArchiveWriterTest, Faults) {
  ArchiveOptions options;
  options.chunk_size = 64 * 1024;
  PackEntry missing = add_file("gone", "data");
  missing.path = dir_ / "no-such-file";
  EXPECT_EQ(pack_fault({missing}, options, dir_ / "o").message(),
            "cannot read '" + (dir_ / "no-such-file") + "': No such file or directory");

  // The file is shorter than when it was listed.
  for (const std::uint64_t size : {10ull, 300000ull}) {
    PackEntry shrunk = add_file("shrunk", text_bytes(size - 1));
    shrunk.size = size;
    EXPECT_EQ(pack_fault({shrunk}, options, dir_ / "o").message(),
              "'" + shrunk.path + "' changed while it was being packed");
  }

  // Longer than when it was listed, or written to since: cut at the listed size, or a mix of
  // old and new bytes.
  for (const std::uint64_t size : {0ull, 10ull, 300000ull}) {
    PackEntry grown = add_file("grown", text_bytes(size + 1));
    grown.size = size;
    EXPECT_EQ(pack_fault({grown}, options, dir_ / "o").message(),
              "'" + grown.path + "' changed while it was being packed");
    PackEntry rewritten = add_file("rewritten", text_bytes(size));
    rewritten.seen_mtime.tv_nsec = (rewritten.seen_mtime.tv_nsec + 1) % 1000000000;
    EXPECT_EQ(pack_fault({rewritten}, options, dir_ / "o").message(),
              "'" + rewritten.path + "' changed while it was being packed");
    PackEntry replaced = add_file("replaced", text_bytes(size));
    const PackEntry other = add_file("other", text_bytes(size));
    replaced.seen_inode = other.seen_inode;  // As if "other" had stood there when listed.
    EXPECT_EQ(pack_fault({replaced}, options, dir_ / "o").message(),
              "'" + replaced.path + "' changed while it was being packed");
  }

  ArchiveOptions small = options;
  small.max_length = 1000;
  EXPECT_EQ(pack_fault({add_file("big", random_bytes(2000))}, small, dir_ / "o").message(),
            "the archive would be longer than 1000 bytes, the most a distributable file can "
            "carry");

  EXPECT_EQ(pack_fault({add_file("f", random_bytes(300000))}, options, "/dev/full").message(),
            "cannot write the archive: No space left on device");
}

class LocalTime : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz != nullptr) saved_ = tz;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

std::uint32_t dos(int year, int month, int day, int hour, int minute, int second) {
  return (static_cast<std::uint32_t>(day + (month << 5) + ((year - 1980) << 9)) << 16) |
         static_cast<std::uint32_t>(second / 2 + (minute << 5) + (hour << 11));
}

TEST_F(LocalTime, DosDateTimeIsLocalTimeWithinTheDosRange) {
  EXPECT_EQ(dos_date_time(1712262668), dos(2024, 4, 4, 20, 31, 8));
  EXPECT_EQ(dos_date_time(1712262669), dos(2024, 4, 4, 20, 31, 8));  // Two-second steps.
  EXPECT_EQ(dos_date_time(315532800), dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(dos_date_time(0), dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(dos_date_time(-100000), dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(dos_date_time(4354819199), dos(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(dos_date_time(5000000000), dos(2107, 12, 31, 23, 59, 58));
  setenv("TZ", "CET-1", 1);
  tzset();
  EXPECT_EQ(dos_date_time(1712262668), dos(2024, 4, 4, 21, 31, 8));
}

}  // namespace
