// Fuzz target for entry decoding: arbitrary raw entry data decoded by the fast engine
// (decode_entry) and by zlib alone (decode_entry_zlib). Both must give the same result; where
// every declared byte was decoded (success, or a CRC-32 that differs) or the data ended before
// the declared size, the sink must have received the same bytes from both. One difference is
// allowed: a Huffman code set that zlib refuses and the fast engine takes, where the entry
// still decodes to its declared size and CRC-32.
//
// Input format: byte 0 picks the method (bit 0 set: stored, else deflated) and where the data
// lies (bit 1 set: it ends the file, so a declared compressed size past it reads past the end);
// bytes 1-3 the declared size (little-endian, below 16 MiB); bytes 4-7 the stored CRC-32; byte
// 8 how many bytes the declared compressed size exceeds the data by (0-255); the rest is the
// raw data.

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "extract/entry_data.h"
#include "fuzz/fuzz_util.h"

namespace {

using sfx_fuzz::check;

constexpr std::size_t kHeader = 9;

std::string g_input_path;

// Keeps the size and CRC-32 of what it receives, not the bytes, so memory stays small.
class SummarySink : public EntrySink {
 public:
  bool write(const unsigned char* data, size_t size) override {
    crc = crc32(crc, data, static_cast<uInt>(size));
    bytes += size;
    return true;
  }
  uLong crc = 0;
  std::uint64_t bytes = 0;
};

// True when zlib stops on `raw` because a block's Huffman code set is invalid.
bool refused_code_set(const std::uint8_t* raw, std::size_t size) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
  std::string out(1 << 16, '\0');
  stream.next_in = const_cast<Bytef*>(raw);
  stream.avail_in = static_cast<uInt>(size);
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    status = inflate(&stream, Z_SYNC_FLUSH);
  }
  const std::string message = stream.msg != nullptr ? stream.msg : "";
  inflateEnd(&stream);
  return status == Z_DATA_ERROR &&
         (message == "invalid code lengths set" || message == "invalid literal/lengths set" ||
          message == "invalid distances set");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_input_path = sfx_fuzz::make_scratch_dir("entry_data") + "/archive.zip";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return -1;
  const bool at_end = (data[0] & 2) != 0;
  const std::string lead = "PK\3\4 local header and name";
  std::string file =
      lead + std::string(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
  if (!at_end) file += "central directory";
  sfx_fuzz::write_input(g_input_path, reinterpret_cast<const std::uint8_t*>(file.data()),
                        file.size());
  int fd = open(g_input_path.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "cannot open the input file");

  EntryData entry;
  entry.fd = fd;
  entry.offset = lead.size();
  entry.compressed_size = size - kHeader + data[8];
  entry.method = (data[0] & 1) != 0 ? 0 : 8;
  entry.uncompressed_size = data[1] | (data[2] << 8) | (std::uint64_t{data[3]} << 16);
  entry.crc = data[4] | (data[5] << 8) | (data[6] << 16) | (std::uint32_t{data[7]} << 24);

  SummarySink fast;
  SummarySink zlib;
  const int fast_result = decode_entry(entry, fast);
  const int zlib_result = decode_entry_zlib(entry, zlib);
  close(fd);
  // The fast engine takes Huffman code sets that zlib calls invalid (incomplete or
  // over-subscribed) where the data still decodes to its declared size and CRC-32; only that
  // difference is allowed.
  const bool table_zlib_refuses =
      fast_result == ENTRY_DATA_OK && zlib_result == Z_DATA_ERROR &&
      fast.bytes == entry.uncompressed_size && refused_code_set(data + kHeader, size - kHeader);
  check(fast_result == zlib_result || table_zlib_refuses,
        "the fast engine and zlib give different results");
  if (table_zlib_refuses) return 0;
  if (fast_result == ENTRY_DATA_OK || fast_result == -103 || fast_result == -105) {
    check(fast.bytes == zlib.bytes && fast.crc == zlib.crc,
          "the fast engine and zlib decode different bytes");
  }
  if (fast_result == ENTRY_DATA_OK || fast_result == -105) {
    check(fast.bytes == entry.uncompressed_size, "a decoded entry is not its declared size");
  }
  return 0;
}
