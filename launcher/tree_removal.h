#ifndef LAUNCHER_TREE_REMOVAL_H_
#define LAUNCHER_TREE_REMOVAL_H_

#include <fcntl.h>
#include <sys/types.h>

#include <string>

// Removing what a run made, without a shell, with a bounded number of descriptors, and from a
// signal handler as well as from ordinary code.

/// Removes everything below the directory open as `dir_fd` (the directory itself stays).
/// Symbolic links are removed, never followed; nothing on another file system (a mount point
/// inside) is entered; a directory whose owner took away its own read, write or search
/// permission gets them back first. Needs one descriptor besides `dir_fd`, however deep the
/// tree: it walks with the current directory, climbing back through ".." only while that is
/// the directory it came from (device and inode). Returns 0 when nothing is left below, else
/// the errno value of the first thing that could not be removed. Prints nothing. Leaves the
/// current directory somewhere in the tree. Async-signal-safe (no allocation but anonymous
/// mappings for trees deeper than 64 levels).
int empty_directory(int dir_fd);

/// Removes `path` and everything below it. Symbolic links are removed, never followed. Nothing
/// is done for "/" or the empty path, and a missing path is no error. The current directory is
/// the same afterwards (when a descriptor can be had to note it). Returns 0 when nothing of the
/// tree is left, -1 otherwise. Prints nothing.
int remove_tree(const std::string& path);

/// Something that the run made, known by its name in a directory the run holds.
struct MadeEntry {
  int parent_fd = AT_FDCWD;     ///< The directory that holds it (AT_FDCWD for an absolute name).
  const char* name = nullptr;   ///< Its name there; nullptr for an empty entry.
  const char* shown = nullptr;  ///< Its path as messages show it.
  int fd = -1;                  ///< A directory: itself, held open. A file: -1.
  dev_t device = 0;             ///< What the name held when the run made it.
  ino_t inode = 0;
};

/// Results of remove_made_entry.
enum : int {
  MADE_REMOVED = 0,    ///< Removed, or already gone.
  MADE_NOT_OURS = 1,   ///< The name no longer holds what the run made; left alone.
  MADE_LEFT_OVER = 2,  ///< Something could not be removed.
};

/// Removes `entry` while its name still holds what the run made: a directory with everything in
/// it (see empty_directory), or a file. A name that holds something else, or a directory that
/// was moved away from it, is left alone; for a directory that prints
/// "-E- %s is no longer the directory this run made; not removed\n" with `shown` on standard
/// error (a file is left without a word). What cannot be removed is named in one line,
/// "-E- Could not remove %s: %s\n" with `shown` and the system's text for the first failure.
/// Returns MADE_REMOVED, MADE_NOT_OURS or MADE_LEFT_OVER. Async-signal-safe.
int remove_made_entry(const MadeEntry& entry);

#endif  // LAUNCHER_TREE_REMOVAL_H_
