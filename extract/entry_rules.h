#ifndef EXTRACT_ENTRY_RULES_H_
#define EXTRACT_ENTRY_RULES_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// The rules by which the stub accepts or refuses the entries of an archive, shared by the
// extraction, the stub's own look-inside options and sfx_pack's inspect, verify and create, so
// that whatever sfx_pack passes the stub unpacks, and whatever the stub refuses sfx_pack names.

/// Size of the buffer that receives an entry's stored name, terminator included. Longer names
/// are refused.
constexpr int ENTRY_NAME_SIZE = 256;
/// Longest link target that a link entry may hold.
constexpr std::uint64_t ENTRY_LINK_TARGET_MAX = 4095;

/// What the central directory says of one entry, before any of its data is read.
struct EntryFacts {
  std::string name;                   ///< The stored name (as far as it was read).
  std::uint64_t name_length = 0;      ///< The stored name's full length in bytes.
  std::uint32_t version_made_by = 0;  ///< Host system in the high byte.
  std::uint32_t flags = 0;            ///< General-purpose bit flags.
  std::uint32_t method = 0;           ///< Compression method.
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint32_t external_attributes = 0;  ///< Unix mode in the upper half, MS-DOS bits below.
};

/// Why an entry is refused.
enum class EntryRule {
  kOk,
  kNameTooLong,        ///< The name does not fit ENTRY_NAME_SIZE with its terminator.
  kUnsafeName,         ///< Absolute, or with a ".." part: it would lead out of the payload.
  kEncrypted,          ///< General-purpose flag bit 0.
  kUnsupportedMethod,  ///< Neither stored (0) nor deflated (8).
  kZip64Sizes,         ///< The compressed size defers to a ZIP64 field that was not read.
  kLinkTarget,         ///< A link whose target is absolute or leads out of the payload.
};

/// What an entry makes on disk.
enum class EntryKind { kFile, kDirectory, kSymlink };

/// The compressed-size value that defers to the entry's ZIP64 extra field.
constexpr std::uint64_t ENTRY_ZIP64_PLACEHOLDER = 0xFFFFFFFFu;

/// True when the entry carries a Unix mode: a non-zero upper half of the external attributes,
/// made on a Unix host or holding a file type (regular file, directory, link).
bool has_unix_mode(const EntryFacts& entry);

/// Directory: the name ends in "/" or "\" (or is empty), or the Unix mode says so, or (without
/// a Unix mode) the MS-DOS directory attribute 0x10 is set. Link: the Unix mode is S_IFLNK.
/// Anything else is a file.
EntryKind entry_kind(const EntryFacts& entry);

/// The permission bits an unpacked file gets: the stored Unix mode's 07777 bits, or, without a
/// Unix mode, 0644 less `umask_bits`. Directories are made with directory_mode.
mode_t file_mode_of(const EntryFacts& entry, mode_t umask_bits);
/// The mode an unpacked directory is made with (mkdir applies the umask): 0775 with a Unix
/// mode, 0755 without one, as other unpackers give.
mode_t directory_mode_of(const EntryFacts& entry);

/// `permissions` (07777 bits) of an entry of `kind` as ls -l shows them: "-rwxr-xr-x",
/// "drwxr-xr-x", "lrwxrwxrwx", with "s"/"S" and "t"/"T" for the set-ID and sticky bits.
std::string mode_text(EntryKind kind, mode_t permissions);

/// Checks everything about the entry that the central directory tells, before any byte is
/// written: name, encryption, method, sizes. Returns kOk or the first rule it breaks, in that
/// order.
EntryRule check_entry(const EntryFacts& entry);

/// Tells whether `path` (as file_system_path gives it) is a symbolic link that the payload
/// directory holds or will hold.
using IsLinkPath = std::function<bool(const std::string& path)>;

/// `name` as the file system reaches it from the payload directory: its parts between "/"
/// (a backslash is an ordinary character there), empty and "." parts left out, joined by "/".
std::string file_system_path(std::string_view name);

/// True when `target`, the data of the link entry `name`, may be made as a symbolic link: not
/// empty, no NUL byte, relative, at most ENTRY_LINK_TARGET_MAX bytes, and staying inside the
/// payload directory at every step of its way, followed part by part from the link's own
/// directory: a ".." part goes back one part and may neither climb above the payload directory
/// nor come after a part (of the link's directory or its target) that `is_link` says is a link,
/// since the file system would climb from where that link leads instead.
bool is_safe_link_target(std::string_view name, std::string_view target, const IsLinkPath& is_link);

/// The one-line message (with its line end) for an entry that breaks `rule`, as the extraction
/// stage prints it on standard output. Names appear as printable_text shows them. For
/// kLinkTarget, `link_target` is the refused target.
std::string entry_rule_message(EntryRule rule, const EntryFacts& entry,
                               std::string_view link_target = {});

/// A short name of the rule for listings ("unsafe name", "encrypted", ...); "" for kOk.
const char* entry_rule_name(EntryRule rule);

/// `text` as messages show it: bytes below 0x20, 0x7F, the C1 control characters and bytes
/// that are not part of valid UTF-8 become "\xNN"; everything else is kept as it is.
std::string printable_text(std::string_view text);

/// printable_text of `text` between single quotes, as messages quote a name.
std::string quoted_text(std::string_view text);

/// True when `text` is valid UTF-8 throughout: no overlong forms, surrogates, code points above
/// U+10FFFF or cut sequences.
bool is_valid_utf8(std::string_view text);

/// Where the extraction stage prints its messages: standard output, unless the launcher holds
/// them back meanwhile (a memory stream, written out or dropped later).
std::FILE* extraction_output();
/// Sets the stream of extraction_output; nullptr restores standard output.
void set_extraction_output(std::FILE* stream);

#endif  // EXTRACT_ENTRY_RULES_H_
