#ifndef EXTRACT_ENTRY_DATA_H_
#define EXTRACT_ENTRY_DATA_H_

#include <cstddef>
#include <cstdint>

/// Receives an entry's decoded bytes in order.
class EntrySink {
 public:
  virtual ~EntrySink() = default;
  /// Takes `size` bytes. Returns false when they cannot be stored, with errno set (0 when the
  /// system gave no reason); decoding then stops at once.
  virtual bool write(const unsigned char* data, size_t size) = 0;
};

/// Where an entry's raw (still compressed) data lies in the archive: `compressed_size` bytes at
/// absolute offset `offset` of the open descriptor `fd`, read with pread only (the descriptor's
/// position is never used or moved, so several readers may share it).
struct EntryData {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t compressed_size = 0;
  int method = 0;                       ///< 0 stored, 8 deflated (callers refuse others first).
  std::uint64_t uncompressed_size = 0;  ///< The declared size: output stops there.
  std::uint32_t crc = 0;                ///< The stored CRC-32.
};

constexpr int ENTRY_DATA_OK = 0;
/// The sink refused bytes (errno was set by the sink).
constexpr int ENTRY_DATA_WRITE_FAILED = -200;

/// Size of the buffer that compressed data is read into, and of the buffer that decoded data
/// is handed to the sink from: memory does not grow with the entry.
constexpr size_t ENTRY_DATA_BLOCK_SIZE = 256 * 1024;

/// True when decode_entry uses the fast engine (the build's SFX_FAST_INFLATE option), false
/// when it is decode_entry_zlib.
bool entry_data_fast_engine();

/// Decodes one entry into `sink`, in bounded memory (buffers do not grow with the entry).
/// Returns ENTRY_DATA_OK, or the failure in the ZIP library's own codes:
///   -1 (UNZ_ERRNO)       reading the archive failed (pread error, or the archive ended early)
///   -3 (Z_DATA_ERROR)    corrupt compressed data
///   -5 (Z_BUF_ERROR)     the compressed data ended before the DEFLATE stream did
///   -103 (UNZ_BADZIPFILE) the data ended (stream end, or stored data) before the declared size
///   -105 (UNZ_CRCERROR)  all declared bytes decoded but their CRC-32 differs from the stored one
///   ENTRY_DATA_WRITE_FAILED  the sink refused bytes
/// The first group (-1, -3, -5) is what the caller reports as a read failure, the second
/// (-103, -105) as a failure when the entry is closed. Where the fast engine fails an entry
/// (any result but ENTRY_DATA_OK and ENTRY_DATA_WRITE_FAILED), the entry is decoded once more
/// with zlib, so that the code returned is zlib's own; the sink then receives the bytes that
/// zlib decodes past those it already has (none, unless the fast engine stopped sooner than
/// zlib does), so it ends up with zlib's bytes. A stream that would produce more than the
/// declared size is cut there. Prints nothing.
int decode_entry(const EntryData& entry, EntrySink& sink);

/// The same as decode_entry with zlib's inflate and CRC-32 alone.
int decode_entry_zlib(const EntryData& entry, EntrySink& sink);

#endif  // EXTRACT_ENTRY_DATA_H_
