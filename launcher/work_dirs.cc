#include "launcher/work_dirs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "extract/entry_rules.h"

namespace {

constexpr char kTempRootTemplate[] = "/tmp/sfxter_XXXXXX";
constexpr char kSelfExeLink[] = "/proc/self/exe";
constexpr int kPathBufferSize = 1024;

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
  if (check_safe_directory(ctx.extract_dir) != 0) return -1;
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

int check_safe_directory(const std::string& dir) {
  char* resolved = realpath(dir.c_str(), nullptr);
  if (resolved == nullptr) {
    std::fprintf(stderr, "-E- Failed to access directory %s: %s\n", dir.c_str(),
                 std::strerror(errno));
    return -1;
  }
  std::string current = resolved;
  std::free(resolved);
  const uid_t caller = geteuid();
  // From the directory itself up to "/", the way ssh checks the path of its key files: the
  // nearest unsafe one is named.
  for (;;) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0) {
      std::fprintf(stderr, "-E- Failed to access directory %s: %s\n", dir.c_str(),
                   std::strerror(errno));
      return -1;
    }
    const char* reason = nullptr;
    const bool sticky = (st.st_mode & S_ISVTX) != 0;
    if (st.st_uid != caller && st.st_uid != 0) {
      std::fprintf(stderr,
                   "-E- Refusing --sfx-extract-dir %s: %s is owned by another user (uid %u)\n",
                   printable_text(dir).c_str(), printable_text(current).c_str(),
                   static_cast<unsigned>(st.st_uid));
      return -1;
    }
    if ((st.st_mode & S_IWOTH) != 0 && !sticky) {
      reason = "all users";
    } else if ((st.st_mode & S_IWGRP) != 0 && !sticky) {
      reason = "its group";
    }
    if (reason != nullptr) {
      std::fprintf(stderr,
                   "-E- Refusing --sfx-extract-dir %s: %s is writable by %s without the sticky "
                   "bit\n",
                   printable_text(dir).c_str(), printable_text(current).c_str(), reason);
      return -1;
    }
    if (current == "/") return 0;
    const size_t slash = current.rfind('/');
    current.resize(slash == 0 ? 1 : slash);
  }
}

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// `prefix` followed by ten random letters and digits: a name of the run's own beside others.
std::string unique_name(const char* prefix) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[10];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy yet (early boot): the clock and the process id still make clashes unlikely,
    // and every name is created exclusively anyway.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t x = static_cast<std::uint64_t>(now.tv_nsec) ^
                      (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                      (static_cast<std::uint64_t>(getpid()) << 40);
    for (unsigned char& byte : bytes) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      byte = static_cast<unsigned char>(x >> 56);
    }
  }
  std::string name = prefix;
  for (unsigned char byte : bytes) name += kChars[byte % (sizeof kChars - 1)];
  return name;
}

bool same_object(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the directory `name` in `parent_fd` that the run just made, checks that it is the
// caller's, gives it mode 0700 (whatever the umask took away) and locks it. Returns 0 with
// `dir` filled, FRESH_DIR_IN_USE when another run locked it first, or an errno value.
int take_directory(int parent_fd, const char* name, FreshDirectory& dir) {
  const int fd = openat(parent_fd, name, kDirectoryFlags);
  if (fd < 0) return errno;
  struct stat st;
  int result = 0;
  if (fstat(fd, &st) != 0) {
    result = errno;
  } else if (st.st_uid != geteuid()) {
    result = EPERM;  // Not the directory just made.
  } else if (fchmod(fd, 0700) != 0) {
    result = errno;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    result = FRESH_DIR_IN_USE;
  }
  // Where the file system has no locks, the run goes on without.
  if (result != 0) {
    close(fd);
    return result;
  }
  dir = {fd, st.st_dev, st.st_ino};
  return 0;
}

// Removes the empty directory `name` that the run made as `dir`, while the name holds it, and
// closes it.
void drop_directory(int parent_fd, const std::string& name, FreshDirectory& dir) {
  struct stat st;
  if (fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dir.device &&
      st.st_ino == dir.inode) {
    unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
  }
  close(dir.fd);
  dir = FreshDirectory();
}

// Makes a directory of the run's own under a unique temporary name in `parent_fd`, opened,
// mode 0700 and locked. Returns 0 with `temp_name` and `dir` set, or an errno value.
int make_locked_directory(int parent_fd, std::string& temp_name, FreshDirectory& dir) {
  for (int tries = 0;; ++tries) {
    temp_name = unique_name(".sfx-new-");
    if (mkdirat(parent_fd, temp_name.c_str(), 0700) == 0) break;
    if (errno != EEXIST || tries == 100) return errno;
  }
  const int taken = take_directory(parent_fd, temp_name.c_str(), dir);
  if (taken != 0) unlinkat(parent_fd, temp_name.c_str(), AT_REMOVEDIR);
  return taken == FRESH_DIR_IN_USE ? EBUSY : taken;
}

// Gives the run's directory `made`, now named `temp_name`, the name `name`, only where nothing
// bears that name. Returns 0, EEXIST when something does, or another errno value.
int put_in_place(int parent_fd, const std::string& temp_name, const std::string& name,
                 FreshDirectory& made) {
  if (renameat2(parent_fd, temp_name.c_str(), parent_fd, name.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return errno == ENOTEMPTY ? EEXIST : errno;
  // The file system renames only by replacing: the directory is made under its name directly
  // (still exclusively) and locked right after, and the temporary one goes.
  if (mkdirat(parent_fd, name.c_str(), 0700) != 0) return errno;
  FreshDirectory direct;
  const int taken = take_directory(parent_fd, name.c_str(), direct);
  if (taken == FRESH_DIR_IN_USE) return EEXIST;  // Another run took it for a leftover.
  if (taken != 0) {
    unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
    return taken;
  }
  drop_directory(parent_fd, temp_name, made);
  made = direct;
  return 0;
}

// Whether the lock on the directory `st`, which the caller could not take, is held by a process
// of another user than the caller and root: then it is no run's. A directory readable by its
// owner only can be locked only by the caller's processes and root's; for one that others may
// read (a kept extract-only tree, or a tree its payload opened up) the holder is looked up in
// /proc/locks. Where it cannot be found, the lock counts as a run's.
bool lock_held_by_others(const struct stat& st) {
  if ((st.st_mode & (S_IRGRP | S_IROTH)) == 0) return false;
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return false;
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  // "1: FLOCK  ADVISORY  WRITE 1234 00:2f:5678 0 EOF"; waiting requests have "->" after the
  // number, and are not holders.
  char line[256];
  bool others = false;
  bool found = false;
  while (std::fgets(line, sizeof line, locks) != nullptr) {
    char kind[16], mode[16], access[16], device[64];
    long pid = 0;
    if (std::sscanf(line, "%*d: %15s %15s %15s %ld %63s", kind, mode, access, &pid, device) != 5 ||
        std::strcmp(kind, "FLOCK") != 0 || std::strcmp(device, wanted) != 0 || pid <= 0) {
      continue;
    }
    found = true;
    struct stat process;
    const std::string proc = "/proc/" + std::to_string(pid);
    if (stat(proc.c_str(), &process) != 0) {
      others = false;  // Gone, or not to be seen from here: it counts as a run's.
      break;
    }
    others = process.st_uid != geteuid() && process.st_uid != 0;
    if (!others) break;
  }
  std::fclose(locks);
  return found && others;
}

// What bore the payload directory's name, and what was done about it.
enum class Bearer { kGone, kOtherUser, kInUse, kCleared, kFailed };

// Looks at what bears `name` in `parent_fd`: leaves it when it is another user's or a live
// run's, removes a file or link of the caller's, and moves a directory that no run holds out
// of the way into `leftover` (once per run). `error` receives the errno value of kFailed.
Bearer clear_name(int parent_fd, const std::string& name, MovedLeftover& leftover, int& error) {
  struct stat st;
  if (fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return error == ENOENT ? Bearer::kGone : Bearer::kFailed;
  }
  if (st.st_uid != geteuid()) return Bearer::kOtherUser;
  if (!S_ISDIR(st.st_mode)) {
    if (unlinkat(parent_fd, name.c_str(), 0) == 0 || errno == ENOENT) return Bearer::kCleared;
    error = errno;
    return Bearer::kFailed;
  }
  if (leftover.fd >= 0) {
    error = EEXIST;  // A second leftover appeared meanwhile: no run of ours makes those.
    return Bearer::kFailed;
  }
  int fd = openat(parent_fd, name.c_str(), kDirectoryFlags);
  if (fd < 0 && (errno == EACCES || errno == EPERM) &&
      fchmodat(parent_fd, name.c_str(), (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0) {
    fd = openat(parent_fd, name.c_str(), kDirectoryFlags);  // The owner's own leftover.
  }
  if (fd < 0) {
    error = errno;
    return error == ENOENT ? Bearer::kGone : Bearer::kFailed;
  }
  struct stat held;
  if (fstat(fd, &held) != 0 || !same_object(held, st)) {
    close(fd);
    return Bearer::kGone;  // Replaced meanwhile: look again.
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK && !lock_held_by_others(held)) {
    close(fd);
    return Bearer::kInUse;
  }
  // Locked now (or locked by someone else than a run), so no other run moves it; the name must
  // still hold it.
  if (fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !same_object(held, st)) {
    close(fd);
    return Bearer::kGone;
  }
  const std::string aside = unique_name(".sfx-old-");
  if (renameat2(parent_fd, name.c_str(), parent_fd, aside.c_str(), RENAME_NOREPLACE) != 0 &&
      ((errno != EINVAL && errno != ENOSYS) ||
       renameat(parent_fd, name.c_str(), parent_fd, aside.c_str()) != 0)) {
    error = errno;
    close(fd);
    return Bearer::kFailed;
  }
  leftover.name = aside;
  leftover.fd = fd;
  leftover.device = held.st_dev;
  leftover.inode = held.st_ino;
  return Bearer::kCleared;
}

}  // namespace

int create_fresh_directory(int parent_fd, const std::string& name, FreshDirectory& dir,
                           MovedLeftover& leftover) {
  dir = FreshDirectory();
  std::string temp_name;
  FreshDirectory made;
  int result = make_locked_directory(parent_fd, temp_name, made);
  if (result != 0) return result;
  // A few rounds: each one that finds the name taken clears it or ends the attempt.
  for (int round = 0; round < 4; ++round) {
    result = put_in_place(parent_fd, temp_name, name, made);
    if (result != EEXIST) break;
    int error = 0;
    const Bearer bearer = clear_name(parent_fd, name, leftover, error);
    if (bearer == Bearer::kGone || bearer == Bearer::kCleared) continue;
    result = bearer == Bearer::kOtherUser ? FRESH_DIR_OTHER_USER
             : bearer == Bearer::kInUse   ? FRESH_DIR_IN_USE
                                          : error;
    break;
  }
  if (result != 0) {
    drop_directory(parent_fd, temp_name, made);
    return result;
  }
  dir = made;
  return 0;
}

int set_env_var(const std::string& name, const std::string& value) {
  return setenv(name.c_str(), value.c_str(), 1);
}

int file_mode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode);
}
