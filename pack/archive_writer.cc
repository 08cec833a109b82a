#include "pack/archive_writer.h"

#include <fcntl.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "pack/zip_window.h"

namespace {

// Deflate's window: each piece is primed with this many bytes of the file before it.
constexpr std::uint64_t DICTIONARY_SIZE = 32 * 1024;
// Pieces are deflated in blocks of this size, each first probed for random-looking bytes.
constexpr std::uint64_t PROBE_BLOCK_SIZE = 64 * 1024;
// Bits per byte from which a block may be random (random bytes give about 7.997 bits in a
// block of 64 KiB; text about 5, machine code about 6).
constexpr double MIN_RANDOM_ENTROPY = 7.99;
constexpr int PROBE_TABLE_BITS = 14;
// Buffer for reading a file again when it is stored after all.
constexpr std::size_t REREAD_BUFFER_SIZE = 1024 * 1024;
// "Version made by": Unix (3), format 2.0.
constexpr uLong VERSION_MADE_BY = (3 << 8) | 20;
// MS-DOS attribute bits kept in the lower half of the external attributes.
constexpr uLong DOS_READ_ONLY = 0x01;
constexpr uLong DOS_DIRECTORY = 0x10;

struct FdCloser {
  int fd = -1;
  explicit FdCloser(int descriptor) : fd(descriptor) {}
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
};

std::uint64_t chunk_count(std::uint64_t size, std::uint64_t chunk_size) {
  return (size + chunk_size - 1) / chunk_size;
}

// More than the deflated size of `size` bytes cut into pieces: zlib's own bound is the length
// plus about 1/4096 plus a few bytes per stream, and a sync flush adds at most 6 more.
std::uint64_t deflated_bound(std::uint64_t size, std::uint64_t chunk_size) {
  return size + (size >> 8) + 64 * chunk_count(size, chunk_size);
}

// The CRC-32 of two stretches of bytes, from the CRC-32 of each.
std::uint32_t combine_crc(std::uint32_t first, std::uint32_t second, std::uint64_t second_length) {
  return static_cast<std::uint32_t>(
      crc32_combine(first, second, static_cast<z_off_t>(second_length)));
}

std::string read_fault(const std::string& path, int error_number) {
  return "cannot read " + quoted(path) + ": " + error_text(error_number);
}

std::string changed_fault(const std::string& path) {
  return quoted(path) + " changed while it was being packed";
}

// Reads exactly `size` bytes at `offset`; false with errno set (0 for a file that ended).
bool read_at(int fd, char* buffer, std::uint64_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t got = pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = 0;
      return false;
    }
    buffer += got;
    size -= static_cast<std::uint64_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// One piece of a file and what became of it.
struct ChunkResult {
  std::string data;  // Raw deflate, or the piece unchanged when `stored`.
  std::uint32_t crc = 0;
  std::uint64_t length = 0;
  bool stored = false;
  std::string error;  // Set when the piece could not be read.
};

// Deflates pieces of files with one reusable zlib stream.
class ChunkCompressor {
 public:
  explicit ChunkCompressor(int level) : level_(level), current_level_(level) {
    if (level_ > 0) {
      ready_ =
          deflateInit2(&stream_, level_, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
  }
  ~ChunkCompressor() {
    if (ready_) deflateEnd(&stream_);
  }
  ChunkCompressor(const ChunkCompressor&) = delete;
  ChunkCompressor& operator=(const ChunkCompressor&) = delete;

  // Reads [offset, offset + length) of `fd` (opened from `path`), and deflates it primed with
  // the bytes before it, ending on a byte boundary (a sync flush) or, for the last piece of a
  // file, with the final block. `keep_smaller` stores a piece that does not shrink.
  ChunkResult run(int fd, const std::string& path, std::uint64_t offset, std::uint64_t length,
                  bool last, bool keep_smaller) {
    ChunkResult result;
    result.length = length;
    const std::uint64_t dictionary = level_ > 0 ? std::min(offset, DICTIONARY_SIZE) : 0;
    input_.resize(dictionary + length);
    if (!read_at(fd, input_.data(), dictionary + length, offset - dictionary)) {
      result.error = errno == 0 ? changed_fault(path) : read_fault(path, errno);
      return result;
    }
    const Bytef* piece = reinterpret_cast<const Bytef*>(input_.data() + dictionary);
    result.crc = static_cast<std::uint32_t>(crc32_z(0, piece, length));
    if (level_ == 0) {
      result.data.assign(input_.data() + dictionary, length);
      result.stored = true;
      return result;
    }
    if (!ready_ || !deflate_piece(piece, length, dictionary, last, result.data)) {
      result.error = "the compressor failed on " + quoted(path);
      return result;
    }
    if (keep_smaller && result.data.size() >= length) {
      result.data.assign(input_.data() + dictionary, length);
      result.stored = true;
    }
    return result;
  }

 private:
  bool deflate_piece(const Bytef* piece, std::uint64_t length, std::uint64_t dictionary, bool last,
                     std::string& out) {
    if (deflateReset(&stream_) != Z_OK) return false;
    out.resize(static_cast<size_t>(deflateBound(&stream_, length)) + 64);
    produced_ = 0;
    if (current_level_ != level_ && !set_level(level_, out)) return false;
    if (dictionary > 0 &&
        deflateSetDictionary(&stream_, piece - dictionary, static_cast<uInt>(dictionary)) != Z_OK) {
      return false;
    }
    // Stretches of random-looking bytes (compressed or encrypted data) are passed through as
    // stored blocks: deflate would search them for matches only to store them anyway.
    for (std::uint64_t done = 0; done < length;) {
      const std::uint64_t size = std::min<std::uint64_t>(PROBE_BLOCK_SIZE, length - done);
      const Bytef* block = piece + done;
      const std::uint64_t history = std::min<std::uint64_t>(DICTIONARY_SIZE, dictionary + done);
      const int wanted = looks_incompressible(block, history, size) ? 0 : level_;
      if (wanted != current_level_ && !set_level(wanted, out)) return false;
      stream_.next_in = const_cast<Bytef*>(block);
      stream_.avail_in = static_cast<uInt>(size);
      while (stream_.avail_in > 0) {
        if (!pump(Z_NO_FLUSH, out)) return false;
      }
      done += size;
    }
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      const int result = pump(flush, out);
      if (result == 0) return false;
      if (last ? result == Z_STREAM_END + 1 : stream_.avail_out > 0) break;
    }
    out.resize(produced_);
    return true;
  }

  // One deflate call with room for its output in `out`; returns 0 on failure, otherwise the
  // zlib result plus one.
  int pump(int flush, std::string& out) {
    if (out.size() - produced_ < 1024) out.resize(out.size() * 2);
    stream_.next_out = reinterpret_cast<Bytef*>(out.data() + produced_);
    stream_.avail_out = static_cast<uInt>(out.size() - produced_);
    const int result = deflate(&stream_, flush);
    produced_ = out.size() - stream_.avail_out;
    return result == Z_STREAM_ERROR ? 0 : result + 1;
  }

  bool set_level(int level, std::string& out) {
    for (;;) {
      if (out.size() - produced_ < 1024) out.resize(std::max<std::size_t>(out.size() * 2, 4096));
      stream_.next_out = reinterpret_cast<Bytef*>(out.data() + produced_);
      stream_.avail_out = static_cast<uInt>(out.size() - produced_);
      const int result = deflateParams(&stream_, level, Z_DEFAULT_STRATEGY);
      produced_ = out.size() - stream_.avail_out;
      if (result == Z_OK) break;
      if (result != Z_BUF_ERROR) return false;
    }
    current_level_ = level;
    return true;
  }

  // True when `size` bytes at `block` look random: every byte value about equally frequent
  // and no stretch of 11 bytes or more repeated from the block or the `history` bytes before
  // it (a repeated pattern can have evenly spread byte values yet deflate to nearly nothing).
  bool looks_incompressible(const Bytef* block, std::uint64_t history, std::uint64_t size) {
    if (size < PROBE_BLOCK_SIZE / 2) return false;
    std::uint32_t counts[256] = {};
    for (std::uint64_t i = 0; i < size; ++i) ++counts[block[i]];
    double entropy = 0;
    for (const std::uint32_t count : counts) {
      if (count == 0) continue;
      const double p = static_cast<double>(count) / static_cast<double>(size);
      entropy -= p * std::log2(p);
    }
    if (entropy < MIN_RANDOM_ENTROPY) return false;
    // The 8-byte sequences at every fourth position of the history and the block go into a
    // table; a repeat at least 11 bytes long then meets one of them.
    std::fill(table_.begin(), table_.end(), 0);
    const Bytef* begin = block - history;
    const std::uint64_t end = history + size - 8;
    std::uint64_t repeats = 0;
    for (std::uint64_t at = 0; at < end; ++at) {
      std::uint64_t sequence;
      std::memcpy(&sequence, begin + at, sizeof sequence);
      std::uint64_t& slot = table_[(sequence * 0x9E3779B97F4A7C15ull) >> (64 - PROBE_TABLE_BITS)];
      if (at >= history && slot == sequence && sequence != 0 && ++repeats > size / 1024) {
        return false;
      }
      if (at % 4 == 0) slot = sequence;
    }
    return true;
  }

  const int level_;
  int current_level_;
  z_stream stream_ = {};
  bool ready_ = false;
  std::string input_;
  std::size_t produced_ = 0;
  std::vector<std::uint64_t> table_ = std::vector<std::uint64_t>(1u << PROBE_TABLE_BITS);
};

// Compresses the pieces of every file, in order, on `jobs` threads, and hands the results out
// in that same order. At most `window` pieces are between being picked up and handed out.
class ChunkPipeline {
 public:
  ChunkPipeline(const std::vector<PackEntry>& entries, const ArchiveOptions& options)
      : entries_(entries), options_(options), window_(2 * static_cast<std::size_t>(options.jobs)) {
    ring_.resize(window_);
    skip_empty();
    for (int i = 0; i < options.jobs; ++i) threads_.emplace_back([this] { work(); });
  }
  ~ChunkPipeline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }
  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  // The next piece in order, waiting for it if need be.
  ChunkResult take() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<ChunkResult>& slot = ring_[consumed_ % window_];
    result_ready_.wait(lock, [&] { return slot.has_value(); });
    ChunkResult result = std::move(*slot);
    slot.reset();
    ++consumed_;
    lock.unlock();
    work_ready_.notify_all();
    return result;
  }

 private:
  struct Job {
    std::size_t entry;
    std::uint64_t offset;
    std::uint64_t length;
    bool last;
    bool only;  // The file's one piece: its method is settled here.
  };

  // Moves the cursor past directories and empty files, which have no pieces.
  void skip_empty() {
    while (next_entry_ < entries_.size() &&
           (entries_[next_entry_].is_directory || entries_[next_entry_].is_link ||
            entries_[next_entry_].size == 0)) {
      ++next_entry_;
    }
  }

  Job next_job() {
    const PackEntry& entry = entries_[next_entry_];
    Job job{next_entry_, next_offset_, std::min(options_.chunk_size, entry.size - next_offset_),
            false, false};
    job.last = job.offset + job.length == entry.size;
    job.only = job.last && job.offset == 0;
    if (job.last) {
      ++next_entry_;
      next_offset_ = 0;
      skip_empty();
    } else {
      next_offset_ += job.length;
    }
    return job;
  }

  void work() {
    ChunkCompressor compressor(options_.level);
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_.wait(lock, [&] {
        return stopping_ || next_entry_ == entries_.size() || issued_ < consumed_ + window_;
      });
      if (stopping_ || next_entry_ == entries_.size()) return;
      const Job job = next_job();
      const std::uint64_t sequence = issued_++;
      lock.unlock();

      const std::string& path = entries_[job.entry].path;
      ChunkResult result;
      const FdCloser fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
      if (fd.fd < 0) {
        result.error = read_fault(path, errno);
      } else {
        result = compressor.run(fd.fd, path, job.offset, job.length, job.last, job.only);
      }

      lock.lock();
      ring_[sequence % window_] = std::move(result);
      lock.unlock();
      result_ready_.notify_all();
    }
  }

  const std::vector<PackEntry>& entries_;
  const ArchiveOptions options_;
  const std::size_t window_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable result_ready_;
  std::vector<std::optional<ChunkResult>> ring_;
  std::size_t next_entry_ = 0;
  std::uint64_t next_offset_ = 0;
  std::uint64_t issued_ = 0;
  std::uint64_t consumed_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Writes the entries through minizip in raw mode: the data arrives compressed already.
class ZipOutput {
 public:
  ZipOutput(std::FILE* file, std::uint64_t max_length) : max_length_(max_length) {
    window_.file = file;
    const off_t start = ftello(file);
    if (start < 0) {
      window_.error_number = errno;
      return;
    }
    window_.base = static_cast<std::uint64_t>(start);
    zlib_filefunc64_def functions;
    fill_window_functions(&window_, &functions);
    zip_ = zipOpen2_64("", APPEND_STATUS_CREATE, nullptr, &functions);
  }
  ~ZipOutput() {
    if (zip_ != nullptr) zipClose(zip_, nullptr);
  }
  ZipOutput(const ZipOutput&) = delete;
  ZipOutput& operator=(const ZipOutput&) = delete;

  Status opened() const { return zip_ != nullptr ? Status::ok() : write_fault(); }

  Status open_entry(const PackEntry& entry, bool deflated, int level) {
    zip_fileinfo info = {};
    info.dosDate = dos_date_time(entry.mtime);
    info.external_fa = (static_cast<uLong>(entry.mode) << 16) |
                       (entry.is_directory ? DOS_DIRECTORY : 0) |
                       ((entry.mode & S_IWUSR) == 0 ? DOS_READ_ONLY : 0);
    // No entry needs the ZIP64 fields: files of 4 GiB or more are refused when the source is
    // read, and the archive stays below 4 GiB.
    const int zip64 = 0;
    const int result = zipOpenNewFileInZip4_64(
        zip_, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, deflated ? Z_DEFLATED : 0,
        deflated ? level : 0, /*raw=*/1, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0,
        VERSION_MADE_BY, 0, zip64);
    return result == ZIP_OK ? check_length() : write_fault();
  }

  Status write(const std::string& data) { return write(data.data(), data.size()); }
  Status write(const char* data, std::size_t size) {
    if (size > 0 && zipWriteInFileInZip(zip_, data, static_cast<unsigned>(size)) != ZIP_OK) {
      return write_fault();
    }
    return check_length();
  }

  Status close_entry(std::uint64_t size, std::uint32_t crc) {
    if (zipCloseFileInZipRaw64(zip_, size, crc) != ZIP_OK) return write_fault();
    return check_length();
  }

  // Writes the central directory; on success sets `length`.
  Status finish(const std::string& comment, std::uint64_t& length) {
    const int result = zipClose(zip_, comment.empty() ? nullptr : comment.c_str());
    zip_ = nullptr;
    if (result != ZIP_OK) return write_fault();
    Status status = check_length();
    if (!status.is_ok()) return status;
    length = window_.length;
    return Status::ok();
  }

 private:
  Status write_fault() const {
    const int error_number = window_.error_number;
    return Status::input_fault("cannot write the archive: " + (error_number != 0
                                                                   ? error_text(error_number)
                                                                   : std::string("write failed")));
  }

  Status check_length() const {
    if (window_.length <= max_length_) return Status::ok();
    return Status::input_fault("the archive would be longer than " + std::to_string(max_length_) +
                               " bytes, the most a distributable file can carry");
  }

  ZipWindow window_;
  zipFile zip_ = nullptr;
  const std::uint64_t max_length_;
};

class ArchiveWriter {
 public:
  ArchiveWriter(const std::vector<PackEntry>& entries, const ArchiveOptions& options,
                std::FILE* file)
      : entries_(entries), options_(options), output_(file, options.max_length) {}

  Status run(std::uint64_t& archive_length) {
    Status status = output_.opened();
    if (!status.is_ok()) return status;
    ChunkPipeline pipeline(entries_, options_);
    for (const PackEntry& entry : entries_) {
      if (entry.is_link) {
        status = write_link(entry);
      } else if (entry.is_directory || entry.size == 0) {
        status = write_empty(entry);
      } else {
        status = write_file(entry, pipeline);
      }
      if (status.is_ok() && !entry.is_directory && !entry.is_link) status = check_unchanged(entry);
      if (!status.is_ok()) return status;
    }
    return output_.finish(options_.comment, archive_length);
  }

 private:
  // Every piece of the file has been read: it must still be the file the scan saw, with its size
  // and time, or what was packed may be a mix of old and new bytes, or cut short.
  static Status check_unchanged(const PackEntry& entry) {
    struct stat info;
    if (stat(entry.path.c_str(), &info) != 0) {
      return Status::input_fault(read_fault(entry.path, errno));
    }
    if (static_cast<std::uint64_t>(info.st_size) != entry.size ||
        info.st_dev != entry.seen_device || info.st_ino != entry.seen_inode ||
        info.st_mtim.tv_sec != entry.seen_mtime.tv_sec ||
        info.st_mtim.tv_nsec != entry.seen_mtime.tv_nsec) {
      return Status::input_fault(changed_fault(entry.path));
    }
    return Status::ok();
  }

  void report(std::uint64_t bytes) const {
    if (options_.progress != nullptr) options_.progress->add(bytes);
  }

  // A symbolic link as other unpackers store it: its target, stored, is the entry's data.
  Status write_link(const PackEntry& entry) {
    Status status = output_.open_entry(entry, false, 0);
    if (status.is_ok()) status = output_.write(entry.link_target);
    if (!status.is_ok()) return status;
    const auto crc = static_cast<std::uint32_t>(crc32_z(
        0, reinterpret_cast<const Bytef*>(entry.link_target.data()), entry.link_target.size()));
    return output_.close_entry(entry.link_target.size(), crc);
  }

  Status write_empty(const PackEntry& entry) {
    Status status = output_.open_entry(entry, false, 0);
    return status.is_ok() ? output_.close_entry(0, 0) : status;
  }

  Status write_file(const PackEntry& entry, ChunkPipeline& pipeline) {
    const std::uint64_t chunks = chunk_count(entry.size, options_.chunk_size);
    if (chunks == 1) {
      ChunkResult piece = pipeline.take();
      if (!piece.error.empty()) return Status::input_fault(piece.error);
      report(piece.length);
      Status status = output_.open_entry(entry, !piece.stored, options_.level);
      if (status.is_ok()) status = output_.write(piece.data);
      return status.is_ok() ? output_.close_entry(entry.size, piece.crc) : status;
    }

    // Several pieces: deflate is chosen as soon as it is sure to end up smaller than the file
    // whatever the rest holds; until then the pieces are held, and past `held_chunks` only
    // measured, the file being read again at the end to store or deflate it.
    enum class Plan { kUndecided, kDeflate, kStore, kMeasure };
    Plan plan = options_.level == 0 ? Plan::kStore : Plan::kUndecided;
    Status status;
    if (plan == Plan::kStore) status = output_.open_entry(entry, false, 0);
    std::vector<std::string> held;
    std::uint64_t read = 0;
    std::uint64_t deflated = 0;
    std::uint32_t crc = 0;
    for (std::uint64_t i = 0; i < chunks && status.is_ok(); ++i) {
      ChunkResult piece = pipeline.take();
      if (!piece.error.empty()) return Status::input_fault(piece.error);
      report(piece.length);
      crc = combine_crc(crc, piece.crc, piece.length);
      read += piece.length;
      deflated += piece.data.size();
      switch (plan) {
        case Plan::kDeflate:
        case Plan::kStore:
          status = output_.write(piece.data);
          break;
        case Plan::kMeasure:
          break;
        case Plan::kUndecided:
          held.push_back(std::move(piece.data));
          if (deflated + deflated_bound(entry.size - read, options_.chunk_size) < entry.size) {
            plan = Plan::kDeflate;
            status = output_.open_entry(entry, true, options_.level);
            for (const std::string& data : held) {
              if (status.is_ok()) status = output_.write(data);
            }
            held.clear();
          } else if (held.size() >= options_.held_chunks) {
            plan = Plan::kMeasure;
            held.clear();
          }
          break;
      }
    }
    if (!status.is_ok()) return status;
    switch (plan) {
      case Plan::kDeflate:
      case Plan::kStore:
        return output_.close_entry(entry.size, crc);
      case Plan::kMeasure:
        if (deflated < entry.size) return rewrite(entry, true, crc);
        return rewrite(entry, false, crc);
      case Plan::kUndecided:
        break;
    }
    // Every piece was held and deflate did not shrink the file.
    return rewrite(entry, false, crc);
  }

  // Reads the file again and writes it deflated (on this thread, piece by piece exactly as the
  // pipeline would) or stored. The file must still match the CRC-32 `expected_crc`.
  Status rewrite(const PackEntry& entry, bool deflated, std::uint32_t expected_crc) {
    const FdCloser fd(open(entry.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return Status::input_fault(read_fault(entry.path, errno));
    Status status = output_.open_entry(entry, deflated, options_.level);
    std::uint32_t crc = 0;
    std::uint64_t offset = 0;
    std::optional<ChunkCompressor> compressor;
    std::string buffer;
    if (deflated) {
      compressor.emplace(options_.level);
    } else {
      buffer.resize(REREAD_BUFFER_SIZE);
    }
    while (status.is_ok() && offset < entry.size) {
      if (deflated) {
        const std::uint64_t length = std::min(options_.chunk_size, entry.size - offset);
        ChunkResult piece = compressor->run(fd.fd, entry.path, offset, length,
                                            offset + length == entry.size, false);
        if (!piece.error.empty()) return Status::input_fault(piece.error);
        crc = combine_crc(crc, piece.crc, length);
        status = output_.write(piece.data);
        offset += length;
      } else {
        const std::uint64_t length = std::min<std::uint64_t>(buffer.size(), entry.size - offset);
        if (!read_at(fd.fd, buffer.data(), length, offset)) {
          return Status::input_fault(errno == 0 ? changed_fault(entry.path)
                                                : read_fault(entry.path, errno));
        }
        crc = static_cast<std::uint32_t>(
            crc32_z(crc, reinterpret_cast<const Bytef*>(buffer.data()), length));
        status = output_.write(buffer.data(), length);
        offset += length;
      }
    }
    if (!status.is_ok()) return status;
    if (crc != expected_crc) return Status::input_fault(changed_fault(entry.path));
    return output_.close_entry(entry.size, crc);
  }

  const std::vector<PackEntry>& entries_;
  const ArchiveOptions options_;
  ZipOutput output_;
};

}  // namespace

std::uint32_t dos_date_time(std::int64_t time) {
  constexpr std::uint32_t EARLIEST = (1u + (1u << 5)) << 16;  // 1980-01-01 00:00:00
  constexpr std::uint32_t LATEST =
      ((31u + (12u << 5) + (127u << 9)) << 16) | (29u + (59u << 5) + (23u << 11));
  const std::time_t value = static_cast<std::time_t>(time);
  std::tm local = {};
  if (localtime_r(&value, &local) == nullptr) return time < 0 ? EARLIEST : LATEST;
  if (local.tm_year < 80) return EARLIEST;
  if (local.tm_year > 207) return LATEST;
  const auto date = static_cast<std::uint32_t>(local.tm_mday + ((local.tm_mon + 1) << 5) +
                                               ((local.tm_year - 80) << 9));
  const auto clock =
      static_cast<std::uint32_t>(local.tm_sec / 2 + (local.tm_min << 5) + (local.tm_hour << 11));
  return (date << 16) | clock;
}

std::uint64_t stored_archive_length(const std::vector<PackEntry>& entries,
                                    std::size_t comment_size) {
  constexpr std::uint64_t LOCAL_HEADER = 30;
  constexpr std::uint64_t CENTRAL_HEADER = 46;
  constexpr std::uint64_t END_RECORD = 22;
  std::uint64_t length = END_RECORD + comment_size;
  for (const PackEntry& entry : entries) {
    length += LOCAL_HEADER + CENTRAL_HEADER + 2 * entry.name.size() + entry.size;
  }
  return length;
}

Status write_archive(const std::vector<PackEntry>& entries, const ArchiveOptions& options,
                     std::FILE* file, std::uint64_t& archive_length) {
  ArchiveWriter writer(entries, options, file);
  return writer.run(archive_length);
}
