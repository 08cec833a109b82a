#include "launcher/tree_removal.h"

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Refusals that the owner of a directory can lift by giving itself rwx on it.
bool is_permission_error(int error) { return error == EACCES || error == EPERM; }

// Gives the owner read, write and search permission on the directory open as `fd` (whose
// status is `st`), keeping the other bits.
void grant_owner_access(int fd, const struct stat& st) {
  if ((st.st_mode & S_IRWXU) != S_IRWXU) fchmod(fd, (st.st_mode & 07777) | S_IRWXU);
}

// Opens the directory `name` in the current directory, without following a link; one that its
// owner made unreadable gets the owner's permissions back first. Returns -1 with errno set.
int open_child_directory(const char* name) {
  int fd = open(name, kDirectoryFlags);
  if (fd >= 0 || !is_permission_error(errno)) return fd;
  const int error = errno;
  struct stat st;
  if (fstatat(AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
      fchmodat(AT_FDCWD, name, (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) != 0) {
    errno = error;
    return -1;
  }
  return open(name, kDirectoryFlags);
}

// One directory on the way down: what it is, where the scan of it goes on, and whether
// anything was removed in it during the current pass (another pass follows then) or at all.
struct Level {
  dev_t device;
  ino_t inode;
  off_t resume;
  bool removed_in_pass;
  bool removed_any;
};

// The directories from the top of the walk down to the current one. The first 64 levels live
// here; deeper trees get anonymous mappings, which a signal handler may make too.
class LevelStack {
 public:
  LevelStack() = default;
  ~LevelStack() {
    if (levels_ != inline_) munmap(levels_, capacity_ * sizeof(Level));
  }
  LevelStack(const LevelStack&) = delete;
  LevelStack& operator=(const LevelStack&) = delete;

  size_t size() const { return size_; }
  Level& top() { return levels_[size_ - 1]; }
  Level& parent() { return levels_[size_ - 2]; }
  void pop() { --size_; }
  // False when no room can be had for one more level.
  bool push(const struct stat& st) {
    if (size_ == capacity_ && !grow()) return false;
    levels_[size_++] = Level{st.st_dev, st.st_ino, 0, false, false};
    return true;
  }

 private:
  bool grow() {
    const size_t capacity = capacity_ * 2;
    void* more = mmap(nullptr, capacity * sizeof(Level), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (more == MAP_FAILED) return false;
    std::memcpy(more, levels_, size_ * sizeof(Level));
    if (levels_ != inline_) munmap(levels_, capacity_ * sizeof(Level));
    levels_ = static_cast<Level*>(more);
    capacity_ = capacity;
    return true;
  }

  Level inline_[64];
  Level* levels_ = inline_;
  size_t capacity_ = 64;
  size_t size_ = 0;
};

// What one pass over the current directory found: a directory to go down into, or nothing.
struct PassResult {
  bool descend = false;
  char child[NAME_MAX + 1];
};

// Scans the current directory from `level.resume`: removes files, links and empty directories,
// and stops at the first directory that has something in it, noting where to go on from.
// Failures go to `first_error`.
void scan(Level& level, PassResult& result, int& first_error) {
  auto note = [&first_error](int error) {
    if (first_error == 0) first_error = error;
  };
  result.descend = false;
  const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    note(errno);
    return;
  }
  if (level.resume != 0 && lseek(dir, level.resume, SEEK_SET) < 0) {
    note(errno);
    close(dir);
    return;
  }
  alignas(8) char buffer[4096];
  for (;;) {
    const long got = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (got < 0) note(errno);
    if (got <= 0) break;
    for (long offset = 0; offset < got;) {
      // struct linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
      off_t next;
      unsigned short record_length;
      std::memcpy(&next, buffer + offset + 8, sizeof next);
      std::memcpy(&record_length, buffer + offset + 16, sizeof record_length);
      const unsigned char type = static_cast<unsigned char>(buffer[offset + 18]);
      const char* name = buffer + offset + 19;
      offset += record_length;
      if (is_dot_or_dot_dot(name)) continue;
      bool directory = type == DT_DIR;
      if (type == DT_UNKNOWN) {
        struct stat st;
        directory = fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      }
      if (unlinkat(dir, name, directory ? AT_REMOVEDIR : 0) == 0) {
        level.removed_in_pass = true;
        continue;
      }
      const int error = errno;
      if (error == ENOENT) continue;
      if (!directory || (error != ENOTEMPTY && error != EEXIST)) {
        note(error);
        continue;
      }
      // Something is in it: go down, and on from the entry after it when back.
      std::memcpy(result.child, name, std::strlen(name) + 1);
      level.resume = next;
      result.descend = true;
      close(dir);
      return;
    }
  }
  close(dir);
  level.resume = 0;
}

// Goes down into `name` in the current directory. False (after noting why) when it cannot.
bool descend(const char* name, dev_t device, LevelStack& stack, int& first_error) {
  const int fd = open_child_directory(name);
  struct stat st;
  int error = 0;
  if (fd < 0) {
    error = errno;
  } else if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (st.st_dev != device) {
    error = EXDEV;  // Another file system mounted inside: not ours to empty.
  } else if (!stack.push(st)) {
    error = ENOMEM;
  } else {
    grant_owner_access(fd, st);
    if (fchdir(fd) != 0) {
      error = errno;
      stack.pop();
    }
  }
  if (fd >= 0) close(fd);
  if (error != 0 && first_error == 0) first_error = error;
  return error == 0;
}

// Climbs from the current directory to its parent, which must be the one recorded on the
// way down. False when it is not (the tree was moved meanwhile) or cannot be entered.
bool climb(const Level& parent) {
  const int up = open("..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (up < 0) return false;
  struct stat st;
  const bool same = fstat(up, &st) == 0 && st.st_dev == parent.device &&
                    st.st_ino == parent.inode && fchdir(up) == 0;
  close(up);
  return same;
}

// Writes one message line made of `parts` to standard error in one call.
void write_line(const char* const* parts, int count) {
  struct iovec pieces[8];
  for (int i = 0; i < count; ++i) {
    pieces[i].iov_base = const_cast<char*>(parts[i]);
    pieces[i].iov_len = std::strlen(parts[i]);
  }
  ssize_t ignored = writev(STDERR_FILENO, pieces, count);
  (void)ignored;
}

void report_not_ours(const MadeEntry& entry) {
  const char* parts[] = {"-E- ", entry.shown,
                         " is no longer the directory this run made; not removed\n"};
  write_line(parts, 3);
}

void report_left_over(const MadeEntry& entry, int error) {
  // The system's text without translation: no allocation and no locale.
  const char* reason = strerrordesc_np(error);
  const char* parts[] = {"-E- Could not remove ", entry.shown, ": ",
                         reason != nullptr ? reason : "Unknown error", "\n"};
  write_line(parts, 5);
}

bool same_object(const struct stat& st, dev_t device, ino_t inode) {
  return st.st_dev == device && st.st_ino == inode;
}

}  // namespace

int empty_directory(int dir_fd) {
  struct stat st;
  if (fstat(dir_fd, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  grant_owner_access(dir_fd, st);
  if (fchdir(dir_fd) != 0) return errno;
  const dev_t device = st.st_dev;
  LevelStack stack;
  if (!stack.push(st)) return ENOMEM;
  int first_error = 0;
  bool stopped = false;
  PassResult pass;
  for (;;) {
    Level& level = stack.top();
    scan(level, pass, first_error);
    if (pass.descend) {
      descend(pass.child, device, stack, first_error);
      continue;  // Into the child, or on with the scan past it.
    }
    if (level.removed_in_pass) {
      // Removing entries while reading a directory may make the read skip some: again.
      level.removed_in_pass = false;
      level.removed_any = true;
      continue;
    }
    if (stack.size() == 1) break;
    const bool removed_any = level.removed_any;
    if (!climb(stack.parent())) {
      stopped = true;
      break;
    }
    stack.pop();
    // The child may be empty now; the parent's next pass removes it.
    if (removed_any) stack.top().removed_in_pass = true;
  }
  if (first_error != 0) return first_error;
  return stopped ? ENOTEMPTY : 0;
}

int remove_tree(const std::string& path) {
  if (path.empty() || path == "/") return 0;
  const char* name = path.c_str();
  struct stat st;
  if (lstat(name, &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) return unlink(name) == 0 || errno == ENOENT ? 0 : -1;
  int fd = open(name, kDirectoryFlags);
  if (fd < 0 && is_permission_error(errno) &&
      fchmodat(AT_FDCWD, name, (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0) {
    fd = open(name, kDirectoryFlags);
  }
  if (fd < 0) return -1;
  const int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  empty_directory(fd);
  close(fd);
  if (here >= 0) {
    if (fchdir(here) != 0) {
      // The directory the caller was in went away meanwhile; nothing to go back to.
    }
    close(here);
  }
  return rmdir(name) == 0 || errno == ENOENT ? 0 : -1;
}

int remove_made_entry(const MadeEntry& entry) {
  if (entry.name == nullptr) return MADE_REMOVED;
  const bool directory = entry.fd >= 0;
  struct stat st;
  if (fstatat(entry.parent_fd, entry.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    if (error != ENOENT) {
      report_left_over(entry, error);
      return MADE_LEFT_OVER;
    }
    // Gone from its name: removed by someone (nothing left to do), or moved away (left there).
    struct stat held;
    if (directory && fstat(entry.fd, &held) == 0 && held.st_nlink > 0) {
      report_not_ours(entry);
      return MADE_NOT_OURS;
    }
    return MADE_REMOVED;
  }
  if (!same_object(st, entry.device, entry.inode)) {
    if (directory) report_not_ours(entry);
    return MADE_NOT_OURS;
  }
  if (!directory) {
    if (unlinkat(entry.parent_fd, entry.name, 0) == 0 || errno == ENOENT) return MADE_REMOVED;
    report_left_over(entry, errno);
    return MADE_LEFT_OVER;
  }
  int error = empty_directory(entry.fd);
  // The name is checked once more just before it goes: only the directory emptied here.
  if (fstatat(entry.parent_fd, entry.name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!same_object(st, entry.device, entry.inode)) {
      report_not_ours(entry);
      return MADE_NOT_OURS;
    }
    if (unlinkat(entry.parent_fd, entry.name, AT_REMOVEDIR) != 0 && errno != ENOENT && error == 0) {
      error = errno;
    }
  }
  if (error == 0) return MADE_REMOVED;
  report_left_over(entry, error);
  return MADE_LEFT_OVER;
}
