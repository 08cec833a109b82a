#include "payload/carve.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "testing/entry_points.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::random_bytes;

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::TempDir;
using sfx_testing::write_file;

const std::string kExampleCommand =
    "trevalo -u --log-on-update --ssl-certificate %ca-bundle.crt% %current-dir%  %argv%";

// Open descriptors of this process; carving must leave the count as it found it.
size_t open_fd_count() { return list_dir("/proc/self/fd").size(); }

struct Carved {
  int status = 0;
  CarveResult result;
  std::string message;
};

// Runs carve_archive on `self_path` into `work_root`, with stderr captured and the count of
// open descriptors checked.
Carved carve(const std::string& self_path, const std::string& work_root) {
  Carved out;
  const size_t fds_before = open_fd_count();
  testing::internal::CaptureStderr();
  out.status = carve_archive(self_path, work_root, out.result);
  out.message = testing::internal::GetCapturedStderr();
  EXPECT_EQ(open_fd_count(), fds_before) << "a file was left open";
  return out;
}

class CarveTest : public testing::Test {
 protected:
  CarveTest() {
    builder_.stub = random_bytes(1051, 1);
    builder_.archive = random_bytes(5000, 2);
    builder_.command = kExampleCommand;
  }
  Carved carve_built() {
    builder_.write(self_path_);
    return carve(self_path_, work_root_);
  }

  TempDir dir_;
  const std::string self_path_ = dir_ / "fwpkg.bin";
  const std::string work_root_ = dir_.path();
  const std::string archive_path_ = dir_ / "archive.zip";
  DistributableBuilder builder_;
};

// The layout of a real distributable at a smaller scale: a ZIP archive whose last bytes are
// its end record and two more bytes, no trailing bytes, no extra-tool section.
TEST_F(CarveTest, WorkedExampleAtSmallScale) {
  sfx_testing::ZipEntry tool;
  tool.name = "trevalo";
  tool.data = random_bytes(300000, 3);
  sfx_testing::ZipEntry bundle;
  bundle.name = "ca-bundle.crt";
  bundle.data = "pem";
  builder_.archive = sfx_testing::make_zip({tool, bundle}) + std::string("0\0", 2);
  const std::string file = builder_.bytes();
  const size_t length = file.size();
  const size_t n = builder_.archive.size();
  ASSERT_EQ(length, 1051 + n + 300);
  // The probe for an extra-tool section reads the archive's last 28 bytes and the start of the
  // command field: 4 bytes of the end record's predecessor, then its signature.
  EXPECT_EQ(file.substr(length - 328 + 4, 4), "PK\x05\x06");
  EXPECT_EQ(file.substr(length - 8), std::string("2.0\0\0\0\0\0", 8));

  Carved c = carve_built();
  EXPECT_EQ(c.status, CARVE_OK);
  EXPECT_EQ(c.message, "");
  EXPECT_TRUE(c.result.archive_created);
  EXPECT_EQ(c.result.archive_path, archive_path_);
  EXPECT_EQ(c.result.command_template, kExampleCommand);
  EXPECT_FALSE(c.result.extra_tool_command);
  EXPECT_EQ(read_file(archive_path_), file.substr(1051, n));
}

TEST_F(CarveTest, CopiesTheArchiveByteForByte) {
  struct Case {
    const char* name;
    std::function<void(DistributableBuilder&)> change;
    std::optional<std::string> extra = {};
  } cases[] = {
      {"large archive, several buffers",
       [](DistributableBuilder& b) { b.archive = random_bytes(3 * 256 * 1024 + 517, 4); }},
      {"trailing bytes", [](DistributableBuilder& b) { b.trailing = "\x01\x02QVRT"; }},
      {"trailing bytes holding a marker without NUL",
       [](DistributableBuilder& b) { b.trailing = "QVRT_VERSION_PATT:!2.0"; }},
      {"extra-tool section",
       [](DistributableBuilder& b) { b.extra_tool_command = "fw %device%"; },
       "fw %device%"},
      {"extra-tool section, empty command",
       [](DistributableBuilder& b) { b.extra_tool_command = ""; },
       ""},
      {"extra-tool section, 256-character command",
       [](DistributableBuilder& b) { b.extra_tool_command = std::string(256, 'e'); },
       std::string(256, 'e')},
      {"extra-tool section and trailing bytes",
       [](DistributableBuilder& b) {
         b.extra_tool_command = "x";
         b.trailing = std::string(1000, '\0');
       },
       "x"},
      {"256-character command template",
       [](DistributableBuilder& b) { b.command = std::string(256, 'k'); }},
      {"archive that starts at the file's first byte",
       [](DistributableBuilder& b) {
         b.archive = b.stub + b.archive;
         b.stub.clear();
       }},
      {"archive holding a whole distributable",
       [](DistributableBuilder& b) { b.archive = b.bytes(); }},
  };
  for (Case& c : cases) {
    DistributableBuilder saved = builder_;
    c.change(builder_);
    Carved carved = carve_built();
    EXPECT_EQ(carved.status, CARVE_OK) << c.name;
    EXPECT_EQ(carved.message, "") << c.name;
    EXPECT_EQ(carved.result.command_template, builder_.command.substr(0, 256)) << c.name;
    EXPECT_TRUE(read_file(archive_path_) == builder_.archive) << c.name;
    EXPECT_EQ(carved.result.extra_tool_command, c.extra) << c.name;
    builder_ = saved;
  }
}

// With a work root on another file system the kernel cannot copy between the two files, and
// the copy goes through the buffer.
TEST_F(CarveTest, CopiesAcrossFileSystems) {
  struct stat here, shm;
  if (stat("/dev/shm", &shm) != 0 || stat(work_root_.c_str(), &here) != 0 ||
      here.st_dev == shm.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  char other[] = "/dev/shm/sfx_carve_XXXXXX";
  ASSERT_NE(mkdtemp(other), nullptr);
  builder_.archive = random_bytes(2 * 256 * 1024 + 3, 5);
  builder_.write(self_path_);
  Carved c = carve(self_path_, other);
  EXPECT_EQ(c.status, CARVE_OK);
  EXPECT_TRUE(read_file(std::string(other) + "/archive.zip") == builder_.archive);
  unlink((std::string(other) + "/archive.zip").c_str());
  rmdir(other);
}

TEST_F(CarveTest, EmptyArchive) {
  builder_.archive.clear();
  Carved c = carve_built();
  EXPECT_EQ(c.status, CARVE_OK);
  EXPECT_TRUE(c.result.archive_created);
  ASSERT_TRUE(path_exists(archive_path_));
  EXPECT_EQ(read_file(archive_path_), "");
}

TEST_F(CarveTest, ExistingArchiveIsTruncatedAndOverwritten) {
  write_file(archive_path_, std::string(20000, 'o'));
  Carved c = carve_built();
  EXPECT_EQ(c.status, CARVE_OK);
  EXPECT_TRUE(read_file(archive_path_) == builder_.archive);
}

// Files so short that the extra-tool probe is not made (d <= 328) or reads from position 1.
TEST_F(CarveTest, ShortFiles) {
  struct Case {
    size_t stub_size;
    size_t archive_size;
  } cases[] = {{0, 0}, {0, 1}, {0, 28}, {1, 28}, {0, 29}, {3, 30}};
  for (const Case& c : cases) {
    builder_.stub = std::string(c.stub_size, 's');
    builder_.archive = std::string(c.archive_size, 'a');
    Carved carved = carve_built();
    const std::string label = std::to_string(c.stub_size) + "+" + std::to_string(c.archive_size);
    EXPECT_EQ(carved.status, CARVE_OK) << label;
    EXPECT_EQ(carved.message, "") << label;
    EXPECT_EQ(read_file(archive_path_), builder_.archive) << label;
    EXPECT_EQ(carved.result.command_template, kExampleCommand) << label;
  }
}

TEST_F(CarveTest, SourceFailures) {
  const std::string not_found =
      "-E- Failed to find version pattern, qvr_fwsfx_gen is older than expected : '2.0', make "
      "sure to have the latest PVK\n";
  struct Case {
    const char* name;
    std::function<std::string(DistributableBuilder&)> make;  // Returns the file's bytes.
    int status;
    std::string message;  // "%s" stands for the path of the file.
    bool command_read;
  } cases[] = {
      {"no trailer", [](DistributableBuilder& b) { return b.stub + b.archive; }, CARVE_ERR_SOURCE,
       not_found, false},
      {"layout 2.1",
       [](DistributableBuilder& b) {
         b.layout_version_field = DistributableBuilder::field("2.1", 8);
         return b.bytes();
       },
       CARVE_ERR_SOURCE,
       "-E- Extractor layout version : '2.1' differs than expected '2.0', make sure generator "
       "and sfx_stub versions are matched\n",
       false},
      {"eight non-NUL version bytes",
       [](DistributableBuilder& b) {
         b.layout_version_field = "20000000";
         return b.bytes();
       },
       CARVE_ERR_SOURCE,
       "-E- Extractor layout version : '20000000' differs than expected '2.0', make sure "
       "generator and sfx_stub versions are matched\n",
       false},
      {"marker followed by a non-NUL byte",
       [](DistributableBuilder& b) {
         b.version_marker_field[18] = '=';
         return b.bytes();
       },
       CARVE_ERR_SOURCE, not_found, false},
      {"file shorter than a marker", [](DistributableBuilder&) { return std::string(31, 'x'); },
       CARVE_ERR_SOURCE, "-E- Failed to seek version Pattern offset, file : '%s'\n", false},
      {"command field before the file's start",
       [](DistributableBuilder& b) {
         return "x" + b.version_marker_field + b.layout_version_field;
       },
       CARVE_ERR_SOURCE, "-E- Failed to seek Exec cmd offset, file : '%s'\n", false},
      {"length one more than what precedes the trailer",
       [](DistributableBuilder& b) {
         b.archive_length = static_cast<std::uint32_t>(b.stub.size() + b.archive.size() + 1);
         return b.bytes();
       },
       CARVE_ERR_SOURCE, "-E- Failed to seek start offset, file '%s'\n", true},
      {"largest length",
       [](DistributableBuilder& b) {
         b.archive_length = 0xFFFFFFFF;
         return b.bytes();
       },
       CARVE_ERR_SOURCE, "-E- Failed to seek start offset, file '%s'\n", true},
  };
  for (Case& c : cases) {
    DistributableBuilder b = builder_;
    write_file(self_path_, c.make(b));
    Carved carved = carve(self_path_, work_root_);
    std::string expected = c.message;
    if (auto at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, self_path_);
    EXPECT_EQ(carved.status, c.status) << c.name;
    EXPECT_EQ(carved.message, expected) << c.name;
    EXPECT_FALSE(carved.result.archive_created) << c.name;
    EXPECT_EQ(carved.result.archive_path, "") << c.name;
    EXPECT_EQ(carved.result.command_template, c.command_read ? kExampleCommand : "") << c.name;
    EXPECT_FALSE(path_exists(archive_path_)) << c.name;
    EXPECT_FALSE(carved.result.extra_tool_command) << c.name;
  }
}

TEST_F(CarveTest, ExtraToolCommandStaysWhenALaterStepFails) {
  builder_.extra_tool_command = "fw --check";
  builder_.archive_length = 0xFFFFFFFF;
  Carved c = carve_built();
  EXPECT_EQ(c.status, CARVE_ERR_SOURCE);
  EXPECT_EQ(c.result.extra_tool_command, "fw --check");
}

TEST_F(CarveTest, MissingFile) {
  Carved c = carve(dir_ / "gone", work_root_);
  EXPECT_EQ(c.status, CARVE_ERR_SOURCE);
  EXPECT_EQ(c.message,
            "-E- Failed to Extract file " + dir_ / "gone" + ", No such file or directory\n");
}

// A pipe opens for reading but has no end to seek to.
TEST_F(CarveTest, FileWithoutAnEnd) {
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = open(fifo.c_str(), O_RDWR);  // So that opening for reading does not wait.
  ASSERT_GE(writer, 0);
  Carved c = carve(fifo, work_root_);
  close(writer);
  EXPECT_EQ(c.status, CARVE_ERR_SOURCE);
  EXPECT_EQ(c.message, "-E- Failed to seek file end, file :'" + fifo + "'\n");
}

TEST_F(CarveTest, UnwritableWorkRoot) {
  builder_.write(self_path_);
  struct Case {
    const char* name;
    std::string work_root;
    std::function<void()> prepare;
  } cases[] = {
      {"missing work root", dir_ / "missing", [] {}},
      {"work root is a file", self_path_, [] {}},
      {"archive.zip is a directory", work_root_,
       [this] { ASSERT_EQ(mkdir(archive_path_.c_str(), 0755), 0); }},
  };
  for (Case& c : cases) {
    c.prepare();
    Carved carved = carve(self_path_, c.work_root);
    const std::string path = c.work_root + "/archive.zip";
    EXPECT_EQ(carved.status, CARVE_ERR_OUTPUT) << c.name;
    EXPECT_EQ(carved.message, "-E- Failed to open file " + path + "\n") << c.name;
    EXPECT_EQ(carved.result.archive_path, path) << c.name;
    EXPECT_FALSE(carved.result.archive_created) << c.name;
    EXPECT_EQ(carved.result.command_template, kExampleCommand) << c.name;
  }
}

// Whatever someone put in the work root under the name archive.zip is removed, never written
// through or read: the archive is a file of this run's own, readable by its owner only.
TEST_F(CarveTest, PlantedArchiveNamesAreReplaced) {
  builder_.write(self_path_);
  const std::string target = dir_ / "victim";
  struct Case {
    const char* name;
    std::function<void()> plant;
  } cases[] = {
      {"a link to another file",
       [&] {
         write_file(target, "precious");
         ASSERT_EQ(symlink(target.c_str(), archive_path_.c_str()), 0);
       }},
      {"a dangling link", [&] { ASSERT_EQ(symlink("no/such/file", archive_path_.c_str()), 0); }},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(archive_path_.c_str(), 0666), 0); }},
      {"a file writable by all", [&] { write_file(archive_path_, "PK planted", 0666); }},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(archive_path_.c_str());
    c.plant();
    Carved carved = carve(self_path_, work_root_);
    EXPECT_EQ(carved.status, CARVE_OK);
    EXPECT_EQ(carved.message, "");
    struct stat st;
    ASSERT_EQ(lstat(archive_path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_ino, carved.result.archive_inode);
    EXPECT_TRUE(read_file(archive_path_) == builder_.archive);
  }
  EXPECT_EQ(read_file(target), "precious");
}

// A file-size limit makes the copy's writes fall short as a full device would.
TEST_F(CarveTest, FullDevice) {
  builder_.archive = random_bytes(300000, 6);
  builder_.write(self_path_);
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 100000;
  void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  Carved c = carve(self_path_, work_root_);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(c.status, CARVE_ERR_OUTPUT);
  EXPECT_EQ(c.message,
            "-E- Failed to write on file " + archive_path_ + ", might be out of space\n");
  EXPECT_TRUE(c.result.archive_created);
  EXPECT_EQ(c.result.command_template, kExampleCommand);
}

}  // namespace
