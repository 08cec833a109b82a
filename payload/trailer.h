#ifndef PAYLOAD_TRAILER_H_
#define PAYLOAD_TRAILER_H_

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// Layout of the trailer that follows the appended archive. With d the end of the trailer
// (the file's length less any trailing bytes) and N the archive's length:
//
//   archive            d - 300 - N (or d - 588 - N)   N bytes
//   command            d - 300     (or d - 588)       256 bytes, NUL-padded text
//   archive_length     d - 44      (or d - 332)       4 bytes, big-endian N
//   [extra_tool_marker d - 328                        32 bytes, NUL-padded marker text]
//   [extra_tool_command d - 296                       256 bytes, NUL-padded text]
//   version_marker     d - 40                         32 bytes, NUL-padded marker text
//   layout_version     d - 8                          8 bytes, "2.0" NUL-padded
//
// The marker texts are held in the stub only in reversed order, so that the backward scan
// never finds them in the stub's own image.

/// Sizes and fixed texts of the trailer.
struct PayloadTrailer {
  static constexpr int MARKER_SIZE = 32;
  static constexpr int LAYOUT_VERSION_SIZE = 8;
  static constexpr int COMMAND_SIZE = 256;
  static constexpr int ARCHIVE_LENGTH_SIZE = 4;
  /// version_marker plus layout_version.
  static constexpr int TAIL_SIZE = MARKER_SIZE + LAYOUT_VERSION_SIZE;
  /// The whole trailer without an extra-tool section.
  static constexpr int SIZE = COMMAND_SIZE + ARCHIVE_LENGTH_SIZE + TAIL_SIZE;
  static constexpr char LAYOUT_VERSION[] = "2.0";

  std::string command;           ///< The command template.
  std::uint32_t archive_length;  ///< N.
};

/// The optional section between archive_length and version_marker.
struct ExtraToolSection {
  static constexpr int SIZE = PayloadTrailer::MARKER_SIZE + PayloadTrailer::COMMAND_SIZE;
  /// Distance of the section's probe before the end of the trailer.
  static constexpr int PROBE_DISTANCE = SIZE + PayloadTrailer::TAIL_SIZE;

  std::string command;  ///< The extra-tool command.
};

/// Where a trailer was found in a file and what it holds; filled by read_trailer.
struct TrailerInfo {
  std::uint64_t file_length = 0;     ///< L.
  std::uint64_t trailing_count = 0;  ///< t: bytes after the layout_version field.
  std::uint64_t logical_end = 0;     ///< d = L - t.
  std::string layout_version;        ///< The layout_version text (up to its first NUL).
  bool has_extra_tool_section = false;
  std::string extra_tool_command;
  std::string command;               ///< The command template.
  std::uint32_t archive_length = 0;  ///< N.
  std::int64_t archive_offset = 0;   ///< Where the archive starts; negative when N is too large.
};

/// Why read_trailer gave up.
enum class TrailerStatus {
  kOk,
  kTooShort,         ///< The file is shorter than a version marker.
  kIoError,          ///< A seek or read failed.
  kNoMarker,         ///< No version marker: not a distributable file (or a foreign one).
  kNoVersion,        ///< The marker has fewer than 8 bytes after it.
  kVersionMismatch,  ///< Another layout version (its text is in layout_version).
  kTruncated,        ///< The trailer's fields run before the start of the file.
};

/// Reads the whole trailer of `file` the way the stub does, printing nothing.
/// Returns kOk with every field of `info` set, or the reason it stopped (with the fields read
/// so far set).
TrailerStatus read_trailer(std::FILE* file, TrailerInfo& info);

/// The trailer bytes that follow an archive of `archive_length` bytes: command field, length,
/// the extra-tool section when `extra_tool_command` is set, version marker and layout version.
/// Texts longer than 256 bytes are cut; callers refuse them first.
std::string encode_trailer(const std::string& command, std::uint32_t archive_length,
                           const std::optional<std::string>& extra_tool_command);

/// VERSION_MARKER in forward order, built at run time from the reversed literal.
std::string version_marker_text();
/// EXTRA_TOOL_MARKER in forward order, built at run time from the reversed literal.
std::string extra_tool_marker_text();

/// Scans `file` backwards from position `start` (the caller passes L - 32) for the version
/// marker, nearest the end first, and checks the layout version behind it.
/// On success returns true with `trailing_count` holding the number of bytes after the
/// layout_version field. Returns false after printing one "-E- " line to standard error
/// (seek or read failure, no marker, a wrong layout version). `self_path` is for messages.
bool find_version_marker(std::int64_t start, std::FILE* file, std::uint64_t& trailing_count,
                         const std::string& self_path);

/// Probes `position` (the caller passes d - 328) for an extra-tool section. When the marker is
/// there, reads its command, appends it to extra_commands and sets `section_size` to 288;
/// otherwise `section_size` is 0. Returns false only after a seek or read failure, having
/// printed one "-E- " line to standard error.
bool read_extra_tool_section(std::int64_t position, std::FILE* file, const std::string& self_path,
                             std::int32_t& section_size);

#endif  // PAYLOAD_TRAILER_H_
