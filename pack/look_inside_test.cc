#include "pack/look_inside.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "extract/check.h"
#include "extract/extract.h"
#include "pack/zip_entries.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::make_zip;
using sfx_testing::TempDir;
using sfx_testing::write_file;
using sfx_testing::ZipEntry;

constexpr char kStub[] = "stub image of another generator";

ZipEntry deflated(const std::string& name, const std::string& data) {
  ZipEntry entry;
  entry.name = name;
  entry.data = data;
  return entry;
}

ZipEntry stored(const std::string& name, const std::string& data, std::uint32_t mode = 0100644) {
  ZipEntry entry = deflated(name, data);
  entry.unix_mode = mode;
  entry.deflate = false;
  return entry;
}

// A distributable file as another generator would write it: a short stub, stored entries.
DistributableBuilder small_file() {
  DistributableBuilder builder;
  builder.stub = kStub;
  builder.archive =
      make_zip({stored("bin/", "", 040755), stored("bin/tool", "#!/bin/sh\n", 0104755),
                stored("b.txt", "hello")});
  builder.command = "bin/tool %argv%";
  return builder;
}

TEST(ReadDistributable, ReadsTheTrailerAndTheEntries) {
  TempDir dir;
  DistributableBuilder builder = small_file();
  builder.extra_tool_command = "tool2 %device%";
  builder.trailing = "xyz";
  builder.write(dir / "f.run");
  DistributableInfo info;
  const Status status = read_distributable(dir / "f.run", info);
  ASSERT_TRUE(status.is_ok()) << status.message();
  EXPECT_EQ(info.trailer.layout_version, "2.0");
  EXPECT_EQ(info.trailer.trailing_count, 3u);
  EXPECT_EQ(info.trailer.archive_offset, static_cast<std::int64_t>(sizeof kStub - 1));
  EXPECT_EQ(info.trailer.archive_length, builder.archive.size());
  EXPECT_EQ(info.trailer.command, "bin/tool %argv%");
  EXPECT_TRUE(info.trailer.has_extra_tool_section);
  EXPECT_EQ(info.trailer.extra_tool_command, "tool2 %device%");
  ASSERT_EQ(info.entries.size(), 3u);
  const EntryInfo& tool = info.entries[1];
  EXPECT_EQ(tool.name, "bin/tool");
  EXPECT_EQ(tool.size, 10u);
  EXPECT_EQ(tool.unix_mode(), 0104755u);
  EXPECT_EQ(tool.method, 0);
  EXPECT_EQ(tool.year, 2024);
  EXPECT_EQ(tool.month, 4);
  EXPECT_EQ(tool.day, 4);
  EXPECT_EQ(tool.hour, 20);
  EXPECT_EQ(tool.minute, 31);
  EXPECT_EQ(tool.second, 8);
  EXPECT_TRUE(info.entries[0].is_directory());
}

TEST(FormatText, ShowsTrailerAndEntries) {
  TempDir dir;
  small_file().write(dir / "f.run");
  DistributableInfo info;
  ASSERT_TRUE(read_distributable(dir / "f.run", info).is_ok());
  info.path = "f.run";
  const std::string n = std::to_string(info.trailer.archive_length);
  EXPECT_EQ(format_text(info),
            "file:               f.run\n"
            "layout version:     2.0\n"
            "trailing bytes:     0\n"
            "stub size:          31 bytes\n"
            "stub machine:       unknown\n"
            "archive offset:     31\n"
            "archive length:     " +
                n +
                " bytes\n"
                "command template:   'bin/tool %argv%'\n"
                "extra-tool command: none\n"
                "label:              none\n"
                "signature:          not signed\n"
                "entries:            3\n"
                "  mode                size    compressed  method   time                 name\n"
                "  drwxr-xr-x             0             0  store    2024-04-04 20:31:08  bin/\n"
                "  -rwsr-xr-x            10            10  store    2024-04-04 20:31:08  bin/tool\n"
                "  -rw-r--r--             5             5  store    2024-04-04 20:31:08  b.txt\n");
}

TEST(FormatJson, GivesTheSameForScripts) {
  TempDir dir;
  DistributableBuilder builder = small_file();
  builder.extra_tool_command = "say \"hi\"";
  builder.write(dir / "f.run");
  DistributableInfo info;
  ASSERT_TRUE(read_distributable(dir / "f.run", info).is_ok());
  info.path = "f.run";
  const std::string n = std::to_string(info.trailer.archive_length);
  EXPECT_EQ(format_json(info),
            "{\n"
            "  \"file\": \"f.run\",\n"
            "  \"layout_version\": \"2.0\",\n"
            "  \"trailing_bytes\": 0,\n"
            "  \"stub_size\": 31,\n"
            "  \"stub_machine\": \"unknown\",\n"
            "  \"archive_offset\": 31,\n"
            "  \"archive_length\": " +
                n +
                ",\n"
                "  \"command_template\": \"bin/tool %argv%\",\n"
                "  \"extra_tool_command\": \"say \\\"hi\\\"\",\n"
                "  \"label\": null,\n"
                "  \"signature\": null,\n"
                "  \"entries\": [\n"
                "    {\n"
                "      \"name\": \"bin/\",\n"
                "      \"type\": \"directory\",\n"
                "      \"size\": 0,\n"
                "      \"compressed_size\": 0,\n"
                "      \"method\": \"store\",\n"
                "      \"crc32\": 0,\n"
                "      \"mode\": 493,\n"
                "      \"time\": \"2024-04-04T20:31:08\",\n"
                "      \"refused\": null\n"
                "    },\n"
                "    {\n"
                "      \"name\": \"bin/tool\",\n"
                "      \"type\": \"file\",\n"
                "      \"size\": 10,\n"
                "      \"compressed_size\": 10,\n"
                "      \"method\": \"store\",\n"
                "      \"crc32\": 83598621,\n"
                "      \"mode\": 2541,\n"
                "      \"time\": \"2024-04-04T20:31:08\",\n"
                "      \"refused\": null\n"
                "    },\n"
                "    {\n"
                "      \"name\": \"b.txt\",\n"
                "      \"type\": \"file\",\n"
                "      \"size\": 5,\n"
                "      \"compressed_size\": 5,\n"
                "      \"method\": \"store\",\n"
                "      \"crc32\": 907060870,\n"
                "      \"mode\": 420,\n"
                "      \"time\": \"2024-04-04T20:31:08\",\n"
                "      \"refused\": null\n"
                "    }\n"
                "  ]\n"
                "}\n");
}

TEST(FormatJson, EscapesNamesAndKeepsTheDocumentValid) {
  TempDir dir;
  DistributableBuilder builder = small_file();
  builder.archive = make_zip({stored("q\"b\\c\x01\xc3\xa9\xff.txt", ""),
                              stored("x\xc2\x9b" "31mred", "")});
  builder.command = "tab\there";
  builder.write(dir / "f.run");
  DistributableInfo info;
  ASSERT_TRUE(read_distributable(dir / "f.run", info).is_ok());
  const std::string json = format_json(info);
  // The byte 0xFF is no UTF-8: U+FFFD stands for it, and the raw bytes come beside.
  EXPECT_NE(json.find("\"name\": \"q\\\"b\\\\c\\u0001\\u00e9\\ufffd.txt\",\n"
                      "      \"name_hex\": \"7122625c6301c3a9ff2e747874\",\n"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"command_template\": \"tab\\there\""), std::string::npos);
  EXPECT_EQ(json.find("command_template_hex"), std::string::npos);
  EXPECT_NE(format_text(info).find("command template:   'tab\\x09here'"), std::string::npos);
  // The same escapes as the stub's: control and C1 control characters and bytes that are no
  // UTF-8 as \xNN; nothing beyond ASCII reaches the terminal raw from the JSON either.
  EXPECT_NE(format_text(info).find("  q\"b\\c\\x01\xc3\xa9\\xff.txt\n"), std::string::npos);
  EXPECT_NE(format_text(info).find("  x\\xc2\\x9b31mred\n"), std::string::npos);
  EXPECT_EQ(format_text(info).find("\xc2\x9b"), std::string::npos);
  EXPECT_EQ(json.find("\xc2\x9b"), std::string::npos);
  EXPECT_NE(json.find("\"name\": \"x\\u009b31mred\""), std::string::npos) << json;
}

struct Rejection {
  const char* name;
  std::string bytes;
  std::string message;  // "@" stands for the file's path.
};

TEST(ReadDistributable, RejectsFilesWithoutASoundTrailer) {
  DistributableBuilder wrong_version = small_file();
  wrong_version.layout_version_field = DistributableBuilder::field("2.1", 8);
  DistributableBuilder too_long = small_file();
  too_long.archive_length = 100000;
  DistributableBuilder no_zip = small_file();
  no_zip.archive = "garbage";
  const std::string marker = DistributableBuilder::field("QVRT_VERSION_PATT:", 32);
  const Rejection rejections[] = {
      {"plain file", std::string(5000, 'p'), "'@' has no trailer: it is not a distributable file"},
      {"short file", "tiny", "'@' has no trailer: it is not a distributable file"},
      {"empty file", "", "'@' has no trailer: it is not a distributable file"},
      {"other layout", wrong_version.bytes(),
       "'@' has a trailer of layout version '2.1'; this sfx_pack reads '2.0'"},
      {"version cut off", std::string(400, 's') + marker + "2.0",
       "'@' has a damaged trailer: its layout version is cut off"},
      {"archive longer than the file", too_long.bytes(),
       "'@' has a damaged trailer: its archive of 100000 bytes would start before the file does"},
      {"no ZIP archive", no_zip.bytes(),
       "'@': the appended archive (7 bytes at offset 31) is not a readable ZIP archive"},
  };
  for (const Rejection& rejection : rejections) {
    SCOPED_TRACE(rejection.name);
    TempDir dir;
    const std::string path = dir / "f";
    write_file(path, rejection.bytes);
    std::string expected = rejection.message;
    expected.replace(expected.find('@'), 1, path);
    DistributableInfo info;
    const Status read = read_distributable(path, info);
    EXPECT_EQ(read.exit_status(), EXIT_PACK_INPUT_FAULT);
    EXPECT_EQ(read.message(), expected);
    std::string summary;
    EXPECT_EQ(verify_distributable(path, summary).message(), expected);
  }
  DistributableInfo info;
  EXPECT_EQ(read_distributable("/no/such/file", info).message(),
            "cannot read '/no/such/file': No such file or directory");
}

TEST(VerifyDistributable, AcceptsASoundFileWithTrailingBytes) {
  TempDir dir;
  DistributableBuilder builder = small_file();
  builder.archive = make_zip(
      {deflated("a", std::string(100000, 'a')), stored("b.txt", "hello"), deflated("d/", "")});
  builder.trailing = "signature";
  builder.write(dir / "f.run");
  std::string summary;
  const Status status = verify_distributable(dir / "f.run", summary);
  ASSERT_TRUE(status.is_ok()) << status.message();
  EXPECT_EQ(summary, dir / "f.run" + ": OK, 3 entries, archive of " +
                         std::to_string(builder.archive.size()) +
                         " bytes at offset 31, layout 2.0");
}

// Changes `builder`'s archive: `patch` gets the archive and the offsets of the local and the
// central header of the entry named `name`.
void patch_entry(DistributableBuilder& builder, const std::string& name,
                 void (*patch)(std::string&, std::size_t local, std::size_t central)) {
  std::string& zip = builder.archive;
  const std::size_t local = zip.find(std::string("PK\x03\x04", 4));
  std::size_t central = zip.find(std::string("PK\x01\x02", 4));
  while (zip.compare(central + 46, name.size(), name) != 0) {
    central = zip.find(std::string("PK\x01\x02", 4), central + 1);
  }
  std::size_t at = local;
  while (zip.compare(at + 30, name.size(), name) != 0) {
    at = zip.find(std::string("PK\x03\x04", 4), at + 1);
  }
  patch(zip, at, central);
}

struct Fault {
  const char* name;
  std::vector<ZipEntry> entries;
  void (*patch)(std::string&, std::size_t, std::size_t);
  std::string message;  // After "'PATH': ".
};

TEST(VerifyDistributable, NamesTheFirstEntryAtFault) {
  const Fault faults[] = {
      {"flipped byte in stored data",
       {stored("a", "first"), stored("b.txt", "hello"), stored("c", "x")},
       [](std::string& zip, std::size_t local, std::size_t) { zip[local + 30 + 5 + 1] ^= 1; },
       "the stub refuses entry 'b.txt': error -105 with zipfile in unzCloseCurrentFile"},
      {"flipped byte in deflated data",
       {deflated("z", std::string(5000, 'z') + "tail")},
       [](std::string& zip, std::size_t local, std::size_t) { zip[local + 30 + 1 + 3] ^= 0x40; },
       "the stub refuses entry 'z': error -3 with zipfile in unzReadCurrentFile"},
      {"unknown method",
       {stored("m", "data")},
       [](std::string& zip, std::size_t local, std::size_t central) {
         zip[local + 8] = 12;
         zip[central + 10] = 12;
       },
       "the stub refuses entry 'm': unsupported compression method 12 in entry m"},
      {"encrypted",
       {stored("e", "data")},
       [](std::string& zip, std::size_t local, std::size_t central) {
         zip[local + 6] |= 1;
         zip[central + 8] |= 1;
       },
       "the stub refuses entry 'e': encrypted entry e is not supported"},
      {"name too long for the stub",
       {stored(std::string(256, 'n'), "")},
       [](std::string&, std::size_t, std::size_t) {},
       "the stub refuses entry '" + std::string(255, 'n') + "': entry name too long (256 bytes), "
           "refusing " + std::string(255, 'n') + "..."},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    TempDir dir;
    DistributableBuilder builder = small_file();
    builder.archive = make_zip(fault.entries);
    patch_entry(builder, fault.entries[fault.entries.size() > 1 ? 1 : 0].name, fault.patch);
    builder.write(dir / "f.run");
    std::string summary;
    const Status status = verify_distributable(dir / "f.run", summary);
    EXPECT_EQ(status.exit_status(), EXIT_PACK_INPUT_FAULT);
    const std::string expected = "'" + (dir / "f.run") + "': " + fault.message;
    EXPECT_EQ(status.message().substr(0, expected.size()), expected) << status.message();
  }
}

// Entries the stub refuses, and sound ones beside them.
std::vector<ZipEntry> refused_entries() {
  return {stored("b.txt", "hello"),
          stored("a/../../evil", "x"),
          stored("/etc/cron.d/job", "x"),
          stored("ok-link", "b.txt", 0120777),
          stored("out-link", "../../etc/shadow", 0120777),
          stored("abs-link", "/etc/shadow", 0120777)};
}

TEST(Inspect, MarksWhatTheStubRefuses) {
  TempDir dir;
  DistributableBuilder builder = small_file();
  builder.archive = make_zip(refused_entries());
  builder.write(dir / "f.run");
  DistributableInfo info;
  ASSERT_TRUE(read_distributable(dir / "f.run", info).is_ok());
  const std::string text = format_text(info);
  for (const char* line :
       {"  b.txt\n", "  a/../../evil  [refused by the stub: unsafe name]\n",
        "  /etc/cron.d/job  [refused by the stub: unsafe name]\n", "  ok-link -> b.txt\n",
        "  out-link -> ../../etc/shadow  [refused by the stub: link leads outside]\n",
        "  abs-link -> /etc/shadow  [refused by the stub: link leads outside]\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  EXPECT_NE(text.find("  lrwxrwxrwx            16            16  store    "), std::string::npos)
      << text;
  const std::string json = format_json(info);
  EXPECT_NE(json.find("\"name\": \"b.txt\",\n      \"type\": \"file\",\n"), std::string::npos);
  EXPECT_NE(json.find("\"name\": \"ok-link\",\n      \"type\": \"link\",\n      \"target\": "
                      "\"b.txt\",\n"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"time\": \"2024-04-04T20:31:08\",\n      \"refused\": \"unsafe name\"\n"),
            std::string::npos);
  EXPECT_NE(json.find("\"target\": \"/etc/shadow\","), std::string::npos);
  EXPECT_NE(json.find("\"refused\": \"link leads outside\"\n"), std::string::npos);
}

TEST(VerifyDistributable, FailsOnWhatTheStubRefusesNamingEntryAndRule) {
  const std::vector<ZipEntry> all = refused_entries();
  const std::pair<std::size_t, std::string> cases[] = {
      {1, "the stub refuses entry 'a/../../evil': refusing unsafe entry name a/../../evil"},
      {2, "the stub refuses entry '/etc/cron.d/job': refusing unsafe entry name /etc/cron.d/job"},
      {4, "the stub refuses entry 'out-link': refusing symbolic link out-link -> ../../etc/shadow"},
      {5, "the stub refuses entry 'abs-link': refusing symbolic link abs-link -> /etc/shadow"},
  };
  for (const auto& [index, message] : cases) {
    SCOPED_TRACE(message);
    TempDir dir;
    DistributableBuilder builder = small_file();
    builder.archive = make_zip({all[0], all[3], all[index]});
    builder.write(dir / "f.run");
    std::string summary;
    EXPECT_EQ(verify_distributable(dir / "f.run", summary).message(),
              "'" + (dir / "f.run") + "': " + message);
  }
  TempDir dir;
  DistributableBuilder builder = small_file();
  builder.archive = make_zip({all[0], all[3]});
  builder.write(dir / "f.run");
  std::string summary;
  EXPECT_TRUE(verify_distributable(dir / "f.run", summary).is_ok());
}

// The stub's --sfx-check verdict on the archive of the distributable file `path`: "" when it
// passes, else "the stub refuses entry '<name>': <its line>".
std::string stub_verdict(const std::string& path, const DistributableBuilder& builder) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  const ArchiveSource archive = {fd, builder.stub.size(), builder.archive.size()};
  CapturedLines lines;
  ArchiveTotals totals;
  std::string failed_entry;
  const int checked = check_archive(archive, totals, failed_entry);
  close(fd);
  if (checked == EXTRACT_OK) return "";
  return "the stub refuses entry '" + failed_entry + "': " + lines.first_line();
}

// Entries of 2 GiB and beyond, with ZIP64 sizes or without: verify passes what the stub unpacks
// and refuses what it refuses with its line, never for a size limit of its own. (Declared sizes
// larger than the data make the stub refuse without 4 GiB being written here.)
TEST(VerifyDistributable, SizesGetTheStubsVerdict) {
  auto declared = [](std::uint32_t size) {
    sfx_testing::RawZipEntry entry = sfx_testing::RawZipEntry::stored("big", "abc");
    entry.uncompressed_size = size;
    return sfx_testing::make_raw_zip({entry});
  };
  const struct {
    const char* name;
    std::string archive;
    bool passes;
  } cases[] = {
      {"ZIP64 sizes of a small entry", sfx_testing::make_zip64_zip("big", "abc"), true},
      {"2^31+1 bytes declared", declared((1u << 31) + 1), false},
      {"2^32-1 bytes declared", declared(0xFFFFFFFFu), false},
      {"2^32+5 bytes declared in ZIP64", sfx_testing::make_zip64_zip("big", "abc", (1ull << 32) + 5),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    DistributableBuilder builder = small_file();
    builder.archive = c.archive;
    builder.write(dir / "f.run");
    const std::string stub = stub_verdict(dir / "f.run", builder);
    std::string summary;
    const Status status = verify_distributable(dir / "f.run", summary);
    EXPECT_EQ(stub.empty(), c.passes) << stub;
    if (c.passes) {
      EXPECT_TRUE(status.is_ok()) << status.message();
    } else {
      EXPECT_EQ(status.message(), "'" + (dir / "f.run") + "': " + stub);
    }
    EXPECT_EQ(status.message().find("4 GiB"), std::string::npos);
  }
}

TEST(VerifyDistributable, RefusesAnArchiveStartingAt4GiB) {
  TempDir dir;
  DistributableBuilder builder = small_file();
  builder.stub = "";
  const std::string tail = builder.bytes();
  const int fd = open((dir / "f.run").c_str(), O_WRONLY | O_CREAT, 0755);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), off_t{1} << 32),
            static_cast<ssize_t>(tail.size()));
  close(fd);
  std::string summary;
  EXPECT_EQ(verify_distributable(dir / "f.run", summary).message(),
            "'" + (dir / "f.run") +
                "': the archive starts at 4294967296, at 4 GiB or beyond, where the stub cannot "
                "find it");
}

}  // namespace
