// Copies a range of a file to a new file with copy_file_range and with pread/write through
// one 256 KiB buffer, in alternating rounds, and prints the median, fastest and slowest round
// of each. Before every round the previous copy is removed and every dirty page written back
// (sync, not timed), so that no round pays for another's write-back; with "cold" the source is
// also dropped from the page cache (posix_fadvise POSIX_FADV_DONTNEED). The timed part is
// what the stub does: create the file, copy, close; nothing is synced.
//
//   bench_copy SOURCE OFFSET LENGTH OUT_DIR [ROUNDS] [cold]      (default 9 rounds)

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kBlockSize = 256 * 1024;

bool copy_kernel(int in, off_t offset, int out, std::uint64_t length) {
  loff_t in_offset = offset;
  for (std::uint64_t copied = 0; copied < length;) {
    size_t want = static_cast<size_t>(std::min<std::uint64_t>(length - copied, 1u << 30));
    ssize_t n = copy_file_range(in, &in_offset, out, nullptr, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    copied += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool copy_blocks(int in, off_t offset, int out, std::uint64_t length) {
  std::unique_ptr<char[]> buffer(new char[kBlockSize]);
  for (std::uint64_t copied = 0; copied < length;) {
    size_t want = static_cast<size_t>(std::min<std::uint64_t>(length - copied, kBlockSize));
    ssize_t got = pread(in, buffer.get(), want, offset + static_cast<off_t>(copied));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(out, buffer.get() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += put;
    }
    copied += static_cast<std::uint64_t>(got);
  }
  return true;
}

struct Method {
  const char* label;
  bool (*copy)(int, off_t, int, std::uint64_t);
  std::vector<double> times;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s SOURCE OFFSET LENGTH OUT_DIR [ROUNDS] [cold]\n", argv[0]);
    return 2;
  }
  off_t offset = static_cast<off_t>(std::strtoll(argv[2], nullptr, 10));
  std::uint64_t length = std::strtoull(argv[3], nullptr, 10);
  std::string target = std::string(argv[4]) + "/bench_copy.out";
  int rounds = argc > 5 ? std::atoi(argv[5]) : 9;
  bool cold = argc > 6 && std::strcmp(argv[6], "cold") == 0;
  int in = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    std::perror(argv[1]);
    return 1;
  }
  Method methods[] = {{"copy_file_range", copy_kernel, {}},
                      {"pread/write 256 KiB", copy_blocks, {}}};
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < 2; ++i) {
      Method& method = methods[(round + i) % 2];  // Each goes first in every other round.
      unlink(target.c_str());
      sync();
      if (cold) posix_fadvise(in, 0, 0, POSIX_FADV_DONTNEED);
      auto start = std::chrono::steady_clock::now();
      int out = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      bool copied = out >= 0 && method.copy(in, offset, out, length);
      if (out >= 0 && close(out) != 0) copied = false;
      auto end = std::chrono::steady_clock::now();
      if (!copied) {
        std::fprintf(stderr, "%s: %s failed: %s\n", argv[0], method.label, std::strerror(errno));
        unlink(target.c_str());
        return 1;
      }
      method.times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
  }
  unlink(target.c_str());
  close(in);
  std::printf("%.1f MB copied, page cache %s, %d rounds each\n", static_cast<double>(length) / 1e6,
              cold ? "cold (source dropped before each round)" : "warm", rounds);
  for (Method& method : methods) {
    std::sort(method.times.begin(), method.times.end());
    std::printf("%-22s median %8.1f ms  (min %8.1f, max %8.1f)\n", method.label,
                method.times[method.times.size() / 2], method.times.front(), method.times.back());
  }
  return 0;
}
