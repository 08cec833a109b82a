#include "launcher/space_check.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "extract/entry_rules.h"

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// The walk's own messages are for unpacking to print, once: they are caught here and dropped.
class QuietWalk {
 public:
  QuietWalk() : before_(extraction_output()), stream_(open_memstream(&text_, &size_)) {
    if (stream_ != nullptr) set_extraction_output(stream_);
  }
  ~QuietWalk() {
    if (stream_ != nullptr) {
      set_extraction_output(before_ == stdout ? nullptr : before_);
      std::fclose(stream_);
    }
    std::free(text_);
  }
  QuietWalk(const QuietWalk&) = delete;
  QuietWalk& operator=(const QuietWalk&) = delete;
  bool quiet() const { return stream_ != nullptr; }

 private:
  std::FILE* before_;
  char* text_ = nullptr;
  size_t size_ = 0;
  std::FILE* stream_;
};

}  // namespace

void SpaceNeed::add_file(std::uint64_t size, std::uint64_t block_size) {
  ++inodes;
  const std::uint64_t blocks = size / block_size + (size % block_size != 0 ? 1 : 0);
  bytes += blocks * block_size;
}

bool measure_archive(const ArchiveSource& archive, std::uint64_t block_size, SpaceNeed& need) {
  const QuietWalk quiet;
  if (!quiet.quiet()) return false;
  ZipReader zip;
  switch (zip.open(archive)) {
    case ArchiveOpen::kEmpty:
      return true;
    case ArchiveOpen::kOk:
      break;
    default:
      return false;
  }
  // The layout check reads every central header anyway; an archive that it refuses is left for
  // unpacking to report.
  bool walked = false;
  const int refused = zip.check_entry_layout(
      [&](const EntryFacts& entry) {
        const bool directory = entry_kind(entry) == EntryKind::kDirectory;
        need.add_file(directory ? block_size : entry.uncompressed_size, block_size);
      },
      &walked);
  return refused == 0 && walked;
}

int compare_space(const struct statvfs& fs, const SpaceNeed& need, const std::string& shown) {
  const bool root = geteuid() == 0;
  const std::uint64_t unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  const std::uint64_t free_bytes =
      static_cast<std::uint64_t>(root ? fs.f_bfree : fs.f_bavail) * unit;
  if (need.bytes > free_bytes) {
    std::fprintf(stderr, "-E- Not enough space in %s: %llu MB needed, %llu MB free\n",
                 printable_text(shown).c_str(),
                 static_cast<unsigned long long>((need.bytes + kMiB - 1) / kMiB),
                 static_cast<unsigned long long>(free_bytes / kMiB));
    return -1;
  }
  const std::uint64_t free_inodes = root ? fs.f_ffree : fs.f_favail;
  if (fs.f_files != 0 && need.inodes > free_inodes) {
    std::fprintf(stderr, "-E- Not enough inodes in %s: %llu needed, %llu free\n",
                 printable_text(shown).c_str(), static_cast<unsigned long long>(need.inodes),
                 static_cast<unsigned long long>(free_inodes));
    return -1;
  }
  return 0;
}

int check_space(int dir_fd, const std::string& shown, const ArchiveSource& archive,
                std::uint64_t empty_file_size) {
  struct statvfs fs;
  if (fstatvfs(dir_fd, &fs) != 0) return 0;
  const std::uint64_t block_size = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  if (block_size == 0) return 0;
  SpaceNeed need;
  if (!measure_archive(archive, block_size, need)) return 0;
  need.add_file(empty_file_size, block_size);
  --need.inodes;  // Made already.
  return compare_space(fs, need, shown);
}
