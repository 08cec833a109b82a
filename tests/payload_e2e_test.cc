// End-to-end runs of distributable files with hand-built trailers: the stub finds its own
// trailer, rejects broken ones with their messages, and copies the archive out.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::random_bytes;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunResult;
using sfx_testing::TempDir;
using sfx_testing::WorkRootWatch;

const std::string kNotFound =
    "-E- Failed to find version pattern, qvr_fwsfx_gen is older than expected : '2.0', make sure "
    "to have the latest PVK\n";
// Carving succeeded; the bytes copied out are no ZIP archive, so extraction refuses them.
const std::string kCarvedNotZip = "-E- No valid attachment found\n";

std::string version_message(const std::string& version) {
  return "-E- Extractor layout version : '" + version +
         "' differs than expected '2.0', make sure generator and sfx_stub versions are matched\n";
}

std::string real_path(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? buffer : path;
}

// Archive bytes that are not a ZIP archive (no byte 'P', so no ZIP signature anywhere).
std::string not_a_zip(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out(size, '\0');
  for (char& c : out) {
    c = static_cast<char>(rng() & 0xFF);
    if (c == 'P') c = 'p';
  }
  return out;
}

sfx_testing::RunOptions in_dir(const std::string& dir) {
  sfx_testing::RunOptions options;
  options.cwd = dir;
  return options;
}

DistributableBuilder sound_builder() {
  DistributableBuilder b;
  b.archive = not_a_zip(70000, 1);
  b.command = "trevalo -u %current-dir%  %argv%";
  return b;
}

TEST(PayloadE2E, StubImageHoldsNoForwardMarker) {
  const std::string image = read_file(sfx_testing::stub_path());
  ASSERT_GT(image.size(), 10000u);
  EXPECT_EQ(image.find("QVRT_VERSION_PATT:"), std::string::npos);
  EXPECT_EQ(image.find("QVRT_EXTRA_TOOL_PATT:"), std::string::npos);
}

// Runs with a temporary work root: each outcome is one message and 252, and nothing stays
// behind in /tmp.
TEST(PayloadE2E, TrailerOutcomes) {
  struct Case {
    const char* name;
    std::function<std::string(DistributableBuilder&)> make;  // The file's bytes.
    std::string err;  // "%s" stands for the file's real path.
  } cases[] = {
      {"the stub alone", [](DistributableBuilder& b) { return b.stub; }, kNotFound},
      {"no trailer", [](DistributableBuilder& b) { return b.stub + b.archive; }, kNotFound},
      {"layout 2.1",
       [](DistributableBuilder& b) {
         b.layout_version_field = DistributableBuilder::field("2.1", 8);
         return b.bytes();
       },
       version_message("2.1")},
      {"eight non-NUL version bytes",
       [](DistributableBuilder& b) {
         b.layout_version_field = "2.0.0001";
         return b.bytes();
       },
       version_message("2.0.0001")},
      {"marker followed by a non-NUL byte",
       [](DistributableBuilder& b) {
         b.version_marker_field[18] = ' ';
         return b.bytes();
       },
       kNotFound},
      {"trailing marker with another layout is the one used",
       [](DistributableBuilder& b) {
         b.trailing = b.version_marker_field + DistributableBuilder::field("2.1", 8);
         return b.bytes();
       },
       version_message("2.1")},
      {"length larger than the file",
       [](DistributableBuilder& b) {
         b.archive_length = static_cast<std::uint32_t>(b.stub.size() + b.archive.size() + 1);
         return b.bytes();
       },
       "-E- Failed to seek start offset, file '%s'\n"},
      {"as the generator writes it", [](DistributableBuilder& b) { return b.bytes(); },
       kCarvedNotZip},
      {"trailing bytes",
       [](DistributableBuilder& b) {
         b.trailing = "12345";
         return b.bytes();
       },
       kCarvedNotZip},
      {"2.0, NUL, then other bytes",
       [](DistributableBuilder& b) {
         b.layout_version_field = std::string("2.0\0abcd", 8);
         return b.bytes();
       },
       kCarvedNotZip},
      {"nearer marker sound, earlier one of another layout",
       [](DistributableBuilder& b) {
         DistributableBuilder inner = b;
         inner.stub.clear();
         inner.layout_version_field = DistributableBuilder::field("1.0", 8);
         b.archive = inner.bytes();
         return b.bytes();
       },
       kCarvedNotZip},
      {"extra-tool section",
       [](DistributableBuilder& b) {
         b.extra_tool_command = "fwtool %device%";
         return b.bytes();
       },
       kCarvedNotZip},
      {"empty archive",
       [](DistributableBuilder& b) {
         b.archive.clear();
         return b.bytes();
       },
       kCarvedNotZip},
  };
  int index = 0;
  for (Case& c : cases) {
    TempDir dir;
    const std::string name = "plrun" + std::to_string(index++);
    const std::string path = dir / (name + ".bin");
    DistributableBuilder b = sound_builder();
    sfx_testing::write_file(path, c.make(b), 0755);
    std::string expected = c.err;
    if (auto at = expected.find("%s"); at != std::string::npos) {
      expected.replace(at, 2, real_path(path));
    }
    WorkRootWatch watch;
    RunResult r = run_program(path, {}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 252) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(r.err, expected) << c.name;
    EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{}) << c.name;
  }
}

class PayloadExtractDirE2E : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(out_.c_str(), 0755), 0);
    builder_ = sound_builder();
  }
  RunResult run(const std::vector<std::string>& extra_args = {}) {
    builder_.write(path_);
    std::vector<std::string> args = {"--sfx-extract-dir", out_};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    return run_program(path_, args, in_dir(dir_.path()));
  }

  TempDir dir_;
  const std::string path_ = dir_ / "plx.bin";
  const std::string out_ = real_path(dir_.path()) + "/out";
  const std::string archive_path_ = out_ + "/archive.zip";
  DistributableBuilder builder_;
};

// archive.zip planted as a link to a file elsewhere: the link is removed, never written
// through, and the copy is a file of the run's own, removed with the clean-up.
TEST_F(PayloadExtractDirE2E, PlantedLinkIsNotFollowed) {
  builder_.archive = not_a_zip(3 * 1024 * 1024 + 11, 2);
  builder_.trailing = "tail";
  const std::string sink = dir_ / "sink.bin";
  sfx_testing::write_file(sink, "precious");
  ASSERT_EQ(symlink(sink.c_str(), archive_path_.c_str()), 0);
  RunResult r = run();
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.err, kCarvedNotZip);
  EXPECT_EQ(read_file(sink), "precious");
  EXPECT_EQ(list_dir(out_), std::vector<std::string>{});
}

TEST_F(PayloadExtractDirE2E, ArchiveCannotBeOpened) {
  ASSERT_EQ(mkdir(archive_path_.c_str(), 0755), 0);
  RunResult r = run();
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "-E- Failed to open file " + archive_path_ + "\n");
  // Not created by the run, so not removed; the payload directory is.
  EXPECT_EQ(list_dir(out_), std::vector<std::string>{"archive.zip"});
}

// A file-size limit, with SIGXFSZ ignored by whoever started the stub, makes the copy's
// writes fall short as a full device would.
TEST_F(PayloadExtractDirE2E, FullDevice) {
  builder_.archive = not_a_zip(3 * 1024 * 1024, 3);
  builder_.write(path_);
  RunResult r = run_program("/bin/sh",
                            {"-c", "trap '' XFSZ; exec prlimit --fsize=100000 \"$0\" \"$@\"", path_,
                             "--sfx-extract-dir", out_},
                            in_dir(dir_.path()));
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "-E- Failed to write on file " + archive_path_ + ", might be out of space\n");
  EXPECT_EQ(list_dir(out_), std::vector<std::string>{});
}

// A distributable named archive.zip, unpacked next to itself: the copy must not be written
// over the running file.
TEST_F(PayloadExtractDirE2E, DoesNotOverwriteItself) {
  const std::string self = out_ + "/archive.zip";
  builder_.write(self);
  RunResult r = run_program(self, {"--sfx-extract-dir", out_}, in_dir(dir_.path()));
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.err, "-E- Failed to open file " + self + "\n");
  EXPECT_TRUE(read_file(self) == builder_.bytes());
}

// The template's own "--no_extract_list" hands extract-only mode on to the payload command,
// so the stub does not announce an extraction of its own.
TEST_F(PayloadExtractDirE2E, NoExtractListRuleSeesTheTemplate) {
  RunResult plain = run({"--sfx-extract-only"});
  EXPECT_EQ(plain.exit_code, 252);
  EXPECT_EQ(plain.out, "Extracting to " + out_ + "/plx-dir ...");
  EXPECT_EQ(plain.err, kCarvedNotZip);

  builder_.command = "trevalo --no_extract_list %argv%";
  RunResult handed_on = run({"--sfx-extract-only"});
  EXPECT_EQ(handed_on.exit_code, 252);
  EXPECT_EQ(handed_on.out, "");
  EXPECT_EQ(handed_on.err, kCarvedNotZip);
  EXPECT_FALSE(path_exists(archive_path_));
}

// The payload command finds archive.zip beside its directory, whole, also when the template
// hands extract-only mode on to it.
TEST_F(PayloadExtractDirE2E, PayloadCommandFindsTheWholeCopy) {
  const std::string seen = dir_ / "seen.zip";
  builder_.archive = sfx_testing::make_zip(
      {sfx_testing::ZipEntry::file("copy.sh", "#!/bin/sh\ncp ../archive.zip \"$1\"\n", 0100755),
       sfx_testing::ZipEntry::file("data", random_bytes(3 << 20, 4))});
  struct Case {
    const char* name;
    std::string command;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"normal run", "copy.sh " + seen, {}},
      {"extract-only handed on", "copy.sh " + seen + " --no_extract_list", {"--sfx-extract-only"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(seen.c_str());
    builder_.command = c.command;
    RunResult r = run(c.args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_file(seen) == builder_.archive);
    EXPECT_EQ(list_dir(out_), std::vector<std::string>{});
  }
}

// In extract-only mode nothing reads archive.zip, so none is made: a directory in its place
// is no obstacle and stays as it was, and a file-size limit below the archive's size but
// above every file's lets the run succeed (a copy would have run into it).
TEST_F(PayloadExtractDirE2E, ExtractOnlyMakesNoCopy) {
  std::vector<sfx_testing::ZipEntry> files;
  for (int i = 0; i < 8; ++i) {
    sfx_testing::ZipEntry file =
        sfx_testing::ZipEntry::file("f" + std::to_string(i), random_bytes(60000, 20 + i));
    file.deflate = false;
    files.push_back(file);
  }
  builder_.archive = sfx_testing::make_zip(files);
  builder_.write(path_);
  const std::string payload = out_ + "/plx-dir";
  struct Case {
    const char* name;
    bool plant_directory;
    std::string limit;  // prlimit's --fsize, or empty.
  };
  for (const Case& c : {Case{"directory named archive.zip", true, ""},
                        Case{"file-size limit below the archive", false, "100000"}}) {
    SCOPED_TRACE(c.name);
    if (c.plant_directory) {
      ASSERT_EQ(mkdir(archive_path_.c_str(), 0755), 0);
    }
    RunResult r = run_program(
        "/bin/sh",
        {"-c", "trap '' XFSZ; exec ${LIMIT:+prlimit --fsize=$LIMIT} \"$0\" \"$@\"", path_,
         "--sfx-extract-dir", out_, "--sfx-extract-only"},
        [&] {
          sfx_testing::RunOptions options = in_dir(dir_.path());
          options.env_set.emplace_back("LIMIT", c.limit);
          return options;
        }());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Extracting to " + payload + " ... Done\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(payload).size(), 8u);
    const std::vector<std::string> left =
        c.plant_directory ? std::vector<std::string>{"archive.zip", "plx-dir"}
                          : std::vector<std::string>{"plx-dir"};
    EXPECT_EQ(list_dir(out_), left);
    std::filesystem::remove_all(payload);
    rmdir(archive_path_.c_str());
  }
}

}  // namespace
