#ifndef EXTRACT_EXTRACT_H_
#define EXTRACT_EXTRACT_H_

#include <minizip/unzip.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "extract/entry_data.h"
#include "extract/entry_rules.h"
#include "extract/zip_reader.h"

/// Size of the buffer that unpacked data is written through.
constexpr int EXTRACT_BUFFER_SIZE = 256 * 1024;
/// Mode for the parent directories made while unpacking (less the umask).
constexpr int EXTRACT_DIR_MODE = 0775;

enum : int {
  EXTRACT_OK = 0,           ///< Every entry was unpacked.
  EXTRACT_ERR_OPEN = 1,     ///< The archive is no ZIP archive (nothing printed, nothing changed).
  EXTRACT_ERR_ENTRIES = 2,  ///< The entry loop stopped at an error; the payload is incomplete.
  EXTRACT_ERR_CHDIR = 3,    ///< The destination could not be entered (message printed).
};

/// Result of extract_current_entry for an entry that the entry rules refuse (nothing written).
/// Outside the ZIP library's codes.
constexpr int ENTRY_ERR_REFUSED = -110;

/// Unpacks the archive in `archive` into the directory open as `destination_fd` (named
/// `destination` in messages), after making it the current directory. Every entry of the
/// central directory is unpacked under its stored path, with its time and mode; nothing is
/// created through a symbolic link (each step is opened relative to its parent, without
/// following links). Returns EXTRACT_OK (also for an archive without entries), EXTRACT_ERR_OPEN,
/// EXTRACT_ERR_CHDIR after "Error changing into %s, aborting" (the caller cleans up and ends
/// with 255), or EXTRACT_ERR_ENTRIES after the failing step's message on standard output (what
/// was unpacked before stays), also for an end record cut short ("error -103 with zipfile in
/// unzGetGlobalInfo "). The current directory is `destination` on return, unless entering it
/// failed.
int extract_archive(const ArchiveSource& archive, int destination_fd, const char* destination);

/// The directories along the path of the entry unpacked before, kept open for the next one:
/// entries of one directory follow each other, and each would otherwise walk its whole path
/// from the payload directory again. Every kept directory was opened (or made, then opened) by
/// its name in the kept one above it with O_NOFOLLOW | O_DIRECTORY, so none was ever reached
/// through a link the archive made, and nothing the extraction does removes or replaces one.
/// When descriptors run short the kept ones are let go and the path is walked holding one
/// directory open at a time.
class DirectoryWalk {
 public:
  /// Walks below the directory open as `root_fd` (not closed here).
  explicit DirectoryWalk(int root_fd) : root_fd_(root_fd) {}
  ~DirectoryWalk() { let_go(); }
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  /// Opens the first `count` of `parts` as directories, one below the other, making the
  /// missing ones (the last with `last_mode`, the others with EXTRACT_DIR_MODE; the umask
  /// applies). Returns a descriptor that stays open until the next call (the root's own for
  /// none), or -1 with errno set.
  int open(const std::vector<std::string>& parts, size_t count, mode_t last_mode);
  /// The same, after letting every kept directory go: for an output that could not be opened
  /// for want of descriptors.
  int open_alone(const std::vector<std::string>& parts, size_t count, mode_t last_mode);
  /// How many directories are kept open.
  size_t kept() const { return kept_.size(); }

 private:
  struct Kept {
    std::string name;
    int fd;
  };
  void let_go();
  void drop_single();

  int root_fd_;
  std::vector<Kept> kept_;
  int single_ = -1;  ///< A directory opened by open_alone, without keeping its path.
};

/// Unpacks every entry of the open archive `zip` into the directory `destination_fd`. Returns 0
/// when every entry was unpacked, otherwise the code that stopped the loop (after its message):
/// the walk's (see ZipReader::for_each_entry) or extract_current_entry's.
int extract_all_entries(ZipReader& zip, int destination_fd);

/// Unpacks the current entry of `zip`, described by `entry` and `info`, below the root of `walk`:
/// a directory (with its missing parents), a file with its data, time and mode, or a symbolic
/// link whose target stays inside. Returns 0, or after one message on standard output:
///   ENTRY_ERR_REFUSED when the entry rules refuse it (nothing is written);
///   UNZ_ERRNO when its output file, directory or link (or a parent) cannot be made, "error
///   opening %s: %s", or when writing or closing the output file fails (the partial file stays);
///   the ZIP library's code when the entry's local header is bad; the decoder's codes (see
///   decode_entry): -1, -3, -5 ("... in unzReadCurrentFile"), -103 when the data ends before
///   its stated size and -105 for a CRC-32 that is not good ("... in unzCloseCurrentFile").
int extract_current_entry(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                          DirectoryWalk& walk);

/// Prints the entry rules' message for `entry` on standard output and returns
/// ENTRY_ERR_REFUSED when check_entry refuses it; returns 0 for an entry the rules accept.
int refuse_broken_entry(const EntryFacts& entry);

/// Where the data of the entry being visited starts in `zip.source().fd`, behind its local
/// header. Returns false with `err` set (UNZ_BADZIPFILE) after "error %d with zipfile in
/// unzOpenCurrentFilePassword" on standard output when that header is bad.
bool find_data(ZipReader& zip, std::uint64_t& position, int& err);

/// Decodes the data of the entry being visited, which starts at `position`, into `sink`.
/// Returns 0, or the failure's code after its one message on standard output, as unpacking
/// reports it: the decoder's -1, -3, -5 ("error %d with zipfile in unzReadCurrentFile"),
/// -103 and -105 ("... in unzCloseCurrentFile"), or UNZ_ERRNO when the sink refused bytes
/// ("error writing <entry> in <directory>: " and the system's text for errno, or "error in
/// writing extracted file" when it gave none; without the names when no file is written).
int unpack_data(ZipReader& zip, const unz_file_info64& info, std::uint64_t position,
                EntrySink& sink);

/// Reads the whole data of the entry being visited, a link, into `target` (the caller keeps
/// its size within ENTRY_LINK_TARGET_MAX). Returns 0, or the code of find_data or unpack_data
/// after their message; `target` then holds what was decoded.
int read_link_data(ZipReader& zip, const unz_file_info64& info, std::string& target);

/// What messages and listings show in place of a link target of `size` bytes that is too long
/// to be read: "(a target of <size> bytes)".
std::string link_size_text(std::uint64_t size);

/// The target of the link entry being visited, as unpacking makes it: read with
/// read_link_data, and refused (ENTRY_ERR_REFUSED, after "refusing symbolic link %s -> %s")
/// when it is longer than ENTRY_LINK_TARGET_MAX or is_safe_link_target rejects it. Returns 0,
/// or the failure's code after its one message on standard output.
int read_link_target(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                     std::string& target);

/// The entry's time `date` (seconds, minutes, hours, day 1-31, month 0-11 and the full year, as
/// the ZIP library decodes it) as local time with the daylight-saving rule in force then: what
/// mktime gives, without mktime's look at the zone file for every entry (see LocalTimes).
time_t entry_time(const tm_unz& date);

/// Local times as mktime makes them (daylight saving decided by the date), for many dates in a
/// row. mktime looks at the zone file again on every call when TZ is unset; here the zone is
/// read once (tzset), and a date is converted with the offset from UTC of the date before
/// whenever that offset is the only one in force for 36 hours either side of the result, which
/// makes the result the only one mktime can give (no two offsets differ by more). Elsewhere,
/// near a change of offset, the date goes to mktime itself, after the date before it (so that
/// mktime's choice between the two readings of an hour that occurs twice is made from the same
/// starting point as when every date went through it).
class LocalTimes {
 public:
  LocalTimes();
  time_t convert(const tm_unz& date);
  /// How many dates went to mktime (near a change of offset, or before the first).
  unsigned long slow_conversions() const { return slow_; }

 private:
  long offset_ = 0;       ///< Offset from UTC of the date before, in seconds east.
  bool known_ = false;    ///< offset_ holds a converted date's offset.
  bool primed_ = false;   ///< mktime's last call was the date before.
  std::tm before_ = {};   ///< The date before, as given to mktime.
  unsigned long slow_ = 0;
};

#endif  // EXTRACT_EXTRACT_H_
