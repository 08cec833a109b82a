// Decodes every entry of a ZIP archive with decode_entry (the fast engine) and with
// decode_entry_zlib, into nothing, in alternating rounds, and prints the median, fastest and
// slowest round of each, and the driver's peak resident set. The archive is read once before
// timing, so its pages are cached and the rounds measure inflate and CRC-32 work, not the disk.
//
//   bench_inflate ARCHIVE [ROUNDS]      (default 15 rounds)

#include <fcntl.h>
#include <minizip/unzip.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "extract/entry_data.h"

namespace {

class DiscardSink : public EntrySink {
 public:
  bool write(const unsigned char*, size_t size) override {
    bytes += size;
    return true;
  }
  std::uint64_t bytes = 0;
};

struct ArchiveCloser {
  void operator()(void* zip) const { unzClose(zip); }
};

// Where each entry's data lies, as the ZIP library finds it.
bool list_entries(const char* path, int fd, std::vector<EntryData>& entries) {
  std::unique_ptr<void, ArchiveCloser> zip(unzOpen64(path));
  if (!zip) return false;
  for (int status = unzGoToFirstFile(zip.get()); status == UNZ_OK;
       status = unzGoToNextFile(zip.get())) {
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
        unzOpenCurrentFile2(zip.get(), nullptr, nullptr, 1) != UNZ_OK) {
      return false;
    }
    EntryData entry;
    entry.fd = fd;
    entry.offset = unzGetCurrentFileZStreamPos64(zip.get());
    entry.compressed_size = info.compressed_size;
    entry.method = static_cast<int>(info.compression_method);
    entry.uncompressed_size = info.uncompressed_size;
    entry.crc = static_cast<std::uint32_t>(info.crc);
    unzCloseCurrentFile(zip.get());
    entries.push_back(entry);
  }
  return true;
}

// Decodes every entry once; returns the time in milliseconds, or -1 when an entry fails.
double decode_all(const std::vector<EntryData>& entries,
                  int (*decode)(const EntryData&, EntrySink&), std::uint64_t& bytes) {
  DiscardSink sink;
  auto start = std::chrono::steady_clock::now();
  for (const EntryData& entry : entries) {
    if (decode(entry, sink) != ENTRY_DATA_OK) return -1;
  }
  bytes = sink.bytes;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Prints the median, fastest and slowest of `times` and returns the median.
double print_times(const char* label, std::vector<double> times, std::uint64_t bytes) {
  std::sort(times.begin(), times.end());
  double median = times[times.size() / 2];
  std::printf("%-24s median %7.1f ms  (min %7.1f, max %7.1f)  %7.0f MB/s\n", label, median,
              times.front(), times.back(), static_cast<double>(bytes) / 1e3 / median);
  return median;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE [ROUNDS]\n", argv[0]);
    return 2;
  }
  int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  std::vector<EntryData> entries;
  if (fd < 0 || !list_entries(argv[1], fd, entries)) {
    std::fprintf(stderr, "%s: cannot read the archive %s\n", argv[0], argv[1]);
    return 1;
  }
  std::uint64_t largest = 0;
  for (const EntryData& entry : entries) largest = std::max(largest, entry.uncompressed_size);
  std::uint64_t bytes = 0;
  // One round of each first: the archive's pages come into the cache, nothing is timed.
  if (decode_all(entries, decode_entry, bytes) < 0 ||
      decode_all(entries, decode_entry_zlib, bytes) < 0) {
    std::fprintf(stderr, "%s: an entry does not decode\n", argv[0]);
    return 1;
  }
  std::vector<double> fast;
  std::vector<double> zlib;
  for (int round = 0; round < rounds; ++round) {
    fast.push_back(decode_all(entries, decode_entry, bytes));
    zlib.push_back(decode_all(entries, decode_entry_zlib, bytes));
  }
  close(fd);
  std::printf("%zu entries, %.1f MB decoded per round, %d rounds each\n", entries.size(),
              static_cast<double>(bytes) / 1e6, rounds);
  double fast_median = print_times(
      entry_data_fast_engine() ? "fast engine" : "fast engine (off: zlib)", fast, bytes);
  double zlib_median = print_times("zlib inflate and CRC-32", zlib, bytes);
  std::printf("zlib / fast engine: %.2fx by median\n", zlib_median / fast_median);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak RSS of this driver: %ld KiB (largest entry %.1f MB)\n", usage.ru_maxrss,
              static_cast<double>(largest) / 1e6);
  return 0;
}
