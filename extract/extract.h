#ifndef EXTRACT_EXTRACT_H_
#define EXTRACT_EXTRACT_H_

#include <ctime>

/// Size of the buffer that receives an entry's stored name, terminator included.
constexpr int ENTRY_NAME_SIZE = 256;
/// Size of the buffer that entry data streams through.
constexpr int EXTRACT_BUFFER_SIZE = 8192;
/// Mode for directories made while unpacking (less the umask).
constexpr int EXTRACT_DIR_MODE = 0775;

enum : int {
  EXTRACT_OK = 0,           ///< Every entry was processed.
  EXTRACT_ERR_OPEN = 1,     ///< The archive (or the archive with ".zip" appended) did not open.
  EXTRACT_ERR_ENTRIES = 2,  ///< The entry loop stopped at an error; the payload is incomplete.
};

/// Opens the ZIP archive at `archive_path` (retrying with ".zip" appended), changes the current
/// directory to `destination` and unpacks every entry there with its stored path, time and
/// mode. Returns EXTRACT_OK, EXTRACT_ERR_OPEN (nothing printed, nothing changed) or
/// EXTRACT_ERR_ENTRIES (after the failing step's message on standard output). When the
/// destination cannot be entered, prints "Error changing into %s, aborting" and ends the
/// process with exit status 255. The current directory stays `destination` on return.
int extract_archive(const char* archive_path, const char* destination);

/// Creates every missing directory of `path`, shortest prefix first, with EXTRACT_DIR_MODE.
/// Returns 1 when the path was made or is there, 0 for an empty path or a prefix that failed
/// with ENOENT (after "couldn't create directory %s"), -104 when the copy cannot be allocated.
int create_directory_path(const char* path);

/// Sets the access and modification times of `path` to `date`, read as local time.
/// `date` holds seconds, minutes, hours, day (1-31), month (0-11) and the full year.
void set_file_times(const char* path, const std::tm& date);

#endif  // EXTRACT_EXTRACT_H_
