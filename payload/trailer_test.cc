#include "payload/trailer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "extract/entry_rules.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::TempDir;
using sfx_testing::write_file;

// The forward marker texts as the generator writes them. They live in the test binary only.
const std::string kVersionMarker = "QVRT_VERSION_PATT:";
const std::string kExtraToolMarker = "QVRT_EXTRA_TOOL_PATT:";
const std::string kVersionField = DistributableBuilder::field(kVersionMarker, 32);
const std::string kExtraToolField = DistributableBuilder::field(kExtraToolMarker, 32);
const std::string kLayoutField = DistributableBuilder::field("2.0", 8);
const std::string kTail = kVersionField + kLayoutField;
const std::string kNul(1, '\0');

constexpr std::int64_t kBlock = 256 * 1024;  // The scan's block size, for boundary cases.

std::string seek_message(const std::string& path) {
  return "-E- Failed to seek version Pattern offset, file : '" + path + "'\n";
}
std::string read_message(const std::string& path) {
  return "-E- Failed to read version pattern : '" + path + "'\n";
}
std::string version_read_message(const std::string& path) {
  return "-E- Failed to read current version: '" + path + "'\n";
}
// The field comes from the file and is shown escaped.
std::string mismatch_message(const std::string& version) {
  return "-E- Extractor layout version : '" + printable_text(version) +
         "' differs than expected '2.0', make sure generator and sfx_stub versions are matched\n";
}
const std::string kNotFoundMessage =
    "-E- Failed to find version pattern, qvr_fwsfx_gen is older than expected : '2.0', make sure "
    "to have the latest PVK\n";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr open_read(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) ADD_FAILURE() << "cannot open " << path;
  return file;
}

struct ScanOutcome {
  bool found = false;
  std::uint64_t trailing_count = 0;  // Compared only when found.
  std::string message;
};

bool operator==(const ScanOutcome& a, const ScanOutcome& b) {
  return a.found == b.found && a.message == b.message &&
         (!a.found || a.trailing_count == b.trailing_count);
}

std::ostream& operator<<(std::ostream& out, const ScanOutcome& o) {
  return out << "{found=" << o.found << " t=" << o.trailing_count << " message=\"" << o.message
             << "\"}";
}

// The scan as one 32-byte probe per position from `start` down to 1: the behaviour that the
// block-wise scan must reproduce exactly.
ScanOutcome reference_scan(std::FILE* file, std::int64_t start, const std::string& path) {
  ScanOutcome out;
  std::int64_t p = start;
  while (p != 0) {
    if (fseeko(file, p, SEEK_SET) != 0) {
      out.message = seek_message(path);
      return out;
    }
    char probe[33] = {};
    if (std::fread(probe, 1, 32, file) != 32) {
      out.message = read_message(path);
      return out;
    }
    if (std::strcmp(probe, kVersionMarker.c_str()) == 0) {
      char version[9] = {};
      if (std::fread(version, 1, 8, file) != 8) {
        out.message = version_read_message(path);
        return out;
      }
      if (std::strcmp(version, "2.0") != 0) {
        out.message = mismatch_message(version);
        return out;
      }
      out.trailing_count -= 8;
      out.found = true;
      return out;
    }
    ++out.trailing_count;
    --p;
  }
  out.message = kNotFoundMessage;
  return out;
}

ScanOutcome scan(std::FILE* file, std::int64_t start, const std::string& path) {
  ScanOutcome out;
  TrailerInfo info;
  const TrailerStatus status =
      find_version_marker(file, start, out.trailing_count, info.layout_version);
  out.found = status == TrailerStatus::kOk;
  out.message = trailer_message(status, info, path);
  return out;
}

// Runs both scans on `bytes` (written to a file) from L - 32.
void expect_same_as_reference(const TempDir& dir, const std::string& bytes,
                              const std::string& label) {
  const std::string path = dir / "scan.bin";
  write_file(path, bytes);
  const std::int64_t start = static_cast<std::int64_t>(bytes.size()) - 32;
  FilePtr a = open_read(path);
  FilePtr b = open_read(path);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(scan(a.get(), start, path), reference_scan(b.get(), start, path)) << label;
}

class TrailerTest : public testing::Test {
 protected:
  // Writes `bytes` and scans them as carving does.
  ScanOutcome scan_bytes(const std::string& bytes) {
    write_file(path_, bytes);
    FilePtr file = open_read(path_);
    return scan(file.get(), static_cast<std::int64_t>(bytes.size()) - 32, path_);
  }

  TempDir dir_;
  const std::string path_ = dir_ / "dist.bin";
};

TEST_F(TrailerTest, MarkersAreKeptReversedAndTurnedAround) {
  EXPECT_EQ(version_marker_text(), kVersionMarker);
  EXPECT_EQ(extra_tool_marker_text(), kExtraToolMarker);
}

struct ScanCase {
  const char* name;
  std::string bytes;
  ScanOutcome expected;  // message "%s" stands for the file's path
};

TEST_F(TrailerTest, FindVersionMarkerCases) {
  const std::string head(100, 'x');
  const std::string marker_then_x = kVersionMarker + "X" + std::string(13, '\0');
  const std::vector<ScanCase> cases = {
      {"as the generator writes it", head + kTail, {true, 0, ""}},
      {"five trailing bytes", head + kTail + "abcde", {true, 5, ""}},
      {"trailing bytes holding a marker without NUL",
       head + kTail + kVersionMarker + "Z" + std::string(20, 'z'),
       {true, 39, ""}},
      {"2.0, NUL, then other bytes",
       head + kVersionField + std::string("2.0\0xyz!", 8),
       {true, 0, ""}},
      {"2.1",
       head + kVersionField + DistributableBuilder::field("2.1", 8),
       {false, 0, mismatch_message("2.1")}},
      {"eight non-NUL version bytes",
       head + kVersionField + "2.0.1234",
       {false, 0, mismatch_message("2.0.1234")}},
      {"version that would drive the terminal",
       head + kVersionField + DistributableBuilder::field("\x1b[2J\x1b[H", 8),
       {false, 0, "-E- Extractor layout version : '\\x1b[2J\\x1b[H' differs than expected '2.0', "
                  "make sure generator and sfx_stub versions are matched\n"}},
      {"empty version",
       head + kVersionField + std::string(8, '\0'),
       {false, 0, mismatch_message("")}},
      {"marker followed by a non-NUL byte: scan goes on to an earlier marker",
       head + kTail + std::string(50, 'y') + marker_then_x + kLayoutField,
       {true, 90, ""}},
      {"marker followed by a non-NUL byte only",
       head + marker_then_x + kLayoutField,
       {false, 0, kNotFoundMessage}},
      {"two markers: the one nearer the end decides", head + kTail + "junk" + kTail, {true, 0, ""}},
      {"two markers: the nearer one's wrong version ends the scan",
       head + kTail + "junk" + kVersionField + DistributableBuilder::field("3.0", 8),
       {false, 0, mismatch_message("3.0")}},
      {"marker with fewer than 8 bytes after it",
       head + kVersionField + std::string("2.0\0\0\0\0", 7),
       {false, 0, version_read_message("%s")}},
      {"marker at the very end", head + kVersionField, {false, 0, version_read_message("%s")}},
      {"no marker at all", std::string(5000, 'Q'), {false, 0, kNotFoundMessage}},
      {"marker at position 1 is probed", "#" + kTail, {true, 0, ""}},
      {"marker at position 0 is never probed", kTail, {false, 0, kNotFoundMessage}},
      {"exactly 32 bytes: nothing probed", std::string(32, 'a'), {false, 0, kNotFoundMessage}},
      {"31 bytes: the first seek fails", std::string(31, 'a'), {false, 0, seek_message("%s")}},
      {"empty file", "", {false, 0, seek_message("%s")}},
  };
  for (const ScanCase& c : cases) {
    ScanOutcome expected = c.expected;
    if (std::string::size_type at = expected.message.find("%s"); at != std::string::npos) {
      expected.message.replace(at, 2, path_);
    }
    EXPECT_EQ(scan_bytes(c.bytes), expected) << c.name;
  }
}

// Every small file with a version marker field planted at every position, whole or cut short,
// with a sound or a broken version: the block scan agrees with the per-position probe.
TEST_F(TrailerTest, ScanMatchesPerPositionProbeOnSmallFiles) {
  const std::vector<std::string> plants = {
      kTail,          kVersionField + "2.1",        kVersionMarker + kNul,
      kVersionMarker, kVersionMarker.substr(0, 10), kVersionMarker + "!" + kLayoutField,
  };
  for (size_t length : {0, 1, 19, 31, 32, 33, 40, 41, 48, 49, 64}) {
    for (size_t at = 0; at <= length; ++at) {
      for (size_t i = 0; i < plants.size(); ++i) {
        std::string bytes(length, '.');
        bytes.replace(at, plants[i].size(), plants[i]);
        bytes.resize(length, '.');
        expect_same_as_reference(dir_, bytes,
                                 "length " + std::to_string(length) + " plant " +
                                     std::to_string(i) + " at " + std::to_string(at));
      }
    }
  }
}

// Random bytes that often hold the marker's first character and its prefixes, so that the
// in-memory search meets many near misses.
std::string noisy_bytes(std::mt19937& rng, size_t size) {
  static const std::string alphabet = std::string("QVRT_:\0x", 8);
  std::uniform_int_distribution<size_t> pick(0, 99);
  std::string out;
  out.reserve(size);
  while (out.size() < size) {
    if (pick(rng) < 2) {
      // A prefix of the marker, or the whole marker followed by a byte other than NUL.
      const size_t n = 1 + pick(rng) % 18;
      out += kVersionMarker.substr(0, n);
      if (n == 18) out += 'Z';
    } else {
      out += alphabet[pick(rng) % alphabet.size()];
    }
  }
  out.resize(size);
  return out;
}

TEST_F(TrailerTest, ScanMatchesPerPositionProbeNearBlockBoundaries) {
  std::mt19937 rng(20240404);
  const std::vector<std::string> plants = {kTail, kVersionField + "2.5",
                                           kVersionMarker + kNul + "2.0"};
  for (const std::int64_t length : {kBlock + 31, kBlock + 32, kBlock + 33, 2 * kBlock + 40}) {
    const std::int64_t start = length - 32;
    // First candidate of the first block and last of the second, and their neighbours.
    for (const std::int64_t delta : {-33, -32, -19, -18, -1, 0, 1, 13, 18, 19, 31}) {
      const std::int64_t at = start - kBlock + 1 + delta;
      if (at < 0 || at >= length) continue;
      const std::string& plant = plants[static_cast<size_t>(delta + 33) % plants.size()];
      std::string bytes = noisy_bytes(rng, static_cast<size_t>(length));
      bytes.replace(static_cast<size_t>(at), plant.size(), plant);
      bytes.resize(static_cast<size_t>(length), 'x');
      expect_same_as_reference(dir_, bytes,
                               "length " + std::to_string(length) + " at " + std::to_string(at));
    }
  }
  // Nothing to find: both scan back to position 1 through the noise.
  expect_same_as_reference(dir_, noisy_bytes(rng, 2 * kBlock + 77), "noise only");
}

TEST_F(TrailerTest, ScanMatchesPerPositionProbeOnRandomFiles) {
  std::mt19937 rng(77);
  const std::vector<std::string> plants = {kTail,
                                           kTail + "tail",
                                           kVersionField + "2.1",
                                           kVersionField + std::string("2.0\0\0\0", 6),
                                           kVersionMarker,
                                           kVersionMarker + kNul};
  for (int round = 0; round < 300; ++round) {
    const size_t length = std::uniform_int_distribution<size_t>(0, 3000)(rng);
    std::string bytes = noisy_bytes(rng, length);
    const int plant_count = std::uniform_int_distribution<int>(0, 3)(rng);
    for (int i = 0; i < plant_count && length > 0; ++i) {
      const size_t at = std::uniform_int_distribution<size_t>(0, length - 1)(rng);
      const std::string& plant =
          plants[std::uniform_int_distribution<size_t>(0, plants.size() - 1)(rng)];
      bytes.replace(at, plant.size(), plant);
      bytes.resize(length, 'x');
    }
    expect_same_as_reference(dir_, bytes, "round " + std::to_string(round));
  }
}

// A stream over bytes in memory whose seeks can be made to fail from the n-th on and whose
// reads end early at a chosen position, for the failures a regular file does not produce.
struct FaultyStream {
  std::string bytes;
  std::int64_t position = 0;
  int seeks_allowed = 1 << 30;
  std::int64_t readable_end = INT64_MAX;

  static ssize_t read(void* cookie, char* buffer, size_t size) {
    auto* self = static_cast<FaultyStream*>(cookie);
    const std::int64_t end =
        std::min<std::int64_t>(static_cast<std::int64_t>(self->bytes.size()), self->readable_end);
    if (self->position >= end) return 0;
    const size_t n = static_cast<size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(size), end - self->position));
    std::memcpy(buffer, self->bytes.data() + self->position, n);
    self->position += static_cast<std::int64_t>(n);
    return static_cast<ssize_t>(n);
  }
  static int seek(void* cookie, off64_t* offset, int whence) {
    auto* self = static_cast<FaultyStream*>(cookie);
    if (self->seeks_allowed-- <= 0) return -1;
    std::int64_t base = whence == SEEK_SET   ? 0
                        : whence == SEEK_CUR ? self->position
                                             : static_cast<std::int64_t>(self->bytes.size());
    if (base + *offset < 0) return -1;
    self->position = base + *offset;
    *offset = self->position;
    return 0;
  }

  FilePtr open() {
    cookie_io_functions_t io = {};
    io.read = &FaultyStream::read;
    io.seek = &FaultyStream::seek;
    return FilePtr(fopencookie(this, "rb", io));
  }
};

TEST_F(TrailerTest, FindVersionMarkerReportsStreamFailures) {
  const std::string far_trailer = kTail + std::string(static_cast<size_t>(kBlock) + 100, 'n');
  struct Case {
    const char* name;
    std::string bytes;
    int seeks_allowed;
    std::int64_t readable_end;
    std::string expected;
  } cases[] = {
      {"first seek fails", "...." + kTail, 0, INT64_MAX, seek_message("p")},
      {"seek to the second block fails", "." + far_trailer, 1, INT64_MAX, seek_message("p")},
      {"file ends early", "." + far_trailer, 1 << 30, kBlock, read_message("p")},
  };
  for (Case& c : cases) {
    FaultyStream stream{c.bytes, 0, c.seeks_allowed, c.readable_end};
    FilePtr file = stream.open();
    ASSERT_TRUE(file);
    ScanOutcome outcome = scan(file.get(), static_cast<std::int64_t>(c.bytes.size()) - 32, "p");
    EXPECT_FALSE(outcome.found) << c.name;
    EXPECT_EQ(outcome.message, c.expected) << c.name;
  }
}

// A file with `before` ahead of an extra-tool section field pair, then the tail.
std::string with_section(const std::string& before, const std::string& marker_field,
                         const std::string& command_field) {
  return before + marker_field + command_field + kTail;
}

TEST_F(TrailerTest, ReadExtraToolSectionCases) {
  const std::string head(64, 'h');
  const std::string long_command(256, 'c');
  struct Case {
    const char* name;
    std::string bytes;
    std::int64_t position;
    bool ok;
    std::int32_t section_size;
    std::vector<std::string> appended;
    std::string message;  // "%s" stands for the path
  } cases[] = {
      {"section with a command",
       with_section(head, kExtraToolField, DistributableBuilder::field("tool %device% -y", 256)),
       64,
       true,
       288,
       {"tool %device% -y"},
       ""},
      {"empty command",
       with_section(head, kExtraToolField, std::string(256, '\0')),
       64,
       true,
       288,
       {""},
       ""},
      {"256-character command without NUL",
       with_section(head, kExtraToolField, long_command),
       64,
       true,
       288,
       {long_command},
       ""},
      {"marker followed by a non-NUL byte",
       with_section(head, DistributableBuilder::field(kExtraToolMarker + "!", 32), long_command),
       64,
       true,
       0,
       {},
       ""},
      {"no marker: the archive's end and the command field",
       head + std::string(600, 'a'),
       64,
       true,
       0,
       {},
       ""},
      {"marker bytes after the first NUL are not examined",
       with_section(head, kExtraToolMarker + std::string("\0junkjunkjunk", 11),
                    DistributableBuilder::field("x", 256)),
       64,
       true,
       288,
       {"x"},
       ""},
      {"position 0: no probe", kExtraToolField + long_command + kTail, 0, true, 0, {}, ""},
      {"negative position: no probe", head, -5, true, 0, {}, ""},
      {"fewer than 32 bytes at the position",
       head,
       60,
       false,
       0,
       {},
       "-E- Failed to read extra tool Pattern : '%s'\n"},
      {"command cut short",
       head + kExtraToolField + "short",
       64,
       false,
       0,
       {},
       "-E- Failed to read extra tool cmd : '%s'\n"},
  };
  for (Case& c : cases) {
    write_file(path_, c.bytes);
    FilePtr file = open_read(path_);
    std::optional<std::string> command = "stale";
    const TrailerStatus status = read_extra_tool_section(file.get(), c.position, command);
    const std::string message = trailer_message(status, TrailerInfo{}, path_);
    std::string expected = c.message;
    if (auto at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, path_);
    EXPECT_EQ(status == TrailerStatus::kOk, c.ok) << c.name;
    EXPECT_EQ(command ? ExtraToolSection::SIZE : 0, c.section_size) << c.name;
    EXPECT_EQ(command ? std::vector<std::string>{*command} : std::vector<std::string>{},
              c.appended)
        << c.name;
    EXPECT_EQ(message, expected) << c.name;
  }
}

TEST_F(TrailerTest, ReadExtraToolSectionSeekFailure) {
  FaultyStream stream{with_section("hhhh", kExtraToolField, std::string(256, 'c')), 0, 0};
  FilePtr file = stream.open();
  std::optional<std::string> command;
  const TrailerStatus status = read_extra_tool_section(file.get(), 4, command);
  EXPECT_EQ(trailer_message(status, TrailerInfo{}, "p"),
            "-E- Failed to seek extra tool Pattern offset, file : 'p'\n");
  EXPECT_FALSE(command);
}

TEST_F(TrailerTest, EncodeTrailerWritesTheGeneratorsLayout) {
  DistributableBuilder builder;
  builder.stub = "";
  builder.archive = "";
  builder.command = "trevalo -u %argv%";
  builder.archive_length = 0x0315E614;
  EXPECT_EQ(encode_trailer(builder.command, 0x0315E614, std::nullopt), builder.bytes());
  EXPECT_EQ(builder.bytes().size(), 300u);

  builder.extra_tool_command = "fwtool -q %device%";
  EXPECT_EQ(encode_trailer(builder.command, 0x0315E614, builder.extra_tool_command),
            builder.bytes());
  EXPECT_EQ(builder.bytes().size(), 588u);
  EXPECT_EQ(builder.bytes().substr(256, 4), std::string("\x03\x15\xE6\x14", 4));
}

TEST_F(TrailerTest, ReadTrailerReportsWhatItFound) {
  DistributableBuilder sound;
  sound.stub = std::string(700, 's');
  sound.archive = std::string(1000, 'a');
  sound.command = "trevalo %argv%";

  struct Case {
    const char* name;
    std::string bytes;
    TrailerStatus status;
  };
  auto variant = [&](auto change) {
    DistributableBuilder b = sound;
    change(b);
    return b.bytes();
  };
  const Case cases[] = {
      {"too short", std::string(20, 'x'), TrailerStatus::kTooShort},
      {"no marker", std::string(2000, 'x'), TrailerStatus::kNoMarker},
      {"no version", std::string(50, 'x') + kVersionField + "2.0", TrailerStatus::kNoVersion},
      {"other version",
       variant([](DistributableBuilder& b) { b.layout_version_field = "9.9" + std::string(5, 0); }),
       TrailerStatus::kVersionMismatch},
      {"length beyond the start", variant([](DistributableBuilder& b) { b.archive_length = 1701; }),
       TrailerStatus::kArchiveBeforeFile},
      {"fields before the start", "x" + kTail, TrailerStatus::kCommandBeforeFile},
  };
  for (const Case& c : cases) {
    write_file(path_, c.bytes);
    FilePtr file = open_read(path_);
    TrailerInfo info;
    EXPECT_EQ(read_trailer(file.get(), info), c.status) << c.name;
  }

  DistributableBuilder with_extra = sound;
  with_extra.extra_tool_command = "fwtool %device%";
  with_extra.trailing = "12345";
  write_file(path_, with_extra.bytes());
  FilePtr file = open_read(path_);
  TrailerInfo info;
  ASSERT_EQ(read_trailer(file.get(), info), TrailerStatus::kOk);
  EXPECT_EQ(info.file_length, 700u + 1000 + 588 + 5);
  EXPECT_EQ(info.trailing_count, 5u);
  EXPECT_EQ(info.logical_end, 700u + 1000 + 588);
  EXPECT_EQ(info.layout_version, "2.0");
  EXPECT_TRUE(info.has_extra_tool_section);
  EXPECT_EQ(info.extra_tool_command, "fwtool %device%");
  EXPECT_EQ(info.command, "trevalo %argv%");
  EXPECT_EQ(info.archive_length, 1000u);
  EXPECT_EQ(info.archive_offset, 700);
}

}  // namespace
