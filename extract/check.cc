#include "extract/check.h"

#include <cstdio>
#include <string>

#include "extract/entry_data.h"
#include "extract/extract.h"

namespace {

// Takes decoded bytes and keeps only their count.
class CountingSink : public EntrySink {
 public:
  bool write(const unsigned char* /*data*/, size_t size) override {
    count += size;
    return true;
  }
  std::uint64_t count = 0;
};

}  // namespace

int open_entries(ZipReader& zip, const ArchiveSource& archive, bool& has_entries) {
  has_entries = false;
  switch (zip.open(archive)) {
    case ArchiveOpen::kNotZip:
      return EXTRACT_ERR_OPEN;
    case ArchiveOpen::kCutShort:
      std::fprintf(extraction_output(), "error %d with zipfile in unzGetGlobalInfo \n",
                   UNZ_BADZIPFILE);
      return EXTRACT_ERR_ENTRIES;
    case ArchiveOpen::kEmpty:
      return EXTRACT_OK;
    case ArchiveOpen::kOk:
      break;
  }
  has_entries = true;
  return EXTRACT_OK;
}

int check_current_entry(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                        ArchiveTotals& totals) {
  if (const int refused = refuse_broken_entry(entry); refused != UNZ_OK) return refused;
  int err = UNZ_OK;
  switch (entry_kind(entry)) {
    case EntryKind::kDirectory:
      break;
    case EntryKind::kSymlink: {
      std::string target;
      err = read_link_target(zip, entry, info, target);
      totals.bytes += target.size();
      break;
    }
    case EntryKind::kFile: {
      std::uint64_t position = 0;
      if (!find_data(zip, position, err)) return err;
      CountingSink sink;
      err = unpack_data(zip, info, position, sink);
      totals.bytes += sink.count;
      break;
    }
  }
  if (err == UNZ_OK) ++totals.entries;
  return err;
}

int check_archive(const ArchiveSource& archive, ArchiveTotals& totals, std::string& failed_entry) {
  totals = ArchiveTotals{};
  failed_entry.clear();
  ZipReader zip;
  bool has_entries = false;
  const int opened = open_entries(zip, archive, has_entries);
  if (opened != EXTRACT_OK || !has_entries) return opened;
  const int walked = zip.for_each_entry([&](const EntryFacts& entry, const unz_file_info64& info) {
    const int err = check_current_entry(zip, entry, info, totals);
    if (err != UNZ_OK) failed_entry = entry.name;
    return err;
  });
  if (walked != 0 && failed_entry.empty()) failed_entry = zip.refused_entry();
  return walked == 0 ? EXTRACT_OK : EXTRACT_ERR_ENTRIES;
}
