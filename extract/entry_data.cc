#include "extract/entry_data.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

constexpr size_t kInputSize = 64 * 1024;
constexpr size_t kOutputSize = 64 * 1024;
constexpr int kReadFailed = -1;
constexpr int kShorterThanDeclared = -103;
constexpr int kCrcMismatch = -105;

// Reads up to `size` bytes at `offset`; returns the count, 0 at the end, -1 on an error.
ssize_t read_some(int fd, unsigned char* buffer, size_t size, std::uint64_t offset) {
  for (;;) {
    ssize_t got = pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) return got;
  }
}

struct InflateEnd {
  void operator()(z_stream* stream) const { inflateEnd(stream); }
};

}  // namespace

int decode_entry(const EntryData& entry, EntrySink& sink) {
  std::unique_ptr<unsigned char[]> input(new unsigned char[kInputSize]);
  std::uint64_t read_offset = entry.offset;
  std::uint64_t input_left = entry.compressed_size;
  std::uint64_t output_left = entry.uncompressed_size;
  uLong crc = crc32(0, nullptr, 0);

  if (entry.method == 0) {
    while (output_left > 0) {
      if (input_left == 0) return kShorterThanDeclared;
      const size_t want = static_cast<size_t>(
          std::min<std::uint64_t>(std::min(input_left, output_left), kInputSize));
      ssize_t got = read_some(entry.fd, input.get(), want, read_offset);
      if (got <= 0) return kReadFailed;
      read_offset += static_cast<std::uint64_t>(got);
      input_left -= static_cast<std::uint64_t>(got);
      output_left -= static_cast<std::uint64_t>(got);
      crc = crc32(crc, input.get(), static_cast<uInt>(got));
      if (!sink.write(input.get(), static_cast<size_t>(got))) return ENTRY_DATA_WRITE_FAILED;
    }
    return crc == entry.crc ? ENTRY_DATA_OK : kCrcMismatch;
  }

  std::unique_ptr<unsigned char[]> output(new unsigned char[kOutputSize]);
  z_stream stream = {};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return Z_MEM_ERROR;
  std::unique_ptr<z_stream, InflateEnd> end_stream(&stream);
  bool stream_ended = false;
  while (output_left > 0 && !stream_ended) {
    if (stream.avail_in == 0 && input_left > 0) {
      const size_t want = static_cast<size_t>(std::min<std::uint64_t>(input_left, kInputSize));
      ssize_t got = read_some(entry.fd, input.get(), want, read_offset);
      if (got <= 0) return kReadFailed;
      read_offset += static_cast<std::uint64_t>(got);
      input_left -= static_cast<std::uint64_t>(got);
      stream.next_in = input.get();
      stream.avail_in = static_cast<uInt>(got);
    }
    const size_t room = static_cast<size_t>(std::min<std::uint64_t>(output_left, kOutputSize));
    stream.next_out = output.get();
    stream.avail_out = static_cast<uInt>(room);
    const int result = inflate(&stream, Z_SYNC_FLUSH);
    const size_t produced = room - stream.avail_out;
    if (result == Z_STREAM_END) {
      stream_ended = true;
    } else if (result == Z_BUF_ERROR && stream.avail_in == 0 && input_left == 0) {
      return Z_BUF_ERROR;  // The compressed data ended before the stream did.
    } else if (result != Z_OK && result != Z_BUF_ERROR) {
      return result == Z_NEED_DICT ? Z_DATA_ERROR : result;
    }
    if (produced > 0) {
      crc = crc32(crc, output.get(), static_cast<uInt>(produced));
      output_left -= produced;
      if (!sink.write(output.get(), produced)) return ENTRY_DATA_WRITE_FAILED;
    }
  }
  if (output_left > 0) return kShorterThanDeclared;
  return crc == entry.crc ? ENTRY_DATA_OK : kCrcMismatch;
}
