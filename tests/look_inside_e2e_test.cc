// The stub's look-inside options run as the people who receive a file would run them: on files
// made by the test builder and by sfx_pack, alone and among other words, on damaged archives and
// on files without a valid trailer. They print what the file holds, create nothing (no work
// root, nothing in the start directory or an extract directory) and never run the payload's
// command, which here would leave a marker file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::first_data_offset;
using sfx_testing::list_tree;
using sfx_testing::local_date;
using sfx_testing::make_zip;
using sfx_testing::pack_path;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::stub_path;
using sfx_testing::TempDir;
using sfx_testing::UmaskScope;
using sfx_testing::WorkRootWatch;
using sfx_testing::ZipEntry;

// Central European rules, so that a time shown in UTC or without summer time is caught.
constexpr char kTimeZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr char kProgram[] = "lookpkg";
constexpr std::time_t kWinterNoon = 1705316400;  // 2024-01-15 12:00:00 local time
// The payload command of every file here: it leaves the marker when it runs.
constexpr char kMarkerScript[] = "#!/bin/sh\ntouch \"$SFX_TEST_MARKER\"\n";

ZipEntry entry(const std::string& name, const std::string& data, std::uint32_t mode,
               std::tm date = local_date(2024, 7, 15, 12)) {
  ZipEntry e = ZipEntry::file(name, data, mode);
  e.mtime = date;
  return e;
}

// Every kind of entry the listing shows differently: an executable, directories with and
// without a Unix mode, a stored file dated in winter, set-user-ID bits, a file without a Unix
// mode, a link, and a name with a control character.
std::string known_archive() {
  ZipEntry firmware =
      entry("data/fw.bin", std::string(1000, 'f'), 0100640, local_date(2024, 1, 15, 12));
  firmware.deflate = false;
  ZipEntry dos = entry("dos.txt", "made without a Unix mode", 0);
  dos.external_attr = 0x20;
  ZipEntry dos_dir = entry("tools/", "", 0);
  dos_dir.external_attr = 0x10;
  return make_zip({
      entry("trevalo", kMarkerScript, 0100755),
      entry("data/", "", 040755),
      firmware,
      entry("bin/suid", "#!/bin/sh\n", 0104755),
      dos,
      entry("latest", "data/fw.bin", 0120777),
      entry("odd\x1bname", "x", 0100600),
      dos_dir,
  });
}

// A file in a directory of its own, which is also where it is started.
class LookFile {
 public:
  LookFile() = default;
  explicit LookFile(const DistributableBuilder& builder) { builder.write(path_); }

  const std::string& path() const { return path_; }
  const TempDir& dir() const { return dir_; }
  std::string marker() const { return scratch_ / "ran"; }

  RunResult run(const std::vector<std::string>& args) const {
    RunOptions options;
    options.cwd = dir_.path();
    options.env_set = {{"TZ", kTimeZone}, {"SFX_TEST_MARKER", marker()}};
    return run_program(path_, args, options);
  }

 private:
  TempDir dir_;
  TempDir scratch_;  // For the marker, outside the start directory.
  std::string path_ = dir_ / (std::string(kProgram) + ".bin");
};

DistributableBuilder known_builder() {
  DistributableBuilder builder;
  builder.archive = known_archive();
  builder.command = "trevalo %argv%";
  builder.extra_tool_command = "trevalo extra";
  builder.trailing = "tail!";
  return builder;
}

const char kKnownListing[] =
    "-rwxr-xr-x           35 2024-07-15 12:00:00 trevalo\n"
    "drwxr-xr-x            0 2024-07-15 12:00:00 data/\n"
    "-rw-r-----         1000 2024-01-15 12:00:00 data/fw.bin\n"
    "-rwsr-xr-x           10 2024-07-15 12:00:00 bin/suid\n"
    "-rw-r--r--           24 2024-07-15 12:00:00 dos.txt\n"
    "lrwxrwxrwx           11 2024-07-15 12:00:00 latest -> data/fw.bin\n"
    "-rw-------            1 2024-07-15 12:00:00 odd\\x1bname\n"
    "drwxr-xr-x            0 2024-07-15 12:00:00 tools/\n"
    "total: 8 entries, 1081 bytes\n";

// What --sfx-help prints, the stub's own options.
const char kStubOptions[] =
    "Options of the self-extractor (taken by it, never passed to the payload command):\n"
    "  --sfx-extract-dir <dir>  unpack into <dir> instead of a new /tmp/sfxter_XXXXXX directory\n"
    "  --sfx-extract-only       with --sfx-extract-dir: unpack and keep the files, run nothing\n"
    "  --sfx-no-pause           accepted and ignored\n"
    "  --sfx-info               describe this file: layout, commands, archive; run nothing\n"
    "  --sfx-list               list the archive's entries: mode, size, time, name; run nothing\n"
    "  --sfx-check              read every entry as unpacking would, write nothing; run nothing\n"
    "  --sfx-help               show these options\n"
    "Every other argument is passed to the payload command; a word that begins with --sfx-\n"
    "and is none of the above is refused.\n";

void expect_nothing_created(const LookFile& file, const WorkRootWatch& watch) {
  EXPECT_EQ(watch.leftovers(kProgram), std::vector<std::string>{});
  EXPECT_EQ(list_tree(file.dir().path()), std::vector<std::string>{std::string(kProgram) + ".bin"});
  EXPECT_FALSE(path_exists(file.marker())) << "the payload command ran";
}

TEST(LookInsideEndToEnd, InfoOfKnownPayload) {
  const DistributableBuilder builder = known_builder();
  LookFile file(builder);
  const std::string stub_size = std::to_string(builder.stub.size());
  WorkRootWatch watch;
  RunResult r = file.run({"--sfx-info"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "file:               " + file.path() +
                       "\n"
                       "layout version:     2.0\n"
                       "stub size:          " +
                       stub_size +
                       " bytes\n"
                       "stub machine:       " +
                       sfx_testing::machine_name_of(sfx_testing::stub_path()) +
                       "\n"
                       "archive offset:     " +
                       stub_size +
                       "\n"
                       "archive length:     " +
                       std::to_string(builder.archive.size()) +
                       " bytes\n"
                       "trailing bytes:     5\n"
                       "command template:   'trevalo %argv%'\n"
                       "extra-tool command: 'trevalo extra'\nlabel:              none\nsignature:  "
                       "        not signed\n"
                       "entries:            8\n"
                       "unpacked size:      1081 bytes\n");
  expect_nothing_created(file, watch);
}

TEST(LookInsideEndToEnd, ListOfKnownPayloadShowsModesAsUnpackingGivesThem) {
  LookFile file(known_builder());
  struct Case {
    mode_t umask_bits;
    std::string listing;
  };
  // Directories and files without a Unix mode get theirs less the umask; stored modes stay.
  std::string private_listing = kKnownListing;
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"drwxr-xr-x            0 2024-07-15 12:00:00 data/",
            "drwx------            0 2024-07-15 12:00:00 data/"},
           {"-rw-r--r--           24", "-rw-------           24"},
           {"drwxr-xr-x            0 2024-07-15 12:00:00 tools/",
            "drwx------            0 2024-07-15 12:00:00 tools/"}}) {
    private_listing.replace(private_listing.find(from), from.size(), to);
  }
  for (const Case& c : {Case{022, kKnownListing}, Case{077, private_listing}}) {
    SCOPED_TRACE(c.umask_bits);
    UmaskScope mask(c.umask_bits);
    WorkRootWatch watch;
    RunResult r = file.run({"--sfx-list"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, c.listing);
    expect_nothing_created(file, watch);
  }
}

TEST(LookInsideEndToEnd, CheckAndHelpOfKnownPayload) {
  LookFile file(known_builder());
  WorkRootWatch watch;
  RunResult check = file.run({"--sfx-check"});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(check.err, "");
  EXPECT_EQ(check.out, file.path() + ": OK, 8 entries, 1081 bytes\n");
  RunResult help = file.run({"--sfx-help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out, kStubOptions);
  expect_nothing_created(file, watch);

  // The marker shows a run: without a look-inside option the payload command leaves it.
  RunResult ran = file.run({});
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
  EXPECT_TRUE(path_exists(file.marker()));
}

// A file whose path holds a control character is named as messages name it.
TEST(LookInsideEndToEnd, CheckNamesTheFilePrintably) {
  TempDir dir;
  const std::string path = dir / "odd\tname.bin";
  known_builder().write(path);
  RunOptions options;
  options.cwd = dir.path();
  RunResult r = run_program(path, {"--sfx-check"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, dir.path() + "/odd\\x09name.bin: OK, 8 entries, 1081 bytes\n");
}

// The first look-inside word decides, whatever else the command line holds, errors that the
// ordinary scan would stop at included; what it prints is what the option prints alone.
TEST(LookInsideEndToEnd, FirstOptionDecidesAmongOtherWords) {
  LookFile file(known_builder());
  TempDir extract_dir;
  struct Case {
    std::vector<std::string> args;
    std::string alone;  // The option whose output is expected.
  };
  const std::vector<Case> cases = {
      {{"--sfx-info", "--sfx-list"}, "--sfx-info"},
      {{"a", "b c", "--sfx-list", "--sfx-check"}, "--sfx-list"},
      {{"--sfx-check", "-d"}, "--sfx-check"},
      {{"--sfx-extract-only", "--sfx-info"}, "--sfx-info"},
      {{"-h", "-v", "--query", "--sfx-list"}, "--sfx-list"},
      {{"-d", "--sfx-help", "--sfx-info"}, "--sfx-help"},
      {{"--sfx-extract-dir", "--sfx-info", "--sfx-list"}, "--sfx-list"},
      {{"--sfx-extract-dir", extract_dir.path(), "--sfx-extract-only", "--sfx-check"},
       "--sfx-check"},
      {{"--no_extract_list", "--sfx-check", "--sfx-extract-dir"}, "--sfx-check"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += arg + " ";
    SCOPED_TRACE(joined);
    const RunResult alone = file.run({c.alone});
    WorkRootWatch watch;
    RunResult r = file.run(c.args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, alone.out);
    EXPECT_FALSE(r.out.empty());
    expect_nothing_created(file, watch);
    EXPECT_EQ(list_tree(extract_dir.path()), std::vector<std::string>{});
  }
}

// A file made by sfx_pack: the stub's description agrees with sfx_pack's own, line for line.
TEST(LookInsideEndToEnd, FileMadeBySfxPack) {
  TempDir work;
  ASSERT_EQ(mkdir((work / "src").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((work / "src/sub").c_str(), 0755), 0);
  sfx_testing::write_file(work / "src/run.sh", kMarkerScript, 0755);
  sfx_testing::write_file(work / "src/sub/a.txt", "hello\n", 0644);
  ASSERT_EQ(chmod((work / "src/sub").c_str(), 0755), 0);
  for (const char* path : {"src/run.sh", "src/sub/a.txt", "src/sub"}) {
    const timespec times[2] = {{kWinterNoon, 0}, {kWinterNoon, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (work / path).c_str(), times, 0), 0);
  }
  LookFile file;
  RunOptions pack_options;
  pack_options.env_set = {{"TZ", kTimeZone}};
  RunResult packed =
      run_program(pack_path(), {"create", "-o", file.path(), "-c", "run.sh %argv%", work / "src"},
                  pack_options);
  ASSERT_EQ(packed.exit_code, 0) << packed.err;
  RunResult inspected = run_program(pack_path(), {"inspect", file.path()}, pack_options);
  ASSERT_EQ(inspected.exit_code, 0) << inspected.err;

  UmaskScope mask(022);
  WorkRootWatch watch;
  RunResult info = file.run({"--sfx-info"});
  EXPECT_EQ(info.exit_code, 0);
  EXPECT_EQ(info.err, "");
  for (const char* label :
       {"layout version:", "trailing bytes:", "stub size:", "stub machine:", "archive offset:",
        "archive length:", "command template:", "extra-tool command:", "entries:"}) {
    const auto line_of = [label](const std::string& text) {
      const size_t at = text.find(std::string("\n") + label);
      return at == std::string::npos ? std::string()
                                     : text.substr(at + 1, text.find('\n', at + 1) - at);
    };
    EXPECT_EQ(line_of(info.out), line_of(inspected.out)) << label;
    EXPECT_NE(line_of(info.out), "") << label;
  }
  EXPECT_NE(info.out.find("\nextra-tool command: none\nlabel:              none\n"
                          "signature:          not signed\nentries:            3\n"
                          "unpacked size:      41 bytes\n"),
            std::string::npos)
      << info.out;

  RunResult list = file.run({"--sfx-list"});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(list.err, "");
  EXPECT_EQ(list.out,
            "-rwxr-xr-x           35 2024-01-15 12:00:00 run.sh\n"
            "drwxr-xr-x            0 2024-01-15 12:00:00 sub/\n"
            "-rw-r--r--            6 2024-01-15 12:00:00 sub/a.txt\n"
            "total: 3 entries, 41 bytes\n");
  RunResult check = file.run({"--sfx-check", "--sfx-list"});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(check.err, "");
  EXPECT_EQ(check.out, file.path() + ": OK, 3 entries, 41 bytes\n");
  expect_nothing_created(file, watch);
}

// A damaged archive: the check stops at the entry that unpacking would stop at, with the very
// message unpacking prints there, names that entry, and writes nothing; listing and describing
// need only the central directory (and a link's target), so they fail only with it.
TEST(LookInsideEndToEnd, DamagedArchives) {
  ZipEntry firmware = entry("fw.bin", std::string(1000, 'f'), 0100644);
  firmware.deflate = false;
  const std::string sound = make_zip({firmware, entry("trevalo", kMarkerScript, 0100755)});
  std::string bad_crc = sound;
  bad_crc[first_data_offset(sound) + 500] ^= 0x01;
  std::string bad_deflate = make_zip({entry("trevalo", std::string(3000, 'x'), 0100755), firmware});
  bad_deflate[first_data_offset(bad_deflate)] = static_cast<char>(0xFF);  // Reserved block type.

  // The one entry of `zip` marked encrypted, in its local and its central header.
  const auto encrypted = [](std::string zip) {
    zip[6] |= 0x01;
    zip[zip.find("PK\x01\x02") + 8] |= 0x01;
    return zip;
  };
  struct Case {
    const char* label;
    std::string archive;
    std::string check_out;
    std::string check_err_entry;  // The entry named on standard error, or "" for the archive.
    int list_exit;
    std::string list_line = "";  // A line that --sfx-list shows for the file.
  };
  const std::vector<Case> cases = {
      {"CRC-32 differs", bad_crc, "error -105 with zipfile in unzCloseCurrentFile\n", "fw.bin", 0},
      {"corrupt deflate data", bad_deflate, "error -3 with zipfile in unzReadCurrentFile\n",
       "trevalo", 0},
      {"unsafe name", make_zip({firmware, entry("../evil", "x", 0100644)}),
       "refusing unsafe entry name ../evil\n", "../evil", 0},
      {"link leading out", make_zip({entry("link", "/etc/passwd", 0120777)}),
       "refusing symbolic link link -> /etc/passwd\n", "link", 0,
       "lrwxrwxrwx           11 2024-07-15 12:00:00 link -> /etc/passwd\n"},
      {"encrypted", encrypted(make_zip({firmware})), "encrypted entry fw.bin is not supported\n",
       "fw.bin", 0},
      {"encrypted link", encrypted(make_zip({entry("elink", "fw.bin", 0120777)})),
       "encrypted entry elink is not supported\n", "elink", 0,
       "lrwxrwxrwx            6 2024-07-15 12:00:00 elink -> (encrypted)\n"},
      {"link target too long to be one", make_zip({entry("big", std::string(5000, 'a'), 0120777)}),
       "refusing symbolic link big -> (a target of 5000 bytes)\n", "big", 0,
       "lrwxrwxrwx         5000 2024-07-15 12:00:00 big -> (a target of 5000 bytes)\n"},
      {"end record cut short", sound.substr(0, sound.size() - 10),
       "error -103 with zipfile in unzGetGlobalInfo \n", "", 252},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DistributableBuilder builder;
    builder.archive = c.archive;
    builder.command = "trevalo";
    LookFile file(builder);
    WorkRootWatch watch;
    RunResult check = file.run({"--sfx-check"});
    EXPECT_EQ(check.exit_code, 252);
    EXPECT_EQ(check.out, c.check_out);
    EXPECT_EQ(check.err,
              c.check_err_entry.empty()
                  ? "-E- Check failed: " + file.path() + "\n"
                  : "-E- Check failed at entry " + c.check_err_entry + ": " + file.path() + "\n");
    RunResult list = file.run({"--sfx-list"});
    EXPECT_EQ(list.exit_code, c.list_exit) << list.out;
    if (!c.list_line.empty()) {
      EXPECT_NE(list.out.find(c.list_line), std::string::npos) << list.out;
    }
    RunResult info = file.run({"--sfx-info"});
    EXPECT_EQ(info.exit_code, c.list_exit) << info.out;
    if (c.list_exit != 0) {
      EXPECT_EQ(list.out, c.check_out);
      EXPECT_EQ(info.out, c.check_out);
    }
    expect_nothing_created(file, watch);

    // Unpacking the same file stops with the same message.
    TempDir extract_dir;
    RunResult unpacked = file.run({"--sfx-extract-dir", extract_dir.path(), "--sfx-extract-only"});
    EXPECT_EQ(unpacked.exit_code, 252);
    EXPECT_EQ(unpacked.out,
              "Extracting to " + extract_dir.path() + "/" + kProgram + "-dir ..." + c.check_out);
  }
}

TEST(LookInsideEndToEnd, ArchiveWithoutEntries) {
  DistributableBuilder builder;
  builder.archive = make_zip({});
  LookFile file(builder);
  WorkRootWatch watch;
  RunResult info = file.run({"--sfx-info"});
  EXPECT_EQ(info.exit_code, 0);
  EXPECT_NE(
      info.out.find(
          "\nextra-tool command: none\nlabel:              none\nsignature:          not signed\n"
          "entries:            0\n"
          "unpacked size:      0 bytes\n"),
      std::string::npos)
      << info.out;
  RunResult list = file.run({"--sfx-list"});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(list.out, "total: 0 entries, 0 bytes\n");
  RunResult check = file.run({"--sfx-check"});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(check.out, file.path() + ": OK, 0 entries, 0 bytes\n");
  expect_nothing_created(file, watch);
}

TEST(LookInsideEndToEnd, NoZipArchive) {
  DistributableBuilder builder;
  builder.archive = "this is not a ZIP archive";
  LookFile file(builder);
  for (const char* option : {"--sfx-info", "--sfx-list", "--sfx-check"}) {
    SCOPED_TRACE(option);
    WorkRootWatch watch;
    RunResult r = file.run({option});
    EXPECT_EQ(r.exit_code, 252);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "-E- No valid attachment found\n");
    expect_nothing_created(file, watch);
  }
}

// Without a valid trailer each option that reads the file prints the trailer's own message,
// as a run would; the options help needs no trailer.
TEST(LookInsideEndToEnd, NoValidTrailer) {
  struct Case {
    const char* label;
    std::string bytes;
    std::string err;  // "%s" stands for the file's path.
  };
  DistributableBuilder other_layout = known_builder();
  other_layout.layout_version_field = DistributableBuilder::field("2.1", 8);
  DistributableBuilder too_long = known_builder();
  too_long.archive_length = 0xFFFFFFFF;
  const std::vector<Case> cases = {
      {"bare stub", read_file(stub_path()),
       "-E- Failed to find version pattern, qvr_fwsfx_gen is older than expected : '2.0', make "
       "sure to have the latest PVK\n"},
      {"other layout", other_layout.bytes(),
       "-E- Extractor layout version : '2.1' differs than expected '2.0', make sure generator "
       "and sfx_stub versions are matched\n"},
      {"archive longer than the file", too_long.bytes(),
       "-E- Failed to seek start offset, file '%s'\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    LookFile file;
    sfx_testing::write_file(file.path(), c.bytes, 0755);
    std::string err = c.err;
    if (size_t at = err.find("%s"); at != std::string::npos) err.replace(at, 2, file.path());
    for (const char* option : {"--sfx-info", "--sfx-list", "--sfx-check"}) {
      SCOPED_TRACE(option);
      WorkRootWatch watch;
      RunResult r = file.run({option, "-d"});
      EXPECT_EQ(r.exit_code, 252);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, err);
      expect_nothing_created(file, watch);
    }
    RunResult help = file.run({"--sfx-help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out, kStubOptions);
  }
}

}  // namespace

namespace {

// Bytes from a file that would drive a terminal (ESC, the C1 control U+009B, a byte that is no
// UTF-8) reach neither program's output raw: the stub's look-inside options, running the file
// and sfx_pack inspect and verify all show them with the same escapes.
TEST(LookInsideEndToEnd, BytesFromTheFileAreEscapedByBothPrograms) {
  const std::string c1_name = "x\xc2\x9b" "31mred";
  DistributableBuilder builder;
  builder.archive = make_zip({entry("trevalo", kMarkerScript, 0100755),
                              entry(c1_name, "x", 0100644), entry("bad\xff", "y", 0100644),
                              entry("link", "t\x1b[2J", 0120777)});
  builder.command = "trevalo \x1b]0;title\x07";
  LookFile file(builder);
  const auto expect_clean = [](const RunResult& r, const std::string& label) {
    for (const std::string* text : {&r.out, &r.err}) {
      EXPECT_EQ(text->find('\x1b'), std::string::npos) << label << ": " << *text;
      EXPECT_EQ(text->find("\xc2\x9b"), std::string::npos) << label << ": " << *text;
      EXPECT_EQ(text->find('\xff'), std::string::npos) << label << ": " << *text;
    }
  };
  const RunResult list = file.run({"--sfx-list"});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  expect_clean(list, "--sfx-list");
  const RunResult info = file.run({"--sfx-info"});
  expect_clean(info, "--sfx-info");
  const RunResult inspected = run_program(pack_path(), {"inspect", file.path()});
  EXPECT_EQ(inspected.exit_code, 0) << inspected.err;
  expect_clean(inspected, "inspect");
  const RunResult json = run_program(pack_path(), {"inspect", "--json", file.path()});
  expect_clean(json, "inspect --json");
  const RunResult verified = run_program(pack_path(), {"verify", file.path()});
  expect_clean(verified, "verify");
  for (const RunResult* r : {&list, &inspected}) {
    EXPECT_NE(r->out.find("x\\xc2\\x9b31mred\n"), std::string::npos) << r->out;
    EXPECT_NE(r->out.find("bad\\xff\n"), std::string::npos) << r->out;
    EXPECT_NE(r->out.find("link -> t\\x1b[2J"), std::string::npos) << r->out;
  }
  EXPECT_NE(info.out.find("'trevalo \\x1b]0;title\\x07'"), std::string::npos) << info.out;
  EXPECT_NE(inspected.out.find("'trevalo \\x1b]0;title\\x07'"), std::string::npos)
      << inspected.out;

  // The layout-version field of a trailer of another layout.
  DistributableBuilder other = builder;
  other.layout_version_field = DistributableBuilder::field("\x1b[2J\x1b[H", 8);
  LookFile other_file(other);
  const RunResult ran = other_file.run({});
  EXPECT_EQ(ran.exit_code, 252);
  EXPECT_EQ(ran.err,
            "-E- Extractor layout version : '\\x1b[2J\\x1b[H' differs than expected '2.0', make "
            "sure generator and sfx_stub versions are matched\n");
  const RunResult refused = run_program(pack_path(), {"verify", other_file.path()});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("layout version '\\x1b[2J\\x1b[H'"), std::string::npos)
      << refused.err;
  expect_clean(refused, "verify of another layout");
}

}  // namespace

namespace {

// Archives that the stub refuses as a whole or at one entry: its --sfx-check and sfx_pack
// verify both refuse them, naming the same entry.
TEST(LookInsideEndToEnd, CheckAndVerifyRefuseTheSameArchives) {
  using sfx_testing::make_raw_zip;
  using sfx_testing::RawZipEntry;
  const std::vector<RawZipEntry> two = {RawZipEntry::stored("trevalo", kMarkerScript, 0100755),
                                        RawZipEntry::stored("b", "2")};
  const std::string sound = make_raw_zip(two);
  const size_t second_local = sound.find("PK\3\4", 4);
  std::string renamed = sound;
  renamed[second_local + 30] = 'x';
  struct Case {
    const char* label;
    std::string zip;
    std::string entry;  // Empty: the archive as a whole.
    std::string line;
  };
  const std::vector<Case> cases = {
      {"count mismatch", make_raw_zip(two, 1), "",
       "central directory holds 2 entries, end record says 1"},
      {"local name differs", renamed, "b", "local header of b names it x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DistributableBuilder builder;
    builder.archive = c.zip;
    builder.command = "trevalo";
    LookFile file(builder);
    const RunResult checked = file.run({"--sfx-check"});
    EXPECT_EQ(checked.exit_code, 252);
    EXPECT_EQ(checked.out, c.line + "\n");
    const std::string where =
        c.entry.empty() ? "-E- Check failed: " : "-E- Check failed at entry " + c.entry + ": ";
    EXPECT_EQ(checked.err, where + file.path() + "\n");
    const RunResult verified = run_program(pack_path(), {"verify", file.path()});
    EXPECT_EQ(verified.exit_code, 1);
    const std::string refusal = c.entry.empty()
                                    ? "the stub refuses the archive: "
                                    : "the stub refuses entry '" + c.entry + "': ";
    EXPECT_EQ(verified.err, "sfx_pack: error: '" + file.path() + "': " + refusal + c.line + "\n");
    const RunResult ran = file.run({});
    EXPECT_EQ(ran.exit_code, 252);
    EXPECT_FALSE(path_exists(file.marker()));
  }
}

}  // namespace
