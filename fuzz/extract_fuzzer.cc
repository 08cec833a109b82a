// Fuzz target for extraction: arbitrary archive bytes unpacked into a scratch directory. It
// must never crash, nothing may be written outside the destination directory, and after a
// successful extraction every file must hold as many bytes as its entry promises.
//
// Two independent checks guard the destination:
//  - every call that creates or changes a file system object (the open, mkdir, chmod and time
//    calls listed in CMakeLists.txt, wrapped at link time) is checked while extraction runs:
//    its path, made absolute against the current directory, must lie inside the destination;
//  - the destination sits two levels below the scratch root, next to canary files, and the
//    whole scratch tree outside the destination must look the same after every input, so an
//    entry that climbs out with ".." is caught even through a call that is not wrapped.
// extract_archive changes into the destination; the previous directory is restored after each
// input, and the destination is emptied.

#include <fcntl.h>
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "fuzz/fuzz_util.h"
#include "testing/entry_points.h"

namespace {

using sfx_fuzz::check;

std::string g_scratch;      // realpath of the scratch root
std::string g_destination;  // realpath of the destination
std::string g_archive_path;
int g_start_dir = -1;
bool g_watching = false;  // Set only while extract_archive runs.
std::string g_outside_before;

const char kCanaryText[] = "canary";

// `path` made absolute against the current directory, with "." and ".." resolved lexically.
// (Extraction creates no symbolic links, so the lexical form is where the call lands.)
std::string absolute_path(const char* path) {
  std::string whole = path;
  if (whole.empty() || whole[0] != '/') {
    char cwd[4096];
    check(getcwd(cwd, sizeof cwd) != nullptr, "getcwd failed during extraction");
    whole = std::string(cwd) + "/" + whole;
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= whole.size()) {
    std::size_t end = whole.find('/', start);
    if (end == std::string::npos) end = whole.size();
    const std::string part = whole.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

// Aborts when extraction is about to create or change `path` outside the destination (the
// destination itself counts as inside: a mkdir of it merely fails).
void check_write_target(const char* path) {
  if (!g_watching || path == nullptr) return;
  const std::string target = absolute_path(path);
  if (target != g_destination && target.rfind(g_destination + "/", 0) != 0) {
    dprintf(2, "extraction writes outside its destination: %s\n", target.c_str());
    check(false, "a write outside the destination directory");
  }
}

bool mode_writes(const char* mode) {
  for (const char* c = mode; c != nullptr && *c != '\0'; ++c) {
    if (*c == 'w' || *c == 'a' || *c == '+') return true;
  }
  return false;
}

bool flags_write(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }

// A listing of everything in the scratch tree outside the destination: paths, types, modes,
// sizes and the canaries' contents.
std::string outside_snapshot() {
  std::string listing;
  std::error_code error;
  namespace fs = std::filesystem;
  for (auto it = fs::recursive_directory_iterator(g_scratch, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::string path = it->path().string();
    if (path == g_destination) {  // Its contents, size and times are extraction's to change.
      it.disable_recursion_pending();
      continue;
    }
    struct stat st;
    check(lstat(path.c_str(), &st) == 0, "lstat failed in the scratch tree");
    listing += path + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_size);
    if (S_ISREG(st.st_mode) && path != g_archive_path) {
      listing += " " + sfx_fuzz::read_small_file(path);
    }
    listing += "\n";
  }
  check(!error, "cannot walk the scratch tree");
  return listing;
}

// Extraction makes plain files, directories and links whose targets stay inside.
void check_destination_objects() {
  std::error_code error;
  namespace fs = std::filesystem;
  const fs::path root = fs::weakly_canonical(g_destination);
  for (auto it = fs::recursive_directory_iterator(g_destination, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    struct stat st;
    check(lstat(it->path().c_str(), &st) == 0, "lstat failed in the destination");
    if (S_ISLNK(st.st_mode)) {
      const std::string resolved = fs::weakly_canonical(it->path(), error).string();
      check(!error, "cannot resolve a link in the destination");
      check(resolved.rfind(root.string(), 0) == 0, "a link leads out of the destination");
      continue;
    }
    check(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode),
          "extraction made something else than a file, a directory or a link");
  }
  check(!error, "cannot walk the destination");
}

// After a successful extraction every file entry has its whole data on disk: the file that
// the last entry of each path wrote holds as many bytes as the central directory promises.
void check_complete_files() {
  const int fd = open(g_archive_path.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "the archive cannot be opened");
  struct stat archive_st;
  check(fstat(fd, &archive_st) == 0, "the archive cannot be sized");
  std::map<std::string, ZPOS64_T> sizes;  // Normalised path -> size promised by its last entry.
  {
    ZipReader zip;
    const ArchiveOpen opened =
        zip.open({fd, 0, static_cast<std::uint64_t>(archive_st.st_size)});
    check(opened == ArchiveOpen::kOk || opened == ArchiveOpen::kEmpty,
          "an archive that extracted no longer opens");
    if (opened == ArchiveOpen::kOk) {
      const int walked = zip.for_each_entry([&](const EntryFacts& entry, const unz_file_info64& info) {
        if (entry_kind(entry) == EntryKind::kFile) {
          sizes[absolute_path((g_destination + "/" + entry.name).c_str())] = info.uncompressed_size;
        }
        return 0;
      });
      check(walked == 0, "an archive that extracted cannot be walked");
    }
  }
  close(fd);
  for (const auto& [path, size] : sizes) {
    struct stat st;
    check(lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode),
          "extraction reported success without a file of the archive");
    if (static_cast<ZPOS64_T>(st.st_size) != size) {
      dprintf(2, "%s: %lld bytes on disk, %llu in the archive\n", path.c_str(),
              static_cast<long long>(st.st_size), static_cast<unsigned long long>(size));
      check(false, "extraction reported success with a file cut short or overlong");
    }
  }
}

}  // namespace

// Link-time wrappers (-Wl,--wrap=NAME): each checks its target, then calls the real function.
extern "C" {
std::FILE* __real_fopen(const char* path, const char* mode);
std::FILE* __real_fopen64(const char* path, const char* mode);
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real_openat(int dir, const char* path, int flags, ...);
int __real_creat(const char* path, mode_t mode);
int __real_mkdir(const char* path, mode_t mode);
int __real_mkdirat(int dir, const char* path, mode_t mode);
int __real_chmod(const char* path, mode_t mode);
int __real_utime(const char* path, const struct utimbuf* times);
int __real_utimes(const char* path, const struct timeval times[2]);
int __real_utimensat(int dir, const char* path, const struct timespec times[2], int flags);

std::FILE* __wrap_fopen(const char* path, const char* mode) {
  if (mode_writes(mode)) check_write_target(path);
  return __real_fopen(path, mode);
}
std::FILE* __wrap_fopen64(const char* path, const char* mode) {
  if (mode_writes(mode)) check_write_target(path);
  return __real_fopen64(path, mode);
}
int __wrap_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (flags_write(flags)) check_write_target(path);
  return __real_open(path, flags, mode);
}
int __wrap_open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (flags_write(flags)) check_write_target(path);
  return __real_open64(path, flags, mode);
}
int __wrap_openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  // Only paths relative to the current directory (or absolute) can be placed here.
  if (flags_write(flags) && (dir == AT_FDCWD || (path != nullptr && path[0] == '/'))) {
    check_write_target(path);
  }
  return __real_openat(dir, path, flags, mode);
}
int __wrap_creat(const char* path, mode_t mode) {
  check_write_target(path);
  return __real_creat(path, mode);
}
int __wrap_mkdir(const char* path, mode_t mode) {
  check_write_target(path);
  return __real_mkdir(path, mode);
}
int __wrap_mkdirat(int dir, const char* path, mode_t mode) {
  if (dir == AT_FDCWD || (path != nullptr && path[0] == '/')) check_write_target(path);
  return __real_mkdirat(dir, path, mode);
}
int __wrap_chmod(const char* path, mode_t mode) {
  check_write_target(path);
  return __real_chmod(path, mode);
}
int __wrap_utime(const char* path, const struct utimbuf* times) {
  check_write_target(path);
  return __real_utime(path, times);
}
int __wrap_utimes(const char* path, const struct timeval times[2]) {
  check_write_target(path);
  return __real_utimes(path, times);
}
int __wrap_utimensat(int dir, const char* path, const struct timespec times[2], int flags) {
  if (dir == AT_FDCWD || (path != nullptr && path[0] == '/')) check_write_target(path);
  return __real_utimensat(dir, path, times, flags);
}
}  // extern "C"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string scratch = sfx_fuzz::make_scratch_dir("extract");
  char resolved[4096];
  check(realpath(scratch.c_str(), resolved) != nullptr, "realpath of the scratch directory");
  g_scratch = resolved;
  g_archive_path = g_scratch + "/archive.zip";
  // scratch/a/canary, scratch/a/b/canary, scratch/a/b/dest: entries that climb out of the
  // destination with ".." meet the canaries.
  check(mkdir((g_scratch + "/a").c_str(), 0755) == 0, "mkdir a");
  check(mkdir((g_scratch + "/a/b").c_str(), 0755) == 0, "mkdir a/b");
  g_destination = g_scratch + "/a/b/dest";
  check(mkdir(g_destination.c_str(), 0755) == 0, "mkdir dest");
  for (const std::string& canary :
       {g_scratch + "/canary", g_scratch + "/a/canary", g_scratch + "/a/b/canary"}) {
    sfx_fuzz::write_input(canary, reinterpret_cast<const std::uint8_t*>(kCanaryText),
                          sizeof kCanaryText - 1);
  }
  g_start_dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  check(g_start_dir >= 0, "cannot open the start directory");
  sfx_fuzz::silence_stdio();
  // The archive's bytes may differ between inputs; everything else outside must not.
  sfx_fuzz::write_input(g_archive_path, nullptr, 0);
  g_outside_before = outside_snapshot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sfx_fuzz::write_input(g_archive_path, data, size);
  g_watching = true;
  const int result = extract_archive(g_archive_path.c_str(), g_destination.c_str());
  g_watching = false;
  check(fchdir(g_start_dir) == 0, "cannot return to the start directory");
  check(result == EXTRACT_OK || result == EXTRACT_ERR_OPEN || result == EXTRACT_ERR_ENTRIES,
        "extract_archive returned an undocumented result");

  check_destination_objects();
  if (result == EXTRACT_OK) check_complete_files();
  sfx_fuzz::write_input(g_archive_path, nullptr, 0);
  check(outside_snapshot() == g_outside_before, "the scratch tree outside the destination changed");
  sfx_fuzz::clear_dir(g_destination);
  return 0;
}
