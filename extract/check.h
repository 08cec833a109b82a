#ifndef EXTRACT_CHECK_H_
#define EXTRACT_CHECK_H_

#include <minizip/unzip.h>

#include <cstdint>
#include <string>

#include "extract/entry_rules.h"
#include "extract/zip_reader.h"

// Reading an archive the way unpacking does, without writing anything: the stub's
// "--sfx-check" and the listings share the opening and the walk with extraction.

/// What a check or a walk counted.
struct ArchiveTotals {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;  ///< Unpacked bytes.
};

/// Opens `archive` in `zip` as extraction does. Returns EXTRACT_OK with `has_entries` saying
/// whether there is a central directory to walk, EXTRACT_ERR_OPEN when it is no ZIP archive
/// (nothing printed), or EXTRACT_ERR_ENTRIES after "error -103 with zipfile in
/// unzGetGlobalInfo " on standard output when its end record is cut short.
int open_entries(ZipReader& zip, const ArchiveSource& archive, bool& has_entries);

/// Reads the entry being visited through every check that unpacking applies to it, in the
/// same order and with the same one message on standard output for the first one it fails:
/// the entry rules, the local header, a link's target (read and judged), a file's data (decoded
/// to its declared size and its CRC-32 compared) into nothing. A directory needs nothing read.
/// Adds the entry and its decoded bytes to `totals`. Returns 0, or the code that unpacking
/// would stop with (see extract_current_entry).
int check_current_entry(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                        ArchiveTotals& totals);

/// Checks every entry of `archive` with check_current_entry, after the walk's own checks of
/// the central directory. Returns EXTRACT_OK with `totals` filled (also for an archive without
/// entries), EXTRACT_ERR_OPEN when it is no ZIP archive (nothing printed), or
/// EXTRACT_ERR_ENTRIES after the failing step's message on standard output, with
/// `failed_entry` set to the entry that failed (empty when the archive failed as a whole).
int check_archive(const ArchiveSource& archive, ArchiveTotals& totals, std::string& failed_entry);

#endif  // EXTRACT_CHECK_H_
