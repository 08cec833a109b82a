// Distributable files with real archives, run as a user would: the payload command sees the
// unpacked files with their stored paths, modes and times; extract-only mode keeps them; a
// damaged archive or an entry name that leads outside the payload directory fails the run
// before any payload command, and nothing is left behind.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::first_data_offset;

using sfx_testing::UmaskScope;

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::list_tree;
using sfx_testing::local_date;
using sfx_testing::make_zip;
using sfx_testing::mode_of;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::TempDir;
using sfx_testing::WorkRootWatch;
using sfx_testing::ZipEntry;

// Central European rules: summer time from the last Sunday of March to the last of October.
constexpr char kTestTimeZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr char kProgram[] = "xtrpkg";            // Payload directory "xtrpkg-dir".
constexpr std::time_t kSummerNoon = 1721037600;  // 2024-07-15 12:00:00 summer time
constexpr std::time_t kWinterNoon = 1705316400;  // 2024-01-15 12:00:00

ZipEntry entry(const std::string& name, const std::string& data, std::uint32_t mode = 0100644,
               std::tm date = local_date(2024, 7, 15, 12)) {
  ZipEntry e;
  e.name = name;
  e.data = data;
  e.unix_mode = mode;
  e.mtime = date;
  return e;
}

ZipEntry script(const std::string& body) { return entry("trevalo", "#!/bin/sh\n" + body, 0100755); }

// A distributable file "xtrpkg.bin" in its own directory, which is also where it is started.
class Distributable {
 public:
  Distributable(const std::string& archive, const std::string& command = "trevalo") {
    DistributableBuilder builder;
    builder.archive = archive;
    builder.command = command;
    builder.write(path_);
  }
  const TempDir& dir() const { return dir_; }

  RunResult run(const std::vector<std::string>& args,
                std::vector<std::pair<std::string, std::string>> env = {}) const {
    RunOptions options;
    options.cwd = dir_.path();
    options.env_set = std::move(env);
    options.env_set.emplace_back("TZ", kTestTimeZone);
    bool debug = false;
    for (const auto& variable : options.env_set) debug |= variable.first == "SFX_STUB_DEBUG";
    if (!debug) options.env_unset = {"SFX_STUB_DEBUG"};
    return run_program(path_, args, options);
  }

 private:
  TempDir dir_;
  std::string path_ = dir_ / (std::string(kProgram) + ".bin");
};

// The archive of a small payload: files in nested directories with every kind of mode and
// time. The payload command prints what it finds, then the certificate bundle, and ends
// with 7.
std::string sample_archive() {
  ZipEntry dos = entry("dos.txt", "made without a Unix mode");
  dos.external_attr = 0x20;
  ZipEntry stored =
      entry("devices/dev-01.xml", "<device/>\n", 0100640, local_date(2024, 1, 15, 12));
  stored.deflate = false;
  return make_zip({
      script("stat -c '%a %Y %n' trevalo\n"
             "stat -c '%a %Y %X %n' ca-bundle.crt bin/suid dos.txt devices/dev-01.xml "
             "docs/deep/readme.txt\n"
             "stat -c '%a %n' devices bin docs/deep\n"
             "cat ca-bundle.crt\n"
             "exit 7\n"),
      entry("ca-bundle.crt", std::string(20000, 'c') + "\n", 0100644, local_date(2024, 1, 15, 12)),
      entry("bin/suid", "#!/bin/sh\n", 0104755),
      dos,
      entry("devices/", "", 040700),
      stored,
      entry("docs/deep/readme.txt", "read me\n", 0100444),
  });
}

const char kSampleListing[] =
    "755 1721037600 trevalo\n"
    "644 1705316400 1705316400 ca-bundle.crt\n"
    "4755 1721037600 1721037600 bin/suid\n"
    "640 1721037600 1721037600 dos.txt\n"
    "640 1705316400 1705316400 devices/dev-01.xml\n"
    "444 1721037600 1721037600 docs/deep/readme.txt\n"
    "750 devices\n"
    "750 bin\n"
    "750 docs/deep\n";

TEST(ExtractEndToEnd, PayloadCommandSeesPathsModesAndTimes) {
  UmaskScope mask(027);
  Distributable file(sample_archive());
  WorkRootWatch watch;

  RunResult r = file.run({});

  EXPECT_EQ(7, r.exit_code);
  EXPECT_EQ(std::string(kSampleListing) + std::string(20000, 'c') + "\n", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(std::vector<std::string>{}, watch.leftovers(kProgram));
  EXPECT_EQ(std::vector<std::string>{"xtrpkg.bin"}, list_tree(file.dir().path()));
}

TEST(ExtractEndToEnd, ExtractOnlyKeepsTheUnpackedFiles) {
  UmaskScope mask(022);
  Distributable file(sample_archive());
  const std::string out = file.dir() / "out";
  ASSERT_EQ(0, mkdir(out.c_str(), 0755));
  WorkRootWatch watch;

  // A relative directory is shown in its absolute form.
  RunResult r = file.run({"--sfx-extract-dir", "out", "--sfx-extract-only"});

  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ("Extracting to " + out + "/xtrpkg-dir ... Done\n", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ((std::vector<std::string>{"xtrpkg-dir/", "xtrpkg-dir/bin/", "xtrpkg-dir/bin/suid",
                                      "xtrpkg-dir/ca-bundle.crt", "xtrpkg-dir/devices/",
                                      "xtrpkg-dir/devices/dev-01.xml", "xtrpkg-dir/docs/",
                                      "xtrpkg-dir/docs/deep/", "xtrpkg-dir/docs/deep/readme.txt",
                                      "xtrpkg-dir/dos.txt", "xtrpkg-dir/trevalo"}),
            list_tree(out));
  const std::string payload = out + "/xtrpkg-dir";
  struct stat st;
  ASSERT_EQ(0, stat((payload + "/ca-bundle.crt").c_str(), &st));
  EXPECT_EQ(kWinterNoon, st.st_mtime);
  EXPECT_EQ(kWinterNoon, st.st_atime);
  ASSERT_EQ(0, stat((payload + "/trevalo").c_str(), &st));
  EXPECT_EQ(kSummerNoon, st.st_mtime);
  EXPECT_EQ(0755u, st.st_mode & 07777);
  EXPECT_EQ(04755u, mode_of(payload + "/bin/suid"));
  EXPECT_EQ(0644u, mode_of(payload + "/dos.txt"));  // No Unix mode: 0644 less the umask.
  EXPECT_EQ(0755u, mode_of(payload + "/devices"));
  EXPECT_EQ("read me\n", read_file(payload + "/docs/deep/readme.txt"));
  EXPECT_EQ(std::vector<std::string>{}, watch.leftovers(kProgram));
}

TEST(ExtractEndToEnd, NoExtractListHandsExtractOnlyToThePayload) {
  struct Case {
    const char* label;
    std::string command;
    std::vector<std::string> extra_args;
  };
  const std::vector<Case> cases = {
      {"in the template", "trevalo --no_extract_list", {}},
      {"on the command line", "trevalo", {"--no_extract_list"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Distributable file(make_zip({script("echo ran\ntouch ../ran-marker\n")}), c.command);
    const std::string out = file.dir() / "out";
    ASSERT_EQ(0, mkdir(out.c_str(), 0755));
    std::vector<std::string> args = {"--sfx-extract-dir", out, "--sfx-extract-only"};
    args.insert(args.end(), c.extra_args.begin(), c.extra_args.end());

    RunResult r = file.run(args);

    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("ran\n", r.out);
    EXPECT_EQ("", r.err);
    // The payload command ran and the payload directory went with the normal clean-up.
    EXPECT_EQ(std::vector<std::string>{"ran-marker"}, list_tree(out));
  }
}

// A date with minutes and seconds, as local_date makes it.
std::tm date_at(int year, int month, int day, int hour, int minute, int second) {
  std::tm date = local_date(year, month, day, hour);
  date.tm_min = minute;
  date.tm_sec = second;
  return date;
}

// One archive of every kind of entry (nested directories, modes with and without set-ID bits,
// a link, stored and deflated data), dated on both sides of changes of offset in each zone
// below, unpacked in extract-only mode with TZ naming zones with and without daylight saving:
// paths, modes, contents, links and times come out as expected in each.
TEST(ExtractEndToEnd, SameTreeInEveryTimeZone) {
  struct Dated {
    const char* name;
    std::uint32_t mode;
    std::tm date;
  };
  const Dated files[] = {
      {"a/b/c/t00", 0100644, date_at(2024, 3, 31, 1, 59, 58)},  // Europe: last before summer.
      {"a/b/c/t01", 0100755, date_at(2024, 3, 31, 3, 0, 0)},    // Europe: first of summer.
      {"a/b/t02", 0100444, date_at(2024, 10, 27, 1, 30, 0)},    // Europe: before the change.
      {"a/t03", 0100640, date_at(2024, 10, 27, 3, 30, 0)},      // Europe: after it.
      {"t04", 0104755, date_at(2024, 3, 10, 1, 30, 0)},         // America: before summer.
      {"x/y/t05", 0100600, date_at(2024, 3, 10, 3, 30, 0)},     // America: summer.
      {"a/b/c/t06", 0100644, date_at(2024, 4, 7, 1, 0, 0)},     // Lord Howe: summer.
      {"a/b/c/t07", 0100700, date_at(2024, 4, 7, 3, 0, 0)},     // Lord Howe: winter.
      {"a/b/t08", 0100644, date_at(2024, 7, 15, 12, 0, 0)},
      {"x/t09", 0100644, date_at(2024, 1, 15, 12, 0, 0)},
      {"x/y/z/t10", 0100664, date_at(1980, 1, 1, 0, 0, 0)},
      {"t11", 0100644, date_at(2099, 12, 31, 23, 59, 58)},
  };
  using Times = std::array<std::time_t, 12>;
  const Times central_europe = {1711846798, 1711846800, 1729985400, 1729996200,
                                1710030600, 1710037800, 1712444400, 1712451600,
                                1721037600, 1705316400, 315529200,  4102441198};
  const std::pair<const char*, Times> zones[] = {
      {"Europe/Berlin", central_europe},
      {"CET-1CEST,M3.5.0,M10.5.0/3", central_europe},
      {"America/New_York",
       {1711864798, 1711868400, 1730007000, 1730014200, 1710052200, 1710055800, 1712466000,
        1712473200, 1721059200, 1705338000, 315550800, 4102462798}},
      {"Australia/Lord_Howe",
       {1711810798, 1711814400, 1729953000, 1729960200, 1709994600, 1710001800, 1712412000,
        1712421000, 1721007000, 1705280400, 315496800, 4102405198}},
      {"UTC",
       {1711850398, 1711854000, 1729992600, 1729999800, 1710034200, 1710041400, 1712451600,
        1712458800, 1721044800, 1705320000, 315532800, 4102444798}},
  };
  std::vector<ZipEntry> entries = {entry("x/", "", 040755), entry("a/b/", "", 040700)};
  for (const Dated& file : files) {
    ZipEntry e = entry(file.name, std::string("data of ") + file.name, file.mode, file.date);
    e.deflate = file.name[0] != 'x';
    entries.push_back(e);
  }
  entries.push_back(entry("a/b/link", "c/t01", 0120777));
  const std::vector<std::string> tree = {
      "a/",          "a/b/",      "a/b/c/",  "a/b/c/t00", "a/b/c/t01", "a/b/c/t06",
      "a/b/c/t07",   "a/b/link",  "a/b/t02", "a/b/t08",   "a/t03",     "t04",
      "t11",         "x/",        "x/t09",   "x/y/",      "x/y/t05",   "x/y/z/",
      "x/y/z/t10"};
  UmaskScope mask(022);
  TempDir dir;
  DistributableBuilder builder;
  builder.archive = make_zip(entries);
  const std::string path = dir / "xtrpkg.bin";
  builder.write(path);
  const std::string out = dir / "out";
  const std::string payload = out + "/xtrpkg-dir";
  for (const auto& [tz, expected] : zones) {
    SCOPED_TRACE(tz);
    if (tz[0] != 'C' && !path_exists(std::string("/usr/share/zoneinfo/") + tz)) {
      ADD_FAILURE() << "the zone files are missing (tzdata; see scripts/install-deps.sh)";
      continue;
    }
    ASSERT_EQ(0, mkdir(out.c_str(), 0755));
    RunOptions options;
    options.cwd = dir.path();
    options.env_set = {{"TZ", tz}};
    RunResult r = run_program(path, {"--sfx-extract-dir", out, "--sfx-extract-only"}, options);
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ("Extracting to " + payload + " ... Done\n", r.out);
    EXPECT_EQ(std::vector<std::string>{"xtrpkg-dir"}, list_dir(out));
    EXPECT_EQ(tree, list_tree(payload));
    for (size_t i = 0; i < std::size(files); ++i) {
      SCOPED_TRACE(files[i].name);
      const std::string file = payload + "/" + files[i].name;
      struct stat st;
      ASSERT_EQ(0, lstat(file.c_str(), &st));
      EXPECT_EQ(expected[i], st.st_mtime);
      EXPECT_EQ(st.st_mtime, st.st_atime);
      EXPECT_EQ(files[i].mode, st.st_mode);
      EXPECT_EQ(std::string("data of ") + files[i].name, read_file(file));
    }
    char target[64] = {};
    EXPECT_EQ(5, readlink((payload + "/a/b/link").c_str(), target, sizeof target - 1));
    EXPECT_STREQ("c/t01", target);
    EXPECT_EQ(0755u, mode_of(payload + "/a/b"));  // 0775 less the umask, not the stored mode.
    EXPECT_EQ(0755u, mode_of(payload + "/x/y/z"));
    std::filesystem::remove_all(out);
  }
}

TEST(ExtractEndToEnd, AnUnopenableOutputFailsTheRun) {
  // A directory entry takes the place of the file entry of the same name: the payload would
  // run without that file, so nothing runs, with or without the debug variable.
  Distributable file(make_zip(
      {entry("blocked/", "", 040755), entry("blocked", "b"), script("touch ../ran-marker\n")}));
  for (bool debug : {false, true}) {
    SCOPED_TRACE(debug);
    WorkRootWatch watch;
    std::vector<std::pair<std::string, std::string>> env;
    if (debug) env.emplace_back("SFX_STUB_DEBUG", "");
    RunResult r = file.run({}, env);
    EXPECT_EQ(252, r.exit_code);
    EXPECT_EQ("error opening blocked: Is a directory\n", r.out);
    EXPECT_NE(r.err.find("-E- Failed to extract files to /tmp/sfxter_"), std::string::npos);
    EXPECT_EQ(std::vector<std::string>{}, watch.leftovers(kProgram));
    EXPECT_FALSE(path_exists(file.dir() / "ran-marker"));
  }
}

TEST(ExtractEndToEnd, DamagedEntryFailsTheRunAndLeavesNothing) {
  ZipEntry image = entry("image.bin", "firmware image contents");
  image.deflate = false;
  std::string zip = make_zip({image, script("touch ../ran-marker\n")});
  zip[first_data_offset(zip)] ^= 0x20;
  const std::string crc_error = "error -105 with zipfile in unzCloseCurrentFile\n";
  Distributable file(zip);
  const std::string out = file.dir() / "out";
  ASSERT_EQ(0, mkdir(out.c_str(), 0755));
  const std::string payload = out + "/xtrpkg-dir";
  const std::string failed = "-E- Failed to extract files to " + payload + "\n";

  RunResult normal = file.run({"--sfx-extract-dir", out});
  EXPECT_EQ(252, normal.exit_code);
  EXPECT_EQ(crc_error, normal.out);
  EXPECT_EQ(failed, normal.err);
  EXPECT_EQ(std::vector<std::string>{}, list_tree(out));

  // Extract-only mode keeps no half-extracted payload either.
  RunResult only = file.run({"--sfx-extract-dir", out, "--sfx-extract-only"});
  EXPECT_EQ(252, only.exit_code);
  EXPECT_EQ("Extracting to " + payload + " ..." + crc_error, only.out);
  EXPECT_EQ(failed, only.err);
  EXPECT_EQ(std::vector<std::string>{}, list_tree(out));

  WorkRootWatch watch;
  RunResult temp = file.run({});
  EXPECT_EQ(252, temp.exit_code);
  EXPECT_EQ(crc_error, temp.out);
  EXPECT_EQ(0u, temp.err.find("-E- Failed to extract files to /tmp/sfxter_")) << temp.err;
  EXPECT_EQ(std::vector<std::string>{}, watch.leftovers(kProgram));
  EXPECT_EQ((std::vector<std::string>{"out/", "xtrpkg.bin"}), list_tree(file.dir().path()));
}

TEST(ExtractEndToEnd, UnsafeNamesFailTheRunAndWriteNothingOutside) {
  TempDir elsewhere;
  const std::string absolute = elsewhere / "planted";
  const std::string long_name = "d/" + std::string(298, 'n');
  struct Case {
    std::string name;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"../escape", "refusing unsafe entry name ../escape\n"},
      {"devices/../../escape", "refusing unsafe entry name devices/../../escape\n"},
      {"..\\escape", "refusing unsafe entry name ..\\escape\n"},
      {absolute, "refusing unsafe entry name " + absolute + "\n"},
      {long_name,
       "entry name too long (300 bytes), refusing " + long_name.substr(0, 255) + "...\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40));
    Distributable file(
        make_zip({entry("ok.txt", "fine"), entry(c.name, "planted"), script("touch ran\n")}));
    const std::string out = file.dir() / "out";
    ASSERT_EQ(0, mkdir(out.c_str(), 0755));

    RunResult r = file.run({"--sfx-extract-dir", out});

    EXPECT_EQ(252, r.exit_code);
    EXPECT_EQ(c.message, r.out);
    EXPECT_EQ("-E- Failed to extract files to " + out + "/xtrpkg-dir\n", r.err);
    EXPECT_EQ((std::vector<std::string>{"out/", "xtrpkg.bin"}), list_tree(file.dir().path()));
    EXPECT_FALSE(path_exists(absolute));
  }
  EXPECT_TRUE(list_tree(elsewhere.path()).empty());
}

TEST(ExtractEndToEnd, ArchivesThatDoNotOpen) {
  const std::string zip = make_zip({script("exit 0\n")});
  struct Case {
    const char* label;
    std::string archive;
  };
  const std::vector<Case> cases = {
      {"text", "this is not a ZIP archive\n"},
      {"first half", zip.substr(0, zip.size() / 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Distributable file(c.archive);
    WorkRootWatch watch;
    RunResult r = file.run({});
    EXPECT_EQ(252, r.exit_code);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("-E- No valid attachment found\n", r.err);
    EXPECT_EQ(std::vector<std::string>{}, watch.leftovers(kProgram));
  }
}

}  // namespace

namespace {

// Too few inodes for the payload: a small tmpfs in a private mount namespace.
TEST(ExtractEndToEnd, TooFewInodesFailTheRunAndLeaveNothing) {
  if (run_program("/usr/bin/unshare", {"-m", "true"}).exit_code != 0) {
    GTEST_SKIP() << "no private mount namespace here (unshare -m)";
  }
  std::vector<ZipEntry> entries = {script("touch ../ran-marker\n")};
  for (int i = 0; i < 100; ++i) entries.push_back(entry("f" + std::to_string(100 + i), "x"));
  Distributable file(make_zip(entries));
  const std::string mount = file.dir() / "small";
  ASSERT_EQ(0, mkdir(mount.c_str(), 0755));
  const std::string self = file.dir() / "xtrpkg.bin";
  RunResult r = run_program(
      "/usr/bin/unshare",
      {"-m", "/bin/sh", "-c",
       "mount --make-rprivate / && mount -t tmpfs -o size=4m,nr_inodes=40 none \"$1\" && "
       "\"$2\" --sfx-extract-dir \"$1\"; echo \"status $?\"; ls -A \"$1\"",
       "sh", mount, self});
  EXPECT_EQ(0, r.exit_code);
  // Found before anything is written: 101 files, with the root directory, the payload
  // directory and the still empty archive.zip already taking three of the 40.
  EXPECT_EQ("status 252\n", r.out);  // Nothing is left.
  EXPECT_EQ("-E- Not enough inodes in " + mount + ": 101 needed, 37 free\n", r.err);
}

TEST(ExtractEndToEnd, FailedExtractOnlyRunLeavesNothing) {
  TempDir out;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"no archive at all", "-E- No valid attachment found\n"},
      {make_zip({entry("../escape", "x")}),
       "-E- Failed to extract files to " + out.path() + "/xtrpkg-dir\n"},
  };
  for (const auto& [archive, err] : cases) {
    SCOPED_TRACE(err);
    Distributable file(archive);
    RunResult r = file.run({"--sfx-extract-dir", out.path(), "--sfx-extract-only"});
    EXPECT_EQ(252, r.exit_code);
    EXPECT_EQ(err, r.err);
    EXPECT_EQ(std::vector<std::string>{}, list_dir(out.path()));
  }
}

}  // namespace
