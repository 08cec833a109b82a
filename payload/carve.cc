#include "payload/carve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "extract/entry_rules.h"
#include "payload/trailer.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The copy streams through one buffer of this size; memory does not grow with the archive.
constexpr size_t kCopyBufferSize = 256 * 1024;
constexpr char kArchiveName[] = "archive.zip";

enum class CopyStatus { kDone, kSourceEnded, kWriteFailed };

// From this size on the kernel copies faster than the buffer does: measured here, the buffer
// won at 41.5 MB and lost badly at 1 GB once the archive no longer sat in the page cache
// (bench/README.md).
constexpr std::uint64_t kKernelCopyFrom = 256u << 20;

// Copies `count` bytes from `in` at `offset` to `out`: a large archive in the kernel where it
// can, anything else through one bounded buffer. Reports how many bytes were copied in
// `copied`.
CopyStatus copy_range(int in, std::int64_t offset, int out, std::uint64_t count,
                      std::uint64_t& copied) {
  copied = 0;
  loff_t in_offset = offset;
  bool kernel_copy = count >= kKernelCopyFrom;
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

// Makes "archive.zip" in `root_fd` afresh: whatever has that name is removed first (a link
// itself, never its target), then the file is created exclusively, so that it is certainly
// the one this run made. Records its identity in `result`. Returns the descriptor, or -1.
int create_archive_file(int root_fd, int self_fd, CarveResult& result) {
  // The running file itself may bear that name: it is never removed.
  struct stat self_st;
  struct stat there;
  if (fstat(self_fd, &self_st) == 0 &&
      fstatat(root_fd, kArchiveName, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
      there.st_dev == self_st.st_dev && there.st_ino == self_st.st_ino) {
    return -1;
  }
  (void)unlinkat(root_fd, kArchiveName, 0);  // A directory stays, and the open then fails.
  int fd =
      openat(root_fd, kArchiveName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0) {
    result.archive_device = st.st_dev;
    result.archive_inode = st.st_ino;
  }
  return fd;
}

}  // namespace

int locate_archive(int self_fd, const std::string& self_path, TrailerInfo& info) {
  info = TrailerInfo{};
  const std::string shown_self = printable_text(self_path);
  if (self_fd < 0) {
    std::fprintf(stderr, "-E- Failed to Extract file %s, %s\n", shown_self.c_str(),
                 std::strerror(errno));
    return CARVE_ERR_SOURCE;
  }
  // The trailer lookups read through a stream of their own; the descriptor's position is
  // left alone for whoever reads it with pread.
  int stream_fd = fcntl(self_fd, F_DUPFD_CLOEXEC, 0);
  FilePtr self(stream_fd >= 0 ? fdopen(stream_fd, "rb") : nullptr);
  if (!self) {
    std::fprintf(stderr, "-E- Failed to Extract file %s, %s\n", shown_self.c_str(),
                 std::strerror(errno));
    if (stream_fd >= 0) close(stream_fd);
    return CARVE_ERR_SOURCE;
  }
  const TrailerStatus status = read_trailer(self.get(), info);
  if (status == TrailerStatus::kOk) return CARVE_OK;
  std::fputs(trailer_message(status, info, shown_self).c_str(), stderr);
  return status == TrailerStatus::kCommandReadFailed || status == TrailerStatus::kLengthReadFailed
             ? CARVE_ERR_READ
             : CARVE_ERR_SOURCE;
}

int read_carve_trailer(int self_fd, const std::string& self_path, CarveResult& result) {
  TrailerInfo trailer;
  const int located = locate_archive(self_fd, self_path, trailer);
  // The fields read before a failure are the caller's all the same.
  result.command_template = trailer.command;
  result.archive_length = trailer.archive_length;
  if (trailer.has_extra_tool_section) result.extra_tool_command = trailer.extra_tool_command;
  if (located != CARVE_OK) return located;
  result.archive_offset = static_cast<std::uint64_t>(trailer.archive_offset);
  return CARVE_OK;
}

int create_archive_copy(int self_fd, int work_root_fd, const std::string& work_root,
                        CarveResult& result, int& archive_fd) {
  archive_fd = -1;
  result.archive_path = work_root + "/archive.zip";
  const int archive = create_archive_file(work_root_fd, self_fd, result);
  if (archive < 0) {
    std::fprintf(stderr, "-E- Failed to open file %s\n",
                 printable_text(result.archive_path).c_str());
    return CARVE_ERR_OUTPUT;
  }
  result.archive_created = true;
  archive_fd = archive;
  return CARVE_OK;
}

int prepare_carve(int self_fd, const std::string& self_path, int work_root_fd,
                  const std::string& work_root, CarveResult& result, int& archive_fd) {
  archive_fd = -1;
  const int located = read_carve_trailer(self_fd, self_path, result);
  if (located != CARVE_OK) return located;
  return create_archive_copy(self_fd, work_root_fd, work_root, result, archive_fd);
}

int copy_archive(int self_fd, const CarveResult& result, int archive_fd) {
  std::uint64_t copied = 0;
  const CopyStatus status = copy_range(self_fd, static_cast<std::int64_t>(result.archive_offset),
                                       archive_fd, result.archive_length, copied);
  // A close that fails loses data as surely as a short write does.
  const bool closed = close(archive_fd) == 0;
  if (status == CopyStatus::kWriteFailed || !closed) return CARVE_ERR_OUTPUT;
  return status == CopyStatus::kSourceEnded ? CARVE_ERR_SHORT : CARVE_OK;
}

void report_copy(int code, const CarveResult& result) {
  if (code == CARVE_ERR_OUTPUT) {
    std::fprintf(stderr, "-E- Failed to write on file %s, might be out of space\n",
                 printable_text(result.archive_path).c_str());
  }
}
