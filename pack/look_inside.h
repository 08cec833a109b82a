#ifndef PACK_LOOK_INSIDE_H_
#define PACK_LOOK_INSIDE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "extract/entry_rules.h"
#include "pack/status.h"
#include "payload/signature_block.h"
#include "payload/trailer.h"

/// One entry of a distributable file's archive, as its central directory records it.
struct EntryInfo {
  std::string name;
  std::uint64_t size = 0;
  std::uint64_t compressed_size = 0;
  std::uint32_t crc32 = 0;
  int method = 0;  ///< 0 stored, 8 deflated, others unknown to the stub.
  std::uint32_t version_made_by = 0;
  std::uint32_t external_attributes = 0;  ///< The Unix mode is in the upper 16 bits.
  int year = 0, month = 0, day = 0;       ///< The DOS date (month 1-12), local time.
  int hour = 0, minute = 0, second = 0;

  EntryKind kind = EntryKind::kFile;  ///< What the stub makes of it.
  std::string link_target;            ///< A link's target (its data), as far as it was read.
  EntryRule rule = EntryRule::kOk;    ///< Why the stub refuses it; kOk when it unpacks it.

  bool is_directory() const { return kind == EntryKind::kDirectory; }
  /// The Unix mode of the upper half of the external attributes (type and permission bits).
  std::uint32_t unix_mode() const { return external_attributes >> 16; }
};

/// What a distributable file holds: its trailer and its archive's entries.
struct DistributableInfo {
  std::string path;
  TrailerInfo trailer;
  std::string stub_machine;  ///< The machine of the stub's image, as machine_text shows it.
  std::vector<EntryInfo> entries;
  std::optional<std::string> label;  ///< The archive's comment, when it has one.
  SignatureBlockInfo signature;      ///< The signature block after the trailer (not checked).
};

/// Reads the trailer and lists the archive of the distributable file `path`, made by any
/// generator that follows the layout. Each entry is marked with the rule by which the stub
/// refuses it, if any; a link entry's target is read from its data.
/// Returns an input fault for a file that cannot be read, has no trailer, a trailer of another
/// layout or a damaged one, or an appended archive that is no readable ZIP archive.
Status read_distributable(const std::string& path, DistributableInfo& info);

/// The text that `sfx_pack inspect` prints.
std::string format_text(const DistributableInfo& info);
/// The JSON document that `sfx_pack inspect --json` prints: valid UTF-8 whatever the names
/// hold. A text that is not valid UTF-8 is given with U+FFFD for each bad sequence, and its
/// raw bytes in hexadecimal beside it under the key with "_hex" appended.
std::string format_json(const DistributableInfo& info);

/// Checks the distributable file `path`: its trailer, that the stub can carry the archive and
/// unpacks every entry (start below 4 GiB, at most 65534 entries, the stub's entry rules: safe
/// names below 256 bytes, sizes below 4 GiB, stored or deflated, not encrypted, link targets
/// that stay inside), and every entry's data against its CRC-32. Returns an input fault naming
/// the first entry at fault and the rule; on success sets `summary` to a one-line account.
Status verify_distributable(const std::string& path, std::string& summary);

#endif  // PACK_LOOK_INSIDE_H_
