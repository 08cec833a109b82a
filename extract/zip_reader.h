#ifndef EXTRACT_ZIP_READER_H_
#define EXTRACT_ZIP_READER_H_

#include <minizip/ioapi.h>
#include <minizip/unzip.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

#include "extract/entry_rules.h"

// Reading an archive that lies somewhere inside an open file (the stub's own image, or
// archive.zip) through a descriptor held by the caller: the ZIP library sees the stretch as a
// file of its own, and the whole central directory is walked to its end, whatever the end
// record's entry count says.

/// `length` bytes at `offset` of the open descriptor `fd`. Read with pread only.
struct ArchiveSource {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

/// What the end record (and the ZIP64 end record it points to) says of the central directory.
struct CentralDirectoryEnd {
  bool zip64 = false;
  std::uint64_t entries = 0;           ///< The record's entry count (16 bits without ZIP64).
  std::uint64_t directory_offset = 0;  ///< As recorded, before any bytes ahead of the archive.
  std::uint64_t directory_size = 0;
  std::uint64_t record_position = 0;        ///< Where the end record starts in the source.
  std::uint64_t comment_length = 0;         ///< The archive comment's length, as recorded.
  std::uint64_t zip64_record_position = 0;  ///< Where the ZIP64 end record starts, if any.
  /// How far behind the position its locator gives the ZIP64 end record lies: the bytes ahead
  /// of an archive whose locator does not count them.
  std::uint64_t zip64_shift = 0;
};

/// Result codes of open_archive, besides the ZIP library's own.
enum class ArchiveOpen {
  kOk,        ///< The ZIP library opened it.
  kEmpty,     ///< An archive without entries (which the ZIP library cannot always open).
  kNotZip,    ///< No end record: not a ZIP archive.
  kCutShort,  ///< The end record is cut off by the end of the source.
};

/// An archive open for reading; owns the ZIP library's handle and the source's read cache.
class ZipReader {
 public:
  ZipReader();
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  /// Opens the archive in `source`. Prints nothing.
  ArchiveOpen open(const ArchiveSource& source);

  /// The handle (null unless open returned kOk).
  unzFile handle() const { return zip_; }
  const CentralDirectoryEnd& end() const { return end_; }
  const ArchiveSource& source() const { return source_; }

  /// Called for each entry, positioned on it, with its facts and the ZIP library's record.
  /// A non-zero result stops the walk and is returned by for_each_entry.
  using EntryVisitor = std::function<int(const EntryFacts& entry, const unz_file_info64& info)>;

  /// Visits every entry of the central directory in order, stepping from one header to the
  /// next until the directory's recorded end. Before the first visit, refuses (see
  /// check_entry_layout) an archive whose entries' bytes overlap, run past the start of the
  /// central directory, or whose local header names an entry otherwise. Returns 0 when every entry
  /// was visited and the walk agrees with the end record, the visitor's non-zero result, or after
  /// one message on standard output: the ZIP library's code when an entry's header cannot be read
  /// ("error %d with zipfile in unzGetCurrentFileInfo" for the first, "... in unzGoToNextFile" for
  /// a later one), or UNZ_BADZIPFILE when the directory holds another number of entries than the
  /// end record says (modulo 65,536 without ZIP64) or ends elsewhere than it says.
  int for_each_entry(const EntryVisitor& visit);

  /// Absolute position in `source().fd` of the data of the entry being visited, after its
  /// local header; sets `error` to UNZ_OK, or UNZ_BADZIPFILE when there is no local header.
  std::uint64_t data_position(int& error);

  /// Called with the facts of each central header as the layout check reads it.
  using EntryWatch = std::function<void(const EntryFacts& entry)>;

  /// Reads every central header and the local header it points to, without the ZIP library,
  /// and notes the paths of link entries; `watch` (when set) sees every central header read.
  /// Returns 0, or UNZ_BADZIPFILE after one line on standard output naming the entry whose
  /// local name differs from its central one, whose local header and data run past the start of
  /// the central directory, or overlap another entry's. `walked` (when not null) is set to
  /// whether the directory was read to its recorded end and held the end record's number of
  /// entries. Keeps nothing per entry unless entries lie out of the directory's order.
  int check_entry_layout(const EntryWatch& watch, bool* walked);

  /// The entry that the layout check refused (empty when it refused none).
  const std::string& refused_entry() const { return refused_entry_; }

  /// Whether a path (as file_system_path gives it) names a link entry of the archive; known
  /// from the first visit of for_each_entry on, for the whole central directory.
  IsLinkPath links() const {
    return [this](const std::string& path) { return link_paths_.count(path) != 0; };
  }

 private:
  struct Window;

  /// Reads the central headers through the library's cache from the directory's start to its
  /// recorded end, sizes and offsets from their ZIP64 fields where those hold them, and calls
  /// `visit(position, entry, local_offset)` for each in order: where it lies and where its local
  /// header lies (both as recorded), and its facts; a false result stops the walk. True when
  /// every one was read and visited, the walk ended where the end record says and counted its
  /// number of entries; false when a header cannot be read, or `visit` stopped it.
  template <typename Visit>
  bool walk_central_headers(const Visit& visit);
  /// The name in the central header at `position` (as recorded); empty if it cannot be read.
  std::string name_at(std::uint64_t position);

  std::unique_ptr<Window> window_;
  std::unique_ptr<Window> locals_;  ///< The local headers' own cache.
  unzFile zip_ = nullptr;
  ArchiveSource source_;
  CentralDirectoryEnd end_;
  std::uint64_t bytes_before_ = 0;  ///< Bytes ahead of the archive's own offset 0.
  /// Where the byte at the archive's own offset `recorded` lies in the ZIP library's window,
  /// which begins where a ZIP64 locator counts from (see open).
  std::uint64_t in_window(std::uint64_t recorded) const {
    return bytes_before_ - end_.zip64_shift + recorded;
  }
  std::uint64_t local_offset_ = 0;  ///< The visited entry's local header, as recorded.
  std::string refused_entry_;
  std::unordered_set<std::string> link_paths_;
};

/// Where a seek of the ZIP library's file functions (`origin` one of ZLIB_FILEFUNC_SEEK_SET,
/// _CUR, _END) leads in a window of `length` bytes, from `position`, wherever that is (a
/// negative offset wraps around). False for another origin.
bool window_seek_target(int origin, std::uint64_t offset, std::uint64_t position,
                        std::uint64_t length, std::uint64_t& target);

/// The facts of the current entry of `zip` from the ZIP library's record and its name.
EntryFacts facts_of(const unz_file_info64& info, const char* name);

/// The comment behind the end record of the archive `zip` opened (where sfx_pack keeps the
/// product label), read from the source itself: the ZIP library reads it from the wrong place
/// behind a ZIP64 end record and not at all beyond its 64 KiB search. An empty text when there
/// is none or it runs past the end of the source.
std::string archive_comment(const ZipReader& zip);

#endif  // EXTRACT_ZIP_READER_H_
