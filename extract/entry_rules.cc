#include "extract/entry_rules.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace {

constexpr std::uint32_t kHostUnix = 3;
constexpr std::uint32_t kHostDarwin = 19;
constexpr std::uint32_t kDosDirectoryAttribute = 0x10;
constexpr std::uint32_t kFlagEncrypted = 0x1;
constexpr std::uint32_t kMethodStored = 0;
constexpr std::uint32_t kMethodDeflated = 8;

bool is_separator(char c) { return c == '/' || c == '\\'; }
bool is_slash(char c) { return c == '/'; }

// The parts of `path` between separators, empty parts and "." left out.
std::vector<std::string_view> path_parts(std::string_view path,
                                         bool (*separates)(char) = is_separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !separates(path[i])) continue;
    std::string_view part = path.substr(start, i - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = i + 1;
  }
  return parts;
}

// A stored name may only lead below the directory it is unpacked into: it must not start at
// the root and no part of it may be "..". Both separators count, as they do when parent
// directories are made.
bool is_safe_name(std::string_view name) {
  if (!name.empty() && is_separator(name[0])) return false;
  for (std::string_view part : path_parts(name)) {
    if (part == "..") return false;
  }
  return true;
}

// Length of the UTF-8 sequence that starts `text` at `i`, or 0 when the bytes there are no
// valid sequence (overlong forms, surrogates and code points above U+10FFFF included).
size_t utf8_sequence_length(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length;
  std::uint32_t code;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000)) return 0;  // Overlong.
  if (code >= 0xD800 && code <= 0xDFFF) return 0;                                  // Surrogate.
  if (code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

bool has_unix_mode(const EntryFacts& entry) {
  const std::uint32_t host = entry.version_made_by >> 8;
  const mode_t mode = static_cast<mode_t>(entry.external_attributes >> 16);
  if (mode == 0) return false;
  if (host == kHostUnix || host == kHostDarwin) return true;
  // Some writers give every entry the host 0 but still store a whole Unix mode; a real file
  // type in the upper half tells such a mode from MS-DOS bits.
  return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode);
}

EntryKind entry_kind(const EntryFacts& entry) {
  if (entry.name.empty() || is_separator(entry.name.back())) return EntryKind::kDirectory;
  if (has_unix_mode(entry)) {
    const mode_t mode = static_cast<mode_t>(entry.external_attributes >> 16);
    if (S_ISLNK(mode)) return EntryKind::kSymlink;
    if (S_ISDIR(mode)) return EntryKind::kDirectory;
    return EntryKind::kFile;
  }
  return (entry.external_attributes & kDosDirectoryAttribute) != 0 ? EntryKind::kDirectory
                                                                   : EntryKind::kFile;
}

mode_t file_mode_of(const EntryFacts& entry, mode_t umask_bits) {
  if (has_unix_mode(entry)) return static_cast<mode_t>((entry.external_attributes >> 16) & 07777);
  return 0644 & ~umask_bits;
}

mode_t directory_mode_of(const EntryFacts& entry) { return has_unix_mode(entry) ? 0775 : 0755; }

std::string mode_text(EntryKind kind, mode_t permissions) {
  std::string text = kind == EntryKind::kDirectory ? "d" : kind == EntryKind::kSymlink ? "l" : "-";
  static const char kLetters[] = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) {
    text += (permissions & (0400u >> bit)) != 0 ? kLetters[bit] : '-';
  }
  if ((permissions & 04000) != 0) text[3] = (permissions & 0100) != 0 ? 's' : 'S';
  if ((permissions & 02000) != 0) text[6] = (permissions & 0010) != 0 ? 's' : 'S';
  if ((permissions & 01000) != 0) text[9] = (permissions & 0001) != 0 ? 't' : 'T';
  return text;
}

EntryRule check_entry(const EntryFacts& entry) {
  if (entry.name_length >= static_cast<std::uint64_t>(ENTRY_NAME_SIZE)) {
    return EntryRule::kNameTooLong;
  }
  if (!is_safe_name(entry.name)) return EntryRule::kUnsafeName;
  if ((entry.flags & kFlagEncrypted) != 0) return EntryRule::kEncrypted;
  // A directory's data is never read, so its method does not matter.
  if (entry_kind(entry) != EntryKind::kDirectory && entry.method != kMethodStored &&
      entry.method != kMethodDeflated) {
    return EntryRule::kUnsupportedMethod;
  }
  // Without the real compressed size the data's end is unknown: reading would run on into the
  // entries behind it.
  if (entry.compressed_size == ENTRY_ZIP64_PLACEHOLDER) return EntryRule::kZip64Sizes;
  return EntryRule::kOk;
}

std::string file_system_path(std::string_view name) {
  std::string path;
  for (std::string_view part : path_parts(name, is_slash)) {
    if (!path.empty()) path += '/';
    path.append(part);
  }
  return path;
}

bool is_safe_link_target(std::string_view name, std::string_view target,
                         const IsLinkPath& is_link) {
  if (target.empty() || target.size() > ENTRY_LINK_TARGET_MAX) return false;
  if (target.find('\0') != std::string_view::npos || is_separator(target[0])) return false;
  // The way from the payload directory, as the file system follows it, where only "/"
  // separates: the link's own directory (the parts of its name but the last), then the target.
  std::vector<std::string_view> own = path_parts(name, is_slash);
  if (!own.empty()) own.pop_back();
  std::string path;              // Where the way has led so far.
  std::vector<size_t> way_back;  // The length of `path` before each part it holds.
  bool through_link = false;     // A part of `path` is a link.
  const auto enter = [&](std::string_view part) {
    way_back.push_back(path.size());
    if (!path.empty()) path += '/';
    path.append(part);
    if (!through_link && is_link(path)) through_link = true;
  };
  for (std::string_view part : own) enter(part);
  for (std::string_view part : path_parts(target, is_slash)) {
    if (part != "..") {
      enter(part);
      continue;
    }
    // Above the payload directory, or up from wherever a link on the way leads.
    if (way_back.empty() || through_link) return false;
    path.resize(way_back.back());
    way_back.pop_back();
  }
  return true;
}

std::string entry_rule_message(EntryRule rule, const EntryFacts& entry,
                               std::string_view link_target) {
  const std::string name = printable_text(entry.name);
  char line[ENTRY_NAME_SIZE * 8 + 128];
  switch (rule) {
    case EntryRule::kOk:
      return "";
    case EntryRule::kNameTooLong:
      std::snprintf(
          line, sizeof line, "entry name too long (%" PRIu64 " bytes), refusing %s...\n",
          entry.name_length,
          printable_text(std::string_view(entry.name).substr(0, ENTRY_NAME_SIZE - 1)).c_str());
      return line;
    case EntryRule::kUnsafeName:
      return "refusing unsafe entry name " + name + "\n";
    case EntryRule::kEncrypted:
      return "encrypted entry " + name + " is not supported\n";
    case EntryRule::kUnsupportedMethod:
      std::snprintf(line, sizeof line, "unsupported compression method %u in entry %s\n",
                    entry.method, name.c_str());
      return line;
    case EntryRule::kZip64Sizes:
      return "unsupported ZIP64 sizes in entry " + name + "\n";
    case EntryRule::kLinkTarget:
      return "refusing symbolic link " + name + " -> " + printable_text(link_target) + "\n";
  }
  return "";
}

const char* entry_rule_name(EntryRule rule) {
  switch (rule) {
    case EntryRule::kOk:
      return "";
    case EntryRule::kNameTooLong:
      return "name too long";
    case EntryRule::kUnsafeName:
      return "unsafe name";
    case EntryRule::kEncrypted:
      return "encrypted";
    case EntryRule::kUnsupportedMethod:
      return "unsupported method";
    case EntryRule::kZip64Sizes:
      return "unsupported ZIP64 sizes";
    case EntryRule::kLinkTarget:
      return "link leads outside";
  }
  return "";
}

std::string printable_text(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = utf8_sequence_length(text, i);
    // C1 controls (U+0080-U+009F, C2 80 to C2 9F) act as terminal escapes as much as ESC does.
    const bool control =
        c < 0x20 || c == 0x7F ||
        (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
    if (length == 0 || control) {
      const size_t count = length == 0 ? 1 : length;
      for (size_t k = 0; k < count; ++k) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[i + k]));
        shown += escaped;
      }
      i += count;
    } else {
      shown.append(text, i, length);
      i += length;
    }
  }
  return shown;
}

std::string quoted_text(std::string_view text) { return "'" + printable_text(text) + "'"; }

bool is_valid_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = utf8_sequence_length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

namespace {
std::FILE* held_output = nullptr;
}  // namespace

std::FILE* extraction_output() { return held_output != nullptr ? held_output : stdout; }

void set_extraction_output(std::FILE* stream) { held_output = stream; }
