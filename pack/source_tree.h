#ifndef PACK_SOURCE_TREE_H_
#define PACK_SOURCE_TREE_H_

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pack/status.h"

/// One entry of the archive to be written.
struct PackEntry {
  std::string name;  ///< Stored name: relative, "/"-separated; a directory's ends in "/".
  std::string path;  ///< Where a file's bytes are read from.
  bool is_directory = false;
  bool is_link = false;     ///< A symbolic link, stored as one: its target is its data.
  std::string link_target;  ///< A link's target, as the link holds it.
  /// The type bits (S_IFREG, S_IFDIR or S_IFLNK) and the permission bits.
  std::uint32_t mode = 0;
  std::uint64_t size = 0;  ///< A file's length in bytes, a link's target length; 0 for a directory.
  std::int64_t mtime = 0;  ///< Modification time, seconds since the epoch, already capped.
  /// The file's modification time as the scan saw it, uncapped: a file whose size, time or
  /// identity differs once it has been read changed while it was packed.
  timespec seen_mtime = {};
  dev_t seen_device = 0;  ///< The file the scan saw: one put in its place is a change too.
  ino_t seen_inode = 0;
};

/// The longest stored name the stub unpacks: its name buffer holds 256 bytes with the
/// terminator.
constexpr std::size_t MAX_STORED_NAME = 255;

/// The largest file the stub unpacks. Larger ones need the ZIP64 extra field, whose sizes the
/// stub's ZIP reader does not take on 64-bit systems (it stops after 4 GiB with a CRC error).
constexpr std::uint64_t MAX_ENTRY_SIZE = 0xFFFFFFFEu;

/// The most entries the stub unpacks: from 65535 on, the ZIP writer records the count as 65535
/// without a ZIP64 end record, and the stub's reader stops there.
constexpr std::size_t MAX_ENTRY_COUNT = 65534;

/// What a file of type `mode` is, for a message: "a directory", "a fifo", "a character
/// device"...
std::string file_kind(mode_t mode);

/// Why a stored name cannot be carried by the stub, or an empty text when it can: 256 bytes or
/// more, or a backslash (the stub splits names at backslashes too, so such a file would land
/// elsewhere, or as a directory).
std::string stored_name_fault(const std::string& name);

/// Walks the directory `source` and lists what the archive will hold: every file, directory and
/// symbolic link below it (the source directory itself is not stored), sorted by stored name in
/// byte order, so that a directory always precedes what it contains.
/// A symbolic link is stored as a link when what it leads to lies inside `source` (judged by
/// resolving it; for a link that leads nowhere, by the part of its way that exists) and its
/// target is one the stub makes (is_safe_link_target). With `follow_links`, links are followed
/// instead: to a file anywhere, or to a directory inside `source`.
/// Times later than `time_cap`, when set, are replaced by it.
/// Returns an input fault, with `entries` unspecified, for: an entry that cannot be read, a
/// special file (fifo, socket, device), a symbolic link that leads outside `source`, whose
/// target the stub would not make, or that loops; with `follow_links`, one that leads nowhere
/// or to a directory outside `source`; a stored name or a file size the stub cannot carry, and
/// more than MAX_ENTRY_COUNT entries.
Status scan_source(const std::string& source, std::optional<std::int64_t> time_cap,
                   bool follow_links, std::vector<PackEntry>& entries);

#endif  // PACK_SOURCE_TREE_H_
