#include "payload/signature_block.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// The signature algorithm of the signature line: Ed25519 over the BLAKE2b-512 of the data.
constexpr char kPrehashedAlgorithm[] = "ED";
// The longest block: four lines at their longest and the footer, well below the footer's
// nine digits.
constexpr std::uint64_t kMaxBlockLength = 4096;

int base64_value(char c) {
  const char* at = std::strchr(kAlphabet, c);
  return c != '\0' && at != nullptr ? static_cast<int>(at - kAlphabet) : -1;
}

// Takes the next line (without its line feed) off `text`; false when no line feed is left.
bool next_line(std::string_view& text, std::string_view& line) {
  const size_t end = text.find('\n');
  if (end == std::string_view::npos) return false;
  line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return true;
}

void malformed(SignatureBlockInfo& info, const char* problem) {
  info.status = SignatureBlockStatus::kMalformed;
  info.problem = problem;
}

// A block whose footer was damaged still begins with its first line: looks for that line,
// beginning a line, in the last bytes of the file, so that such a file shows as damaged rather
// than as not signed. Returns 0, or -1 with errno set when the read failed.
int find_block_without_footer(int fd, std::uint64_t file_length, SignatureBlockInfo& info) {
  const std::uint64_t from = file_length > kMaxBlockLength ? file_length - kMaxBlockLength : 0;
  std::string tail(static_cast<size_t>(file_length - from), '\0');
  const ssize_t got = pread(fd, tail.data(), tail.size(), static_cast<off_t>(from));
  if (got < 0) return -1;
  tail.resize(static_cast<size_t>(got));
  const std::string first_line = std::string(SignatureBlock::UNTRUSTED_COMMENT) + "\n";
  const size_t at = tail.rfind(first_line);
  // After the trailer's last field, which ends in NUL bytes, or at the start of a line.
  if (at == std::string::npos || at == 0 || (tail[at - 1] != '\0' && tail[at - 1] != '\n')) {
    return 0;
  }
  info.status = SignatureBlockStatus::kMalformed;
  info.offset = from + at;
  info.length = file_length - info.offset;
  info.problem = "its footer is damaged";
  return 0;
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      text += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

bool base64_decode(std::string_view text, std::string& bytes) {
  bytes.clear();
  if (text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    // Padding only at the very end: "xx==" or "xxx=".
    size_t padding = 0;
    if (last && text[i + 3] == '=') padding = text[i + 2] == '=' ? 2 : 1;
    std::uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) {
      int value = 0;
      if (k < 4 - padding) {
        value = base64_value(text[i + k]);
        if (value < 0) return false;
      }
      group = (group << 6) | static_cast<std::uint32_t>(value);
    }
    // A canonical text leaves the bits that no byte uses zero.
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
      return false;
    }
    for (size_t k = 0; k < 3 - padding; ++k) {
      bytes += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
    }
  }
  return true;
}

std::string key_id_text(const unsigned char* key_id) {
  char text[2 * SignatureBlock::KEY_ID_SIZE + 1];
  for (int i = 0; i < SignatureBlock::KEY_ID_SIZE; ++i) {
    // Little-endian: the last byte gives the first two digits.
    std::snprintf(text + 2 * i, 3, "%02X", key_id[SignatureBlock::KEY_ID_SIZE - 1 - i]);
  }
  return text;
}

std::uint64_t parse_signature_footer(std::string_view footer) {
  constexpr size_t prefix = sizeof SignatureBlock::FOOTER_PREFIX - 1;
  if (footer.size() != SignatureBlock::FOOTER_SIZE ||
      footer.substr(0, prefix) != SignatureBlock::FOOTER_PREFIX || footer.back() != '\n') {
    return 0;
  }
  std::uint64_t length = 0;
  for (const char c : footer.substr(prefix, SignatureBlock::LENGTH_DIGITS)) {
    if (c < '0' || c > '9') return 0;
    length = length * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return length;
}

void describe_signature_block(std::string_view block, std::uint64_t offset,
                              SignatureBlockInfo& info) {
  info = SignatureBlockInfo{};
  info.offset = offset;
  info.length = block.size();
  if (block.size() < SignatureBlock::FOOTER_SIZE ||
      parse_signature_footer(block.substr(block.size() - SignatureBlock::FOOTER_SIZE)) !=
          block.size()) {
    return malformed(info, "its length differs from what its footer says");
  }
  if (block.find('\0') != std::string_view::npos) return malformed(info, "it holds a NUL byte");
  std::string_view text = block.substr(0, block.size() - SignatureBlock::FOOTER_SIZE);
  std::string_view untrusted, signature, trusted, global;
  if (!next_line(text, untrusted) || !next_line(text, signature) || !next_line(text, trusted) ||
      !next_line(text, global) || !text.empty()) {
    return malformed(info, "it does not hold four lines");
  }
  if (untrusted != SignatureBlock::UNTRUSTED_COMMENT) {
    return malformed(info, "its first line is not the signature's untrusted comment");
  }
  std::string bytes;
  if (!base64_decode(signature, bytes) || bytes.size() != SignatureBlock::SIGNATURE_LINE_SIZE) {
    return malformed(info, "its signature line is not 74 bytes of base64");
  }
  if (bytes.compare(0, 2, kPrehashedAlgorithm) != 0) {
    return malformed(info, "its signature is not of the prehashed Ed25519 kind");
  }
  std::memcpy(info.key_id.data(), bytes.data() + 2, SignatureBlock::KEY_ID_SIZE);
  std::memcpy(info.signature.data(), bytes.data() + 2 + SignatureBlock::KEY_ID_SIZE,
              SignatureBlock::SIGNATURE_SIZE);
  constexpr size_t trusted_prefix = sizeof SignatureBlock::TRUSTED_PREFIX - 1;
  if (trusted.substr(0, trusted_prefix) != SignatureBlock::TRUSTED_PREFIX) {
    return malformed(info, "its third line is not a trusted comment");
  }
  trusted.remove_prefix(trusted_prefix);
  if (trusted.size() > SignatureBlock::MAX_TRUSTED_COMMENT) {
    return malformed(info, "its trusted comment is too long");
  }
  if (!base64_decode(global, bytes) || bytes.size() != SignatureBlock::SIGNATURE_SIZE) {
    return malformed(info, "its global signature line is not 64 bytes of base64");
  }
  std::memcpy(info.global_signature.data(), bytes.data(), SignatureBlock::SIGNATURE_SIZE);
  info.trusted_comment = std::string(trusted);
  info.status = SignatureBlockStatus::kFound;
}

int find_signature_block(int fd, std::uint64_t file_length, SignatureBlockInfo& info) {
  info = SignatureBlockInfo{};
  if (file_length < static_cast<std::uint64_t>(SignatureBlock::FOOTER_SIZE)) return 0;
  char footer[SignatureBlock::FOOTER_SIZE];
  const off_t footer_at = static_cast<off_t>(file_length - SignatureBlock::FOOTER_SIZE);
  const ssize_t got = pread(fd, footer, sizeof footer, footer_at);
  if (got < 0) return -1;
  if (got != static_cast<ssize_t>(sizeof footer)) return 0;  // Shorter than it was said to be.
  const std::uint64_t length = parse_signature_footer(std::string_view(footer, sizeof footer));
  if (length == 0) return find_block_without_footer(fd, file_length, info);
  if (length > file_length || length > kMaxBlockLength ||
      length < static_cast<std::uint64_t>(SignatureBlock::FOOTER_SIZE)) {
    info.status = SignatureBlockStatus::kMalformed;
    info.offset = file_length - SignatureBlock::FOOTER_SIZE;
    info.length = SignatureBlock::FOOTER_SIZE;
    info.problem = "its footer gives a length of " + std::to_string(length) + " bytes";
    return 0;
  }
  std::string block(static_cast<size_t>(length), '\0');
  const std::uint64_t offset = file_length - length;
  size_t done = 0;
  while (done < block.size()) {
    const ssize_t n =
        pread(fd, block.data() + done, block.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  block.resize(done);
  describe_signature_block(block, offset, info);
  return 0;
}

int find_trailing_signature(int fd, const TrailerInfo& trailer, SignatureBlockInfo& info) {
  info = SignatureBlockInfo{};
  if (trailer.trailing_count == 0) return 0;
  if (find_signature_block(fd, trailer.file_length, info) != 0) return -1;
  if (info.status != SignatureBlockStatus::kNone && info.offset < trailer.logical_end) {
    info.status = SignatureBlockStatus::kMalformed;
    info.problem = "it reaches into the trailer";
  }
  return 0;
}

std::string encode_signature_lines(std::string_view signature_line,
                                   std::string_view trusted_comment,
                                   std::string_view global_signature) {
  return std::string(SignatureBlock::UNTRUSTED_COMMENT) + "\n" + base64_encode(signature_line) +
         "\n" + SignatureBlock::TRUSTED_PREFIX + std::string(trusted_comment) + "\n" +
         base64_encode(global_signature) + "\n";
}

std::string encode_signature_block(const std::string& lines) {
  // The length in nine digits; a block is never near a billion bytes long (the trusted comment
  // is kept short), and a longer number would only make a footer no reader accepts.
  std::string digits = std::to_string(lines.size() + SignatureBlock::FOOTER_SIZE);
  if (digits.size() < static_cast<size_t>(SignatureBlock::LENGTH_DIGITS)) {
    digits.insert(0, SignatureBlock::LENGTH_DIGITS - digits.size(), '0');
  }
  return lines + SignatureBlock::FOOTER_PREFIX + digits + "\n";
}

std::string signature_block_text(const SignatureBlockInfo& info) {
  switch (info.status) {
    case SignatureBlockStatus::kFound:
      return "signed by key id " + key_id_text(info.key_id.data()) +
             " (not verified here: use sfx_pack verify --key)";
    case SignatureBlockStatus::kMalformed:
      return "damaged signature block (" + info.problem + ")";
    case SignatureBlockStatus::kNone:
      break;
  }
  return "not signed";
}
