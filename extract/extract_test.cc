#include "extract/extract.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "extract/check.h"
#include "testing/entry_points.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::first_data_offset;
using sfx_testing::header_at;
using sfx_testing::make_raw_zip;
using sfx_testing::put_le32;
using sfx_testing::raw_deflate;
using sfx_testing::RawZipEnd;
using sfx_testing::RawZipEntry;

using sfx_testing::UmaskScope;

using sfx_testing::list_dir;
using sfx_testing::list_tree;
using sfx_testing::make_zip;
using sfx_testing::mode_of;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::TempDir;
using sfx_testing::write_file;
using sfx_testing::ZipEntry;

// Central European rules: summer time from the last Sunday of March to the last of October.
constexpr char kTestTimeZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";

struct Extraction {
  int result = -1;
  std::string out;  // Everything printed on standard output.
};

// Sets an environment variable (or removes it) for one scope, and restores it.
class EnvScope {
 public:
  EnvScope(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~EnvScope() { set(old_); }
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      setenv(name_, value->c_str(), 1);
    } else {
      unsetenv(name_);
    }
    tzset();
  }
  const char* name_;
  std::optional<std::string> old_;
};

// Runs `call` with standard output going to a scratch file, and returns what it printed.
template <typename Call>
std::string capture_stdout(Call call) {
  TempDir scratch;
  const std::string path = scratch / "stdout";
  std::fflush(stdout);
  int saved = dup(1);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 1);
  close(fd);
  call();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  return read_file(path);
}

// Runs extract_archive and brings the test back to its own directory afterwards.
Extraction extract(const char* archive, const std::string& destination) {
  int here = open(".", O_RDONLY | O_DIRECTORY);
  Extraction run;
  run.out = capture_stdout([&] { run.result = extract_archive(archive, destination.c_str()); });
  if (fchdir(here) != 0) ADD_FAILURE() << "cannot return to the test's directory";
  close(here);
  return run;
}

Extraction extract(const std::string& archive, const std::string& destination) {
  return extract(archive.c_str(), destination);
}

std::string zip_at(const TempDir& dir, const std::vector<ZipEntry>& entries) {
  const std::string path = dir / "archive.zip";
  write_file(path, make_zip(entries));
  return path;
}

ZipEntry file_entry(const std::string& name, const std::string& data,
                    std::uint32_t mode = 0100644) {
  ZipEntry entry;
  entry.name = name;
  entry.data = data;
  entry.unix_mode = mode;
  return entry;
}

ZipEntry dir_entry(const std::string& name, std::uint32_t mode = 040700) {
  return file_entry(name, "", mode);
}

std::tm local_date(int year, int month, int day, int hour, int minute, int second) {
  std::tm t = {};
  t.tm_year = year;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

struct stat stat_of(const std::string& path) {
  struct stat st = {};
  if (lstat(path.c_str(), &st) != 0) ADD_FAILURE() << "no " << path;
  return st;
}

// Deterministic data that does not deflate well.
std::string noise(size_t size, std::uint32_t seed) {
  std::string data(size, '\0');
  for (char& c : data) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 23);
  }
  return data;
}

// Compares file contents without printing them whole.
testing::AssertionResult same_bytes(const std::string& expected, const std::string& actual) {
  if (expected == actual) return testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return testing::AssertionFailure() << "expected " << expected.size() << " bytes, got "
                                     << actual.size() << "; first difference at " << at;
}

class ExtractTest : public testing::Test {
 protected:
  TempDir work_;
  std::string dest_ = work_ / "dest";
  void SetUp() override { ASSERT_EQ(0, mkdir(dest_.c_str(), 0755)); }
};

// --- Layout, contents and modes -------------------------------------------------------------

TEST_F(ExtractTest, UnpacksPathsContentsAndModes) {
  struct Row {
    ZipEntry entry;
    mode_t expected_mode;
  };
  ZipEntry dos_entry = file_entry("dos.txt", "made without a Unix mode");
  dos_entry.external_attr = 0x20;  // Only the archive bit of the low half.
  ZipEntry stored = file_entry("stored.bin", noise(30000, 7), 0100640);
  stored.deflate = false;
  const std::vector<Row> rows = {
      {file_entry("trevalo", std::string(100000, 'x') + "tool", 0100755), 0755},
      {file_entry("ca-bundle.crt", "-----BEGIN CERTIFICATE-----\n"), 0644},
      {dos_entry, 0640},  // 0644 less the umask, as other unpackers give.
      {file_entry("suid", "s", 0104755), 04755},
      {file_entry("sgid-sticky", "g", 0103775), 03775},
      {stored, 0640},
      {file_entry("empty", ""), 0644},
      {file_entry("deep/er/nested.xml", noise(20000, 3)), 0644},
      {file_entry("deep/sibling.xml", "<a/>"), 0644},
  };
  std::vector<ZipEntry> entries;
  for (const Row& row : rows) entries.push_back(row.entry);
  UmaskScope mask(027);
  write_file(dest_ + "/ca-bundle.crt", std::string(5000, 'o'), 0600);  // Overwritten.

  Extraction run = extract(zip_at(work_, entries), dest_);

  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.entry.name);
    EXPECT_TRUE(same_bytes(row.entry.data, read_file(dest_ + "/" + row.entry.name)));
    EXPECT_EQ(row.expected_mode, mode_of(dest_ + "/" + row.entry.name));
  }
  // Missing parents of a file are made with 0775 less the umask.
  EXPECT_EQ(0750u, mode_of(dest_ + "/deep"));
  EXPECT_EQ(0750u, mode_of(dest_ + "/deep/er"));
  EXPECT_EQ((std::vector<std::string>{"ca-bundle.crt", "deep/", "deep/er/", "deep/er/nested.xml",
                                      "deep/sibling.xml", "dos.txt", "empty", "sgid-sticky",
                                      "stored.bin", "suid", "trevalo"}),
            list_tree(dest_));
}

TEST_F(ExtractTest, DirectoryEntriesGetTheDefaultModeAndTheirParents) {
  UmaskScope mask(027);
  ASSERT_EQ(0, mkdir((dest_ + "/existing").c_str(), 0700));
  Extraction run =
      extract(zip_at(work_, {dir_entry("devices/", 040700), dir_entry("existing/"),
                             dir_entry("missing/child/"), dir_entry("win\\"), dir_entry("")}),
              dest_);

  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(
      (std::vector<std::string>{"devices/", "existing/", "missing/", "missing/child/", "win\\/"}),
      list_tree(dest_));
  EXPECT_EQ(0750u, mode_of(dest_ + "/devices"));  // Not the stored 0700.
  EXPECT_EQ(0750u, mode_of(dest_ + "/missing"));
  EXPECT_EQ(0700u, mode_of(dest_ + "/existing"));
  EXPECT_EQ(0750u, mode_of(dest_ + "/win\\"));
}

TEST_F(ExtractTest, EntersTheDestinationAndStaysThere) {
  const std::string archive = zip_at(work_, {file_entry("a", "1")});
  int here = open(".", O_RDONLY | O_DIRECTORY);
  int result = -1;
  std::string out =
      capture_stdout([&] { result = extract_archive(archive.c_str(), dest_.c_str()); });
  char cwd[4096] = {};
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, fchdir(here));
  close(here);
  EXPECT_EQ(EXTRACT_OK, result);
  EXPECT_EQ(dest_, cwd);
}

TEST_F(ExtractTest, ArchiveWithoutEntries) {
  // The ZIP library finds no end record at the very start of a file; an archive of nothing but
  // that record is still one without entries, as it is behind other bytes.
  const std::string empty = make_zip({});
  ASSERT_EQ(22u, empty.size());
  write_file(work_ / "empty.zip", empty);
  write_file(work_ / "behind.zip", "#!" + empty);
  for (const char* name : {"empty.zip", "behind.zip"}) {
    SCOPED_TRACE(name);
    Extraction run = extract(work_ / name, dest_);
    EXPECT_EQ(EXTRACT_OK, run.result);
    EXPECT_EQ("", run.out);
    EXPECT_TRUE(list_tree(dest_).empty());
  }
}

TEST_F(ExtractTest, EndRecordCutShortIsNoArchiveWithoutEntries) {
  // The ZIP library reads the fields that the end of the file cuts off as zeros: an archive
  // cut inside its end record's entry counts opens as one without entries.
  const std::string whole = make_zip({file_entry("payload", "data")});
  const size_t end_record = whole.rfind(std::string("PK\5\6", 4));
  ASSERT_NE(std::string::npos, end_record);
  for (size_t keep : {end_record + 4, end_record + 8}) {
    SCOPED_TRACE(keep);
    write_file(work_ / "cut.zip", whole.substr(0, keep));

    Extraction cut = extract(work_ / "cut.zip", dest_);

    EXPECT_EQ(EXTRACT_ERR_ENTRIES, cut.result);
    EXPECT_EQ("error -103 with zipfile in unzGetGlobalInfo \n", cut.out);
    EXPECT_TRUE(list_tree(dest_).empty());
  }
}

// --- Times ----------------------------------------------------------------------------------

TEST_F(ExtractTest, FileTimesAreLocalDosDates) {
  EnvScope zone("TZ", kTestTimeZone);
  struct Row {
    const char* name;
    std::tm date;
    std::time_t expected;
  };
  const std::vector<Row> rows = {
      {"summer", local_date(2024, 7, 15, 12, 0, 0), 1721037600},  // 10:00 UTC in summer time
      {"winter", local_date(2024, 1, 15, 12, 0, 0), 1705316400},  // 11:00 UTC
      {"leap", local_date(2024, 2, 29, 23, 59, 58), 1709247598},
      {"first", local_date(1980, 1, 1, 0, 0, 0), 315529200},
  };
  std::vector<ZipEntry> entries;
  for (const Row& row : rows) {
    ZipEntry entry = file_entry(row.name, row.name);
    entry.mtime = row.date;
    entries.push_back(entry);
  }
  ZipEntry dir = dir_entry("dir/");
  dir.mtime = local_date(2001, 1, 1, 0, 0, 0);
  entries.push_back(dir);

  Extraction run = extract(zip_at(work_, entries), dest_);

  EXPECT_EQ(EXTRACT_OK, run.result);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    struct stat st = stat_of(dest_ + "/" + row.name);
    EXPECT_EQ(row.expected, st.st_mtime);
    EXPECT_EQ(st.st_mtime, st.st_atime);
  }
  EXPECT_GT(stat_of(dest_ + "/dir").st_mtime, 1700000000);  // Made now, not dated 2001.
}

TEST_F(ExtractTest, EntryTimeTakesFullOrShortYears) {
  EnvScope zone("TZ", kTestTimeZone);
  const std::string path = dest_ + "/f";
  write_file(path, "");
  struct Row {
    unsigned year;
    std::time_t expected;
  };
  for (const Row& row :
       {Row{2024, 1721037600}, Row{124, 1721037600}, Row{1980, 332503200}, Row{80, 332503200}}) {
    SCOPED_TRACE(row.year);
    tm_unz date = {0, 0, 12, 15, 6, row.year};  // 15 July, 12:00:00
    const utimbuf times = {entry_time(date), entry_time(date)};
    ASSERT_EQ(0, utime(path.c_str(), &times));
    struct stat st = stat_of(path);
    EXPECT_EQ(row.expected, st.st_mtime);
    EXPECT_EQ(row.expected, st.st_atime);
  }
}

// Dates in a row as the entry loop converts them: around the changes of offset of 2024 in
// several zones (every 17 minutes, so also within the hour that is skipped and the hour that
// occurs twice), then far apart in summer and winter by turns. Each comes out as a call of
// mktime for every date in the same order gives it, and most take the way without mktime.
TEST_F(ExtractTest, LocalTimesAgreeWithMktime) {
  std::vector<tm_unz> dates;
  const auto add_every_17_minutes = [&](int month, int first_day, int days) {
    for (int minute = 0; minute < days * 24 * 60; minute += 17) {
      tm_unz date = {};
      date.tm_sec = static_cast<uInt>(minute % 30 * 2);
      date.tm_min = static_cast<uInt>(minute % 60);
      date.tm_hour = static_cast<uInt>(minute / 60 % 24);
      date.tm_mday = static_cast<uInt>(first_day + minute / (24 * 60));  // Past the month's end
      date.tm_mon = static_cast<uInt>(month - 1);                          // as mktime takes it.
      date.tm_year = 2024;
      dates.push_back(date);
    }
  };
  add_every_17_minutes(3, 9, 31);   // 9 March to 8 April: America, Europe, Lord Howe.
  add_every_17_minutes(10, 5, 31);  // 5 October to 4 November: Lord Howe, Europe, America.
  for (unsigned year = 1980; year < 2040; ++year) {
    dates.push_back(tm_unz{30, 15, 9, 14, 6, year});  // 14 July
    dates.push_back(tm_unz{0, 45, 22, 3, 0, year});   // 3 January
  }
  for (const char* tz : {"Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "UTC",
                         "Asia/Kolkata", kTestTimeZone}) {
    SCOPED_TRACE(tz);
    EnvScope zone("TZ", std::string(tz));
    tzset();
    const auto prime = [] {
      tm_unz winter = {0, 0, 12, 15, 0, 2024};
      (void)entry_time(winter);
    };
    std::vector<time_t> expected;
    prime();
    for (const tm_unz& date : dates) expected.push_back(entry_time(date));
    prime();
    LocalTimes times;
    std::vector<time_t> got;
    for (const tm_unz& date : dates) got.push_back(times.convert(date));
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < dates.size(); ++i) {
      ASSERT_EQ(expected[i], got[i]) << "date " << i << ": " << dates[i].tm_year << "-"
                                     << dates[i].tm_mon + 1 << "-" << dates[i].tm_mday << " "
                                     << dates[i].tm_hour << ":" << dates[i].tm_min;
    }
    EXPECT_LT(times.slow_conversions(), dates.size() / 4);
  }
}

// --- Opening the archive --------------------------------------------------------------------

TEST_F(ExtractTest, ArchivesThatDoNotOpenChangeNothing) {
  const std::string zip = make_zip({file_entry("a", "data")});
  write_file(work_ / "text", "not an archive at all\n");
  write_file(work_ / "truncated", zip.substr(0, zip.size() / 2));
  write_file(work_ / "empty", "");
  for (const char* name : {"text", "truncated", "empty", "missing"}) {
    SCOPED_TRACE(name);
    Extraction run = extract(work_ / name, work_ / "no-such-destination");
    EXPECT_EQ(EXTRACT_ERR_OPEN, run.result);
    EXPECT_EQ("", run.out);
  }
  Extraction null_path = extract(static_cast<const char*>(nullptr), dest_);
  EXPECT_EQ(EXTRACT_ERR_OPEN, null_path.result);
  EXPECT_EQ("", null_path.out);
  EXPECT_TRUE(list_tree(dest_).empty());
}

TEST_F(ExtractTest, MissingDestinationIsReportedForTheCallerToCleanUp) {
  const std::string archive = zip_at(work_, {file_entry("a", "data")});
  const std::string missing = work_ / "gone";
  Extraction run = extract(archive, missing);
  EXPECT_EQ(EXTRACT_ERR_CHDIR, run.result);
  EXPECT_EQ("Error changing into " + missing + ", aborting\n", run.out);
}

// --- Entries that cannot be written ---------------------------------------------------------

TEST_F(ExtractTest, UnopenableOutputsStopTheLoop) {
  struct Case {
    const char* label;
    std::vector<ZipEntry> entries;
    std::string message;
    std::vector<std::string> left;
  };
  const std::vector<Case> cases = {
      {"a directory where a file goes",
       {dir_entry("blocked/"), file_entry("blocked", "b"), file_entry("after", "a")},
       "error opening blocked: Is a directory\n",
       {"blocked/"}},
      {"a file where a directory goes",
       {file_entry("plain", "p"), file_entry("plain/x", "x"), file_entry("after", "a")},
       "error opening plain/x: Not a directory\n",
       {"plain"}},
      {"a file named by \".\" alone",
       {file_entry(".", "p"), file_entry("after", "a")},
       "error opening .: Is a directory\n",
       {}},
      {"a link named by \"./.\" alone",
       {file_entry("./.", "x", 0120777), file_entry("after", "a")},
       "error opening ./.: Is a directory\n",
       {}},
      {"a file where a directory entry goes",
       {file_entry("plain", "p"), dir_entry("plain/"), file_entry("after", "a")},
       "error opening plain/: Not a directory\n",
       {"plain"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dest;
    Extraction run = extract(zip_at(work_, c.entries), dest.path());
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ(c.message, run.out);
    EXPECT_EQ(c.left, list_tree(dest.path()));
  }
}

TEST_F(ExtractTest, TheUmaskIsPutBackOnEveryWayOut) {
  // While entries are unpacked the process's umask is 0; whatever ends the loop, the caller
  // gets its own back before it prints or runs anything.
  std::string damaged = make_zip({file_entry("image.bin", "image contents"), file_entry("n", "n")});
  damaged[first_data_offset(damaged) + 2] ^= 0x20;
  struct Case {
    const char* label;
    std::string zip;
    int result;
  };
  const std::vector<Case> cases = {
      {"unpacked whole", make_zip({file_entry("a/b", "b"), dir_entry("c/")}), EXTRACT_OK},
      {"an output that cannot be made",
       make_zip({file_entry("plain", "p"), file_entry("plain/x", "x")}), EXTRACT_ERR_ENTRIES},
      {"damaged data", damaged, EXTRACT_ERR_ENTRIES},
      {"a refused name", make_zip({file_entry("../out", "o")}), EXTRACT_ERR_ENTRIES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dest;
    write_file(work_ / "umask.zip", c.zip);
    UmaskScope mask(027);
    Extraction run = extract(work_ / "umask.zip", dest.path());
    EXPECT_EQ(c.result, run.result) << run.out;
    EXPECT_EQ(027u, umask(027));
  }
}

TEST_F(ExtractTest, NothingIsWrittenThroughAPlantedLink) {
  write_file(work_ / "victim", "precious");
  ASSERT_EQ(0, symlink((work_ / "victim").c_str(), (dest_ + "/firmware.bundle").c_str()));
  ASSERT_EQ(0, symlink(work_.path().c_str(), (dest_ + "/up").c_str()));
  const std::pair<const char*, int> cases[] = {{"firmware.bundle", ELOOP}, {"up/victim", ENOTDIR}};
  for (const auto& [name, error] : cases) {
    SCOPED_TRACE(name);
    Extraction run = extract(zip_at(work_, {file_entry(name, "attack")}), dest_);
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ(std::string("error opening ") + name + ": " + std::strerror(error) + "\n", run.out);
  }
  EXPECT_EQ("precious", read_file(work_ / "victim"));
}

TEST_F(ExtractTest, FullDiskStopsTheLoop) {
  // A file-size limit makes writes fall short as a full device does; data that fits the write
  // buffer fails when it is flushed, more fails on the way.
  for (size_t size : {size_t{150000}, size_t{600000}}) {
    SCOPED_TRACE(size);
    TempDir dest;
    const std::string archive =
        zip_at(work_, {file_entry("firmware.bundle", noise(size, 1)), file_entry("next", "n")});
    struct rlimit old_limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old_limit));
    struct rlimit limit = old_limit;
    limit.rlim_cur = 100000;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
    Extraction run = extract(archive, dest.path());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    // The message names the file and the directory it was written in.
    EXPECT_EQ("error writing firmware.bundle in " + dest.path() + ": " + std::strerror(EFBIG) +
                  "\n",
              run.out);
    EXPECT_FALSE(path_exists(dest / "next"));
  }
}

// The directories along a path are kept open from one entry to the next; with a path deeper
// than the descriptors left, they are let go and the path is walked one directory at a time,
// and every entry still comes out.
TEST_F(ExtractTest, DeepPathsWithFewDescriptors) {
  if (sfx_testing::sanitized_build()) {
    GTEST_SKIP() << "the sanitizers' run-time needs descriptors of its own";
  }
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "d" + std::to_string(i) + "/";
  const std::string zip = zip_at(work_, {file_entry(deep + "one", "1"), file_entry(deep + "two", "2"),
                                         file_entry("d0/d1/three", "3"),
                                         file_entry(deep + "d40/four", "4")});
  // The limit at which 10 descriptors are left free, below and between those already open.
  int limit = 0;
  for (int free_slots = 0; free_slots < 10; ++limit) {
    if (fcntl(limit, F_GETFD) == -1) ++free_slots;
  }
  rlimit before;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &before));
  rlimit few = before;
  few.rlim_cur = static_cast<rlim_t>(limit);  // Far fewer than the path is deep.
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &few));
  Extraction run = extract(zip, dest_);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &before));

  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("1", read_file(dest_ + "/" + deep + "one"));
  EXPECT_EQ("2", read_file(dest_ + "/" + deep + "two"));
  EXPECT_EQ("3", read_file(dest_ + "/d0/d1/three"));
  EXPECT_EQ("4", read_file(dest_ + "/" + deep + "d40/four"));
}

// --- Damaged archives -----------------------------------------------------------------------

TEST_F(ExtractTest, CrcMismatchKeepsTheFileAndStopsTheLoop) {
  EnvScope zone("TZ", kTestTimeZone);
  UmaskScope mask(022);
  ZipEntry damaged = file_entry("image.bin", "firmware image contents", 0100755);
  damaged.deflate = false;
  damaged.mtime = local_date(2024, 7, 15, 12, 0, 0);
  std::string zip = make_zip({damaged, file_entry("next", "n")});
  zip[first_data_offset(zip)] ^= 0x20;  // 'f' becomes 'F'.
  write_file(work_ / "damaged.zip", zip);

  Extraction run = extract(work_ / "damaged.zip", dest_);

  EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
  EXPECT_EQ("error -105 with zipfile in unzCloseCurrentFile\n", run.out);
  // The damaged file stays as read, but not as finished: its time is not set. It was made
  // with its stored mode, which the umask leaves whole.
  EXPECT_EQ("Firmware image contents", read_file(dest_ + "/image.bin"));
  EXPECT_EQ(0755u, mode_of(dest_ + "/image.bin"));
  EXPECT_GT(stat_of(dest_ + "/image.bin").st_mtime, 1721037600 + 86400);
  EXPECT_FALSE(path_exists(dest_ + "/next"));
}

TEST_F(ExtractTest, DamagedEntriesStopTheLoop) {
  struct Case {
    const char* label;
    void (*damage)(std::string& zip);
    const char* message;
    std::vector<std::string> left;  // What the destination holds afterwards.
  };
  const std::vector<Case> cases = {
      {"deflate data",
       [](std::string& zip) {
         for (size_t i = 0; i < 8; ++i) zip[first_data_offset(zip) + i] = static_cast<char>(0xff);
       },
       "error -3 with zipfile in unzReadCurrentFile\n",
       {"first"}},
      {"first local header",
       [](std::string& zip) { zip[0] = 'X'; },
       "error -103 with zipfile in unzOpenCurrentFilePassword\n",
       {}},
      {"second central header",
       [](std::string& zip) {
         const std::string signature("PK\1\2", 4);
         zip[zip.find(signature, zip.find(signature) + 4)] = 'X';
       },
       "error -103 with zipfile in unzGoToNextFile\n",
       {"first"}},
      // A complete DEFLATE stream that ends before the entry's stated size: the ZIP library
      // reports the end of the data and checks no CRC, since not every byte was read.
      {"deflate data that ends early",
       [](std::string& zip) {
         const std::string early = raw_deflate("cut short");
         zip.replace(first_data_offset(zip), early.size(), early);
       },
       "error -103 with zipfile in unzCloseCurrentFile\n",
       {"first"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dest;
    std::string zip =
        make_zip({file_entry("first", std::string(50000, 'a')), file_entry("second", "2")});
    c.damage(zip);
    write_file(work_ / "damaged.zip", zip);

    Extraction run = extract(work_ / "damaged.zip", dest.path());

    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ(c.message, run.out);
    EXPECT_EQ(c.left, list_tree(dest.path()));
  }
}

// --- Names that are refused -----------------------------------------------------------------

TEST_F(ExtractTest, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
  const char* const unsafe[] = {
      "/tmp/sfx-escape", "../escape", "a/../../escape",    "a/..",      "..", "../", "..\\escape",
      "a\\..\\x",        "\\escape",  "ok/..\\..\\escape", "../escape/"};
  for (const char* name : unsafe) {
    SCOPED_TRACE(name);
    TempDir root;
    const std::string dest = root / "dest";
    ASSERT_EQ(0, mkdir(dest.c_str(), 0755));
    Extraction run =
        extract(zip_at(root, {file_entry(name, "payload"), file_entry("after", "a")}), dest);
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ("refusing unsafe entry name " + std::string(name) + "\n", run.out);
    EXPECT_EQ((std::vector<std::string>{"archive.zip", "dest/"}), list_tree(root.path()));
  }
  EXPECT_FALSE(path_exists("/tmp/sfx-escape"));
}

TEST_F(ExtractTest, NamesThatOnlyLookUnsafeAreExtracted) {
  const char* const names[] = {"..a", "a..", "b/...", ".../c", "./d", "e/.hidden", "f/..g/h"};
  std::vector<ZipEntry> entries;
  for (const char* name : names) entries.push_back(file_entry(name, name));
  Extraction run = extract(zip_at(work_, entries), dest_);
  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  for (const char* name : names) EXPECT_EQ(name, read_file(dest_ + "/" + name)) << name;
}

TEST_F(ExtractTest, NamesOf256BytesOrMoreAreRefused) {
  const std::string longest = "d/" + std::string(253, 'n');  // 255 bytes: fits with terminator.
  for (size_t length : {size_t{256}, size_t{300}, size_t{65535}}) {
    SCOPED_TRACE(length);
    TempDir dest;
    const std::string name = "d/" + std::string(length - 2, 'n');
    Extraction run = extract(
        zip_at(work_, {file_entry(longest, "fits"), file_entry(name, "x"), file_entry("z", "z")}),
        dest.path());
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ("entry name too long (" + std::to_string(length) + " bytes), refusing " +
                  name.substr(0, 255) + "...\n",
              run.out);
    EXPECT_EQ("fits", read_file(dest / longest));
    EXPECT_EQ((std::vector<std::string>{"d/", longest}), list_tree(dest.path()));
  }
}

// --- Archives written by other tools -------------------------------------------------------

// What a ZIP archive's central directory holds, read field by field.
struct ArchiveFeatures {
  int entries = 0;
  bool stored = false;       // An entry without compression.
  bool deflated = false;     // An entry compressed with deflate.
  bool descriptor = false;   // An entry whose sizes follow its data (general flag bit 3).
  bool zip64_extra = false;  // A central header with a ZIP64 extra field.
  bool zip64_local = false;  // A local header with a ZIP64 extra field.
  bool zip64_end = false;    // A ZIP64 end record and its locator.
};

std::uint64_t little_endian(const std::string& data, size_t at, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(data.at(at + static_cast<size_t>(i)));
  }
  return value;
}

bool has_zip64_field(const std::string& zip, size_t extra, size_t extra_size) {
  for (size_t field = extra; field + 4 <= extra + extra_size;) {
    if (little_endian(zip, field, 2) == 1) return true;
    field += 4 + little_endian(zip, field + 2, 2);
  }
  return false;
}

ArchiveFeatures inspect_archive(const std::string& zip) {
  ArchiveFeatures features;
  const size_t end = zip.rfind(std::string("PK\5\6", 4));
  if (end == std::string::npos) return features;
  std::uint64_t offset = little_endian(zip, end + 16, 4);
  std::uint64_t count = little_endian(zip, end + 10, 2);
  if (end >= 20 && zip.compare(end - 20, 4, std::string("PK\6\7", 4)) == 0) {
    const size_t end64 = little_endian(zip, end - 20 + 8, 8);
    features.zip64_end = zip.compare(end64, 4, std::string("PK\6\6", 4)) == 0;
    count = little_endian(zip, end64 + 32, 8);
    offset = little_endian(zip, end64 + 48, 8);
  }
  for (size_t at = offset; count-- > 0 && zip.compare(at, 4, std::string("PK\1\2", 4)) == 0;) {
    ++features.entries;
    const std::uint64_t flags = little_endian(zip, at + 8, 2);
    const std::uint64_t method = little_endian(zip, at + 10, 2);
    const size_t name_size = little_endian(zip, at + 28, 2);
    const size_t extra_size = little_endian(zip, at + 30, 2);
    const size_t comment_size = little_endian(zip, at + 32, 2);
    features.descriptor |= (flags & 8) != 0;
    features.stored |= method == 0;
    features.deflated |= method == 8;
    features.zip64_extra |= has_zip64_field(zip, at + 46 + name_size, extra_size);
    const size_t local = little_endian(zip, at + 42, 4);
    if (local + 30 <= zip.size()) {
      features.zip64_local |= has_zip64_field(zip, local + 30 + little_endian(zip, local + 26, 2),
                                              little_endian(zip, local + 28, 2));
    }
    at += 46 + name_size + extra_size + comment_size;
  }
  return features;
}

// Writes the archive named by $OUT from the files in the current directory. Modes: deflated,
// stored, streamed (to a pipe, so that every size follows its data), zip64 (ZIP64 extra fields
// in every local header and ZIP64 end records, while the central directory holds the real
// sizes and offsets), placeholders (sizes above 1 KiB only in ZIP64 extra fields).
constexpr char kPythonZipWriter[] = R"(import os, shutil, sys, zipfile
mode, out = sys.argv[1], os.environ['OUT']
if mode == 'placeholders':
    zipfile.ZIP64_LIMIT = 1024
method = zipfile.ZIP_STORED if mode == 'stored' else zipfile.ZIP_DEFLATED
target = sys.stdout.buffer if mode == 'streamed' else out
with zipfile.ZipFile(target, 'w', method) as archive:
    for root, dirs, files in os.walk('.'):
        dirs.sort()
        for name in sorted(dirs) + sorted(files):
            path = os.path.relpath(os.path.join(root, name))
            if mode != 'zip64' or os.path.isdir(path):
                archive.write(path, path)
                continue
            info = zipfile.ZipInfo.from_file(path, path)
            info.compress_type = method
            with open(path, 'rb') as src, archive.open(info, 'w', force_zip64=True) as dst:
                shutil.copyfileobj(src, dst)
    if mode == 'zip64':
        zipfile.ZIP_FILECOUNT_LIMIT = 1  # Too many entries for the classic end record alone.
)";

constexpr char kMissingTool[] = " is not installed (scripts/install-deps.sh installs it)";

bool have_tool(const std::string& tool) {
  return run_program("/bin/sh", {"-c", "command -v " + tool}).exit_code == 0;
}

// A payload-like tree with every kind of mode and a different local time for each file.
class InteropTest : public testing::Test {
 protected:
  struct SourceFile {
    std::string name;
    std::string data;
    mode_t mode;
    std::tm date;
  };

  void SetUp() override {
    ASSERT_EQ(0, mkdir(src_.c_str(), 0755));
    ASSERT_EQ(0, mkdir((src_ + "/devices").c_str(), 0755));
    ASSERT_EQ(0, mkdir((src_ + "/devices/deep").c_str(), 0755));
    std::string text;
    for (int i = 0; text.size() < 300000; ++i) text += "mov " + std::to_string(i % 977) + ", r\n";
    files_ = {
        {"trevalo", text, 0755, local_date(2024, 7, 15, 12, 0, 0)},
        {"firmware.bundle", noise(150000, 11), 0644, local_date(2024, 1, 15, 12, 0, 0)},
        {"ca-bundle.crt", "-----BEGIN CERTIFICATE-----\nMIIB\n", 0444,
         local_date(2023, 10, 28, 23, 59, 58)},
        {"empty", "", 0644, local_date(1999, 12, 31, 23, 0, 0)},
        {"suid", "#!/bin/sh\n", 04755, local_date(2020, 6, 1, 1, 2, 4)},
        {"private", "key", 0600, local_date(2021, 3, 1, 8, 0, 0)},
        {"devices/dev-01.xml", "<device id=\"1\"/>\n", 0644, local_date(2022, 8, 8, 8, 8, 8)},
        {"devices/deep/dev-02.xml", noise(3000, 5), 0640, local_date(2022, 8, 9, 9, 9, 10)},
    };
    for (const SourceFile& file : files_) {
      const std::string path = src_ + "/" + file.name;
      write_file(path, file.data, file.mode);
      std::tm date = file.date;
      date.tm_year -= 1900;
      date.tm_isdst = -1;
      const std::time_t when = std::mktime(&date);
      const timespec times[2] = {{when, 0}, {when, 0}};
      ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    }
    write_file(work_ / "writer.py", kPythonZipWriter);
  }

  // Runs `command` in the source tree with $OUT naming the archive; returns the archive.
  std::string make_archive(const std::string& command) {
    sfx_testing::RunOptions options;
    options.cwd = src_;
    options.env_set = {{"OUT", work_ / "archive.zip"}, {"WRITER", work_ / "writer.py"}};
    sfx_testing::RunResult made = run_program("/bin/sh", {"-c", command}, options);
    EXPECT_EQ(0, made.exit_code) << made.err;
    return work_ / "archive.zip";
  }

  EnvScope zone_{"TZ", kTestTimeZone};
  UmaskScope mask_{022};
  TempDir work_;
  std::string src_ = work_ / "src";
  std::string dest_ = work_ / "dest";
  std::vector<SourceFile> files_;
};

struct InteropCase {
  const char* label;
  const char* tool;
  const char* command;
  bool stored, deflated, descriptor, zip64;  // Features the archive must show.
};

class InteropWriters : public InteropTest, public testing::WithParamInterface<InteropCase> {};

TEST_P(InteropWriters, UnpackWithContentsModesAndTimes) {
  const InteropCase& row = GetParam();
  if (!have_tool(row.tool)) FAIL() << row.tool << kMissingTool;
  const std::string archive = make_archive(row.command);
  const ArchiveFeatures features = inspect_archive(read_file(archive));
  EXPECT_EQ(10, features.entries);  // 8 files and 2 directories
  if (row.stored) {
    EXPECT_TRUE(features.stored);
  }
  if (row.deflated) {
    EXPECT_TRUE(features.deflated);
  }
  if (row.descriptor) {
    EXPECT_TRUE(features.descriptor);
  }
  if (row.zip64) {
    EXPECT_TRUE(features.zip64_end && (features.zip64_extra || features.zip64_local));
  }
  ASSERT_EQ(0, mkdir(dest_.c_str(), 0700));

  Extraction run = extract(archive, dest_);

  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(list_tree(src_), list_tree(dest_));
  for (const SourceFile& file : files_) {
    SCOPED_TRACE(file.name);
    const std::string path = dest_ + "/" + file.name;
    struct stat got = stat_of(path);  // Before reading the file updates its access time.
    EXPECT_EQ(stat_of(src_ + "/" + file.name).st_mtime, got.st_mtime);
    EXPECT_EQ(got.st_mtime, got.st_atime);
    EXPECT_EQ(file.mode, got.st_mode & 07777);
    EXPECT_TRUE(same_bytes(file.data, read_file(path)));
  }
  EXPECT_EQ(0755u, mode_of(dest_ + "/devices/deep"));
}

const InteropCase kInteropCases[] = {
    {"ZipDeflated", "zip", "zip -qr \"$OUT\" *", false, true, false, false},
    {"ZipStored", "zip", "zip -qr0 \"$OUT\" *", true, false, false, false},
    {"ZipStreamed", "zip", "zip -qr - * | cat > \"$OUT\"", false, true, true, false},
    {"ZipZip64", "zip", "zip -qr -fz \"$OUT\" *", false, true, false, true},
    {"PythonDeflated", "python3", "python3 \"$WRITER\" deflated", false, true, false, false},
    {"PythonStored", "python3", "python3 \"$WRITER\" stored", true, false, false, false},
    {"PythonStreamed", "python3", "python3 \"$WRITER\" streamed | cat > \"$OUT\"", false, true,
     true, false},
    {"PythonZip64", "python3", "python3 \"$WRITER\" zip64", false, true, false, true},
    {"BsdtarDeflated", "bsdtar", "bsdtar --format zip -cf \"$OUT\" *", false, true, true, false},
    {"BsdtarStored", "bsdtar", "bsdtar --format zip --options zip:compression=store -cf \"$OUT\" *",
     true, false, true, false},
    {"BsdtarZip64", "bsdtar", "bsdtar --format zip --options zip:zip64 -cf \"$OUT\" *", false, true,
     true, true},
    // Written to a pipe, the archive is padded with zero bytes behind its end record.
    {"BsdtarStreamed", "bsdtar", "bsdtar --format zip -cf - * | cat > \"$OUT\"", false, true, true,
     false},
};

INSTANTIATE_TEST_SUITE_P(Writers, InteropWriters, testing::ValuesIn(kInteropCases),
                         [](const testing::TestParamInfo<InteropCase>& param) {
                           return std::string(param.param.label);
                         });

// The ZIP library leaves sizes and offsets that are only in ZIP64 extra fields unread on some
// systems; they are taken from the extra fields themselves.
TEST_F(InteropTest, SizesAndOffsetsOnlyInZip64FieldsAreTaken) {
  if (!have_tool("python3")) FAIL() << "python3" << kMissingTool;
  const std::string archive = make_archive("python3 \"$WRITER\" placeholders");
  ASSERT_EQ(0, mkdir(dest_.c_str(), 0700));

  Extraction run = extract(archive, dest_);

  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(list_tree(src_), list_tree(dest_));
  for (const SourceFile& file : files_) {
    SCOPED_TRACE(file.name);
    EXPECT_TRUE(same_bytes(file.data, read_file(dest_ + "/" + file.name)));
  }
}

TEST_F(InteropTest, CrcIsCheckedWhenTheUncompressedSizeIsOnlyInAZip64Field) {
  if (!have_tool("zip")) FAIL() << "zip" << kMissingTool;
  std::string zip = read_file(make_archive("zip -q -fz -0 \"$OUT\" private suid"));
  zip[first_data_offset(zip)] ^= 0x20;  // "key" becomes "Key".
  write_file(work_ / "damaged.zip", zip);
  ASSERT_EQ(0, mkdir(dest_.c_str(), 0700));

  Extraction run = extract(work_ / "damaged.zip", dest_);

  EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
  EXPECT_EQ("error -105 with zipfile in unzCloseCurrentFile\n", run.out);
  EXPECT_EQ("Key", read_file(dest_ + "/private"));
  EXPECT_FALSE(path_exists(dest_ + "/suid"));
}

}  // namespace

namespace {

// --- The whole archive or nothing ------------------------------------------------------------

TEST_F(ExtractTest, EveryEntryOfTheCentralDirectoryIsUnpacked) {
  // 70,000 entries written without ZIP64: the end record's count has wrapped to 4,464.
  std::vector<RawZipEntry> many;
  for (int i = 0; i < 70000; ++i) {
    many.push_back(RawZipEntry::stored("d" + std::to_string(i / 1000) + "/" + std::to_string(i),
                                       std::to_string(i)));
  }
  write_file(work_ / "many.zip", make_raw_zip(many));
  Extraction run = extract(work_ / "many.zip", dest_);
  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("69999", read_file(dest_ + "/d69/69999"));
  EXPECT_EQ(70000u + 70u, list_tree(dest_).size());
}

TEST_F(ExtractTest, AWalkThatDisagreesWithTheEndRecordFails) {
  const std::vector<RawZipEntry> three = {
      RawZipEntry::stored("a", "1"), RawZipEntry::stored("b", "2"), RawZipEntry::stored("c", "3")};
  struct Case {
    const char* label;
    std::string zip;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"count patched low", make_raw_zip(three, 2),
       "central directory holds 3 entries, end record says 2\n"},
      {"count patched high", make_raw_zip(three, 4),
       "central directory holds 3 entries, end record says 4\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dest;
    write_file(work_ / "patched.zip", c.zip);
    Extraction run = extract(work_ / "patched.zip", dest.path());
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ(c.message, run.out);
  }
}

// One stored entry whose central header appears `copies` times: every copy unpacks the same
// bytes (a bomb made of references, not of compression).
std::string repeated_central_headers(int copies) {
  const std::string one = make_raw_zip({RawZipEntry::stored("a", std::string(100, 'z'))});
  const size_t central = header_at(one, "PK\1\2", 0);
  const size_t end = one.find("PK\5\6");
  std::string zip = one.substr(0, central);
  for (int i = 0; i < copies; ++i) zip += one.substr(central, end - central);
  std::string record = one.substr(end);
  const std::uint32_t size = static_cast<std::uint32_t>((end - central) * copies);
  record[8] = record[10] = static_cast<char>(copies & 0xFF);
  record[9] = record[11] = static_cast<char>(copies >> 8);
  put_le32(record, 12, size);
  return zip + record;
}

// The archive with its central headers in the order `order` (indexes of the headers as they
// were): the entries' data stay where they are.
std::string reorder_central_headers(const std::string& zip, const std::vector<int>& order) {
  const size_t end = zip.find("PK\5\6");
  std::vector<std::string> headers;
  for (size_t at = header_at(zip, "PK\1\2", 0); at < end;) {
    const size_t next = std::min(zip.find("PK\1\2", at + 4), end);
    headers.push_back(zip.substr(at, next - at));
    at = next;
  }
  std::string out = zip.substr(0, header_at(zip, "PK\1\2", 0));
  for (int index : order) out += headers[index];
  return out + zip.substr(end);
}

// Entries whose bytes overlap or run into the central directory, and local names that differ
// from the central ones, are refused with one line naming the entry before anything is
// written; the check names the same entry.
TEST_F(ExtractTest, EntriesThatShareBytesOrNameThemselvesOtherwiseAreRefused) {
  const std::vector<RawZipEntry> three = {RawZipEntry::stored("first", "1111"),
                                          RawZipEntry::stored("b", "2"),
                                          RawZipEntry::stored("c", "3")};
  const std::string sound = make_raw_zip(three);
  std::string into_next = sound;  // first's data declared 10 bytes long: runs into b's header.
  put_le32(into_next, header_at(sound, "PK\1\2", 0) + 20, 10);
  put_le32(into_next, header_at(sound, "PK\1\2", 0) + 24, 10);
  std::string past_directory = sound;  // c's data declared to run into the directory.
  put_le32(past_directory, header_at(sound, "PK\1\2", 2) + 20, 1000);
  std::string renamed = sound;  // b's local header says "x".
  renamed[header_at(sound, "PK\3\4", 1) + 30] = 'x';
  std::string same_offset = sound;  // c's central header points at b's local header.
  put_le32(same_offset, header_at(sound, "PK\1\2", 2) + 42,
           static_cast<std::uint32_t>(header_at(sound, "PK\3\4", 1)));
  same_offset[header_at(sound, "PK\1\2", 2) + 46] = 'b';
  // The directory lists c, first, b while the data lie first, b, c: the check sorts them by
  // place, and names the pair's entry that comes later in the directory.
  const std::string out_of_order = reorder_central_headers(into_next, {2, 0, 1});
  struct Case {
    const char* label;
    std::string zip;
    std::string message;
    std::string entry;
  };
  const std::vector<Case> cases = {
      {"data into the next header", into_next, "local header and data of b overlap those of first\n",
       "b"},
      {"data into the central directory", past_directory,
       "local header and data of c run past the central directory\n", "c"},
      {"local name differs", renamed, "local header of b names it x\n", "b"},
      {"two entries, one local header", same_offset,
       "local header and data of b overlap those of b\n", "b"},
      {"2,000 references to one entry", repeated_central_headers(2000),
       "local header and data of a overlap those of a\n", "a"},
      {"directory out of the data's order", out_of_order,
       "local header and data of b overlap those of first\n", "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dest;
    write_file(work_ / "refused.zip", c.zip);
    Extraction run = extract(work_ / "refused.zip", dest.path());
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ(c.message, run.out);
    EXPECT_EQ(std::vector<std::string>{}, list_tree(dest.path()));

    const int fd = open((work_ / "refused.zip").c_str(), O_RDONLY | O_CLOEXEC);
    ArchiveTotals totals;
    std::string failed;
    int checked = 0;
    const std::string out = capture_stdout([&] {
      checked = check_archive({fd, 0, c.zip.size()}, totals, failed);
    });
    close(fd);
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, checked);
    EXPECT_EQ(c.message, out);
    EXPECT_EQ(c.entry, failed);
  }
  // The same entries listed in another order than their data share nothing: all unpacked.
  for (const std::string& zip : {sound, reorder_central_headers(sound, {2, 0, 1})}) {
    TempDir dest;
    write_file(work_ / "sound.zip", zip);
    EXPECT_EQ(EXTRACT_OK, extract(work_ / "sound.zip", dest.path()).result);
    EXPECT_EQ(read_file(dest / "first"), "1111");
    EXPECT_EQ(read_file(dest / "c"), "3");
  }
}

TEST_F(ExtractTest, EntriesTheStubCannotReadAreRefusedBeforeAnythingIsWritten) {
  RawZipEntry bzip2 = RawZipEntry::stored("firmware.bz2", "BZh91AY&SY");
  bzip2.method = 12;
  RawZipEntry lzma = RawZipEntry::stored("tool.xz", "data");
  lzma.method = 14;
  RawZipEntry encrypted = RawZipEntry::stored("secret", "0123456789ab");
  encrypted.flags = 1;
  struct Case {
    RawZipEntry entry;
    std::string message;
  };
  const std::vector<Case> cases = {
      {bzip2, "unsupported compression method 12 in entry firmware.bz2\n"},
      {lzma, "unsupported compression method 14 in entry tool.xz\n"},
      {encrypted, "encrypted entry secret is not supported\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir dest;
    write_file(work_ / "refused.zip", make_raw_zip({RawZipEntry::stored("first", "1"), c.entry,
                                                    RawZipEntry::stored("after", "2")}));
    Extraction run = extract(work_ / "refused.zip", dest.path());
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ(c.message, run.out);
    EXPECT_EQ(std::vector<std::string>{"first"}, list_tree(dest.path()));
  }
}

TEST_F(ExtractTest, EntriesWithoutAUnixModeGetTheUsualModes) {
  UmaskScope mask(022);
  RawZipEntry windows_file = RawZipEntry::stored("setup.cfg", "x");
  windows_file.version_made_by = 0 << 8 | 20;
  windows_file.external_attributes = 0x20;
  RawZipEntry dos_dir = RawZipEntry::stored("drivers", "");
  dos_dir.version_made_by = 0 << 8 | 20;
  dos_dir.external_attributes = 0x10;
  RawZipEntry below = RawZipEntry::stored("drivers/net.inf", "y");
  below.version_made_by = 11 << 8 | 20;  // NTFS.
  below.external_attributes = 0;
  RawZipEntry unix_no_mode = RawZipEntry::stored("jar-entry", "z");
  unix_no_mode.external_attributes = 0;
  write_file(work_ / "windows.zip", make_raw_zip({windows_file, dos_dir, below, unix_no_mode}));

  Extraction run = extract(work_ / "windows.zip", dest_);

  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  EXPECT_EQ((std::vector<std::string>{"drivers/", "drivers/net.inf", "jar-entry", "setup.cfg"}),
            list_tree(dest_));
  EXPECT_EQ(0644u, mode_of(dest_ + "/setup.cfg"));
  EXPECT_EQ(0755u, mode_of(dest_ + "/drivers"));
  EXPECT_EQ(0644u, mode_of(dest_ + "/drivers/net.inf"));
  EXPECT_EQ(0644u, mode_of(dest_ + "/jar-entry"));
}

TEST_F(ExtractTest, LinksThatStayInsideAreMadeAsLinks) {
  write_file(work_ / "links.zip",
             make_raw_zip({RawZipEntry::stored("lib/libfw.so.1.2", "elf"),
                           RawZipEntry::stored("lib/libfw.so.1", "libfw.so.1.2", 0120777),
                           RawZipEntry::stored("lib/libfw.so", "libfw.so.1", 0120777),
                           RawZipEntry::stored("bin/fw", "../lib/libfw.so", 0120777),
                           // Up after ordinary parts, never out.
                           RawZipEntry::stored("bin/fw2", "./../bin/../lib//libfw.so", 0120777)}));
  Extraction run = extract(work_ / "links.zip", dest_);
  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  char target[64] = {};
  ASSERT_GT(readlink((dest_ + "/lib/libfw.so").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ("libfw.so.1", target);
  EXPECT_EQ("elf", read_file(dest_ + "/bin/fw"));  // Through the chain of links.
  EXPECT_EQ("elf", read_file(dest_ + "/bin/fw2"));
}

TEST_F(ExtractTest, LinksThatLeadOutsideAreRefused) {
  write_file(work_ / "victim", "precious");
  struct Case {
    const char* label;
    std::vector<RawZipEntry> entries;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"absolute",
       {RawZipEntry::stored("etc", "/etc", 0120777)},
       "refusing symbolic link etc -> /etc\n"},
      {"climbing out",
       {RawZipEntry::stored("a/up", "../../victim", 0120777)},
       "refusing symbolic link a/up -> ../../victim\n"},
      {"through another link",
       {RawZipEntry::stored("deep/x/y/l", "../../..", 0120777),
        RawZipEntry::stored("m", "deep/x/y/l/../..", 0120777)},
       "refusing symbolic link m -> deep/x/y/l/../..\n"},
      {"through a link that comes later",
       {RawZipEntry::stored("m", "deep/x/y/l/../..", 0120777),
        RawZipEntry::stored("deep/x/y/l", "../../..", 0120777)},
       "refusing symbolic link m -> deep/x/y/l/../..\n"},
      {"out and back in",
       {RawZipEntry::stored("a/in", "../../dest-dir/a", 0120777)},
       "refusing symbolic link a/in -> ../../dest-dir/a\n"},
      // A link that stays inside, then an entry that would be written through it.
      {"written through",
       {RawZipEntry::stored("sub", ".", 0120777), RawZipEntry::stored("sub/file", "attack")},
       "error opening sub/file: Not a directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string dest = work_ / "dest-dir";
    ASSERT_EQ(0, mkdir(dest.c_str(), 0755));
    write_file(work_ / "links.zip", make_raw_zip(c.entries));
    Extraction run = extract(work_ / "links.zip", dest);
    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ(c.message, run.out);
    EXPECT_EQ("precious", read_file(work_ / "victim"));
    sfx_testing::run_program("/bin/rm", {"-rf", dest});
  }
}

}  // namespace

namespace {

// --- End records and extra fields that the ZIP library alone would not read -----------------

// What the archives of other projects below hold, made here so that a build without them
// covers it too: an end-record comment longer than the ZIP library's 64 KiB search, a ZIP64
// end record behind bytes that its locator does not count, and extra fields that end in a piece
// too short for a record.
TEST_F(ExtractTest, EndRecordsAndExtraFieldsBeyondTheZipLibrarysReach) {
  const std::string longest(65535, 'c');
  const std::vector<RawZipEntry> plain = {RawZipEntry::stored("a.txt", "alpha"),
                                          RawZipEntry::stored("sub/b.txt", "beta")};
  // A record, then one byte of padding; behind it the end record's signature reads as a
  // record of 1,355 bytes.
  RawZipEntry padded = RawZipEntry::stored("padded", "one");
  padded.extra = std::string(
      "\xff\xff\x06\x00"
      "123456"
      "\xff",
      11);
  // Three zero bytes; the next central header's signature makes them a record of 20,480 bytes.
  RawZipEntry zeros = RawZipEntry::stored("dir/zeros", "three");
  zeros.extra = std::string(3, '\0');
  struct Row {
    const char* label;
    std::string prefix;  // Bytes ahead of the archive that its offsets do not count.
    RawZipEnd end;
    std::vector<RawZipEntry> entries;
  };
  const std::vector<Row> rows = {
      {"comment of 65,535 bytes", "", {longest, false}, plain},
      {"comment of 65,514 bytes", "", {std::string(65514, 'c'), false}, plain},
      {"ZIP64 end record, comment of 65,535 bytes", "", {longest, true}, plain},
      {"ZIP64 end record behind a prefix", "#!/bin/sh\nexit 0\n", {"", true}, plain},
      {"ZIP64 end record behind a prefix, comment of 65,535 bytes",
       std::string(70000, 'p'),
       {longest, true},
       plain},
      {"extra field ending in 1 byte, last in the directory", "", {}, {padded}},
      {"extra field ending in 3 bytes, another entry behind", "", {}, {zeros, plain[0]}},
      {"both, behind a prefix and a ZIP64 end record", "prefix", {"", true}, {zeros, padded}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    write_file(work_ / "odd.zip", row.prefix + make_raw_zip(row.entries, std::nullopt, row.end));
    const std::string dest = work_ / "odd";
    ASSERT_EQ(0, mkdir(dest.c_str(), 0755));

    Extraction run = extract(work_ / "odd.zip", dest);

    EXPECT_EQ(EXTRACT_OK, run.result);
    EXPECT_EQ("", run.out);
    for (const RawZipEntry& entry : row.entries) {
      EXPECT_EQ(entry.data, read_file(dest + "/" + entry.name)) << entry.name;
    }
    sfx_testing::run_program("/bin/rm", {"-rf", dest});
  }
}

// The archive comment, which carries a file's label, is read back whole wherever the end
// records stand, also where the ZIP library would not find it or read it from elsewhere.
TEST_F(ExtractTest, ArchiveCommentIsReadBehindEveryKindOfEnd) {
  const std::vector<RawZipEntry> plain = {RawZipEntry::stored("a.txt", "alpha")};
  struct Row {
    const char* label;
    std::string prefix;
    RawZipEnd end;
    std::string expected;
  };
  const std::string label = "Flasher 4.2 \xc3\xa9";
  const std::vector<Row> rows = {
      {"short comment", "", {label, false}, label},
      {"behind a prefix", "#!/bin/sh\n", {label, false}, label},
      {"ZIP64 end record", "", {label, true}, label},
      {"ZIP64 end record behind a prefix", std::string(5000, 'p'), {label, true}, label},
      {"65,535 bytes", "", {std::string(65535, 'c'), false}, std::string(65535, 'c')},
      {"none", "", {"", false}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    write_file(work_ / "c.zip", row.prefix + make_raw_zip(plain, std::nullopt, row.end));
    const int fd = open((work_ / "c.zip").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ZipReader zip;
    ASSERT_EQ(ArchiveOpen::kOk,
              zip.open({fd, 0, static_cast<std::uint64_t>(row.prefix.size()) +
                                   make_raw_zip(plain, std::nullopt, row.end).size()}));
    EXPECT_EQ(row.expected, archive_comment(zip));
    close(fd);
  }
}

// A record whose size runs past the end of the field is refused wherever the entry stands and
// whatever bytes follow it (here enough for the ZIP library to read on without noticing), as
// Python's zipfile refuses it; what came before stays.
TEST_F(ExtractTest, ExtraFieldRecordsThatRunPastTheFieldAreRefused) {
  RawZipEntry overrun = RawZipEntry::stored("overrun", "data");
  overrun.extra = std::string(
      "\x34\x12\x08\x00"
      "ab",
      6);  // Says 8 bytes, holds 2.
  const RawZipEntry first = RawZipEntry::stored("first", std::string(5000, 'f'));
  struct Row {
    const char* label;
    std::vector<RawZipEntry> entries;
    std::string message;
    std::vector<std::string> left;
  };
  const std::vector<Row> rows = {
      {"first entry", {overrun, first}, "error -1 with zipfile in unzGetCurrentFileInfo\n", {}},
      {"later entry",
       {first, overrun, first},
       "error -1 with zipfile in unzGoToNextFile\n",
       {"first"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    write_file(work_ / "overrun.zip", make_raw_zip(row.entries));
    const std::string dest = work_ / "overrun";
    ASSERT_EQ(0, mkdir(dest.c_str(), 0755));

    Extraction run = extract(work_ / "overrun.zip", dest);

    EXPECT_EQ(EXTRACT_ERR_ENTRIES, run.result);
    EXPECT_EQ(row.message, run.out);
    EXPECT_EQ(row.left, list_tree(dest));
    sfx_testing::run_program("/bin/rm", {"-rf", dest});
  }
}

}  // namespace

namespace {

// --- Archives that other projects keep for their own test suites -----------------------------

// Every archive either unpacks whole, or fails with a message (or does not open at all); none
// writes outside the destination. The archives live beside the project, when they are there.
TEST_F(ExtractTest, ArchivesOfOtherProjectsUnpackWholeOrFailWithAMessage) {
  const std::string corpus = SFX_INTEROP_ZIPS;
  if (list_dir(corpus).empty()) GTEST_SKIP() << "no archives at " << corpus;
  int whole = 0;
  int refused = 0;
  for (const std::string& name : list_dir(corpus)) {
    if (name.find(".zip") == std::string::npos && name.find(".jar") == std::string::npos) continue;
    // Tens of thousands of entries take half a minute of file creation; the many-entry case
    // has a test of its own.
    if (name.find("manyfiles") != std::string::npos) continue;
    SCOPED_TRACE(name);
    const std::string box = work_ / ("box-" + name);
    const std::string dest = box + "/a/dest";
    ASSERT_EQ(0, sfx_testing::run_program("/bin/mkdir", {"-p", dest}).exit_code);
    Extraction run = extract(corpus + "/" + name, dest);
    EXPECT_NE(EXTRACT_ERR_CHDIR, run.result);
    if (run.result == EXTRACT_OK) {
      ++whole;
      EXPECT_EQ("", run.out);
    } else if (run.result == EXTRACT_ERR_ENTRIES) {
      ++refused;
      EXPECT_NE("", run.out);
    }
    // Nothing but the destination below the box.
    for (const std::string& path : list_tree(box)) {
      EXPECT_TRUE(path == "a/" || path.rfind("a/dest/", 0) == 0) << path;
    }
    sfx_testing::run_program("/bin/rm", {"-rf", box});
  }
  std::printf("%d archives unpacked whole, %d refused with a message\n", whole, refused);
  EXPECT_GT(whole, 100);
}

// Prints one line per entry of the ZIP archive argv[1] as Python's zipfile reads it, then
// "--", then one per file, link and directory below the directory argv[2]: "file PATH SIZE
// SHA256", "link PATH TARGET" or "dir PATH", with paths and targets in hex bytes. A path is a
// stored name as the file system reaches it: without empty and "." parts.
constexpr char kPythonLister[] = R"(import hashlib, os, stat, sys, zipfile

def shown(raw):
    return b'/'.join(p for p in raw.split(b'/') if p not in (b'', b'.')).hex()

def file_line(path, data):
    print('file', shown(path), len(data), hashlib.sha256(data).hexdigest())

with zipfile.ZipFile(sys.argv[1]) as archive:
    for info in archive.infolist():
        raw = info.orig_filename.encode('utf-8' if info.flag_bits & 0x800 else 'cp437')
        if stat.S_ISLNK(info.external_attr >> 16):
            print('link', shown(raw), archive.read(info).hex())
        elif info.is_dir():
            print('dir', shown(raw))
        else:
            file_line(raw, archive.read(info))
print('--')
top = os.fsencode(sys.argv[2])
for root, dirs, files in os.walk(top):
    for name in dirs + files:
        full = os.path.join(root, name)
        path = os.path.relpath(full, top)
        mode = os.lstat(full).st_mode
        if stat.S_ISLNK(mode):
            print('link', shown(path), os.readlink(full).hex())
        elif stat.S_ISDIR(mode):
            print('dir', shown(path))
        else:
            with open(full, 'rb') as f:
                file_line(path, f.read())
)";

struct CorpusArchive {
  const char* label;
  const char* file;
};

class CorpusArchives : public ExtractTest, public testing::WithParamInterface<CorpusArchive> {};

// The lines of a listing, sorted.
std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

bool is_directory_line(const std::string& line) { return line.rfind("dir ", 0) == 0; }

// Each unpacks whole, to the same files, contents and link targets as Python's zipfile reads
// from it, and with every directory it names.
TEST_P(CorpusArchives, UnpackAsPythonReadsThem) {
  const std::string archive = sfx_testing::interop_zips_dir() + "/" + GetParam().file;
  if (!path_exists(archive)) GTEST_SKIP() << "no " << archive;
  if (!have_tool("python3")) FAIL() << "python3" << kMissingTool;

  Extraction run = extract(archive, dest_);

  EXPECT_EQ(EXTRACT_OK, run.result);
  EXPECT_EQ("", run.out);
  write_file(work_ / "lister.py", kPythonLister);
  const sfx_testing::RunResult listed = run_program(
      "/bin/sh", {"-c", "python3 \"$0\" \"$1\" \"$2\"", work_ / "lister.py", archive, dest_});
  ASSERT_EQ(0, listed.exit_code) << listed.err;
  const std::size_t cut = listed.out.find("--\n");
  ASSERT_NE(std::string::npos, cut);
  const std::vector<std::string> read = sorted_lines(listed.out.substr(0, cut));
  std::vector<std::string> unpacked = sorted_lines(listed.out.substr(cut + 3));
  ASSERT_FALSE(read.empty());
  // Directories that no entry names are made as parents; the rest must match line for line.
  std::vector<std::string> wanted;
  for (const std::string& line : read) {
    if (!is_directory_line(line)) {
      wanted.push_back(line);
    } else {
      EXPECT_TRUE(std::binary_search(unpacked.begin(), unpacked.end(), line)) << line;
    }
  }
  std::erase_if(unpacked, is_directory_line);
  EXPECT_EQ(wanted, unpacked);
}

const CorpusArchive kCorpusArchives[] = {
    // End-record comments of 65,514 bytes or more, beyond the ZIP library's search.
    {"CommentOfACentralDirectory", "mz_large_cd_comment.zip"},
    {"LongestComment", "rz_max_length_file_comment.zip"},
    {"Zip64EndRecordBehindLongestComment", "tl_py_zip64_comment65535.zip"},
    // ZIP64 end records behind bytes that their locators do not count.
    {"Zip64ArchiveInAnotherArchivesComment", "lz_zip64-in-archive-comment.zip"},
    {"Zip64EndRecordBehindAPrefix", "rs_zip64_demo.zip"},
    // An extra field that ends in one byte of padding.
    {"ExtraFieldPadding", "lz_extra_field_align_1-ef_ff.zip"},
    // Link targets that go up after ordinary parts and stay inside.
    {"LinksUpThroughOrdinaryParts", "cc_COMPRESS-214_unix_symlinks.zip"},
};

INSTANTIATE_TEST_SUITE_P(Interop, CorpusArchives, testing::ValuesIn(kCorpusArchives),
                         [](const testing::TestParamInfo<CorpusArchive>& param) {
                           return std::string(param.param.label);
                         });

}  // namespace
