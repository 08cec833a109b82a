#ifndef PACK_CREATE_H_
#define PACK_CREATE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pack/archive_writer.h"
#include "pack/signing.h"
#include "pack/status.h"

/// The furthest position at which a distributable file's archive may start: the stub carries
/// the start as an unsigned 32-bit value.
constexpr std::uint64_t MAX_ARCHIVE_OFFSET = 0xFFFFFFFFu;

/// What `sfx_pack create` makes.
struct CreateOptions {
  std::string output;                             ///< The distributable file to write.
  std::string command_template;                   ///< At most 256 bytes.
  std::optional<std::string> extra_tool_command;  ///< At most 256 bytes.
  /// The machine the file is made for, as uname -m names it; empty for this machine.
  std::string machine;
  std::string stub;            ///< The stub image; empty for the machine's installed stub.
  std::string source;          ///< A directory to pack, or a ZIP archive to use unchanged.
  bool follow_links = false;   ///< Store what each link of a source directory points to.
  bool show_progress = false;  ///< A progress line on standard error for a long pack.
  ArchiveOptions archive;
  std::optional<std::int64_t> time_cap;  ///< Later stored times are replaced by this.
  /// The product label, stored as the archive's comment (a source directory only).
  std::optional<std::string> label;
  /// When set, the file is signed with this key (owned by the caller) and trusted comment.
  const SecretKey* signing_key = nullptr;
  std::string trusted_comment;
};

/// What create_distributable wrote, and what it warned about.
struct CreateReport {
  std::vector<std::string> warnings;  ///< Printed as "sfx_pack: warning: TEXT".
  std::uint64_t stub_size = 0;
  std::uint64_t archive_length = 0;
  std::size_t entry_count = 0;
};

/// Writes the distributable file: the stub unchanged, the archive, the trailer. The stub is
/// options.stub, or the stub of options.machine that find_stub finds beside the running
/// program; it must be a static executable for that machine. Everything the
/// stub cannot carry is refused before anything is written: a text longer than 256 bytes, a
/// stored name of 256 bytes or more, special files, symbolic links that lead outside the
/// source (with `follow_links`: that lead nowhere or to a directory outside), a ZIP archive
/// with an entry the stub refuses or whose data is damaged, a stub of 4 GiB or more, an archive
/// known to reach 4 GiB. An output that exists and is not a regular file, lies inside the
/// source directory, or is the stub or the source ZIP archive is a usage error.
/// A label longer than 200 bytes, not UTF-8 or holding a control character is a usage error, as
/// is a label for a source ZIP archive (which is used unchanged). With a signing key, a
/// signature block over everything before it follows the trailer.
/// An archive that turns out too long while it is written is refused too. The file appears
/// under its name, with mode 0755, only when it is complete; on every failure nothing is left.
/// Returns a usage error for a wrong text, a machine without a stub or a stub that is no
/// static executable for the machine, an input fault for everything else; in both cases
/// `report.warnings` may hold warnings already.
Status create_distributable(const CreateOptions& options, CreateReport& report);

/// The longest product label, in bytes.
constexpr std::size_t MAX_LABEL_SIZE = 200;

/// The first word of a command (the text before the first blank or tab).
std::string first_word(const std::string& command);

#endif  // PACK_CREATE_H_
