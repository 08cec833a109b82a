#include "pack/zip_window.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>

#include "extract/zip_reader.h"

namespace {

ZipWindow* window_of(voidpf stream) { return static_cast<ZipWindow*>(stream); }

void fail(ZipWindow* window) {
  if (!window->failed) window->error_number = errno;
  window->failed = true;
}

voidpf open_window(voidpf opaque, const void* /*filename*/, int /*mode*/) {
  ZipWindow* window = static_cast<ZipWindow*>(opaque);
  window->position = 0;
  if (fseeko(window->file, static_cast<off_t>(window->base), SEEK_SET) != 0) {
    fail(window);
    return nullptr;
  }
  return window;
}

uLong read_window(voidpf /*opaque*/, voidpf stream, void* buffer, uLong size) {
  ZipWindow* window = window_of(stream);
  const std::uint64_t left =
      window->length > window->position ? window->length - window->position : 0;
  const size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(size, left));
  const size_t got = wanted == 0 ? 0 : std::fread(buffer, 1, wanted, window->file);
  if (got < wanted && std::ferror(window->file)) fail(window);
  window->position += got;
  return static_cast<uLong>(got);
}

uLong write_window(voidpf /*opaque*/, voidpf stream, const void* buffer, uLong size) {
  ZipWindow* window = window_of(stream);
  const size_t written = std::fwrite(buffer, 1, size, window->file);
  if (written < size) fail(window);
  window->position += written;
  window->length = std::max(window->length, window->position);
  return static_cast<uLong>(written);
}

ZPOS64_T tell_window(voidpf /*opaque*/, voidpf stream) { return window_of(stream)->position; }

long seek_window(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin) {
  ZipWindow* window = window_of(stream);
  std::uint64_t target = 0;
  if (!window_seek_target(origin, offset, window->position, window->length, target)) return -1;
  // Past the window lie bytes that are not the archive's (a negative offset wraps around to a
  // huge target and is refused here too).
  if (target > window->length) return -1;
  if (fseeko(window->file, static_cast<off_t>(window->base + target), SEEK_SET) != 0) {
    fail(window);
    return -1;
  }
  window->position = target;
  return 0;
}

int close_window(voidpf /*opaque*/, voidpf stream) {
  ZipWindow* window = window_of(stream);
  if (std::fflush(window->file) != 0) fail(window);
  return window->failed ? -1 : 0;
}

int error_window(voidpf /*opaque*/, voidpf stream) { return window_of(stream)->failed ? 1 : 0; }

}  // namespace

void fill_window_functions(ZipWindow* window, zlib_filefunc64_def* functions) {
  functions->zopen64_file = open_window;
  functions->zread_file = read_window;
  functions->zwrite_file = write_window;
  functions->ztell64_file = tell_window;
  functions->zseek64_file = seek_window;
  functions->zclose_file = close_window;
  functions->zerror_file = error_window;
  functions->opaque = window;
}
