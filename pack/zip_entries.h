#ifndef PACK_ZIP_ENTRIES_H_
#define PACK_ZIP_ENTRIES_H_

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "extract/zip_reader.h"

/// While it lives, the archive reader's messages go into memory instead of standard output, so
/// that sfx_pack can word its own error around the reader's line. Restores standard output.
class CapturedLines {
 public:
  CapturedLines();
  ~CapturedLines();
  CapturedLines(const CapturedLines&) = delete;
  CapturedLines& operator=(const CapturedLines&) = delete;

  /// False when the memory stream could not be made (the messages then go to standard output).
  bool ok() const { return stream_ != nullptr; }
  /// The first line written so far, without its newline.
  std::string first_line();

 private:
  char* text_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* stream_ = nullptr;
};

/// What check_archive_as_stub found in a sound archive.
struct ArchiveCheck {
  std::uint64_t entry_count = 0;
  std::set<std::string> executables;  ///< Names of file entries with an execute bit.
};

enum class ZipCheck {
  kOk,       ///< The stub unpacks every entry.
  kEmpty,    ///< An archive without entries.
  kNotZip,   ///< No ZIP archive at all.
  kRefused,  ///< `fault` says what the stub refuses.
};

/// Reads `archive` the way the stub's --sfx-check does — the same central-directory walk, the
/// same layout check of every entry, the same entry rules, every entry's data decoded and its
/// CRC-32 compared: what it passes, the stub unpacks, and the other way round. On kRefused,
/// `fault` is "the stub refuses entry '<name>': <the stub's line>", or "the stub refuses the
/// archive: <the stub's line>" for a fault of the archive as a whole. Prints nothing.
ZipCheck check_archive_as_stub(const ArchiveSource& archive, ArchiveCheck& check,
                               std::string& fault);

#endif  // PACK_ZIP_ENTRIES_H_
