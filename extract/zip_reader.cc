#include "extract/zip_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kZip64EndRecordSize = 56;
constexpr std::uint64_t kMaxCommentLength = 0xFFFF;
constexpr std::uint64_t kCentralHeaderSize = 46;
constexpr size_t kMaxExtraLength = 0xFFFF;
constexpr std::uint32_t kZip64ExtraTag = 0x0001;
constexpr std::uint64_t kSizePlaceholder = 0xFFFFFFFFu;
// Headers are read a few bytes at a time; a cache turns that into one read per stretch.
constexpr size_t kCacheSize = 64 * 1024;
// Local headers lie between the entries' data: one read brings in the headers of the small
// entries that follow (and their data, which the decoder reads again).
constexpr size_t kLocalCacheSize = 32 * 1024;

std::uint32_t le16(const unsigned char* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
std::uint32_t le32(const unsigned char* p) { return le16(p) | (le16(p + 2) << 16); }
std::uint64_t le64(const unsigned char* p) { return le32(p) | (std::uint64_t{le32(p + 4)} << 32); }

// Reads `size` bytes at `position` of the source; false when they are not all there.
bool read_at(const ArchiveSource& source, std::uint64_t position, void* buffer, size_t size) {
  if (position > source.length || size > source.length - position) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t got = pread(source.fd, static_cast<char*>(buffer) + done, size - done,
                        static_cast<off_t>(source.offset + position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

bool window_seek_target(int origin, std::uint64_t offset, std::uint64_t position,
                        std::uint64_t length, std::uint64_t& target) {
  // A negative offset wraps around, and so does the sum: the target is where it leads.
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      target = offset;
      return true;
    case ZLIB_FILEFUNC_SEEK_CUR:
      target = position + offset;
      return true;
    case ZLIB_FILEFUNC_SEEK_END:
      target = length + offset;
      return true;
    default:
      return false;
  }
}

// The source as the ZIP library's file functions see it.
struct ZipReader::Window {
  ArchiveSource source;
  std::uint64_t position = 0;
  bool failed = false;
  std::vector<unsigned char> cache = std::vector<unsigned char>(kCacheSize);
  std::uint64_t cache_start = 0;
  size_t cache_length = 0;

  static Window* of(voidpf stream) { return static_cast<Window*>(stream); }

  static voidpf open(voidpf opaque, const void* /*name*/, int /*mode*/) {
    Window* window = of(opaque);
    window->position = 0;
    return window;
  }

  static uLong read(voidpf /*opaque*/, voidpf stream, void* buffer, uLong size) {
    Window* w = of(stream);
    if (w->position > w->source.length) {  // Nothing lies there, as past a file's end.
      w->failed = true;
      return 0;
    }
    const std::uint64_t left = w->source.length > w->position ? w->source.length - w->position : 0;
    size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(size, left));
    unsigned char* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < wanted) {
      const std::uint64_t at = w->position;
      if (at >= w->cache_start && at < w->cache_start + w->cache_length) {
        const size_t from = static_cast<size_t>(at - w->cache_start);
        const size_t n = std::min(wanted - done, w->cache_length - from);
        std::memcpy(out + done, w->cache.data() + from, n);
        done += n;
        w->position += n;
        continue;
      }
      if (wanted - done >= w->cache.size()) {  // Large reads go straight to the buffer.
        if (!read_at(w->source, at, out + done, wanted - done)) break;
        w->position += wanted - done;
        done = wanted;
        break;
      }
      const size_t fill =
          static_cast<size_t>(std::min<std::uint64_t>(w->cache.size(), left - done));
      if (!read_at(w->source, at, w->cache.data(), fill)) break;
      w->cache_start = at;
      w->cache_length = fill;
    }
    if (done < wanted) w->failed = true;
    return static_cast<uLong>(done);
  }

  Window() = default;
  Window(const ArchiveSource& from, size_t cache_size) : source(from), cache(cache_size) {}

  // Reads `size` bytes at `at` through the cache; false when they are not all there. A short
  // read here is left out of `failed`, which reports the library's own reads.
  bool read_through(std::uint64_t at, void* buffer, size_t size) {
    if (size == 0) return at <= source.length;
    const bool failed_before = failed;
    position = at;
    const bool whole = read(nullptr, this, buffer, static_cast<uLong>(size)) == size;
    failed = failed_before;
    return whole;
  }

  static uLong write(voidpf, voidpf, const void*, uLong) { return 0; }

  static ZPOS64_T tell(voidpf /*opaque*/, voidpf stream) { return of(stream)->position; }

  static long seek(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin) {
    Window* w = of(stream);
    std::uint64_t target = 0;
    if (!window_seek_target(origin, offset, w->position, w->source.length, target)) return -1;
    // The ZIP library steps over the records of an entry's extra field by seeking; a field
    // that ends in a piece too short for a record (padding, which other tools also accept)
    // makes it take the next header's bytes for a record's size and seek that far, which may
    // lead past the window's end. A file lets such a seek pass; so does the window, and what
    // is read there fails. Sizes it may take from those bytes are not used (for_each_entry
    // reads them from the header itself).
    w->position = target;
    return 0;
  }

  static int close(voidpf, voidpf) { return 0; }
  static int error(voidpf /*opaque*/, voidpf stream) { return of(stream)->failed ? 1 : 0; }
};

ZipReader::ZipReader() : window_(std::make_unique<Window>()), locals_(std::make_unique<Window>()) {}

ZipReader::~ZipReader() {
  if (zip_ != nullptr) unzClose(zip_);
}

namespace {

// Finds the end record nearest the end of the source (within the reach of a comment), and
// the ZIP64 end record when a locator precedes it.
ArchiveOpen read_end(const ArchiveSource& source, CentralDirectoryEnd& end) {
  const std::uint64_t reach =
      std::min<std::uint64_t>(source.length, kMaxCommentLength + kEndRecordSize);
  std::vector<unsigned char> tail(static_cast<size_t>(reach));
  if (reach < 4 || !read_at(source, source.length - reach, tail.data(), tail.size())) {
    return ArchiveOpen::kNotZip;
  }
  size_t found = tail.size();
  for (size_t i = tail.size() - 4 + 1; i-- > 0;) {
    if (le32(&tail[i]) == kEndSignature) {
      found = i;
      break;
    }
  }
  if (found == tail.size()) return ArchiveOpen::kNotZip;
  if (tail.size() - found < kEndRecordSize) return ArchiveOpen::kCutShort;
  const unsigned char* record = &tail[found];
  end.record_position = source.length - reach + found;
  end.entries = le16(record + 10);
  end.directory_size = le32(record + 12);
  end.directory_offset = le32(record + 16);
  const std::uint64_t comment_length = le16(record + 20);
  end.comment_length = comment_length;
  end.zip64 = false;

  unsigned char locator[kZip64LocatorSize];
  if (end.record_position >= kZip64LocatorSize &&
      read_at(source, end.record_position - kZip64LocatorSize, locator, sizeof locator) &&
      le32(locator) == kZip64LocatorSignature) {
    const std::uint64_t recorded = le64(locator + 8);
    const std::uint64_t locator_position = end.record_position - kZip64LocatorSize;
    // The ZIP64 end record lies where its locator says, unless bytes ahead of the archive (that
    // its offsets do not count) moved it; then it is found just ahead of the locator, as long as
    // it carries no data of its own behind its fixed fields.
    unsigned char zip64[kZip64EndRecordSize];
    std::uint64_t found_at = recorded;
    bool there =
        read_at(source, recorded, zip64, sizeof zip64) && le32(zip64) == kZip64EndSignature;
    if (!there && locator_position >= kZip64EndRecordSize) {
      found_at = locator_position - kZip64EndRecordSize;
      there = found_at > recorded && read_at(source, found_at, zip64, sizeof zip64) &&
              le32(zip64) == kZip64EndSignature && le64(zip64 + 4) == kZip64EndRecordSize - 12;
    }
    if (there) {
      end.zip64 = true;
      end.zip64_record_position = found_at;
      end.zip64_shift = found_at - recorded;
      end.entries = le64(zip64 + 32);
      end.directory_size = le64(zip64 + 40);
      end.directory_offset = le64(zip64 + 48);
    }
  }
  if (end.entries == 0 && end.directory_size == 0) {
    // Nothing to unpack; a record whose comment runs past the end was cut short.
    if (end.record_position + kEndRecordSize + comment_length > source.length) {
      return ArchiveOpen::kCutShort;
    }
    return ArchiveOpen::kEmpty;
  }
  return ArchiveOpen::kOk;
}

}  // namespace

ArchiveOpen ZipReader::open(const ArchiveSource& source) {
  source_ = source;
  window_->source = source;
  end_ = CentralDirectoryEnd{};
  const ArchiveOpen found = read_end(source, end_);
  if (found != ArchiveOpen::kOk) return found;

  // Bytes ahead of the archive (a prefix that its offsets do not count) shift every offset.
  const std::uint64_t directory_end = end_.directory_offset + end_.directory_size;
  const std::uint64_t record = end_.zip64 ? end_.zip64_record_position : end_.record_position;
  bytes_before_ = record > directory_end ? record - directory_end : 0;
  // The ZIP library sees the archive from where its ZIP64 locator counts (it takes the
  // locator's offset as a position in the file, and finds no ZIP64 end record behind a prefix
  // otherwise) to the end of the end record: it looks for that record only within 64 KiB of
  // the end, less than a comment can take.
  window_->source.offset = source.offset + end_.zip64_shift;
  window_->source.length = end_.record_position + kEndRecordSize - end_.zip64_shift;
  window_->cache_length = 0;
  locals_->source = source;
  locals_->cache.resize(kLocalCacheSize);
  locals_->cache_length = 0;
  zlib_filefunc64_def functions = {};
  functions.zopen64_file = Window::open;
  functions.zread_file = Window::read;
  functions.zwrite_file = Window::write;
  functions.ztell64_file = Window::tell;
  functions.zseek64_file = Window::seek;
  functions.zclose_file = Window::close;
  functions.zerror_file = Window::error;
  functions.opaque = window_.get();
  zip_ = unzOpen2_64("archive", &functions);
  return zip_ != nullptr ? ArchiveOpen::kOk : ArchiveOpen::kNotZip;
}

namespace {

// Sizes and the local header's offset that the central header leaves to its ZIP64 extra field
// (0x0001): the field holds, in this order, the uncompressed size, the compressed size and the
// offset, each only where the header's own field is 0xFFFFFFFF. The ZIP library does not take
// them on every system; this does.
void take_zip64_sizes(const unsigned char* extra, size_t length, unz_file_info64& info,
                      std::uint64_t& local_offset) {
  for (size_t at = 0; at + 4 <= length;) {
    const std::uint32_t tag = le16(extra + at);
    const size_t size = le16(extra + at + 2);
    if (at + 4 + size > length) return;
    if (tag == kZip64ExtraTag) {
      size_t field = at + 4;
      const size_t end = at + 4 + size;
      if (info.uncompressed_size == kSizePlaceholder && field + 8 <= end) {
        info.uncompressed_size = le64(extra + field);
        field += 8;
      }
      if (info.compressed_size == kSizePlaceholder && field + 8 <= end) {
        info.compressed_size = le64(extra + field);
        field += 8;
      }
      if (local_offset == kSizePlaceholder && field + 8 <= end) local_offset = le64(extra + field);
      return;
    }
    at += 4 + size;
  }
}

// True when the extra field of `length` bytes splits into whole records (a header of four
// bytes and the data it counts), less a piece too short for a header at its end: padding that
// aligns what follows, which the ZIP library's own step over the field mistakes for a record.
bool extra_records_fit(const unsigned char* extra, size_t length) {
  size_t at = 0;
  while (at + 4 <= length) {
    at += 4 + le16(extra + at + 2);
    if (at > length) return false;
  }
  return true;
}

}  // namespace

EntryFacts facts_of(const unz_file_info64& info, const char* name) {
  EntryFacts entry;
  entry.name = name;
  entry.name_length = info.size_filename;
  entry.version_made_by = static_cast<std::uint32_t>(info.version);
  entry.flags = static_cast<std::uint32_t>(info.flag);
  entry.method = static_cast<std::uint32_t>(info.compression_method);
  entry.compressed_size = info.compressed_size;
  entry.uncompressed_size = info.uncompressed_size;
  entry.external_attributes = static_cast<std::uint32_t>(info.external_fa);
  return entry;
}

namespace {

// The stretch of the archive that one entry's local header and data take.
struct EntrySpan {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t position = 0;  ///< Where its central header lies: its place in the directory.
};

constexpr std::uint32_t kCentralSignature = 0x02014b50;

}  // namespace

template <typename Visit>
bool ZipReader::walk_central_headers(const Visit& visit) {
  Window& central = *window_;
  const std::uint64_t directory_end = end_.directory_offset + end_.directory_size;
  std::vector<unsigned char> extra;
  EntryFacts facts;
  std::uint64_t position = end_.directory_offset;
  std::uint64_t count = 0;
  while (position < directory_end) {
    unsigned char header[kCentralHeaderSize];
    if (!central.read_through(in_window(position), header, sizeof header) ||
        le32(header) != kCentralSignature) {
      return false;
    }
    const size_t name_length = le16(header + 28);
    const size_t extra_length = le16(header + 30);
    facts.name.resize(name_length);
    extra.resize(extra_length);
    if (!central.read_through(in_window(position) + kCentralHeaderSize, facts.name.data(),
                              name_length) ||
        !central.read_through(in_window(position) + kCentralHeaderSize + name_length, extra.data(),
                              extra_length)) {
      return false;
    }
    unz_file_info64 info;
    std::memset(&info, 0, sizeof info);
    info.compressed_size = le32(header + 20);
    info.uncompressed_size = le32(header + 24);
    std::uint64_t local_offset = le32(header + 42);
    take_zip64_sizes(extra.data(), extra_length, info, local_offset);
    facts.name_length = name_length;
    facts.version_made_by = le16(header + 4);
    facts.flags = le16(header + 8);
    facts.method = le16(header + 10);
    facts.compressed_size = info.compressed_size;
    facts.uncompressed_size = info.uncompressed_size;
    facts.external_attributes = le32(header + 38);
    if (!visit(position, facts, local_offset)) return false;
    position += kCentralHeaderSize + name_length + extra_length + le16(header + 32);
    ++count;
  }
  return position == directory_end && (end_.zip64 ? count : count % 65536) == end_.entries;
}

std::string ZipReader::name_at(std::uint64_t position) {
  unsigned char header[kCentralHeaderSize];
  std::string name;
  if (window_->read_through(in_window(position), header, sizeof header)) {
    name.resize(le16(header + 28));
    if (!window_->read_through(in_window(position) + kCentralHeaderSize, name.data(),
                               name.size())) {
      name.clear();
    }
  }
  return name;
}

int ZipReader::check_entry_layout(const EntryWatch& watch, bool* walked) {
  refused_entry_.clear();
  link_paths_.clear();
  std::string local_name;
  // The central directory is read through the library's cache, the local headers through one
  // of their own: a few reads for many entries instead of several per entry.
  Window& locals = *locals_;
  // The stretch that an entry's local header and data take, or false when it has no local
  // header (the walk reports that at its turn). Refuses, with one line, a local name that
  // differs from the central one, and a stretch that runs past the start of the directory.
  int refused = 0;
  const auto span_of = [&](const EntryFacts& entry, std::uint64_t local_offset, EntrySpan& span) {
    unsigned char local[kLocalHeaderSize];
    if (!locals.read_through(bytes_before_ + local_offset, local, sizeof local) ||
        le32(local) != kLocalSignature) {
      return false;
    }
    const size_t local_name_length = le16(local + 26);
    local_name.resize(local_name_length);
    if (!locals.read_through(bytes_before_ + local_offset + kLocalHeaderSize, local_name.data(),
                             local_name_length) ||
        local_name != entry.name) {
      // Other tools unpack the local name: the archive would mean different files to them.
      std::fprintf(extraction_output(), "local header of %s names it %s\n",
                   printable_text(entry.name).c_str(), printable_text(local_name).c_str());
      refused = UNZ_BADZIPFILE;
      return false;
    }
    span.start = local_offset;
    const std::uint64_t header_end =
        local_offset + kLocalHeaderSize + local_name_length + le16(local + 28);
    span.end = entry.compressed_size > UINT64_MAX - header_end ? UINT64_MAX
                                                               : header_end + entry.compressed_size;
    if (span.end > end_.directory_offset) {
      std::fprintf(extraction_output(),
                   "local header and data of %s run past the central directory\n",
                   printable_text(entry.name).c_str());
      refused = UNZ_BADZIPFILE;
      return false;
    }
    return true;
  };

  // First walk: entries whose stretches follow one another in the directory's order without
  // sharing a byte (as every archive that a packer writes lays them out) need nothing kept.
  std::uint64_t reach = 0;  // The furthest end so far.
  std::uint64_t spans = 0;
  bool in_order = true;
  const bool whole = walk_central_headers(
      [&](std::uint64_t position, const EntryFacts& entry, std::uint64_t local_offset) {
        if (watch) watch(entry);
        if (entry_kind(entry) == EntryKind::kSymlink) {
          link_paths_.insert(file_system_path(entry.name));
        }
        EntrySpan span;
        if (!span_of(entry, local_offset, span)) {
          if (refused == 0) return true;
          refused_entry_ = entry.name;
          return false;
        }
        span.position = position;
        if (span.start < reach) in_order = false;
        reach = std::max(reach, span.end);
        ++spans;
        return true;
      });
  // A directory that cannot be read to its end here is reported by the walk itself, at its place.
  if (walked != nullptr) *walked = whole;
  if (refused != 0 || in_order) return refused;

  // Otherwise the stretches are sorted by where they start: entries that share bytes (one
  // stretch of data unpacked many times over, a bomb, or a header that another entry's data
  // also holds) lie next to one another then.
  std::vector<EntrySpan> sorted;
  sorted.reserve(static_cast<size_t>(spans));
  walk_central_headers(
      [&](std::uint64_t position, const EntryFacts& entry, std::uint64_t local_offset) {
        EntrySpan span;
        if (!span_of(entry, local_offset, span)) {
          // Only a source that changed since the first walk refuses an entry here.
          if (refused != 0) refused_entry_ = entry.name;
          return refused == 0;
        }
        span.position = position;
        sorted.push_back(span);
        return sorted.size() < spans;
      });
  if (refused != 0) return refused;
  std::sort(sorted.begin(), sorted.end(), [](const EntrySpan& a, const EntrySpan& b) {
    return a.start != b.start ? a.start < b.start : a.position < b.position;
  });
  const EntrySpan* furthest = nullptr;  // The span that reaches furthest so far.
  const EntrySpan* first = nullptr;
  const EntrySpan* second = nullptr;
  for (const EntrySpan& span : sorted) {
    if (furthest != nullptr && span.start < furthest->end) {
      // Of all overlapping pairs, name the one whose later entry comes first in the directory.
      const EntrySpan* later = span.position > furthest->position ? &span : furthest;
      const EntrySpan* earlier = later == &span ? furthest : &span;
      if (first == nullptr || later->position < first->position) {
        first = later;
        second = earlier;
      }
    }
    if (furthest == nullptr || span.end > furthest->end) furthest = &span;
  }
  if (first == nullptr) return 0;
  refused_entry_ = name_at(first->position);
  std::fprintf(extraction_output(), "local header and data of %s overlap those of %s\n",
               printable_text(refused_entry_).c_str(),
               printable_text(name_at(second->position)).c_str());
  return UNZ_BADZIPFILE;
}

int ZipReader::for_each_entry(const EntryVisitor& visit) {
  // Before any entry is visited (and so before anything is written): entries whose bytes
  // overlap or run into the central directory, and local names that differ from the central.
  if (const int refused = check_entry_layout({}, nullptr); refused != 0) return refused;
  const std::uint64_t directory_end = end_.directory_offset + end_.directory_size;
  std::uint64_t position = end_.directory_offset;
  std::uint64_t count = 0;
  std::vector<unsigned char> extra(kMaxExtraLength);
  while (position < directory_end) {
    const unz64_file_pos at = {position, count};
    int err = unzGoToFilePos64(zip_, &at);
    unz_file_info64 info;
    std::memset(&info, 0, sizeof info);
    char name[ENTRY_NAME_SIZE] = {};
    if (err != UNZ_OK) {
      std::fprintf(extraction_output(), "error %d with zipfile in %s\n", err,
                   count == 0 ? "unzGetCurrentFileInfo" : "unzGoToNextFile");
      return err;
    }
    err = unzGetCurrentFileInfo64(zip_, &info, name, sizeof name, extra.data(), extra.size(),
                                  nullptr, 0);
    if (err != UNZ_OK) {
      std::fprintf(extraction_output(), "error %d with zipfile in unzGetCurrentFileInfo\n", err);
      return err;
    }
    // A record that runs past the end of the extra field: the ZIP library reads on into the
    // bytes behind it and fails only where they happen to be too few. Refused whatever lies
    // behind, as the library refuses a header it cannot read at that step.
    if (!extra_records_fit(extra.data(), info.size_file_extra)) {
      std::fprintf(extraction_output(), "error %d with zipfile in %s\n", UNZ_ERRNO,
                   count == 0 ? "unzGetCurrentFileInfo" : "unzGoToNextFile");
      return UNZ_ERRNO;
    }
    // The header was just read by the library: the cache still holds it.
    unsigned char header[kCentralHeaderSize];
    if (!window_->read_through(in_window(position), header, sizeof header)) {
      std::fprintf(extraction_output(), "error %d with zipfile in unzGetCurrentFileInfo\n",
                   UNZ_ERRNO);
      return UNZ_ERRNO;
    }
    // Sizes and the local header's offset as the header and its ZIP64 field give them, whatever
    // the ZIP library's own step over the extra field made of them.
    info.compressed_size = le32(header + 20);
    info.uncompressed_size = le32(header + 24);
    local_offset_ = le32(header + 42);
    take_zip64_sizes(extra.data(), std::min<size_t>(extra.size(), info.size_file_extra), info,
                     local_offset_);
    // A name that does not fit fills the buffer without a terminator.
    name[ENTRY_NAME_SIZE - 1] = '\0';
    const int stop = visit(facts_of(info, name), info);
    if (stop != 0) return stop;
    position +=
        kCentralHeaderSize + info.size_filename + info.size_file_extra + info.size_file_comment;
    ++count;
  }
  if (position != directory_end) {
    std::fprintf(extraction_output(),
                 "central directory ends at offset %" PRIu64 ", end record says %" PRIu64 "\n",
                 position, directory_end);
    return UNZ_BADZIPFILE;
  }
  const std::uint64_t counted = end_.zip64 ? count : count % 65536;
  if (counted != end_.entries) {
    std::fprintf(extraction_output(),
                 "central directory holds %" PRIu64 " entries, end record says %" PRIu64 "\n",
                 count, end_.entries);
    return UNZ_BADZIPFILE;
  }
  return 0;
}

std::uint64_t ZipReader::data_position(int& error) {
  unsigned char header[kLocalHeaderSize];
  const std::uint64_t at = bytes_before_ + local_offset_;
  if (!locals_->read_through(at, header, sizeof header) || le32(header) != kLocalSignature) {
    error = UNZ_BADZIPFILE;
    return 0;
  }
  error = UNZ_OK;
  return source_.offset + at + kLocalHeaderSize + le16(header + 26) + le16(header + 28);
}

std::string archive_comment(const ZipReader& zip) {
  const CentralDirectoryEnd& end = zip.end();
  std::string comment(static_cast<size_t>(end.comment_length), '\0');
  if (comment.empty() || !read_at(zip.source(), end.record_position + kEndRecordSize,
                                  comment.data(), comment.size())) {
    return "";
  }
  return comment;
}
