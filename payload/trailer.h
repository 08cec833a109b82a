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

/// Where a trailer was found in a file and what it holds; filled by read_trailer, each field as
/// soon as it is read, so that a failure leaves what came before it.
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

/// What read_trailer found, or where it stopped. Each failure is a value of its own so that
/// each program words it its own way (the stub through trailer_message).
enum class TrailerStatus {
  kOk,
  kSeekEndFailed,             ///< The seek to the end of the file failed.
  kLengthUnknown,             ///< The file's length cannot be told.
  kTooShort,                  ///< The file is shorter than a version marker.
  kScanSeekFailed,            ///< A seek of the backward scan failed.
  kScanReadFailed,            ///< A read of the backward scan failed.
  kNoMarker,                  ///< No version marker: not a distributable file (or a foreign one).
  kNoVersion,                 ///< The marker has fewer than 8 bytes after it.
  kVersionMismatch,           ///< Another layout version (its text is in layout_version).
  kExtraToolSeekFailed,       ///< The seek to the extra-tool probe failed.
  kExtraToolMarkerReadFailed, ///< The 32 probed bytes could not be read.
  kExtraToolCommandReadFailed,///< The extra-tool command field was read short.
  kCommandBeforeFile,         ///< The command field would start before the file (or its seek failed).
  kCommandReadFailed,         ///< The command field was read short.
  kLengthReadFailed,          ///< archive_length was read short.
  kArchiveBeforeFile,         ///< N is larger than what precedes the trailer.
};

/// Reads the whole trailer of `file`, printing nothing and changing nothing else: finds the
/// version marker from L - 32 backwards, checks the layout version, probes for the extra-tool
/// section at d - 328 (when d > 328), then reads the command field and archive_length.
/// Returns kOk with every field of `info` set, or where it stopped.
TrailerStatus read_trailer(std::FILE* file, TrailerInfo& info);

/// The stub's one "-E- " line for a failed read_trailer (with its line end), naming the file as
/// `shown_path` (already escaped); an empty text for kOk. The layout version quoted in the
/// version message is escaped here.
std::string trailer_message(TrailerStatus status, const TrailerInfo& info,
                            const std::string& shown_path);

/// The trailer bytes that follow an archive of `archive_length` bytes: command field, length,
/// the extra-tool section when `extra_tool_command` is set, version marker and layout version.
/// Texts longer than 256 bytes are cut; callers refuse them first.
std::string encode_trailer(const std::string& command, std::uint32_t archive_length,
                           const std::optional<std::string>& extra_tool_command);

/// VERSION_MARKER in forward order, built at run time from the reversed literal.
std::string version_marker_text();
/// EXTRA_TOOL_MARKER in forward order, built at run time from the reversed literal.
std::string extra_tool_marker_text();

/// Scans `file` backwards from position `start` (read_trailer passes L - 32) for the version
/// marker, nearest the end first, and checks the layout version behind it. On kOk
/// `trailing_count` holds the number of bytes after the layout_version field; from kNoVersion
/// on `layout_version` holds the field's text. Prints nothing.
TrailerStatus find_version_marker(std::FILE* file, std::int64_t start,
                                  std::uint64_t& trailing_count, std::string& layout_version);

/// Probes `position` (read_trailer passes d - 328) for an extra-tool section. Returns kOk with
/// `command` set when the marker is there and its command was read, kOk with `command` empty
/// when it is not there (or `position` <= 0), or the read's failure. Prints nothing.
TrailerStatus read_extra_tool_section(std::FILE* file, std::int64_t position,
                                      std::optional<std::string>& command);

#endif  // PAYLOAD_TRAILER_H_
