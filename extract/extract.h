#ifndef EXTRACT_EXTRACT_H_
#define EXTRACT_EXTRACT_H_

#include <minizip/unzip.h>

/// Size of the buffer that receives an entry's stored name, terminator included. Longer names
/// are refused.
constexpr int ENTRY_NAME_SIZE = 256;
/// Size of the buffer that entry data streams through.
constexpr int EXTRACT_BUFFER_SIZE = 8192;
/// Mode for directories made while unpacking (less the umask).
constexpr int EXTRACT_DIR_MODE = 0775;

enum : int {
  EXTRACT_OK = 0,           ///< Every entry was processed.
  EXTRACT_ERR_OPEN = 1,     ///< The archive (or the archive with ".zip" appended) did not open.
  EXTRACT_ERR_ENTRIES = 2,  ///< The entry loop stopped at an error; the payload is incomplete.
  EXTRACT_ERR_CHDIR = 3,    ///< The destination could not be entered; nothing was unpacked.
};

/// Result of extract_current_entry for an entry whose stored name is refused: absolute, with a
/// ".." component, or too long for the name buffer. Outside the ZIP library's codes.
constexpr int ENTRY_ERR_UNSAFE_NAME = -110;

/// Opens the ZIP archive at `archive_path` (retrying with ".zip" appended), changes the current
/// directory to `destination` and unpacks every entry there with its stored path, time and
/// mode. Returns EXTRACT_OK, EXTRACT_ERR_OPEN (also for a null path; nothing printed, nothing
/// changed) or EXTRACT_ERR_ENTRIES (after the failing step's message on standard output; what
/// was unpacked before stays), also for an archive whose end record is cut short, which the
/// ZIP library would take for one without entries ("error -103 with zipfile in
/// unzGetGlobalInfo "). When the destination cannot be entered, prints "Error changing
/// into %s, aborting" on standard output and returns EXTRACT_ERR_CHDIR (the launcher then
/// ends with 255 after its clean-up). Otherwise the current directory stays `destination` on
/// return.
int extract_archive(const char* archive_path, const char* destination);

/// Unpacks every entry of the open archive `zip`, from the current one on, into the current
/// directory, in the order of the central directory. Returns 0 when every entry was processed,
/// otherwise the code that stopped the loop (after its message): the code of the global info
/// query or of the step to the next entry, or a non-zero result of extract_current_entry.
int extract_all_entries(unzFile zip);

/// Unpacks the current entry of `zip` under its stored name, relative to the current directory:
/// a directory entry (name ending in "/" or "\") with mkdir and EXTRACT_DIR_MODE, a file entry
/// with its data, then its time and the mode in the upper half of its external attributes.
/// Missing parent directories of a file are created. Returns 0 when the entry was unpacked or
/// skipped because its output file cannot be opened (reported only when SFX_STUB_DEBUG is
/// set). Otherwise, after one message on standard output, returns:
///   ENTRY_ERR_UNSAFE_NAME when the stored name is refused (nothing is written);
///   UNZ_BADZIPFILE when the ZIP library left the compressed size in the entry's ZIP64 extra
///   field unread, so that the end of its data is unknown (nothing is written), or when the
///   entry's data ended before its stated size (the short file stays, with its time and mode);
///   UNZ_INTERNALERROR when the read buffer cannot be allocated;
///   UNZ_ERRNO when writing or closing the output file fails (the partial file stays);
///   the ZIP library's code when the info query, opening or reading the entry's data, or
///   closing it fails. UNZ_CRCERROR when the whole entry was read and its CRC-32 is not good
///   (checked here when the library left the uncompressed size unread); the file then stays
///   complete, with its time and mode.
int extract_current_entry(unzFile zip);

/// Creates every missing directory of `path`, shortest prefix first, with EXTRACT_DIR_MODE;
/// "/" and "\" separate the parts. Returns 1 when the path was made or is there, 0 for an
/// empty path or a prefix that failed with ENOENT (after "couldn't create directory %s"),
/// UNZ_INTERNALERROR (-104) when the copy of the path cannot be allocated.
int create_directory_path(const char* path);

/// Sets the access and modification times of `path` to `date`, read as local time with the
/// daylight-saving rule in force at that date. `date` holds seconds, minutes, hours, day
/// (1-31), month (0-11) and the full year, as the ZIP library decodes it. Failures are ignored.
void set_file_times(const char* path, const tm_unz& date);

#endif  // EXTRACT_EXTRACT_H_
