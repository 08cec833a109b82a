#include "extract/entry_data.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::random_bytes;
using sfx_testing::TempDir;
using sfx_testing::text_bytes;

// Raw DEFLATE data (no header or trailer), as a ZIP entry holds it.
// A preset `dictionary` makes data whose first matches reach back before its start.
std::string raw_deflate(const std::string& data, int level = 6, int strategy = Z_DEFAULT_STRATEGY,
                        const std::string& dictionary = "") {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, strategy), Z_OK);
  if (!dictionary.empty()) {
    EXPECT_EQ(deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary.data()),
                                   static_cast<uInt>(dictionary.size())),
              Z_OK);
  }
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::uint32_t crc_of(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// Collects what it is given; refuses with ENOSPC once `limit` bytes would be passed.
class StringSink : public EntrySink {
 public:
  explicit StringSink(size_t limit = std::string::npos) : limit_(limit) {}
  bool write(const unsigned char* data, size_t size) override {
    if (size > limit_ - std::min(limit_, bytes.size())) {
      errno = ENOSPC;
      return false;
    }
    bytes.append(reinterpret_cast<const char*>(data), size);
    ++calls;
    return true;
  }
  std::string bytes;
  int calls = 0;

 private:
  size_t limit_;
};

// An archive file holding `raw` behind some leading bytes, open for reading.
class RawFile {
 public:
  /// Without `trailing` bytes the file ends where `raw` does.
  explicit RawFile(const std::string& raw, bool trailing = true) {
    const std::string lead = "PK-leading-bytes";
    sfx_testing::write_file(dir_ / "archive.zip", lead + raw + (trailing ? "trailing" : ""));
    fd_ = open((dir_ / "archive.zip").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd_, 0);
    offset_ = lead.size();
  }
  ~RawFile() { close(fd_); }
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  int fd() const { return fd_; }
  std::uint64_t offset() const { return offset_; }
  std::string path() const { return dir_ / "archive.zip"; }
  /// Where a descriptor leads: the file's own data and its size, for the test to bend.
  EntryData entry(const std::string& raw, int method, const std::string& plain) const {
    EntryData e;
    e.fd = fd_;
    e.offset = offset_;
    e.compressed_size = raw.size();
    e.method = method;
    e.uncompressed_size = plain.size();
    e.crc = crc_of(plain);
    return e;
  }

 private:
  TempDir dir_;
  int fd_ = -1;
  std::uint64_t offset_ = 0;
};

struct Case {
  const char* name;
  std::string plain;                                      // What the entry decodes to.
  std::function<std::string(const std::string&)> encode;  // Plain to raw data.
  int method;
  std::function<void(EntryData&)> bend;  // Damage to the entry's description.
  int expected;
  // Bytes the sink receives (npos: all of plain); 0 where a failure leaves them unchecked.
  size_t expected_output;
  size_t missing = 0;  // Bytes of the raw data that the archive file lacks at its end.
};

std::string stored(const std::string& plain) { return plain; }
std::string deflated(const std::string& plain) { return raw_deflate(plain); }
void unchanged(EntryData&) {}

std::vector<Case> cases() {
  const std::string small = text_bytes(1000);
  const std::string large = text_bytes(3 << 20) + random_bytes(2 << 20, 7) + text_bytes(1 << 20);
  const size_t all = std::string::npos;
  // Matches that reach back before the start only past the first 5000 bytes.
  const std::string head = random_bytes(5000, 11);
  const std::string reaches_back = text_bytes(3000);
  return {
      {"stored", small, stored, 0, unchanged, ENTRY_DATA_OK, all},
      {"stored empty", "", stored, 0, unchanged, ENTRY_DATA_OK, all},
      {"stored large", large, stored, 0, unchanged, ENTRY_DATA_OK, all},
      {"deflated", small, deflated, 8, unchanged, ENTRY_DATA_OK, all},
      {"deflated empty", "", deflated, 8, unchanged, ENTRY_DATA_OK, all},
      {"deflated large, many blocks", large, deflated, 8, unchanged, ENTRY_DATA_OK, all},
      {"deflated level 1", large, [](const std::string& p) { return raw_deflate(p, 1); }, 8,
       unchanged, ENTRY_DATA_OK, all},
      {"deflated with fixed codes", small,
       [](const std::string& p) { return raw_deflate(p, 9, Z_FIXED); }, 8, unchanged, ENTRY_DATA_OK,
       all},
      {"deflated as stored blocks", large, [](const std::string& p) { return raw_deflate(p, 0); },
       8, unchanged, ENTRY_DATA_OK, all},
      // The declared size cuts a longer stream; the CRC-32 of the declared bytes decides.
      {"deflated, cut at the declared size, CRC of the cut", large, deflated, 8,
       [](EntryData& e) {
         e.uncompressed_size = 1000;
         e.crc = crc_of(text_bytes(1000));
       },
       ENTRY_DATA_OK, 1000},
      {"stored, cut at the declared size, CRC of the whole", small, stored, 0,
       [](EntryData& e) { e.uncompressed_size = 600; }, -105, 600},
      {"deflated, cut at the declared size, CRC of the whole", large, deflated, 8,
       [](EntryData& e) { e.uncompressed_size = 5 << 20; }, -105, 5 << 20},
      {"stored, wrong CRC", small, stored, 0, [](EntryData& e) { e.crc ^= 1; }, -105, all},
      {"deflated, wrong CRC", large, deflated, 8, [](EntryData& e) { e.crc ^= 0x80000000u; }, -105,
       all},
      {"deflated empty, CRC not 0", "", deflated, 8, [](EntryData& e) { e.crc = 1; }, -105, all},
      {"stored data shorter than declared", small, stored, 0,
       [](EntryData& e) { e.uncompressed_size += 1; }, -103, all},
      {"stream ends before the declared size", large, deflated, 8,
       [](EntryData& e) { e.uncompressed_size += 10; }, -103, all},
      {"compressed data ends before the stream", large, deflated, 8,
       [](EntryData& e) { e.compressed_size /= 2; }, -5, 0},
      {"compressed data ends early", small, deflated, 8,
       [](EntryData& e) { e.compressed_size = 10; }, -5, 0},
      {"no compressed data", small, deflated, 8, [](EntryData& e) { e.compressed_size = 0; }, -5,
       0},
      {"reserved block type", small, [](const std::string&) { return std::string("\xff\x01", 2); },
       8, unchanged, -3, 0},
      {"stored block with a bad length check", small,
       [](const std::string&) { return std::string("\x01\x05\x00\x00\x00hello", 10); }, 8,
       unchanged, -3, 0},
      {"distance too far back", small,
       [](const std::string& p) { return raw_deflate(p, 6, Z_DEFAULT_STRATEGY, p); }, 8, unchanged,
       -3, 0},
      // The fast engine checks ahead of the cut and refuses; zlib stops at the cut.
      {"damage past the declared size", head + reaches_back,
       [reaches_back](const std::string& p) {
         return raw_deflate(p, 6, Z_DEFAULT_STRATEGY, reaches_back);
       },
       8,
       [head](EntryData& e) {
         e.uncompressed_size = head.size();
         e.crc = crc_of(head);
       },
       ENTRY_DATA_OK, 5000},
      {"the archive ends inside the stored data", small, stored, 0, unchanged, -1, 0, 1},
      {"the archive ends inside the deflated data", large, deflated, 8, unchanged, -1, 0, 1000},
      // Bytes that the declared size does not need are not read.
      {"the archive ends after the declared bytes", large, deflated, 8,
       [](EntryData& e) {
         e.uncompressed_size = 1000;
         e.crc = crc_of(text_bytes(1000));
       },
       ENTRY_DATA_OK, 1000, 1000},
      {"data offset past the end of the archive", small, deflated, 8,
       [](EntryData& e) { e.offset += 1 << 30; }, -1, 0},
      {"not an open descriptor", small, deflated, 8, [](EntryData& e) { e.fd = -1; }, -1, 0},
  };
}

using Decoder = int (*)(const EntryData&, EntrySink&);

TEST(DecodeEntry, EveryCaseGivesTheSameResultWithBothEngines) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    std::string raw = c.encode(c.plain);
    RawFile file(raw.substr(0, raw.size() - c.missing), c.missing == 0);
    EntryData entry = file.entry(raw, c.method, c.plain);
    c.bend(entry);
    for (Decoder decode : {decode_entry, decode_entry_zlib}) {
      SCOPED_TRACE(decode == decode_entry ? "decode_entry" : "decode_entry_zlib");
      StringSink sink;
      EXPECT_EQ(decode(entry, sink), c.expected);
      if (c.expected_output != 0) {
        size_t size = std::min(c.expected_output, c.plain.size());
        EXPECT_EQ(sink.bytes.size(), size);
        EXPECT_TRUE(sink.bytes == c.plain.substr(0, size));
      }
    }
  }
}

TEST(DecodeEntry, HandsTheSinkBoundedBlocks) {
  std::string plain = text_bytes(4 << 20);
  std::string raw = raw_deflate(plain);
  RawFile file(raw);
  StringSink sink;
  ASSERT_EQ(decode_entry(file.entry(raw, 8, plain), sink), ENTRY_DATA_OK);
  EXPECT_GE(sink.calls, static_cast<int>(plain.size() / ENTRY_DATA_BLOCK_SIZE));
}

TEST(DecodeEntry, StopsAtTheFirstRefusedBlockWithTheSinksErrno) {
  std::string plain = text_bytes(2 << 20);
  for (int method : {0, 8}) {
    for (size_t limit : {size_t{0}, size_t{1}, ENTRY_DATA_BLOCK_SIZE + 5}) {
      SCOPED_TRACE("method " + std::to_string(method) + ", limit " + std::to_string(limit));
      std::string raw = method == 0 ? plain : raw_deflate(plain);
      RawFile file(raw);
      for (Decoder decode : {decode_entry, decode_entry_zlib}) {
        StringSink sink(limit);
        errno = 0;
        EXPECT_EQ(decode(file.entry(raw, method, plain), sink), ENTRY_DATA_WRITE_FAILED);
        EXPECT_EQ(errno, ENOSPC);
        EXPECT_LE(sink.bytes.size(), limit);
        EXPECT_TRUE(sink.bytes == plain.substr(0, sink.bytes.size()));
      }
    }
  }
}

TEST(DecodeEntry, NeverMovesTheDescriptorsPosition) {
  std::string plain = text_bytes(600000);
  for (int method : {0, 8}) {
    std::string raw = method == 0 ? plain : raw_deflate(plain);
    RawFile file(raw);
    ASSERT_EQ(lseek(file.fd(), 5, SEEK_SET), 5);
    StringSink sink;
    EXPECT_EQ(decode_entry(file.entry(raw, method, plain), sink), ENTRY_DATA_OK);
    EXPECT_EQ(lseek(file.fd(), 0, SEEK_CUR), 5);
  }
}

// Cuts the archive file short when it is first given bytes, as another machine's client of a
// network file system may do to a file being read.
class CuttingSink : public StringSink {
 public:
  CuttingSink(std::string path, off_t length) : path_(std::move(path)), length_(length) {}
  bool write(const unsigned char* data, size_t size) override {
    if (!cut_) {
      EXPECT_EQ(truncate(path_.c_str(), length_), 0);
      cut_ = true;
    }
    return StringSink::write(data, size);
  }

 private:
  std::string path_;
  off_t length_;
  bool cut_ = false;
};

// The data is read in place from the page cache where the file can be mapped: a file that
// shrinks meanwhile makes the entry unreadable (-1), as with reads, instead of ending the
// process with a bus error.
TEST(DecodeEntry, ArchiveCutShortWhileBeingRead) {
  const std::string plain = random_bytes(12 << 20, 5);
  struct Cut {
    const char* name;
    int method;
    off_t keep;  // Bytes of the raw data left in the file.
  };
  const Cut cuts[] = {
      {"deflated, inside the stretch being read", 8, 1 << 20},
      {"deflated, in a stretch not yet read", 8, 6 << 20},
      {"deflated, at the start of the data", 8, 0},
      {"stored", 0, 1 << 20},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.name);
    const std::string raw = cut.method == 0 ? plain : raw_deflate(plain);
    RawFile file(raw);
    CuttingSink sink(file.path(), static_cast<off_t>(file.offset()) + cut.keep);
    EXPECT_EQ(decode_entry(file.entry(raw, cut.method, plain), sink), -1);
    // What the sink got is not checked: the cut page's tail reads as zeros until the next page
    // faults, and the failed entry's bytes are thrown away anyway.
    EXPECT_LT(sink.bytes.size(), plain.size());
  }
}

// Damaged streams: whatever the fast engine makes of them, the result is zlib's own, and where
// both take the data the bytes are the same.
TEST(DecodeEntry, DamagedStreamsGiveZlibsResult) {
  std::string plain = text_bytes(200000) + random_bytes(50000, 3);
  std::string good = raw_deflate(plain);
  int failures = 0;
  for (size_t i = 0; i < 400; ++i) {
    std::string raw = good;
    size_t at = (i * 7919) % raw.size();
    raw[at] = static_cast<char>(raw[at] ^ (1 << (i % 8)));
    if (i % 5 == 0) raw = random_bytes(4000, static_cast<unsigned>(i));
    RawFile file(raw);
    EntryData entry = file.entry(raw, 8, plain);
    StringSink fast;
    StringSink zlib;
    int fast_result = decode_entry(entry, fast);
    int zlib_result = decode_entry_zlib(entry, zlib);
    ASSERT_EQ(fast_result, zlib_result) << "flipped byte " << at << " of case " << i;
    if (fast_result == ENTRY_DATA_OK || fast_result == -105 || fast_result == -103) {
      ASSERT_TRUE(fast.bytes == zlib.bytes) << "case " << i;
    }
    if (fast_result != ENTRY_DATA_OK) ++failures;
  }
  EXPECT_GT(failures, 100);
}

}  // namespace
