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
/// which must exist. Returns 0 with both outputs set, or -1 after printing one message; on
/// failure the outputs keep their old values (except temp_env_value for a temporary root).
int resolve_work_root(const LaunchContext& ctx, std::string& temp_env_value,
                      std::string& work_root);

/// Creates a fresh "/tmp/sfxter_XXXXXX" directory. Sets temp_env_value to "/tmp" in any case.
/// Returns 0, or -1 after printing "-E- Failed to create temporary directory".
int make_temp_work_root(std::string& temp_env_value, std::string& work_root);

/// Returns an absolute path unchanged, and a relative one resolved by realpath (or unchanged
/// when it cannot be resolved). Prints nothing.
std::string make_absolute(const std::string& path);

/// Creates the one directory `path` with mode 0777 (less the umask).
/// Returns 0, or the errno value of the failed mkdir.
int make_directory(const std::string& path);

/// Result of create_fresh_directory when a live run holds the directory.
constexpr int FRESH_DIR_IN_USE = -1;

/// Creates the directory `name` in the directory open as `parent_fd` and opens it, locked
/// (flock) for as long as `dir_fd` stays open, so that another run cannot take it for a
/// leftover. What is there of that name already (a leftover of a run that ended, a file, a
/// link) is removed first, without following links; a directory that another live run holds
/// locked is left alone. Returns 0 with `dir_fd` set, FRESH_DIR_IN_USE, or the errno value of
/// the failed step (EPERM when what was opened is not the directory just made). Prints nothing.
int create_fresh_directory(int parent_fd, const std::string& name, int& dir_fd);

/// Removes `path` and everything below it, without a shell. Symbolic links are removed, never
/// followed. Nothing is done for "/" or the empty path, and a missing path is no error.
/// Returns 0 when nothing of the tree is left, -1 otherwise. Prints nothing.
/// Uses only async-signal-safe system calls, so a signal handler may call it on a path that
/// was prepared in advance (see remove_tree_raw).
int remove_tree(const std::string& path);

/// remove_tree for a NUL-terminated path; async-signal-safe.
int remove_tree_raw(const char* path);

/// remove_tree for `name` in the directory open as `parent_fd` (or AT_FDCWD); async-signal-safe.
int remove_tree_at(int parent_fd, const char* name);

/// setenv with overwrite. Returns setenv's result (0, or -1). Prints nothing.
int set_env_var(const std::string& name, const std::string& value);

/// The st_mode of `path` (symbolic links followed), or -1 with errno set.
int file_mode(const std::string& path);

#endif  // LAUNCHER_WORK_DIRS_H_
