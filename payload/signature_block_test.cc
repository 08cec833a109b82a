#include "payload/signature_block.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "payload/trailer.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::read_file;
using sfx_testing::TempDir;
using sfx_testing::write_file;

// A signature line and a global signature with recognisable bytes (nothing is checked here).
std::string signature_line() {
  std::string line = "ED";
  for (int i = 0; i < 8; ++i) line += static_cast<char>(0x10 + i);  // Key id 1716151413121110.
  for (int i = 0; i < 64; ++i) line += static_cast<char>(i * 3);
  return line;
}
std::string global_signature() { return std::string(64, '\x5A'); }

std::string sample_block(const std::string& comment = "timestamp:1 file:f.bin") {
  return encode_signature_block(
      encode_signature_lines(signature_line(), comment, global_signature()));
}

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {"\xff\xfe", "//4="}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(base64_encode(bytes), text);
    std::string decoded;
    EXPECT_TRUE(base64_decode(text, decoded)) << text;
    EXPECT_EQ(decoded, bytes) << text;
  }
}

TEST(Base64, RefusesAllButCanonicalText) {
  // Each of these would let a changed character decode to the same bytes, or is no base64.
  for (const char* text : {"Zg=", "Zh==", "Zm9=", "Z===", "Zm9v=", "Zm=v", "Zm9\n",
                           "Zg==Zg==", "Zm9v\r", "Zm-v", "===="}) {
    std::string decoded;
    EXPECT_FALSE(base64_decode(text, decoded)) << text;
  }
}

TEST(SignatureBlock, KeyIdIsShownAsALittleEndianNumber) {
  const unsigned char id[8] = {0xFD, 0x7D, 0x6A, 0x54, 0x08, 0x2F, 0xF2, 0x56};
  EXPECT_EQ(key_id_text(id), "56F22F08546A7DFD");  // As minisign shows this key.
}

TEST(SignatureBlock, FooterGivesTheBlockLength) {
  EXPECT_EQ(parse_signature_footer("SFX-SIGNATURE-BLOCK/1 000000325\n"), 325u);
  for (const char* footer :
       {"SFX-SIGNATURE-BLOCK/2 000000325\n", "SFX-SIGNATURE-BLOCK/1 00000032x\n",
        "SFX-SIGNATURE-BLOCK/1 000000325 ", "SFX-SIGNATURE-BLOCK/1 00000325\n",
        "sfx-signature-block/1 000000325\n"}) {
    EXPECT_EQ(parse_signature_footer(footer), 0u) << footer;
  }
}

TEST(SignatureBlock, EncodedBlockReadsBack) {
  const std::string block = sample_block();
  ASSERT_EQ(block.substr(block.size() - 32),
            "SFX-SIGNATURE-BLOCK/1 " + std::string(9 - std::to_string(block.size()).size(), '0') +
                std::to_string(block.size()) + "\n");
  SignatureBlockInfo info;
  describe_signature_block(block, 1000, info);
  ASSERT_EQ(info.status, SignatureBlockStatus::kFound) << info.problem;
  EXPECT_EQ(info.offset, 1000u);
  EXPECT_EQ(info.length, block.size());
  EXPECT_EQ(key_id_text(info.key_id.data()), "1716151413121110");
  EXPECT_EQ(std::string(info.signature.begin(), info.signature.end()), signature_line().substr(10));
  EXPECT_EQ(std::string(info.global_signature.begin(), info.global_signature.end()),
            global_signature());
  EXPECT_EQ(info.trusted_comment, "timestamp:1 file:f.bin");
  EXPECT_EQ(block.find('\0'), std::string::npos);
}

TEST(SignatureBlock, DamagedBlocksAreMalformed) {
  const std::string lines = encode_signature_lines(signature_line(), "c", global_signature());
  const std::string sig = base64_encode(signature_line());
  const std::string global = base64_encode(global_signature());
  auto replaced = [&lines](const std::string& from, const std::string& to) {
    std::string text = lines;
    text.replace(text.find(from), from.size(), to);
    return encode_signature_block(text);
  };
  std::string legacy = signature_line();
  legacy[1] = 'd';
  const std::pair<std::string, std::string> cases[] = {
      {replaced("untrusted comment: signature from sfx_pack",
                "untrusted comment: signature frOm sfx_pack"),
       "its first line is not the signature's untrusted comment"},
      {replaced(sig, sig.substr(0, 99) + "A"), "its signature line is not 74 bytes of base64"},
      {replaced(sig, base64_encode(legacy)), "its signature is not of the prehashed Ed25519 kind"},
      {replaced(sig, base64_encode(signature_line() + "x")),
       "its signature line is not 74 bytes of base64"},
      {replaced("trusted comment: c", "trusted cOmment: c"),
       "its third line is not a trusted comment"},
      {replaced("trusted comment: c", "trusted comment: " + std::string(1025, 'c')),
       "its trusted comment is too long"},
      {replaced(global, global.substr(0, 84) + "AAAA"),
       "its global signature line is not 64 bytes of base64"},
      {replaced(global + "\n", global + "\nextra\n"), "it does not hold four lines"},
      {replaced("trusted comment: c", std::string("trusted comment: c\0d", 20)),
       "it holds a NUL byte"},
      {lines + "SFX-SIGNATURE-BLOCK/1 000000001\n", "its length differs from what its footer says"},
  };
  for (const auto& [block, problem] : cases) {
    SignatureBlockInfo info;
    describe_signature_block(block, 0, info);
    EXPECT_EQ(info.status, SignatureBlockStatus::kMalformed) << block;
    EXPECT_EQ(info.problem, problem) << block;
  }
}

// A distributable file's bytes: a stand-in stub, an archive, the trailer.
std::string unsigned_file() {
  const std::string archive = "PK\x05\x06" + std::string(18, '\0');
  return "stub image\n" + archive +
         encode_trailer("run %argv%", static_cast<std::uint32_t>(archive.size()), std::nullopt);
}

struct FoundBlock {
  SignatureBlockInfo info;
  int result = 0;
};

FoundBlock find_in(const std::string& path) {
  FoundBlock found;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  const off_t length = lseek(fd, 0, SEEK_END);
  found.result = find_signature_block(fd, static_cast<std::uint64_t>(length), found.info);
  close(fd);
  return found;
}

TEST(SignatureBlock, FoundFromTheEndOfAFile) {
  const TempDir dir;
  const std::string body = unsigned_file();
  const std::string block = sample_block();
  struct Case {
    std::string bytes;
    SignatureBlockStatus status;
    std::uint64_t offset;
    std::string problem;
  };
  std::string bad_footer = body + block;
  bad_footer[bad_footer.size() - 10] = 'x';
  std::string long_footer = body + block;
  long_footer.replace(long_footer.size() - 10, 9, "000099999");
  const Case cases[] = {
      {body, SignatureBlockStatus::kNone, 0, ""},
      {"short", SignatureBlockStatus::kNone, 0, ""},
      {block.substr(block.size() - 32), SignatureBlockStatus::kMalformed, 0,
       "its footer gives a length of " + std::to_string(block.size()) + " bytes"},
      {body + block, SignatureBlockStatus::kFound, body.size(), ""},
      {body + "trailing" + block, SignatureBlockStatus::kFound, body.size() + 8, ""},
      {bad_footer, SignatureBlockStatus::kMalformed, body.size(), "its footer is damaged"},
      {long_footer, SignatureBlockStatus::kMalformed, long_footer.size() - 32,
       "its footer gives a length of 99999 bytes"},
      {body + block.substr(0, block.size() - 1), SignatureBlockStatus::kMalformed, body.size(),
       "its footer is damaged"},
  };
  for (const Case& c : cases) {
    write_file(dir / "file", c.bytes);
    const FoundBlock found = find_in(dir / "file");
    EXPECT_EQ(found.result, 0);
    EXPECT_EQ(found.info.status, c.status) << c.bytes.size();
    EXPECT_EQ(found.info.offset, c.offset) << c.bytes.size();
    EXPECT_EQ(found.info.problem, c.problem) << c.bytes.size();
  }
}

// The trailer reader finds the trailer in front of a block, even one whose trusted comment
// spells the version marker: the block holds no NUL, and the marker matches only with one.
TEST(SignatureBlock, TrailerIsFoundInFrontOfTheBlock) {
  const TempDir dir;
  const std::string body = unsigned_file();
  const std::string block = sample_block(version_marker_text() + "2.0 " + version_marker_text());
  write_file(dir / "file", body + block);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen((dir / "file").c_str(), "rb"),
                                                       &std::fclose);
  ASSERT_TRUE(file);
  TrailerInfo info;
  ASSERT_EQ(read_trailer(file.get(), info), TrailerStatus::kOk);
  EXPECT_EQ(info.logical_end, body.size());
  EXPECT_EQ(info.trailing_count, block.size());
  EXPECT_EQ(info.command, "run %argv%");
}

}  // namespace

namespace {

// The block is looked for only among the bytes after the trailer: a file without trailing bytes
// is unsigned whatever its end holds, and a footer whose length reaches back into the trailer
// makes a damaged block, not a signed file.
TEST(SignatureBlock, LookedForOnlyBehindTheTrailer) {
  const TempDir dir;
  const std::string body = unsigned_file();
  const std::string block = sample_block();
  struct Case {
    const char* label;
    TrailerInfo trailer;
    SignatureBlockStatus status;
    std::string problem;
  };
  TrailerInfo whole;
  whole.file_length = body.size() + block.size();
  whole.logical_end = body.size();
  whole.trailing_count = block.size();
  TrailerInfo none = whole;
  none.trailing_count = 0;
  none.logical_end = whole.file_length;
  TrailerInfo short_tail = whole;
  short_tail.logical_end = body.size() + 1;
  short_tail.trailing_count = block.size() - 1;
  const Case cases[] = {
      {"block right behind the trailer", whole, SignatureBlockStatus::kFound, ""},
      {"no bytes behind the trailer", none, SignatureBlockStatus::kNone, ""},
      {"block reaching into the trailer", short_tail, SignatureBlockStatus::kMalformed,
       "it reaches into the trailer"},
  };
  write_file(dir / "file", body + block);
  const int fd = open((dir / "file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SignatureBlockInfo info;
    ASSERT_EQ(find_trailing_signature(fd, c.trailer, info), 0);
    EXPECT_EQ(info.status, c.status);
    EXPECT_EQ(info.problem, c.problem);
  }
  close(fd);
}

}  // namespace
