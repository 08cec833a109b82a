#include "extract/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "extract/entry_data.h"

namespace {

// The process's umask, read once per extraction: files without a stored mode get the default
// mode less it, and directories are made with their mode less it. While the entries are
// unpacked the process's umask is 0, so that a file is created with exactly its final mode.
mode_t extraction_umask = 022;

// A descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The parts of a stored name as the file system sees them: "/" separates, empty parts and "."
// are left out (a backslash is an ordinary character of a name here).
std::vector<std::string> file_system_parts(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '/') continue;
    std::string part = name.substr(start, i - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = i + 1;
  }
  return parts;
}

// Opens the directory `name` below `parent_fd`, making it with `mode` when it is missing. A
// link or anything else in its place is never followed. Returns the descriptor or -1. It is
// made first and opened then: unpacking mostly meets a directory before anything is in it.
int open_or_make_directory(int parent_fd, const std::string& name, mode_t mode) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  if (mkdirat(parent_fd, name.c_str(), mode & ~extraction_umask) != 0 && errno != EEXIST) {
    return -1;
  }
  return openat(parent_fd, name.c_str(), kFlags);
}

// Opens the first `count` parts of `parts` below `root_fd` as directories, making the missing
// ones (the last with `last_mode`, the others with EXTRACT_DIR_MODE). Returns the descriptor
// of the last one (a duplicate of `root_fd` for none), or -1 with errno set.
int open_directories(int root_fd, const std::vector<std::string>& parts, size_t count,
                     mode_t last_mode) {
  Fd current(fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
  for (size_t i = 0; i < count && current.get() >= 0; ++i) {
    current.reset(open_or_make_directory(current.get(), parts[i],
                                         i + 1 == count ? last_mode : EXTRACT_DIR_MODE));
  }
  return current.release();
}

// Prints why an output could not be made: the stored name and the system's text.
int report_open_error(const EntryFacts& entry, int error) {
  std::fprintf(extraction_output(), "error opening %s: %s\n", printable_text(entry.name).c_str(),
               std::strerror(error));
  return UNZ_ERRNO;
}

// What a failed write names: the entry being written (set by extract_file while it writes)
// and the directory it is unpacked into (set by extract_archive; null when not known).
const EntryFacts* entry_being_written = nullptr;
const char* destination_shown = nullptr;

// Prints why writing the output file failed, naming the file and where it was written; errno
// is 0 when the system gave no reason.
void report_write_error(int error) {
  const char* reason = error != 0 ? std::strerror(error) : "error in writing extracted file";
  if (entry_being_written == nullptr) {
    std::fprintf(extraction_output(), "%s\n", reason);
  } else if (destination_shown == nullptr) {
    std::fprintf(extraction_output(), "error writing %s: %s\n",
                 printable_text(entry_being_written->name).c_str(), reason);
  } else {
    std::fprintf(extraction_output(), "error writing %s in %s: %s\n",
                 printable_text(entry_being_written->name).c_str(),
                 printable_text(destination_shown).c_str(), reason);
  }
}

// The buffer that every output file of the thread is written through, kept for the thread's
// life instead of allocated and freed per file. Null when it cannot be had.
unsigned char* write_buffer() {
  thread_local std::unique_ptr<unsigned char[]> buffer(new (std::nothrow)
                                                           unsigned char[EXTRACT_BUFFER_SIZE]);
  return buffer.get();
}

// Names `entry` in write failures while it lives.
class WritingEntry {
 public:
  explicit WritingEntry(const EntryFacts& entry) { entry_being_written = &entry; }
  ~WritingEntry() { entry_being_written = nullptr; }
  WritingEntry(const WritingEntry&) = delete;
  WritingEntry& operator=(const WritingEntry&) = delete;
};

// Writes decoded data to an open file through one bounded buffer.
class FileSink : public EntrySink {
 public:
  explicit FileSink(int fd) : fd_(fd), buffer_(write_buffer()) {}

  bool write(const unsigned char* data, size_t size) override {
    if (buffer_ == nullptr) return write_all(data, size);  // No buffer: write straight through.
    if (used_ + size > EXTRACT_BUFFER_SIZE && !flush()) return false;
    if (size >= EXTRACT_BUFFER_SIZE) return write_all(data, size);
    std::memcpy(buffer_ + used_, data, size);
    used_ += size;
    return true;
  }

  /// Writes what is buffered. False with errno set when that fails.
  bool flush() {
    const size_t used = used_;
    used_ = 0;
    return write_all(buffer_, used);
  }

 private:
  bool write_all(const unsigned char* data, size_t size) {
    while (size > 0) {
      ssize_t put = ::write(fd_, data, size);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        if (put == 0) errno = 0;
        return false;
      }
      data += put;
      size -= static_cast<size_t>(put);
    }
    return true;
  }

  int fd_;
  unsigned char* buffer_;
  size_t used_ = 0;
};

// Keeps decoded data in memory, up to a limit: a link's target.
class TextSink : public EntrySink {
 public:
  bool write(const unsigned char* data, size_t size) override {
    text.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::string text;
};

}  // namespace

int DirectoryWalk::open(const std::vector<std::string>& parts, size_t count, mode_t last_mode) {
  drop_single();
  size_t same = 0;
  while (same < kept_.size() && same < count && kept_[same].name == parts[same]) ++same;
  while (kept_.size() > same) {
    close(kept_.back().fd);
    kept_.pop_back();
  }
  for (size_t i = same; i < count; ++i) {
    const int parent = i == 0 ? root_fd_ : kept_.back().fd;
    const int fd =
        open_or_make_directory(parent, parts[i], i + 1 == count ? last_mode : EXTRACT_DIR_MODE);
    if (fd < 0) {
      if ((errno != EMFILE && errno != ENFILE) || kept_.empty()) return -1;
      return open_alone(parts, count, last_mode);
    }
    kept_.push_back({parts[i], fd});
  }
  return kept_.empty() ? root_fd_ : kept_.back().fd;
}

int DirectoryWalk::open_alone(const std::vector<std::string>& parts, size_t count,
                              mode_t last_mode) {
  let_go();
  single_ = open_directories(root_fd_, parts, count, last_mode);
  return single_;
}

void DirectoryWalk::let_go() {
  for (const Kept& kept : kept_) close(kept.fd);
  kept_.clear();
  drop_single();
}

void DirectoryWalk::drop_single() {
  if (single_ >= 0) close(single_);
  single_ = -1;
}

bool find_data(ZipReader& zip, std::uint64_t& position, int& err) {
  position = zip.data_position(err);
  if (err == UNZ_OK) return true;
  std::fprintf(extraction_output(), "error %d with zipfile in unzOpenCurrentFilePassword\n", err);
  return false;
}

int unpack_data(ZipReader& zip, const unz_file_info64& info, std::uint64_t position,
                EntrySink& sink) {
  EntryData data;
  data.fd = zip.source().fd;
  data.offset = position;
  data.compressed_size = info.compressed_size;
  data.method = static_cast<int>(info.compression_method);
  data.uncompressed_size = info.uncompressed_size;
  data.crc = static_cast<std::uint32_t>(info.crc);
  const int err = decode_entry(data, sink);
  switch (err) {
    case ENTRY_DATA_OK:
      return UNZ_OK;
    case ENTRY_DATA_WRITE_FAILED:
      report_write_error(errno);
      return UNZ_ERRNO;
    case UNZ_BADZIPFILE:
    case UNZ_CRCERROR:
      std::fprintf(extraction_output(), "error %d with zipfile in unzCloseCurrentFile\n", err);
      return err;
    default:
      std::fprintf(extraction_output(), "error %d with zipfile in unzReadCurrentFile\n", err);
      return err;
  }
}

std::string link_size_text(std::uint64_t size) {
  char text[48];
  std::snprintf(text, sizeof text, "(a target of %" PRIu64 " bytes)", size);
  return text;
}

int read_link_data(ZipReader& zip, const unz_file_info64& info, std::string& target) {
  TextSink sink;
  int err = UNZ_OK;
  std::uint64_t position = 0;
  if (!find_data(zip, position, err)) return err;
  err = unpack_data(zip, info, position, sink);
  target = std::move(sink.text);
  return err;
}

int read_link_target(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                     std::string& target) {
  if (info.uncompressed_size > ENTRY_LINK_TARGET_MAX) {
    const std::string size = link_size_text(info.uncompressed_size);
    std::fputs(entry_rule_message(EntryRule::kLinkTarget, entry, size).c_str(),
               extraction_output());
    return ENTRY_ERR_REFUSED;
  }
  const int err = read_link_data(zip, info, target);
  if (err != UNZ_OK) return err;
  if (!is_safe_link_target(entry.name, target, zip.links())) {
    std::fputs(entry_rule_message(EntryRule::kLinkTarget, entry, target).c_str(),
               extraction_output());
    return ENTRY_ERR_REFUSED;
  }
  return UNZ_OK;
}

int refuse_broken_entry(const EntryFacts& entry) {
  const EntryRule rule = check_entry(entry);
  if (rule == EntryRule::kOk) return UNZ_OK;
  std::fputs(entry_rule_message(rule, entry).c_str(), extraction_output());
  return ENTRY_ERR_REFUSED;
}

namespace {

bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

// Run-wide settings of the entry loop: the local-time conversion and its walk of directories.
struct EntryLoop {
  LocalTimes times;
};
EntryLoop* entry_loop = nullptr;

time_t entry_time_in_loop(const tm_unz& date) {
  return entry_loop != nullptr ? entry_loop->times.convert(date) : entry_time(date);
}

int extract_directory(const EntryFacts& entry, DirectoryWalk& walk) {
  const std::vector<std::string> parts = file_system_parts(entry.name);
  if (parts.empty()) return UNZ_OK;  // The payload directory itself.
  return walk.open(parts, parts.size(), directory_mode_of(entry)) >= 0
             ? UNZ_OK
             : report_open_error(entry, errno);
}

// Reserves a file's blocks before it is written, where the file system can: one allocation
// instead of one per written page, the file's size left as the writes make it. Only sizes the
// data can make are reserved: deflated data grows at most 1032 times, stored data not at all.
void preallocate(int fd, const unz_file_info64& info) {
  constexpr std::uint64_t kDeflateMostGrowth = 1032;
  const std::uint64_t size = info.uncompressed_size;
  const std::uint64_t growth = info.compression_method == 0 ? 1 : kDeflateMostGrowth;
  if (size < static_cast<std::uint64_t>(EXTRACT_BUFFER_SIZE) || size / growth > info.compressed_size ||
      size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return;
  }
  (void)fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
}

// Creates the output file `name` in `parent_fd`, never through a link. A new file is made
// with its final mode (the umask is 0 meanwhile, see extract_all_entries) unless a set-ID or
// sticky bit is in it (`mode_done` then says so); an existing one is truncated and keeps its
// mode until fchmod.
int create_output(int parent_fd, const std::string& name, mode_t mode, bool& mode_done) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
  mode_done = (mode & ~static_cast<mode_t>(0777)) == 0;
  if (mode_done) {
    const int fd = openat(parent_fd, name.c_str(), kFlags | O_EXCL, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
    mode_done = false;
  }
  return openat(parent_fd, name.c_str(), kFlags | O_TRUNC, 0600);
}

int extract_file(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                 DirectoryWalk& walk) {
  int err = UNZ_OK;
  std::uint64_t position = 0;
  if (!find_data(zip, position, err)) return err;  // Reported before anything is made.
  const std::vector<std::string> parts = file_system_parts(entry.name);
  // A name of nothing but "." parts names the payload directory itself, which no file can be.
  if (parts.empty()) return report_open_error(entry, EISDIR);
  int parent = walk.open(parts, parts.size() - 1, EXTRACT_DIR_MODE);
  if (parent < 0) return report_open_error(entry, errno);
  const mode_t mode = file_mode_of(entry, extraction_umask);
  bool mode_done = false;
  Fd out(create_output(parent, parts.back(), mode, mode_done));
  if (out.get() < 0 && out_of_descriptors(errno) && walk.kept() > 1) {
    parent = walk.open_alone(parts, parts.size() - 1, EXTRACT_DIR_MODE);
    if (parent < 0) return report_open_error(entry, errno);
    out.reset(create_output(parent, parts.back(), mode, mode_done));
  }
  if (out.get() < 0) return report_open_error(entry, errno);
  preallocate(out.get(), info);
  const WritingEntry writing(entry);

  {
    FileSink sink(out.get());
    err = unpack_data(zip, info, position, sink);
    if (err != UNZ_OK) {
      (void)sink.flush();  // What was read stays, as far as it goes.
      return err;
    }
    if (!sink.flush()) {
      report_write_error(errno);
      return UNZ_ERRNO;
    }
  }
  const time_t when = entry_time_in_loop(info.tmu_date);
  const timespec times[2] = {{when, 0}, {when, 0}};
  (void)futimens(out.get(), times);
  if (!mode_done) (void)fchmod(out.get(), mode);
  // Data that the file system takes only now is lost as surely as a failed write.
  errno = 0;
  if (close(out.release()) != 0) {
    report_write_error(errno);
    return UNZ_ERRNO;
  }
  return UNZ_OK;
}

int extract_link(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                 DirectoryWalk& walk) {
  std::string target;
  const int err = read_link_target(zip, entry, info, target);
  if (err != UNZ_OK) return err;
  const std::vector<std::string> parts = file_system_parts(entry.name);
  // A name of nothing but "." parts names the payload directory itself, which no file can be.
  if (parts.empty()) return report_open_error(entry, EISDIR);
  const int parent = walk.open(parts, parts.size() - 1, EXTRACT_DIR_MODE);
  if (parent < 0) return report_open_error(entry, errno);
  // Links get neither the entry's time nor a mode: both would apply to what they lead to.
  if (symlinkat(target.c_str(), parent, parts.back().c_str()) != 0) {
    return report_open_error(entry, errno);
  }
  return UNZ_OK;
}

}  // namespace

int extract_archive(const ArchiveSource& archive, int destination_fd, const char* destination) {
  ZipReader zip;
  const ArchiveOpen opened = zip.open(archive);
  if (opened == ArchiveOpen::kNotZip) return EXTRACT_ERR_OPEN;
  if (fchdir(destination_fd) != 0) {
    std::fprintf(extraction_output(), "Error changing into %s, aborting\n",
                 printable_text(destination).c_str());
    return EXTRACT_ERR_CHDIR;
  }
  if (opened == ArchiveOpen::kCutShort) {
    // The fields that the end cuts off would read as an archive without entries.
    std::fprintf(extraction_output(), "error %d with zipfile in unzGetGlobalInfo \n",
                 UNZ_BADZIPFILE);
    return EXTRACT_ERR_ENTRIES;
  }
  if (opened == ArchiveOpen::kEmpty) return EXTRACT_OK;
  destination_shown = destination;
  const int walked = extract_all_entries(zip, destination_fd);
  destination_shown = nullptr;
  return walked == 0 ? EXTRACT_OK : EXTRACT_ERR_ENTRIES;
}

namespace {

// Clears the process's umask for its life, so that a new file is created with exactly its final
// mode; meanwhile the saved umask is applied by hand (extraction_umask). Put back on every way
// out, before the caller prints or runs anything. Nothing but the entries is created meanwhile:
// the work directories and archive.zip exist before.
class ClearedUmask {
 public:
  ClearedUmask() { extraction_umask = umask(0); }
  ~ClearedUmask() { umask(extraction_umask); }
  ClearedUmask(const ClearedUmask&) = delete;
  ClearedUmask& operator=(const ClearedUmask&) = delete;
};

}  // namespace

int extract_all_entries(ZipReader& zip, int destination_fd) {
  const ClearedUmask cleared;
  EntryLoop loop;
  entry_loop = &loop;
  DirectoryWalk walk(destination_fd);
  const int result = zip.for_each_entry([&](const EntryFacts& entry, const unz_file_info64& info) {
    return extract_current_entry(zip, entry, info, walk);
  });
  entry_loop = nullptr;
  return result;
}

int extract_current_entry(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                          DirectoryWalk& walk) {
  if (const int refused = refuse_broken_entry(entry); refused != UNZ_OK) return refused;
  switch (entry_kind(entry)) {
    case EntryKind::kDirectory:
      return extract_directory(entry, walk);
    case EntryKind::kSymlink:
      return extract_link(zip, entry, info, walk);
    case EntryKind::kFile:
      break;
  }
  return extract_file(zip, entry, info, walk);
}

namespace {

// The date's fields as mktime takes them; the year as a full year or one counted from 1900.
std::tm broken_down(const tm_unz& date) {
  std::tm local = {};
  local.tm_sec = static_cast<int>(date.tm_sec);
  local.tm_min = static_cast<int>(date.tm_min);
  local.tm_hour = static_cast<int>(date.tm_hour);
  local.tm_mday = static_cast<int>(date.tm_mday);
  local.tm_mon = static_cast<int>(date.tm_mon);
  int year = static_cast<int>(date.tm_year);
  local.tm_year = year > 1900 ? year - 1900 : year;
  local.tm_isdst = -1;  // Let mktime decide whether summer time applies at that date.
  return local;
}

// The offset from UTC in force at `when`, in seconds east; false when it cannot be told.
// localtime_r uses the zone read before and does not look at the zone file again.
bool offset_at(time_t when, long& offset) {
  std::tm local;
  if (localtime_r(&when, &local) == nullptr) return false;
  offset = local.tm_gmtoff;
  return true;
}

// No two offsets from UTC differ by more than this (the widest apart are -12 and +14 hours).
constexpr time_t kWidestOffsetChange = 36 * 3600;

}  // namespace

LocalTimes::LocalTimes() { tzset(); }

time_t LocalTimes::convert(const tm_unz& date) {
  std::tm local = broken_down(date);
  std::tm utc = local;
  const time_t as_utc = timegm(&utc);  // The fields read as UTC (normalised as mktime does).
  if (known_ && as_utc != -1) {
    // The date read with the offset before; kept when that offset is the one in force then
    // and for long enough either side that no other reading of the date exists.
    const time_t when = as_utc - offset_;
    long at = 0, earlier = 0, later = 0;
    if (offset_at(when, at) && at == offset_ &&
        offset_at(when - kWidestOffsetChange, earlier) && earlier == offset_ &&
        offset_at(when + kWidestOffsetChange, later) && later == offset_) {
      before_ = local;
      primed_ = false;
      return when;
    }
  }
  ++slow_;
  if (!primed_ && known_) {
    std::tm again = before_;
    (void)std::mktime(&again);  // mktime starts from the offset of its last result.
  }
  before_ = local;
  const time_t when = std::mktime(&local);
  primed_ = true;
  known_ = when != -1 && offset_at(when, offset_);
  return when;
}

time_t entry_time(const tm_unz& date) {
  std::tm local = broken_down(date);
  return std::mktime(&local);
}
