#include "launcher/work_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kTempRootTemplate[] = "/tmp/sfxter_XXXXXX";
constexpr char kSelfExeLink[] = "/proc/self/exe";
constexpr int kPathBufferSize = 1024;

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool is_directory_at(int dir_fd, const char* name, unsigned char d_type) {
  if (d_type != DT_UNKNOWN) return d_type == DT_DIR;
  struct stat st;
  return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Refusals that the owner of a directory can lift by giving itself rwx on it.
bool is_permission_error(int error) { return error == EACCES || error == EPERM; }

// Gives the owner read, write and search permission on the directory `name` in `dir_fd`,
// keeping the other bits. A symbolic link is never followed, and anything but a directory is
// left alone. Returns true when the mode was changed. Async-signal-safe.
bool grant_owner_access_at(int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return false;
  if ((st.st_mode & S_IRWXU) == S_IRWXU) return false;
  return fchmodat(dir_fd, name, (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0;
}

// The same for the directory held open as `dir_fd`.
bool grant_owner_access(int dir_fd) {
  struct stat st;
  if (fstat(dir_fd, &st) != 0 || (st.st_mode & S_IRWXU) == S_IRWXU) return false;
  return fchmod(dir_fd, (st.st_mode & 07777) | S_IRWXU) == 0;
}

// Opens the directory `name` in `dir_fd` for reading, without following a link; one that its
// owner made unreadable or unsearchable gets the owner's permissions back first.
int open_directory_at(int dir_fd, const char* name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir_fd, name, kFlags);
  if (fd < 0 && is_permission_error(errno) && grant_owner_access_at(dir_fd, name)) {
    fd = openat(dir_fd, name, kFlags);
  }
  return fd;
}

// Empties the directory open as `dir_fd`. Reads the entries with getdents64 into a small
// stack buffer and makes passes until one finds nothing more to remove, because removing
// entries while reading a directory may let the read skip some. Where the directory itself
// refuses the removal (its owner took away write or search permission), the owner's
// permissions are restored once and the passes go on. Async-signal-safe.
void remove_directory_contents(int dir_fd) {
  alignas(8) char buffer[2048];
  bool granted = false;
  for (;;) {
    bool removed_any = false;
    bool refused = false;
    if (lseek(dir_fd, 0, SEEK_SET) != 0) return;
    for (;;) {
      long got = syscall(SYS_getdents64, dir_fd, buffer, sizeof buffer);
      if (got <= 0) break;
      for (long offset = 0; offset < got;) {
        // struct linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
        unsigned short record_length;
        std::memcpy(&record_length, buffer + offset + 16, sizeof record_length);
        unsigned char d_type = static_cast<unsigned char>(buffer[offset + 18]);
        const char* name = buffer + offset + 19;
        offset += record_length;
        if (is_dot_or_dot_dot(name)) continue;
        int flags = 0;
        if (is_directory_at(dir_fd, name, d_type)) {
          int child = open_directory_at(dir_fd, name);
          if (child >= 0) {
            remove_directory_contents(child);
            close(child);
          }
          flags = AT_REMOVEDIR;
        }
        if (unlinkat(dir_fd, name, flags) == 0) {
          removed_any = true;
        } else if (is_permission_error(errno)) {
          refused = true;
        }
      }
    }
    if (!removed_any) {
      if (!refused || granted || !grant_owner_access(dir_fd)) return;
      granted = true;
    }
  }
}

// The whole target of the link `path`, however long. False when it cannot be read.
bool read_link(const char* path, std::string& target) {
  std::string buffer(kPathBufferSize, '\0');
  for (;;) {
    ssize_t got = readlink(path, buffer.data(), buffer.size());
    if (got < 0) return false;
    if (static_cast<size_t>(got) < buffer.size()) {
      target.assign(buffer.data(), static_cast<size_t>(got));
      return true;
    }
    buffer.resize(buffer.size() * 2);  // Possibly cut: ask again with more room.
  }
}

}  // namespace

std::string running_file_from_argv0(const std::string& argv0, const std::string& cwd) {
  if (!argv0.empty() && argv0[0] == '/') return argv0;
  if (argv0.find('/') == std::string::npos) {
    const char* search = std::getenv("PATH");
    std::string path = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= path.size();) {
      size_t end = path.find(':', start);
      if (end == std::string::npos) end = path.size();
      std::string dir = path.substr(start, end - start);
      if (dir.empty()) dir = ".";  // An empty element means the current directory.
      std::string candidate = dir + "/" + argv0;
      struct stat st;
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate[0] == '/' ? candidate : cwd + "/" + candidate;
      }
      start = end + 1;
    }
  }
  return cwd + "/" + argv0;
}

int init_launch_context(LaunchContext& ctx, const std::string& argv0) {
  char buffer[kPathBufferSize] = {};
  ctx.device_option.clear();
  if (getcwd(buffer, sizeof buffer) == nullptr) {
    std::fputs("-E- Failed to get CWD.", stderr);
    return EXIT_LAUNCH_FAILURE;
  }
  ctx.cwd = buffer;

  // The running file is read through this descriptor, whatever has become of its path since
  // (renamed, replaced, or too long to open by name). The path is only for messages.
  if (ctx.self_fd >= 0) close(ctx.self_fd);
  std::string link_text;
  if (read_link(kSelfExeLink, link_text)) {
    ctx.self_path = link_text;
    ctx.self_fd = open(kSelfExeLink, O_RDONLY | O_CLOEXEC);
  } else {
    ctx.self_path = running_file_from_argv0(argv0, ctx.cwd);
    ctx.self_fd = open(ctx.self_path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ctx.self_open_error = ctx.self_fd < 0 ? errno : 0;

  ctx.extract_dir_given = false;
  ctx.extract_only = false;
  ctx.help_requested = false;
  ctx.version_requested = false;
  ctx.query_requested = false;
  ctx.no_extract_list = false;
  return 0;
}

int resolve_work_root(const LaunchContext& ctx, std::string& temp_env_value,
                      std::string& work_root) {
  if (!ctx.extract_dir_given) return make_temp_work_root(temp_env_value, work_root);

  int mode = file_mode(ctx.extract_dir);
  if (mode == -1) {
    std::fprintf(stderr, "-E- Failed to access directory %s: %s\n", ctx.extract_dir.c_str(),
                 std::strerror(errno));
    return -1;
  }
  if ((mode & S_IFMT) != S_IFDIR) {
    std::fprintf(stderr, "-E- %s is not a directory\n", ctx.extract_dir.c_str());
    return -1;
  }
  temp_env_value = ctx.extract_dir;
  work_root = ctx.extract_dir;
  return 0;
}

int make_temp_work_root(std::string& temp_env_value, std::string& work_root) {
  temp_env_value = "/tmp";
  char name[sizeof kTempRootTemplate];
  std::memcpy(name, kTempRootTemplate, sizeof name);
  if (mkdtemp(name) == nullptr) {
    std::fputs("-E- Failed to create temporary directory\n", stderr);
    return -1;
  }
  work_root = name;
  return 0;
}

std::string make_absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string result = resolved;
  std::free(resolved);
  return result;
}

int make_directory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0 ? 0 : errno; }

namespace {

// Holds the lock on the work root while a run looks at, replaces or creates its payload
// directory, so that two runs never take each other's fresh directory for a leftover.
class WorkRootLock {
 public:
  explicit WorkRootLock(int root_fd) : fd_(root_fd) {
    // Waits a few seconds at most: a lock held longer is no run of ours making a directory.
    for (int tries = 0; tries < kLockTries; ++tries) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) return;  // No locks here: go on without.
      usleep(kLockPauseMicroseconds);
    }
    busy_ = true;
  }
  ~WorkRootLock() {
    if (locked_) flock(fd_, LOCK_UN);
  }
  WorkRootLock(const WorkRootLock&) = delete;
  WorkRootLock& operator=(const WorkRootLock&) = delete;
  bool busy() const { return busy_; }

 private:
  static constexpr int kLockTries = 500;
  static constexpr int kLockPauseMicroseconds = 10000;
  int fd_;
  bool locked_ = false;
  bool busy_ = false;
};

// Opens the directory `name` in `parent_fd` without following a link, and takes its lock
// without waiting. Returns the descriptor, -1 with errno set, or -2 when another live run
// holds the lock.
int open_and_lock_directory(int parent_fd, const char* name) {
  int fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return -2;
  }
  return fd;
}

}  // namespace

int create_fresh_directory(int parent_fd, const std::string& name, int& dir_fd) {
  dir_fd = -1;
  WorkRootLock root_lock(parent_fd);
  if (root_lock.busy()) return FRESH_DIR_IN_USE;
  const char* leaf = name.c_str();
  int result = mkdirat(parent_fd, leaf, 0777) == 0 ? 0 : errno;
  if (result == EEXIST) {
    // Something of that name is there: a leftover of a run that ended is replaced, a directory
    // that a live run holds is left alone.
    int old = open_and_lock_directory(parent_fd, leaf);
    if (old == -2) return FRESH_DIR_IN_USE;
    if (old >= 0) close(old);
    remove_tree_at(parent_fd, leaf);
    result = mkdirat(parent_fd, leaf, 0777) == 0 ? 0 : errno;
  }
  if (result != 0) return result;

  int fd = open_and_lock_directory(parent_fd, leaf);
  if (fd == -2) return FRESH_DIR_IN_USE;
  if (fd < 0) return errno;
  // The directory must be the one just made: a directory, ours, not swapped in meanwhile.
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
    close(fd);
    return EPERM;
  }
  dir_fd = fd;
  return 0;
}

int remove_tree_at(int parent_fd, const char* name) {
  if (name[0] == '\0' || std::strcmp(name, "/") == 0) return 0;
  struct stat st;
  if (fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) {
    return unlinkat(parent_fd, name, 0) == 0 || errno == ENOENT ? 0 : -1;
  }
  int dir_fd = open_directory_at(parent_fd, name);
  if (dir_fd >= 0) {
    remove_directory_contents(dir_fd);
    close(dir_fd);
  }
  return unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : -1;
}

int remove_tree_raw(const char* path) { return remove_tree_at(AT_FDCWD, path); }

int remove_tree(const std::string& path) { return remove_tree_raw(path.c_str()); }

int set_env_var(const std::string& name, const std::string& value) {
  return setenv(name.c_str(), value.c_str(), 1);
}

int file_mode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode);
}
