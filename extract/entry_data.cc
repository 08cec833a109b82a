#include "extract/entry_data.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#ifdef SFX_FAST_INFLATE
#include <crc.h>
#include <igzip_lib.h>
#endif

namespace {

// The ZIP library's codes, as its unzip.h defines them (that header is not needed here).
constexpr int kReadFailed = -1;      // UNZ_ERRNO
constexpr int kDataTooShort = -103;  // UNZ_BADZIPFILE
constexpr int kCrcMismatch = -105;   // UNZ_CRCERROR

using CrcFunction = std::uint32_t (*)(std::uint32_t crc, const unsigned char* data, size_t size);

std::uint32_t zlib_crc(std::uint32_t crc, const unsigned char* data, size_t size) {
  // The blocks handed in are at most ENTRY_DATA_BLOCK_SIZE, well within zlib's uInt.
  return static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

#ifdef SFX_FAST_INFLATE
std::uint32_t fast_crc(std::uint32_t crc, const unsigned char* data, size_t size) {
  return crc32_gzip_refl(crc, data, size);
}
#endif

using Block = std::unique_ptr<unsigned char[]>;

// The blocks of a thread, kept for its whole life: every entry reuses them, so that unpacking
// many small entries neither allocates nor frees a block per entry (which also keeps the heap
// from being trimmed and grown again, and the new pages from being faulted in, each time).
// Raw data read with pread goes into the input block, decoded data into the output block;
// one decode uses each at most once at a time.
enum class BlockUse { kInput, kOutput };
unsigned char* thread_block(BlockUse use) {
  thread_local Block blocks[2];
  Block& block = blocks[use == BlockUse::kInput ? 0 : 1];
  if (!block) block.reset(new unsigned char[ENTRY_DATA_BLOCK_SIZE]);
  return block.get();
}

// Hands out an entry's raw data in order, never past its compressed size, read with pread
// into a block of its own. Reading beats mapping the archive: the kernel copies from the page
// cache through its own large pages, while a mapping of it is walked 4 KiB page by page (which
// cost twice the time on a virtual machine) and a file cut short under a mapping faults.
class RawInput {
 public:
  explicit RawInput(const EntryData& entry)
      : fd_(entry.fd), next_(entry.offset), left_(entry.compressed_size) {}

  bool exhausted() const { return left_ == 0; }
  /// The next stretch of data, `size` (never 0) bytes at `data`, valid until the next call.
  /// Returns false when reading fails or the file ends before the compressed size.
  bool next(const unsigned char*& data, size_t& size) {
    if (block_ == nullptr) block_ = thread_block(BlockUse::kInput);
    const size_t want = static_cast<size_t>(std::min<std::uint64_t>(ENTRY_DATA_BLOCK_SIZE, left_));
    ssize_t n;
    do {
      n = pread(fd_, block_, want, static_cast<off_t>(next_));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    data = block_;
    size = static_cast<size_t>(n);
    next_ += size;
    left_ -= size;
    return true;
  }

 private:
  int fd_;
  std::uint64_t next_;
  std::uint64_t left_;
  unsigned char* block_ = nullptr;
};

// Hands decoded bytes to the sink up to the declared size, with their running CRC-32.
class DeclaredOutput {
 public:
  DeclaredOutput(const EntryData& entry, EntrySink& sink, CrcFunction crc)
      : sink_(sink), crc_function_(crc), expected_crc_(entry.crc), left_(entry.uncompressed_size) {}
  /// How many of `capacity` bytes may still be produced.
  size_t room(size_t capacity) const {
    return static_cast<size_t>(std::min<std::uint64_t>(capacity, left_));
  }
  bool full() const { return left_ == 0; }
  /// Bytes handed to the sink so far, refused ones included.
  std::uint64_t delivered() const { return delivered_; }
  bool deliver(const unsigned char* data, size_t size) {
    if (size == 0) return true;
    crc_ = crc_function_(crc_, data, size);
    left_ -= size;
    delivered_ += size;
    return sink_.write(data, size);
  }
  /// The result once the data has ended: short of the declared size, or its CRC-32 checked.
  int finish() const {
    if (left_ != 0) return kDataTooShort;
    return crc_ == expected_crc_ ? ENTRY_DATA_OK : kCrcMismatch;
  }

 private:
  EntrySink& sink_;
  CrcFunction crc_function_;
  std::uint32_t expected_crc_;
  std::uint64_t left_;
  std::uint64_t delivered_ = 0;
  std::uint32_t crc_ = 0;
};

// Stored data is copied as it lies, up to the declared size.
int copy_stored(const EntryData& entry, EntrySink& sink, CrcFunction crc) {
  RawInput input(entry);
  DeclaredOutput output(entry, sink, crc);
  while (!output.full() && !input.exhausted()) {
    const unsigned char* data = nullptr;
    size_t got = 0;
    if (!input.next(data, got)) return kReadFailed;
    if (!output.deliver(data, output.room(got))) return ENTRY_DATA_WRITE_FAILED;
  }
  return output.finish();
}

struct ZlibStream {
  z_stream stream{};
  bool open = false;
  ~ZlibStream() {
    if (open) inflateEnd(&stream);
  }
};

int inflate_zlib(const EntryData& entry, EntrySink& sink) {
  ZlibStream z;
  if (inflateInit2(&z.stream, -MAX_WBITS) != Z_OK) return Z_MEM_ERROR;
  z.open = true;
  unsigned char* const out = thread_block(BlockUse::kOutput);
  RawInput input(entry);
  DeclaredOutput output(entry, sink, zlib_crc);
  while (!output.full()) {
    if (z.stream.avail_in == 0 && !input.exhausted()) {
      const unsigned char* data = nullptr;
      size_t got = 0;
      if (!input.next(data, got)) return kReadFailed;
      z.stream.next_in = const_cast<unsigned char*>(data);  // zlib only reads it.
      z.stream.avail_in = static_cast<uInt>(got);
    }
    z.stream.next_out = out;
    z.stream.avail_out = static_cast<uInt>(output.room(ENTRY_DATA_BLOCK_SIZE));
    int status = inflate(&z.stream, Z_SYNC_FLUSH);
    size_t produced = static_cast<size_t>(z.stream.next_out - out);
    if (status == Z_NEED_DICT) status = Z_DATA_ERROR;  // A raw stream has no dictionary.
    if (status != Z_OK && status != Z_STREAM_END) return status;
    if (!output.deliver(out, produced)) return ENTRY_DATA_WRITE_FAILED;
    if (status == Z_STREAM_END) break;
    // With every byte of the data read and room left, inflate says Z_BUF_ERROR when it cannot
    // go on; that is the "compressed data ended early" case.
  }
  return output.finish();
}

#ifdef SFX_FAST_INFLATE
// Inflates with the fast engine into `output`, which tells the caller how far it got.
int inflate_fast(const EntryData& entry, DeclaredOutput& output) {
  // The engine's state is large: one per thread, made afresh for each entry.
  thread_local std::unique_ptr<inflate_state> kept_state;
  if (!kept_state) kept_state = std::make_unique<inflate_state>();
  inflate_state* const state = kept_state.get();
  isal_inflate_init(state);
  state->crc_flag = ISAL_DEFLATE;  // Raw data; the CRC-32 is taken of the declared bytes only.
  unsigned char* const out = thread_block(BlockUse::kOutput);
  RawInput input(entry);
  const unsigned char* window = nullptr;
  size_t window_size = 0;
  while (!output.full()) {
    if (state->avail_in == 0 && !input.exhausted()) {
      if (!input.next(window, window_size)) return kReadFailed;
      state->next_in = const_cast<unsigned char*>(window);  // The engine only reads it.
      state->avail_in = static_cast<std::uint32_t>(window_size);
    }
    state->next_out = out;
    state->avail_out = static_cast<std::uint32_t>(output.room(ENTRY_DATA_BLOCK_SIZE));
    std::uint32_t had_in = state->avail_in;
    const int status = isal_inflate(state);
    size_t produced = static_cast<size_t>(state->next_out - out);
    if (status < 0) return Z_DATA_ERROR;
    if (!output.deliver(out, produced)) return ENTRY_DATA_WRITE_FAILED;
    if (state->block_state == ISAL_BLOCK_FINISH) break;
    // No step made: with every byte read the stream was cut short; otherwise the engine is
    // stuck on the data, which zlib's second decode then names.
    if (produced == 0 && state->avail_in == had_in) {
      return input.exhausted() ? Z_BUF_ERROR : Z_DATA_ERROR;
    }
  }
  return output.finish();
}

// Passes on only the bytes past the first `skip`: zlib's second decode of an entry gives the
// sink what the fast engine did not, so that the sink ends up with zlib's bytes.
class ResumeSink : public EntrySink {
 public:
  ResumeSink(EntrySink& sink, std::uint64_t skip) : sink_(sink), skip_(skip) {}
  bool write(const unsigned char* data, size_t size) override {
    size_t skipped = static_cast<size_t>(std::min<std::uint64_t>(size, skip_));
    skip_ -= skipped;
    return skipped == size || sink_.write(data + skipped, size - skipped);
  }

 private:
  EntrySink& sink_;
  std::uint64_t skip_;
};
#endif

}  // namespace

bool entry_data_fast_engine() {
#ifdef SFX_FAST_INFLATE
  return true;
#else
  return false;
#endif
}

int decode_entry_zlib(const EntryData& entry, EntrySink& sink) {
  if (entry.method == 0) return copy_stored(entry, sink, zlib_crc);
  return inflate_zlib(entry, sink);
}

int decode_entry(const EntryData& entry, EntrySink& sink) {
#ifdef SFX_FAST_INFLATE
  if (entry.method == 0) return copy_stored(entry, sink, fast_crc);
  DeclaredOutput output(entry, sink, fast_crc);
  int result = inflate_fast(entry, output);
  if (result == ENTRY_DATA_OK || result == ENTRY_DATA_WRITE_FAILED) return result;
  // The fast engine may refuse data that zlib takes, or refuse it sooner: it checks a whole
  // stretch ahead of the declared size's cut. zlib decodes the entry once more, and the sink
  // gets whatever zlib decodes past the bytes it already has.
  ResumeSink rest(sink, output.delivered());
  return inflate_zlib(entry, rest);
#else
  return decode_entry_zlib(entry, sink);
#endif
}
