// Fuzz target for the trailer readers and archive carving over arbitrary file bytes.
//
// Each input becomes a file. read_trailer (which drives find_version_marker and
// read_extra_tool_section) and carve_archive (which calls read_trailer) read it, and both are checked against a plain reference reader
// that probes the bytes one position at a time, as the file layout is defined: the same
// outcome, the same fields, and archive.zip holding exactly the archive's bytes.
//
// Input format: the bytes of the file, except that an input beginning with kFillerTag asks for
// a large file: header (tag, 3 bytes filler length, 2 bytes split, 1 byte fill value), then
// the rest; the file is rest[0, split) + filler + rest[split, end). This lets short inputs put the
// marker far from the end and across the readers' block boundaries.

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_util.h"
#include "payload/carve.h"
#include "payload/trailer.h"
#include "testing/entry_points.h"

namespace {

using sfx_fuzz::check;

constexpr std::uint8_t kFillerTag = 0xF5;
constexpr std::size_t kFillerHeader = 7;
constexpr std::size_t kMaxFiller = 640 * 1024;  // Crosses two of the readers' 256 KiB blocks.

std::string g_input_path;
// The work root is on the input's file system for inputs of even length, where carving copies
// in the kernel, and on another one for odd lengths, where it falls back to its own buffer.
std::string g_work_roots[2];
std::string g_work_root;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The file the input stands for (see the input format above).
std::string file_bytes(const std::uint8_t* data, std::size_t size) {
  if (size < kFillerHeader || data[0] != kFillerTag) {
    return std::string(reinterpret_cast<const char*>(data), size);
  }
  const std::size_t filler =
      ((std::size_t{data[1]} << 16) | (std::size_t{data[2]} << 8) | data[3]) % kMaxFiller;
  const std::string rest(reinterpret_cast<const char*>(data + kFillerHeader), size - kFillerHeader);
  const std::size_t split =
      std::min<std::size_t>((std::size_t{data[4]} << 8) | data[5], rest.size());
  return rest.substr(0, split) + std::string(filler, static_cast<char>(data[6])) +
         rest.substr(split);
}

// What the layout says about a file, worked out position by position.
struct Reference {
  TrailerStatus status = TrailerStatus::kOk;
  std::int64_t command_at = -1;  // -1 until the trailer's fields are placed.
  bool has_extra_tool_section = false;
  std::string extra_tool_command;
  std::string command;
  std::uint32_t archive_length = 0;
  std::int64_t archive_offset = 0;
};

std::string text_at(const std::string& file, std::int64_t at, std::size_t size) {
  const std::string field = file.substr(static_cast<std::size_t>(at), size);
  return field.substr(0, field.find('\0'));
}

// The reference reader is the oracle, not the code under test: it is kept out of the coverage
// feedback and compares bytes by hand (memcmp calls would feed libFuzzer's comparison hooks).
#define SFX_FUZZ_ORACLE __attribute__((no_sanitize("coverage")))

SFX_FUZZ_ORACLE bool marker_at(const std::string& file, std::int64_t at,
                               const std::string& marker) {
  // The 32-byte field must fit the file; it matches when it begins with the marker and a NUL.
  if (at < 0 || static_cast<std::size_t>(at) + PayloadTrailer::MARKER_SIZE > file.size()) {
    return false;
  }
  const char* field = file.data() + at;
  for (std::size_t i = 0; i <= marker.size(); ++i) {
    if (field[i] != marker.c_str()[i]) return false;
  }
  return true;
}

SFX_FUZZ_ORACLE Reference reference_read(const std::string& file) {
  Reference ref;
  const std::int64_t length = static_cast<std::int64_t>(file.size());
  if (length < PayloadTrailer::MARKER_SIZE) {
    ref.status = TrailerStatus::kTooShort;
    return ref;
  }
  const std::string marker = version_marker_text();
  std::int64_t found = 0;
  for (std::int64_t p = length - PayloadTrailer::MARKER_SIZE; p >= 1 && found == 0; --p) {
    if (file[static_cast<std::size_t>(p)] == marker[0] && marker_at(file, p, marker)) found = p;
  }
  if (found == 0) {
    ref.status = TrailerStatus::kNoMarker;
    return ref;
  }
  if (found + PayloadTrailer::TAIL_SIZE > length) {
    ref.status = TrailerStatus::kNoVersion;
    return ref;
  }
  if (text_at(file, found + PayloadTrailer::MARKER_SIZE, PayloadTrailer::LAYOUT_VERSION_SIZE) !=
      PayloadTrailer::LAYOUT_VERSION) {
    ref.status = TrailerStatus::kVersionMismatch;
    return ref;
  }
  const std::int64_t d = found + PayloadTrailer::TAIL_SIZE;
  std::int64_t b = found;
  if (d > ExtraToolSection::PROBE_DISTANCE &&
      marker_at(file, d - ExtraToolSection::PROBE_DISTANCE, extra_tool_marker_text())) {
    ref.has_extra_tool_section = true;
    ref.extra_tool_command =
        text_at(file, d - ExtraToolSection::PROBE_DISTANCE + PayloadTrailer::MARKER_SIZE,
                PayloadTrailer::COMMAND_SIZE);
    b -= ExtraToolSection::SIZE;
  }
  if (b - PayloadTrailer::COMMAND_SIZE - PayloadTrailer::ARCHIVE_LENGTH_SIZE < 0) {
    ref.status = TrailerStatus::kCommandBeforeFile;
    return ref;
  }
  ref.command_at = b - PayloadTrailer::COMMAND_SIZE - PayloadTrailer::ARCHIVE_LENGTH_SIZE;
  ref.command = text_at(file, ref.command_at, PayloadTrailer::COMMAND_SIZE);
  for (int i = 0; i < PayloadTrailer::ARCHIVE_LENGTH_SIZE; ++i) {
    ref.archive_length = (ref.archive_length << 8) |
                         static_cast<std::uint8_t>(file[static_cast<std::size_t>(b - 4 + i)]);
  }
  ref.archive_offset = ref.command_at - static_cast<std::int64_t>(ref.archive_length);
  ref.status = ref.archive_offset < 0 ? TrailerStatus::kArchiveBeforeFile : TrailerStatus::kOk;
  return ref;
}

std::string read_whole(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> in(std::fopen(path.c_str(), "rb"));
  check(in != nullptr, "archive.zip is missing");
  std::string bytes;
  char buffer[65536];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, in.get()))
    bytes.append(buffer, got);
  return bytes;
}

void check_read_trailer(const Reference& ref) {
  std::unique_ptr<std::FILE, FileCloser> in(std::fopen(g_input_path.c_str(), "rb"));
  check(in != nullptr, "cannot open the input file");
  TrailerInfo info;
  const TrailerStatus status = read_trailer(in.get(), info);
  check(status == ref.status, "read_trailer: outcome differs from the reference");
  if (ref.command_at < 0) return;
  check(info.has_extra_tool_section == ref.has_extra_tool_section,
        "read_trailer: extra-tool section differs");
  check(info.extra_tool_command == ref.extra_tool_command, "read_trailer: extra-tool command");
  check(info.command == ref.command, "read_trailer: command differs");
  check(info.archive_length == ref.archive_length, "read_trailer: archive_length differs");
  check(info.archive_offset == ref.archive_offset, "read_trailer: archive offset differs");
  check(info.logical_end + info.trailing_count == info.file_length,
        "read_trailer: logical_end + trailing_count != file length");
}

void check_carve(const std::string& file, const Reference& ref) {
  CarveResult result;
  const int code = carve_archive(g_input_path, g_work_root, result);
  check(result.extra_tool_command.has_value() == ref.has_extra_tool_section,
        "carve: extra-tool section differs");
  if (ref.has_extra_tool_section) {
    check(*result.extra_tool_command == ref.extra_tool_command,
          "carve: extra-tool command differs");
  }
  if (ref.command_at >= 0) {
    check(result.command_template == ref.command, "carve: command_template differs");
  }
  if (ref.status != TrailerStatus::kOk) {
    check(code == CARVE_ERR_SOURCE, "carve: a file without a valid trailer was not refused");
    check(!result.archive_created, "carve: archive.zip created for an invalid trailer");
    return;
  }
  check(code == CARVE_OK, "carve: a valid trailer was not carved");
  check(result.archive_created, "carve: archive_created not set");
  check(result.archive_path == g_work_root + "/archive.zip", "carve: archive_path");
  check(read_whole(result.archive_path) ==
            file.substr(static_cast<std::size_t>(ref.archive_offset), ref.archive_length),
        "carve: archive.zip differs from the archive's bytes");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string scratch = sfx_fuzz::make_scratch_dir("trailer");
  g_input_path = scratch + "/input.bin";
  g_work_roots[0] = scratch + "/root";
  g_work_roots[1] = sfx_fuzz::make_disk_scratch_dir("trailer_disk");
  check(mkdir(g_work_roots[0].c_str(), 0700) == 0, "cannot create the work root");
  sfx_fuzz::silence_stdio();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  g_work_root = g_work_roots[size % 2];
  const std::string file = file_bytes(data, size);
  sfx_fuzz::write_input(g_input_path, reinterpret_cast<const std::uint8_t*>(file.data()),
                        file.size());
  const Reference ref = reference_read(file);
  check_read_trailer(ref);
  check_carve(file, ref);
  std::remove((g_work_root + "/archive.zip").c_str());
  return 0;
}
