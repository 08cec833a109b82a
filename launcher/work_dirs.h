#ifndef LAUNCHER_WORK_DIRS_H_
#define LAUNCHER_WORK_DIRS_H_

#include <string>

#include "launcher/launch_context.h"

/// Fills `ctx` with its defaults, the start directory, the path of the running file (from
/// "/proc/self/exe", else from argv0: relative to the start directory, or found on PATH when it
/// has no slash) and a descriptor of the running file (self_fd; -1 with self_open_error set
/// when it cannot be opened).
/// Returns 0, or EXIT_LAUNCH_FAILURE after printing "-E- Failed to get CWD." (no line end)
/// when the start directory cannot be read.
int init_launch_context(LaunchContext& ctx, const std::string& argv0);

/// Without "/proc": the running file as the shell found it. An argv0 that begins with "/" is
/// taken as it is, one with a slash elsewhere is relative to `cwd`, and one without a slash is
/// looked up on PATH (the first executable regular file of that name), as the shell did;
/// when none is found, `cwd` + "/" + argv0.
std::string running_file_from_argv0(const std::string& argv0, const std::string& cwd);

/// Chooses the work root: a new temporary directory, or the "--sfx-extract-dir" directory,
/// which must exist and be safe (see check_safe_directory). Returns 0 with both outputs set,
/// or -1 after printing one message on standard error; nothing has been created then. On
/// failure the outputs keep their old values (except temp_env_value for a temporary root).
int resolve_work_root(const LaunchContext& ctx, std::string& temp_env_value,
                      std::string& work_root);

/// Checks that no user but the caller (the effective user) and root can add, rename or remove
/// entries in the directory `dir` (as typed, for messages) or in any directory on its resolved
/// absolute path, "/" included: each must be owned by the caller or root, and must not be
/// writable by its group or by others unless it has the sticky bit. Returns 0, or -1 after
/// one line on standard error that names the first unsafe directory and why:
///   "-E- Refusing --sfx-extract-dir %s: %s is writable by all users without the sticky bit\n"
///   "-E- Refusing --sfx-extract-dir %s: %s is writable by its group without the sticky bit\n"
///   "-E- Refusing --sfx-extract-dir %s: %s is owned by another user (uid %u)\n"
/// or "-E- Failed to access directory %s: %s\n" when the path cannot be resolved.
int check_safe_directory(const std::string& dir);

/// Creates a fresh "/tmp/sfxter_XXXXXX" directory. Sets temp_env_value to "/tmp" in any case.
/// Returns 0, or -1 after printing "-E- Failed to create temporary directory".
int make_temp_work_root(std::string& temp_env_value, std::string& work_root);

/// Returns an absolute path unchanged, and a relative one resolved by realpath (or unchanged
/// when it cannot be resolved). Prints nothing.
std::string make_absolute(const std::string& path);

/// Creates the one directory `path` with mode 0777 (less the umask).
/// Returns 0, or the errno value of the failed mkdir.
int make_directory(const std::string& path);

/// Results of create_fresh_directory besides 0 and errno values.
enum : int {
  FRESH_DIR_IN_USE = -1,      ///< A live run holds a directory of that name.
  FRESH_DIR_OTHER_USER = -2,  ///< Something of that name belongs to another user.
};

/// A directory that the run made, held open and locked for as long as `fd` stays open.
struct FreshDirectory {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

/// A leftover that create_fresh_directory moved out of the way, under `name` in the parent,
/// for the caller to remove (it is still held open and locked as `fd`). Empty name: none.
struct MovedLeftover {
  std::string name;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

/// Creates the directory `name` in the directory open as `parent_fd` for this run alone: mode
/// 0700 whatever the umask, owned by the caller, locked (flock) for as long as `dir.fd` stays
/// open. It is made under a unique temporary name, opened and locked there, and only then
/// renamed to `name` where nothing bears that name, so a live run's directory is always
/// locked while it bears the name, and nobody else can open it to lock it. What bears the
/// name already is
///   - another user's (any kind of file): left alone, FRESH_DIR_OTHER_USER;
///   - a directory of the caller's that another live run holds locked: left alone,
///     FRESH_DIR_IN_USE (a lock that a process of another user than the caller and root holds,
///     on a tree others may read, is no run's and does not count);
///   - a leftover of the caller's: a directory no run holds is moved aside to a unique name,
///     reported in `leftover` for the caller to remove; a file or link is removed (not
///     followed).
/// Where the file system cannot rename without replacing, the directory is made under `name`
/// directly (and locked right after). Returns 0 with `dir` filled, FRESH_DIR_IN_USE,
/// FRESH_DIR_OTHER_USER, or the errno value of the failed step; nothing of the run's stays
/// behind on failure but `leftover`, which may be set whatever the result. Prints nothing.
/// No step waits.
int create_fresh_directory(int parent_fd, const std::string& name, FreshDirectory& dir,
                           MovedLeftover& leftover);

/// setenv with overwrite. Returns setenv's result (0, or -1). Prints nothing.
int set_env_var(const std::string& name, const std::string& value);

/// The st_mode of `path` (symbolic links followed), or -1 with errno set.
int file_mode(const std::string& path);

#endif  // LAUNCHER_WORK_DIRS_H_
