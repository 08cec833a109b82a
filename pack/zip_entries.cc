#include "pack/zip_entries.h"

#include <cstdlib>

#include "extract/check.h"
#include "extract/entry_rules.h"
#include "extract/extract.h"
#include "pack/status.h"

CapturedLines::CapturedLines() : stream_(open_memstream(&text_, &size_)) {
  if (stream_ != nullptr) set_extraction_output(stream_);
}

CapturedLines::~CapturedLines() {
  if (stream_ == nullptr) return;
  set_extraction_output(nullptr);
  std::fclose(stream_);
  std::free(text_);
}

std::string CapturedLines::first_line() {
  if (stream_ == nullptr || std::fflush(stream_) != 0 || text_ == nullptr) return {};
  std::string line(text_, size_);
  if (const std::size_t cut = line.find('\n'); cut != std::string::npos) line.resize(cut);
  return line;
}

ZipCheck check_archive_as_stub(const ArchiveSource& archive, ArchiveCheck& check,
                               std::string& fault) {
  check = ArchiveCheck{};
  fault.clear();
  CapturedLines lines;
  ZipReader zip;
  bool has_entries = false;
  const int opened = open_entries(zip, archive, has_entries);
  if (opened == EXTRACT_ERR_OPEN) return ZipCheck::kNotZip;
  std::string failed_entry;
  int walked = opened == EXTRACT_OK ? 0 : opened;
  if (opened == EXTRACT_OK && !has_entries) return ZipCheck::kEmpty;
  if (opened == EXTRACT_OK) {
    ArchiveTotals totals;
    walked = zip.for_each_entry([&](const EntryFacts& entry, const unz_file_info64& info) {
      const int err = check_current_entry(zip, entry, info, totals);
      if (err != UNZ_OK) {
        failed_entry = entry.name;
        return err;
      }
      if (entry_kind(entry) == EntryKind::kFile && (file_mode_of(entry, 0) & 0111) != 0) {
        check.executables.insert(entry.name);
      }
      return 0;
    });
    if (walked != 0 && failed_entry.empty()) failed_entry = zip.refused_entry();
    check.entry_count = totals.entries;
  }
  if (walked == 0) return ZipCheck::kOk;
  const std::string line = lines.first_line();
  fault = failed_entry.empty() ? "the stub refuses the archive: " + line
                               : "the stub refuses entry " + quoted(failed_entry) + ": " + line;
  return ZipCheck::kRefused;
}
