#ifndef PAYLOAD_SIGNATURE_BLOCK_H_
#define PAYLOAD_SIGNATURE_BLOCK_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "payload/trailer.h"

// A signed distributable file ends in a signature block, appended after the trailer (so the
// stub, which reads the trailer nearest the end of the file, passes over it). The block is
// ASCII text: the four lines of a minisign signature file, then a fixed 32-byte footer:
//
//   untrusted comment: signature from sfx_pack secret key\n
//   <base64 of 74 bytes: "ED", key id (8), Ed25519 signature (64)>\n
//   trusted comment: <text>\n
//   <base64 of 64 bytes: Ed25519 signature of the signature and the trusted comment>\n
//   SFX-SIGNATURE-BLOCK/1 NNNNNNNNN\n      (footer: NNNNNNNNN = the whole block's length,
//                                            nine decimal digits, footer included)
//
// The signature covers every byte before the block. The block holds no NUL byte, so it can
// never hold the trailer's version marker (which a reader matches only when a NUL follows it).
// Nothing here computes or checks a signature: this is the layout and its reader only.

/// Sizes and texts of the block.
struct SignatureBlock {
  static constexpr int FOOTER_SIZE = 32;
  static constexpr char FOOTER_PREFIX[] = "SFX-SIGNATURE-BLOCK/1 ";
  static constexpr int LENGTH_DIGITS = 9;
  static constexpr char UNTRUSTED_COMMENT[] =
      "untrusted comment: signature from sfx_pack secret key";
  static constexpr char TRUSTED_PREFIX[] = "trusted comment: ";
  static constexpr int KEY_ID_SIZE = 8;
  static constexpr int SIGNATURE_SIZE = 64;
  /// The signature line's bytes: algorithm (2), key id (8), signature (64).
  static constexpr int SIGNATURE_LINE_SIZE = 2 + KEY_ID_SIZE + SIGNATURE_SIZE;
  /// The longest trusted comment the block carries.
  static constexpr int MAX_TRUSTED_COMMENT = 1024;
};

/// What the end of a file says about a signature block.
enum class SignatureBlockStatus {
  kNone,       ///< No footer at the end: the file is not signed.
  kFound,      ///< A well-formed block; every field of SignatureBlockInfo is set.
  kMalformed,  ///< A footer, but the block it points to is damaged.
};

/// A block as find_signature_block or describe_signature_block read it.
struct SignatureBlockInfo {
  SignatureBlockStatus status = SignatureBlockStatus::kNone;
  std::uint64_t offset = 0;  ///< Where the block starts: the length of what is signed.
  std::uint64_t length = 0;  ///< The block's length, footer included.
  std::array<unsigned char, SignatureBlock::KEY_ID_SIZE> key_id{};
  std::array<unsigned char, SignatureBlock::SIGNATURE_SIZE> signature{};
  std::array<unsigned char, SignatureBlock::SIGNATURE_SIZE> global_signature{};
  std::string trusted_comment;
  std::string problem;  ///< For kMalformed: what is wrong, for a message.
};

/// The block length a footer gives, or 0 when `footer` (the file's last 32 bytes) is no
/// footer. Pure.
std::uint64_t parse_signature_footer(std::string_view footer);

/// Reads a block's text (`block`, footer included, found at `offset`) into `info`. Pure.
/// Sets kFound, or kMalformed with `problem` said: a line missing or other than the layout
/// says, base64 that is not canonical, a signature line of another length or algorithm, a
/// trusted comment too long, a length that differs from the footer's.
void describe_signature_block(std::string_view block, std::uint64_t offset,
                              SignatureBlockInfo& info);

/// Looks for a block at the end of the file open as `fd`, `file_length` bytes long, with
/// pread only. Returns 0 with `info` set (kNone, kFound or kMalformed), or -1 with errno set
/// when a read failed. Prints nothing.
int find_signature_block(int fd, std::uint64_t file_length, SignatureBlockInfo& info);

/// The block among the bytes after the trailer that read_trailer found in the file open as
/// `fd`: kNone when there are none, and kMalformed when a footer points into the trailer.
/// Returns 0 with `info` set, or -1 with errno set when a read failed. Prints nothing.
int find_trailing_signature(int fd, const TrailerInfo& trailer, SignatureBlockInfo& info);

/// The four lines of a signature (as a minisign signature file holds them): the fixed
/// untrusted comment, `signature_line` (74 bytes) in base64, the trusted comment and
/// `global_signature` in base64.
std::string encode_signature_lines(std::string_view signature_line,
                                   std::string_view trusted_comment,
                                   std::string_view global_signature);

/// `lines` followed by the footer that makes them a block.
std::string encode_signature_block(const std::string& lines);

/// How `--sfx-info` and `sfx_pack inspect` show a block, which they do not check:
/// "signed by key id KEYID (not verified here: use sfx_pack verify --key)", "not signed", or
/// "damaged signature block (PROBLEM)".
std::string signature_block_text(const SignatureBlockInfo& info);

/// The key id as shown: 16 upper-case hex digits of the 8 bytes read as a little-endian number.
std::string key_id_text(const unsigned char* key_id);

/// Standard base64 with padding.
std::string base64_encode(std::string_view bytes);
/// Decodes canonical standard base64 (padding required, unused bits zero, nothing else in the
/// text). Returns false for anything else.
bool base64_decode(std::string_view text, std::string& bytes);

#endif  // PAYLOAD_SIGNATURE_BLOCK_H_
