#include "payload/carve.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "payload/trailer.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The copy streams through one buffer of this size; memory does not grow with the archive.
constexpr size_t kCopyBufferSize = 256 * 1024;

enum class CopyStatus { kDone, kSourceEnded, kWriteFailed };

// Copies `count` bytes from `in` at `offset` to `out`, in the kernel where it can, else
// through one bounded buffer. Reports how many bytes were copied in `copied`.
CopyStatus copy_range(int in, std::int64_t offset, int out, std::uint64_t count,
                      std::uint64_t& copied) {
  copied = 0;
  loff_t in_offset = offset;
  bool kernel_copy = true;
  while (copied < count && kernel_copy) {
    const size_t want = static_cast<size_t>(std::min<std::uint64_t>(count - copied, 1u << 30));
    ssize_t n = copy_file_range(in, &in_offset, out, nullptr, want, 0);
    if (n > 0) {
      copied += static_cast<std::uint64_t>(n);
    } else if (n == 0) {
      return CopyStatus::kSourceEnded;
    } else if (errno == EINTR) {
      continue;
    } else if (copied == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                               errno == EOPNOTSUPP || errno == EBADF || errno == EPERM)) {
      kernel_copy = false;  // Not possible between these files; copy through the buffer.
    } else {
      return CopyStatus::kWriteFailed;
    }
  }
  if (copied == count) return CopyStatus::kDone;

  std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
  while (copied < count) {
    const size_t want =
        static_cast<size_t>(std::min<std::uint64_t>(count - copied, kCopyBufferSize));
    ssize_t got = pread(in, buffer.get(), want, in_offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return CopyStatus::kSourceEnded;
    in_offset += got;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(out, buffer.get() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return CopyStatus::kWriteFailed;
      done += put;
    }
    copied += static_cast<std::uint64_t>(got);
  }
  return CopyStatus::kDone;
}

}  // namespace

int carve_archive(const std::string& self_path, const std::string& work_root, CarveResult& result) {
  FilePtr self(std::fopen(self_path.c_str(), "rb"));
  if (!self) {
    std::fprintf(stderr, "-E- Failed to Extract file %s, %s\n", self_path.c_str(),
                 std::strerror(errno));
    return CARVE_ERR_SOURCE;
  }
  if (fseeko(self.get(), 0, SEEK_END) != 0) {
    std::fprintf(stderr, "-E- Failed to seek file end, file :'%s'\n", self_path.c_str());
    return CARVE_ERR_SOURCE;
  }
  const std::int64_t length = ftello(self.get());
  if (length == -1) {
    std::fprintf(stderr, "-E- Failed to get file size, file : '%s'\n", self_path.c_str());
    return CARVE_ERR_SOURCE;
  }

  std::uint64_t trailing_count = 0;
  if (!find_version_marker(length - PayloadTrailer::MARKER_SIZE, self.get(), trailing_count,
                           self_path)) {
    return CARVE_ERR_SOURCE;
  }
  const std::int64_t logical_end = length - static_cast<std::int64_t>(trailing_count);
  std::int32_t section_size = 0;
  if (logical_end > ExtraToolSection::PROBE_DISTANCE &&
      !read_extra_tool_section(logical_end - ExtraToolSection::PROBE_DISTANCE, self.get(),
                               self_path, section_size)) {
    return CARVE_ERR_SOURCE;
  }

  // b: the field that follows archive_length.
  const std::int64_t b = logical_end - PayloadTrailer::TAIL_SIZE - section_size;
  const std::int64_t command_at =
      b - PayloadTrailer::COMMAND_SIZE - PayloadTrailer::ARCHIVE_LENGTH_SIZE;
  if (command_at < 0 || fseeko(self.get(), command_at, SEEK_SET) != 0) {
    std::fprintf(stderr, "-E- Failed to seek Exec cmd offset, file : '%s'\n", self_path.c_str());
    return CARVE_ERR_SOURCE;
  }
  char command[PayloadTrailer::COMMAND_SIZE + 1] = {};
  if (std::fread(command, 1, PayloadTrailer::COMMAND_SIZE, self.get()) !=
      PayloadTrailer::COMMAND_SIZE) {
    std::fprintf(stderr, "-E- Failed to read command section, file : '%s'\n", self_path.c_str());
    return CARVE_ERR_READ;
  }
  result.command_template = command;
  unsigned char length_field[PayloadTrailer::ARCHIVE_LENGTH_SIZE];
  if (std::fread(length_field, 1, sizeof length_field, self.get()) != sizeof length_field) {
    std::fprintf(stderr, "-E- Failed to read offset, file : '%s'\n", self_path.c_str());
    return CARVE_ERR_READ;
  }
  const std::uint32_t archive_length =
      (std::uint32_t{length_field[0]} << 24) | (std::uint32_t{length_field[1]} << 16) |
      (std::uint32_t{length_field[2]} << 8) | std::uint32_t{length_field[3]};

  // A length larger than what precedes the trailer puts the start before the file's first
  // byte: that is no archive of this file.
  const std::int64_t archive_start = command_at - static_cast<std::int64_t>(archive_length);
  if (archive_start < 0 || fseeko(self.get(), archive_start, SEEK_SET) != 0) {
    std::fprintf(stderr, "-E- Failed to seek start offset, file '%s'\n", self_path.c_str());
    return CARVE_ERR_SOURCE;
  }

  result.archive_path = work_root + "/archive.zip";
  FilePtr archive(std::fopen(result.archive_path.c_str(), "wb"));
  if (!archive) {
    std::fprintf(stderr, "-E- Failed to open file %s\n", result.archive_path.c_str());
    return CARVE_ERR_OUTPUT;
  }
  result.archive_created = true;

  std::uint64_t copied = 0;
  CopyStatus status =
      copy_range(fileno(self.get()), archive_start, fileno(archive.get()), archive_length, copied);
  // A close that fails loses data as surely as a short write does.
  const bool closed = std::fclose(archive.release()) == 0;
  if (status == CopyStatus::kWriteFailed || !closed) {
    std::fprintf(stderr, "-E- Failed to write on file %s, might be out of space\n",
                 result.archive_path.c_str());
    return CARVE_ERR_OUTPUT;
  }
  return status == CopyStatus::kSourceEnded ? CARVE_ERR_SHORT : CARVE_OK;
}
