#include "testing/entry_points.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "extract/entry_rules.h"
#include "extract/extract.h"
#include "extract/zip_reader.h"

namespace {

struct Fd {
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  const int fd;
};

}  // namespace

int carve_archive(const std::string& self_path, const std::string& work_root, CarveResult& result) {
  const Fd self(open(self_path.c_str(), O_RDONLY | O_CLOEXEC));
  const int open_error = errno;
  const Fd root(open(work_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  errno = open_error;
  int archive_fd = -1;
  const int prepared =
      prepare_carve(self.fd, self_path, root.fd, work_root, result, archive_fd);
  if (prepared != CARVE_OK) return prepared;
  const int copied = copy_archive(self.fd, result, archive_fd);
  report_copy(copied, result);
  return copied;
}

int extract_archive(const char* archive_path, const char* destination) {
  if (archive_path == nullptr) return EXTRACT_ERR_OPEN;
  const Fd archive(open(archive_path, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (archive.fd < 0 || fstat(archive.fd, &st) != 0) return EXTRACT_ERR_OPEN;
  const ArchiveSource source = {archive.fd, 0, static_cast<std::uint64_t>(st.st_size)};
  const Fd dir(open(destination, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) {
    ZipReader zip;
    if (zip.open(source) == ArchiveOpen::kNotZip) return EXTRACT_ERR_OPEN;
    std::fprintf(extraction_output(), "Error changing into %s, aborting\n",
                 printable_text(destination).c_str());
    return EXTRACT_ERR_CHDIR;
  }
  return extract_archive(source, dir.fd, destination);
}
