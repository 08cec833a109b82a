#ifndef PACK_ZIP_WINDOW_H_
#define PACK_ZIP_WINDOW_H_

#include <minizip/ioapi.h>
#include <minizip/unzip.h>

#include <cstdint>
#include <cstdio>

/// A stretch of an open stdio file that minizip sees as a whole file of its own: position 0 is
/// `base` in the real file. A distributable file holds its archive after the stub, but the
/// archive's offsets count from the archive's own start (the stub carves it out to a file of
/// its own), so both writing and reading go through such a window.
///
/// Reading: `length` is the archive's length; reads stop at the window's end and a seek from
/// the end counts from there. Writing: set `length` to 0; it grows to the furthest byte
/// written. The caller owns `file` and keeps it open while minizip uses the window; minizip's
/// close only flushes it.
struct ZipWindow {
  std::FILE* file = nullptr;
  std::uint64_t base = 0;
  std::uint64_t length = 0;
  std::uint64_t position = 0;  ///< Relative to `base`.
  bool failed = false;         ///< A seek, read or write of the real file failed.
  int error_number = 0;        ///< errno of the first failure.
};

/// Fills `functions` so that minizip's zipOpen2_64 / unzOpen2_64 work on `window` (the file
/// name handed to them is ignored).
void fill_window_functions(ZipWindow* window, zlib_filefunc64_def* functions);

#endif  // PACK_ZIP_WINDOW_H_
