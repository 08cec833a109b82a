#include "payload/trailer.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "extract/entry_rules.h"

namespace {

// The markers are kept reversed so that the backward scan never meets them in the stub's own
// image; each lookup turns its copy around before use.
constexpr char kReversedVersionMarker[PayloadTrailer::MARKER_SIZE] = ":TTAP_NOISREV_TRVQ";
constexpr char kReversedExtraToolMarker[PayloadTrailer::MARKER_SIZE] = ":TTAP_LOOT_ARTXE_TRVQ";

// Bytes of the file searched per read during the backward scan.
constexpr std::int64_t kScanBlockSize = 256 * 1024;
// How far ahead of the block being read the scan asks the kernel to start reading. Going
// backwards defeats the kernel's own read-ahead, which only looks forward.
constexpr std::int64_t kScanPrefetch = 8 * kScanBlockSize;

std::string unreverse(const char (&reversed)[PayloadTrailer::MARKER_SIZE]) {
  char buffer[PayloadTrailer::MARKER_SIZE];
  std::memcpy(buffer, reversed, sizeof buffer);
  const size_t n = std::strlen(buffer);
  for (size_t i = 0; i < n / 2; ++i) std::swap(buffer[i], buffer[n - 1 - i]);
  return std::string(buffer, n);
}

// The text of a NUL-padded field: its bytes up to the first NUL, or all of them.
std::string field_text(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

bool seek_to(std::FILE* file, std::int64_t position) {
  return position >= 0 && fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool read_exactly(std::FILE* file, char* buffer, size_t size) {
  return std::fread(buffer, 1, size, file) == size;
}

enum class ScanResult { kFound, kSeekFailed, kReadFailed, kNotFound };

// Finds the marker field nearest the end of the file whose start lies in [1, start]: the
// marker text followed by a NUL. The result is the one a probe of 32 bytes at start, start - 1,
// ..., 1 would give, but the file is read in large blocks and searched in memory.
ScanResult scan_backwards(std::FILE* file, std::int64_t start, const std::string& marker,
                          std::int64_t& found_at) {
  if (start == 0) return ScanResult::kNotFound;
  if (start < 0) return ScanResult::kSeekFailed;
  const std::int64_t match_size = static_cast<std::int64_t>(marker.size()) + 1;
  std::vector<char> block(static_cast<size_t>(kScanBlockSize + PayloadTrailer::MARKER_SIZE));
  // Positions still to search: 1..high. Each block covers candidate starts low..high, and reads
  // the whole 32-byte field of the highest one, exactly as a probe would.
  const int fd = fileno(file);  // -1 for a stream that is not backed by a file.
  std::int64_t advised_from = start + PayloadTrailer::MARKER_SIZE;  // Nothing asked for yet.
  for (std::int64_t high = start; high >= 1;) {
    const std::int64_t low = std::max<std::int64_t>(1, high - kScanBlockSize + 1);
    if (fd >= 0 && advised_from > 0 && advised_from > low - kScanPrefetch / 2) {
      const std::int64_t from = std::max<std::int64_t>(0, low - kScanPrefetch);
      posix_fadvise(fd, from, advised_from - from, POSIX_FADV_WILLNEED);
      advised_from = from;
    }
    const size_t length = static_cast<size_t>(high - low + PayloadTrailer::MARKER_SIZE);
    if (!seek_to(file, low)) return ScanResult::kSeekFailed;
    if (!read_exactly(file, block.data(), length)) return ScanResult::kReadFailed;
    // The last match in the block is the one a probe would meet first. memmem skips ahead by
    // about the marker's length at each step, so bytes that merely begin like the marker (a
    // run of its first character, say) cost no more than any others.
    const size_t haystack = static_cast<size_t>(high - low + match_size);
    const char* last = nullptr;
    for (const char* from = block.data();
         const void* hit = memmem(from, haystack - static_cast<size_t>(from - block.data()),
                                  marker.c_str(), static_cast<size_t>(match_size));
         from = static_cast<const char*>(hit) + 1) {
      last = static_cast<const char*>(hit);
    }
    if (last != nullptr) {
      found_at = low + (last - block.data());
      return ScanResult::kFound;
    }
    high = low - 1;
  }
  return ScanResult::kNotFound;
}

}  // namespace

std::string version_marker_text() { return unreverse(kReversedVersionMarker); }
std::string extra_tool_marker_text() { return unreverse(kReversedExtraToolMarker); }

TrailerStatus find_version_marker(std::FILE* file, std::int64_t start,
                                  std::uint64_t& trailing_count, std::string& layout_version) {
  std::int64_t found_at = 0;
  switch (scan_backwards(file, start, version_marker_text(), found_at)) {
    case ScanResult::kSeekFailed:
      return start < 0 ? TrailerStatus::kTooShort : TrailerStatus::kScanSeekFailed;
    case ScanResult::kReadFailed:
      return TrailerStatus::kScanReadFailed;
    case ScanResult::kNotFound:
      return TrailerStatus::kNoMarker;
    case ScanResult::kFound:
      break;
  }
  char version[PayloadTrailer::LAYOUT_VERSION_SIZE] = {};
  if (!seek_to(file, found_at + PayloadTrailer::MARKER_SIZE) ||
      !read_exactly(file, version, sizeof version)) {
    return TrailerStatus::kNoVersion;
  }
  layout_version = field_text(version, sizeof version);
  if (layout_version != PayloadTrailer::LAYOUT_VERSION) return TrailerStatus::kVersionMismatch;
  // Every probe between the start and the match counted one trailing byte; the match's own
  // layout_version field accounts for 8 of them.
  trailing_count =
      static_cast<std::uint64_t>(start - found_at) - PayloadTrailer::LAYOUT_VERSION_SIZE;
  return TrailerStatus::kOk;
}

TrailerStatus read_extra_tool_section(std::FILE* file, std::int64_t position,
                                      std::optional<std::string>& command) {
  command.reset();
  if (position <= 0) return TrailerStatus::kOk;
  if (!seek_to(file, position)) return TrailerStatus::kExtraToolSeekFailed;
  char probe[PayloadTrailer::MARKER_SIZE + 1] = {};
  if (!read_exactly(file, probe, PayloadTrailer::MARKER_SIZE)) {
    return TrailerStatus::kExtraToolMarkerReadFailed;
  }
  if (extra_tool_marker_text() != probe) return TrailerStatus::kOk;
  char field[PayloadTrailer::COMMAND_SIZE] = {};
  if (!read_exactly(file, field, sizeof field)) return TrailerStatus::kExtraToolCommandReadFailed;
  command = field_text(field, sizeof field);
  return TrailerStatus::kOk;
}

TrailerStatus read_trailer(std::FILE* file, TrailerInfo& info) {
  info = TrailerInfo{};
  if (fseeko(file, 0, SEEK_END) != 0) return TrailerStatus::kSeekEndFailed;
  const off_t length = ftello(file);
  if (length < 0) return TrailerStatus::kLengthUnknown;
  info.file_length = static_cast<std::uint64_t>(length);

  const std::int64_t start = length - PayloadTrailer::MARKER_SIZE;
  std::uint64_t trailing_count = 0;
  const TrailerStatus found =
      find_version_marker(file, start, trailing_count, info.layout_version);
  if (found != TrailerStatus::kOk) return found;
  info.trailing_count = trailing_count;
  const std::int64_t d = length - static_cast<std::int64_t>(trailing_count);
  info.logical_end = static_cast<std::uint64_t>(d);

  std::int64_t b = d - PayloadTrailer::TAIL_SIZE;
  if (d > ExtraToolSection::PROBE_DISTANCE) {
    std::optional<std::string> extra;
    const TrailerStatus probed =
        read_extra_tool_section(file, d - ExtraToolSection::PROBE_DISTANCE, extra);
    if (probed != TrailerStatus::kOk) return probed;
    if (extra) {
      info.has_extra_tool_section = true;
      info.extra_tool_command = *extra;
      b -= ExtraToolSection::SIZE;
    }
  }
  const std::int64_t command_at =
      b - PayloadTrailer::COMMAND_SIZE - PayloadTrailer::ARCHIVE_LENGTH_SIZE;
  if (!seek_to(file, command_at)) return TrailerStatus::kCommandBeforeFile;
  char command[PayloadTrailer::COMMAND_SIZE];
  if (!read_exactly(file, command, sizeof command)) return TrailerStatus::kCommandReadFailed;
  info.command = field_text(command, sizeof command);
  unsigned char n[PayloadTrailer::ARCHIVE_LENGTH_SIZE];
  if (!read_exactly(file, reinterpret_cast<char*>(n), sizeof n)) {
    return TrailerStatus::kLengthReadFailed;
  }
  info.archive_length = (std::uint32_t{n[0]} << 24) | (std::uint32_t{n[1]} << 16) |
                        (std::uint32_t{n[2]} << 8) | std::uint32_t{n[3]};
  // A length larger than what precedes the trailer puts the start before the file's first
  // byte: that is no archive of this file.
  info.archive_offset = command_at - static_cast<std::int64_t>(info.archive_length);
  return info.archive_offset < 0 ? TrailerStatus::kArchiveBeforeFile : TrailerStatus::kOk;
}

std::string trailer_message(TrailerStatus status, const TrailerInfo& info,
                            const std::string& shown_path) {
  const char* format = nullptr;
  std::string argument = shown_path;
  switch (status) {
    case TrailerStatus::kOk:
      return "";
    case TrailerStatus::kSeekEndFailed:
      format = "-E- Failed to seek file end, file :'%s'\n";
      break;
    case TrailerStatus::kLengthUnknown:
      format = "-E- Failed to get file size, file : '%s'\n";
      break;
    case TrailerStatus::kTooShort:
    case TrailerStatus::kScanSeekFailed:
      format = "-E- Failed to seek version Pattern offset, file : '%s'\n";
      break;
    case TrailerStatus::kScanReadFailed:
      format = "-E- Failed to read version pattern : '%s'\n";
      break;
    case TrailerStatus::kNoMarker:
      // Names the expected layout version, not the file.
      format =
          "-E- Failed to find version pattern, qvr_fwsfx_gen is older than expected : "
          "'%s', make sure to have the latest PVK\n";
      argument = PayloadTrailer::LAYOUT_VERSION;
      break;
    case TrailerStatus::kNoVersion:
      format = "-E- Failed to read current version: '%s'\n";
      break;
    case TrailerStatus::kVersionMismatch:
      // The field comes from the file: escaped, so that it cannot drive the terminal.
      return "-E- Extractor layout version : '" + printable_text(info.layout_version) +
             "' differs than expected '" + PayloadTrailer::LAYOUT_VERSION +
             "', make sure generator and sfx_stub versions are matched\n";
    case TrailerStatus::kExtraToolSeekFailed:
      format = "-E- Failed to seek extra tool Pattern offset, file : '%s'\n";
      break;
    case TrailerStatus::kExtraToolMarkerReadFailed:
      format = "-E- Failed to read extra tool Pattern : '%s'\n";
      break;
    case TrailerStatus::kExtraToolCommandReadFailed:
      format = "-E- Failed to read extra tool cmd : '%s'\n";
      break;
    case TrailerStatus::kCommandBeforeFile:
      format = "-E- Failed to seek Exec cmd offset, file : '%s'\n";
      break;
    case TrailerStatus::kCommandReadFailed:
      format = "-E- Failed to read command section, file : '%s'\n";
      break;
    case TrailerStatus::kLengthReadFailed:
      format = "-E- Failed to read offset, file : '%s'\n";
      break;
    case TrailerStatus::kArchiveBeforeFile:
      format = "-E- Failed to seek start offset, file '%s'\n";
      break;
  }
  if (format == nullptr) return "";
  const std::string text(format);
  const size_t at = text.find("%s");
  return text.substr(0, at) + argument + text.substr(at + 2);
}

std::string encode_trailer(const std::string& command, std::uint32_t archive_length,
                           const std::optional<std::string>& extra_tool_command) {
  auto padded = [](const std::string& text, size_t size) {
    std::string field = text.substr(0, size);
    field.resize(size, '\0');
    return field;
  };
  std::string trailer = padded(command, PayloadTrailer::COMMAND_SIZE);
  for (int shift = 24; shift >= 0; shift -= 8) {
    trailer += static_cast<char>((archive_length >> shift) & 0xFF);
  }
  if (extra_tool_command) {
    trailer += padded(extra_tool_marker_text(), PayloadTrailer::MARKER_SIZE);
    trailer += padded(*extra_tool_command, PayloadTrailer::COMMAND_SIZE);
  }
  trailer += padded(version_marker_text(), PayloadTrailer::MARKER_SIZE);
  trailer += padded(PayloadTrailer::LAYOUT_VERSION, PayloadTrailer::LAYOUT_VERSION_SIZE);
  return trailer;
}
