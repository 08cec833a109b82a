#ifndef PACK_ARCHIVE_WRITER_H_
#define PACK_ARCHIVE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pack/progress.h"
#include "pack/source_tree.h"
#include "pack/status.h"

/// The longest archive a distributable file can carry: its length is stored in 32 bits.
constexpr std::uint64_t MAX_ARCHIVE_LENGTH = 0xFFFFFFFFu;

/// How write_archive compresses.
struct ArchiveOptions {
  int level = 6;  ///< 0 stores every entry; 1 to 9 deflate where that is smaller.
  int jobs = 1;   ///< Compression threads.
  /// Files are compressed in pieces of this many bytes, each on its own thread, each primed
  /// with the 32 KiB before it. The pieces do not depend on `jobs`, so neither does the output.
  std::uint64_t chunk_size = 512 * 1024;
  /// Compressed pieces of one entry kept in memory while it is not yet known whether deflate
  /// or store is smaller; past this the pieces are only measured and the entry is read again.
  std::size_t held_chunks = 16;
  /// The archive must not grow longer than this.
  std::uint64_t max_length = MAX_ARCHIVE_LENGTH;
  /// Told of the file bytes packed, when set; the caller owns it.
  Progress* progress = nullptr;
  /// The archive's comment (at most 65535 bytes); empty for none.
  std::string comment;
};

/// Writes a ZIP archive holding `entries`, in their order, into `file` from its current
/// position on, with offsets counted from that position. Each file entry is deflated (raw
/// deflate, compressed in parallel) or stored, whichever is smaller; directories are stored
/// with names ending in "/", symbolic links stored with their target as data. Every entry records
/// "made by Unix", its type and permission bits in the upper half of the external attributes, and
/// its time as a local-time DOS date. Memory stays bounded by the pieces in flight, whatever the
/// size of the files. On success sets `archive_length`. Returns an input fault for a file that
/// cannot be read or that changed while it was packed, a failed write, or an archive longer than
/// `options.max_length`; `file` then holds a partial archive, which the caller discards.
Status write_archive(const std::vector<PackEntry>& entries, const ArchiveOptions& options,
                     std::FILE* file, std::uint64_t& archive_length);

/// The exact length of the archive write_archive makes with level 0 (every entry stored) and an
/// archive comment of `comment_size` bytes.
std::uint64_t stored_archive_length(const std::vector<PackEntry>& entries,
                                    std::size_t comment_size = 0);

/// The DOS date and time (date in the upper 16 bits) of `time` in local time, clamped to the
/// range a DOS date can hold (1980 to 2107).
std::uint32_t dos_date_time(std::int64_t time);

#endif  // PACK_ARCHIVE_WRITER_H_
