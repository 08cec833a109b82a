#ifndef LAUNCHER_SPACE_CHECK_H_
#define LAUNCHER_SPACE_CHECK_H_

#include <sys/statvfs.h>

#include <cstdint>
#include <string>

#include "extract/zip_reader.h"

/// What a run writes into one file system: whole blocks and inodes.
struct SpaceNeed {
  std::uint64_t bytes = 0;   ///< Every file's size rounded up to whole blocks.
  std::uint64_t inodes = 0;  ///< One per file, link and directory.

  /// Counts a file (or link) of `size` bytes in blocks of `block_size` bytes.
  void add_file(std::uint64_t size, std::uint64_t block_size);
};

/// Adds what unpacking `archive` writes to `need`: each entry one inode, a file or link its
/// size in whole blocks of `block_size` bytes, a directory one block. False when the archive
/// cannot be walked to its end (unpacking then reports why): `need` is not usable then. Prints
/// nothing.
bool measure_archive(const ArchiveSource& archive, std::uint64_t block_size, SpaceNeed& need);

/// Compares `need` with the blocks and inodes that `fs` has free for this process (root may
/// use the blocks reserved for it). Returns 0 when it fits, or -1 after one "-E- Not enough
/// space in <shown>: ..." or "-E- Not enough inodes in <shown>: ..." line on standard error.
/// Megabytes are MiB, the need rounded up and the free space down. A file system that counts
/// no inodes (f_files 0) is not judged on them.
int compare_space(const struct statvfs& fs, const SpaceNeed& need, const std::string& shown);

/// Checks, before a run writes anything into the directory open as `dir_fd` (`shown` for the
/// message), that the files of `archive` fit there, and `empty_file_size` bytes more for a file
/// already made there but still empty (archive.zip, whose inode is taken). Returns 0 when they
/// fit, or when that cannot be known (statvfs fails, the archive cannot be walked): the run
/// then goes on and finds out as it writes. Returns -1 after compare_space's message.
int check_space(int dir_fd, const std::string& shown, const ArchiveSource& archive,
                std::uint64_t empty_file_size);

#endif  // LAUNCHER_SPACE_CHECK_H_
