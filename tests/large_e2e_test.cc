// A payload past the 2 GiB mark: an archive of more than 2 GiB that holds a stored entry of
// more than 2 GiB and a small entry stored behind it. The distributable runs as a user would;
// its payload command keeps hard links to the carved archive and to the unpacked files (they
// outlive the clean-up), and the test compares them byte for byte with what was packed. The
// stub's peak resident memory is reported next to that of a run with a tiny payload, and must
// not grow with the payload.
//
// Everything is written and compared in bounded chunks; nothing here holds the payload in
// memory. The test needs about 7 GB of free space under /tmp and skips itself otherwise.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <minizip/zip.h>
#include <sys/ptrace.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::TempDir;
using sfx_testing::WorkRootWatch;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kGiB = 1024 * kMiB;
constexpr std::uint64_t kChunk = 4 * kMiB;
// More than 2 GiB, not a multiple of the chunk or of any buffer size.
constexpr std::uint64_t kBigSize = 2 * kGiB + 3 * kMiB + 123;
// Packed file, carved copy and unpacked entry side by side, with room to spare.
constexpr std::uint64_t kSpaceNeeded = 12 * kGiB;

const char kScript[] =
    "#!/bin/sh\n"
    "ln ../archive.zip \"$1/carved.zip\" && ln big.bin \"$1/big.bin\" && "
    "ln after.txt \"$1/after.txt\"\n";
const char kAfterText[] = "stored behind the big entry\n";

// The big entry's bytes: zeros, except that each 4 KiB block begins with its own index, so
// that a block written in the wrong place or twice does not compare equal.
void fill_pattern(std::uint64_t offset, char* buffer, std::size_t size) {
  std::memset(buffer, 0, size);
  for (std::uint64_t at = (offset + 4095) / 4096 * 4096; at + 8 <= offset + size; at += 4096) {
    const std::uint64_t index = at / 4096;
    std::memcpy(buffer + (at - offset), &index, sizeof index);
  }
}

void add_entry(zipFile zip, const char* name, std::uint32_t mode, const std::string& data) {
  zip_fileinfo info = {};
  info.external_fa = mode << 16;
  ASSERT_EQ(zipOpenNewFileInZip64(zip, name, &info, nullptr, 0, nullptr, 0, nullptr, 0, 0, 0),
            ZIP_OK);
  ASSERT_EQ(zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size())), ZIP_OK);
  ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
}

// run.sh, big.bin (kBigSize bytes, stored, ZIP64), after.txt: written with minizip's zip API.
void write_large_zip(const std::string& path) {
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr);
  add_entry(zip, "run.sh", 0100755, kScript);
  zip_fileinfo info = {};
  info.external_fa = 0100644u << 16;
  ASSERT_EQ(zipOpenNewFileInZip64(zip, "big.bin", &info, nullptr, 0, nullptr, 0, nullptr,
                                  /*method=*/0, /*level=*/0, /*zip64=*/1),
            ZIP_OK);
  std::vector<char> chunk(kChunk);
  for (std::uint64_t done = 0; done < kBigSize;) {
    const std::size_t size = static_cast<std::size_t>(std::min(kChunk, kBigSize - done));
    fill_pattern(done, chunk.data(), size);
    ASSERT_EQ(zipWriteInFileInZip(zip, chunk.data(), static_cast<unsigned>(size)), ZIP_OK);
    done += size;
  }
  ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  add_entry(zip, "after.txt", 0100644, kAfterText);
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

std::uint64_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// Appends `count` bytes of `from` (from its start) to the open descriptor `to`.
void append_file(int to, const std::string& from, std::uint64_t count) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(in, 0) << from;
  std::uint64_t copied = 0;
  while (copied < count) {
    ssize_t n =
        copy_file_range(in, nullptr, to, nullptr,
                        static_cast<size_t>(std::min<std::uint64_t>(count - copied, kGiB)), 0);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << std::strerror(errno);
    copied += static_cast<std::uint64_t>(n);
  }
  close(in);
}

// Whether `count` bytes of `a` at `a_offset` equal `b` from its start; reports the first
// differing chunk.
::testing::AssertionResult same_bytes(const std::string& a, std::uint64_t a_offset,
                                      const std::string& b, std::uint64_t count) {
  int fa = open(a.c_str(), O_RDONLY | O_CLOEXEC);
  int fb = open(b.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> ba(kChunk), bb(kChunk);
  ::testing::AssertionResult result = ::testing::AssertionSuccess();
  for (std::uint64_t done = 0; done < count && result;) {
    const std::size_t size = static_cast<std::size_t>(std::min(kChunk, count - done));
    if (pread(fa, ba.data(), size, static_cast<off_t>(a_offset + done)) !=
            static_cast<ssize_t>(size) ||
        pread(fb, bb.data(), size, static_cast<off_t>(done)) != static_cast<ssize_t>(size) ||
        std::memcmp(ba.data(), bb.data(), size) != 0) {
      result = ::testing::AssertionFailure() << "differ in the chunk at " << done;
    }
    done += size;
  }
  close(fa);
  close(fb);
  return result;
}

::testing::AssertionResult holds_pattern(const std::string& path) {
  if (file_size(path) != kBigSize) {
    return ::testing::AssertionFailure() << path << " has " << file_size(path) << " bytes";
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> got(kChunk), want(kChunk);
  ::testing::AssertionResult result = ::testing::AssertionSuccess();
  for (std::uint64_t done = 0; done < kBigSize && result;) {
    const std::size_t size = static_cast<std::size_t>(std::min(kChunk, kBigSize - done));
    fill_pattern(done, want.data(), size);
    if (pread(fd, got.data(), size, static_cast<off_t>(done)) != static_cast<ssize_t>(size) ||
        std::memcmp(got.data(), want.data(), size) != 0) {
      result = ::testing::AssertionFailure() << "wrong bytes in the chunk at " << done;
    }
    done += size;
  }
  close(fd);
  return result;
}

struct MeasuredRun {
  int exit_code = -1;
  long peak_rss_kib = -1;  ///< The stub's own VmHWM at its exit, -1 when it was not seen.
  std::string out;
  std::string err;
};

// VmHWM of /proc/<pid>/status, in KiB, or -1.
long peak_rss_of(pid_t pid) {
  const std::string status = sfx_testing::read_file("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// Runs `path` with `args` from `cwd`, output to files in `cwd`, and reads the stub's own
// peak resident memory at its exit. (A forked child's rusage would also count the pages it
// shared with this test process before its exec.) The stub is traced only to be stopped at
// its exit; the leak check of a sanitizer build cannot run under a tracer and is switched off.
MeasuredRun run_measured(const std::string& path, const std::vector<std::string>& args,
                         const std::string& cwd) {
  const std::string out_path = cwd + "/stdout.txt";
  const std::string err_path = cwd + "/stderr.txt";
  std::vector<std::string> argv_text = {path};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string asan_options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(121);
    dup2(out, 1);
    dup2(err, 2);
    setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(path.c_str(), argv.data());
    _exit(122);
  }
  MeasuredRun run;
  int status = 0;
  bool first_stop = true;
  while (waitpid(child, &status, 0) == child) {
    if (WIFEXITED(status)) {
      run.exit_code = WEXITSTATUS(status);
      break;
    }
    if (WIFSIGNALED(status)) break;
    int forward = 0;
    if (first_stop) {
      // The stop after the exec: ask to be told when the stub exits.
      first_stop = false;
      ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACEEXIT);
    } else if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      run.peak_rss_kib = peak_rss_of(child);
    } else {
      forward = WSTOPSIG(status);  // An ordinary signal: deliver it.
    }
    ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(forward)));
  }
  run.out = sfx_testing::read_file(out_path);
  run.err = sfx_testing::read_file(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return run;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(LargeEndToEnd, PayloadPastTwoGibKeepsEveryByteWithFlatMemory) {
  struct statvfs fs;
  ASSERT_EQ(statvfs("/tmp", &fs), 0);
  const std::uint64_t free_bytes = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
  if (free_bytes < kSpaceNeeded) {
    GTEST_SKIP() << "needs " << kSpaceNeeded / kGiB << " GiB free under /tmp, " << free_bytes / kMiB
                 << " MiB are";
  }

  TempDir dir;
  const std::string keep = dir / "keep";
  ASSERT_EQ(mkdir(keep.c_str(), 0755), 0);

  // A baseline: the same payload command over a tiny payload.
  const std::string small_path = dir / "large_small.bin";
  {
    sfx_testing::ZipEntry script;
    script.name = "run.sh";
    script.data = "#!/bin/sh\nexit 0\n";
    script.unix_mode = 0100755;
    DistributableBuilder small;
    small.archive = sfx_testing::make_zip({script});
    small.command = "run.sh";
    small.write(small_path);
  }
  const MeasuredRun baseline = run_measured(small_path, {}, dir.path());
  ASSERT_EQ(baseline.exit_code, 0) << baseline.err;
  // Where tracing is not allowed (some sandboxes), the memory figures cannot be read; the
  // bytes are still checked.
  const bool measured = baseline.peak_rss_kib > 0;

  auto start = std::chrono::steady_clock::now();
  const std::string zip_path = dir / "payload.zip";
  write_large_zip(zip_path);
  if (HasFatalFailure()) return;
  const std::uint64_t archive_size = file_size(zip_path);
  ASSERT_GT(archive_size, 2 * kGiB);
  ASSERT_LT(archive_size, 4 * kGiB);  // archive_length is 32 bits wide

  // stub + archive + trailer, by concatenation.
  DistributableBuilder builder;
  builder.command = "run.sh %argv%";
  builder.archive_length = static_cast<std::uint32_t>(archive_size);
  const std::string trailer = builder.bytes().substr(builder.stub.size());
  const std::string path = dir / "large.bin";
  {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, builder.stub.data(), builder.stub.size()),
              static_cast<ssize_t>(builder.stub.size()));
    append_file(fd, zip_path, archive_size);
    if (HasFatalFailure()) return;
    ASSERT_EQ(write(fd, trailer.data(), trailer.size()), static_cast<ssize_t>(trailer.size()));
    ASSERT_EQ(close(fd), 0);
  }
  unlink(zip_path.c_str());
  std::cout << "packed " << archive_size << " bytes in " << seconds_since(start) << " s\n";

  WorkRootWatch watch;
  start = std::chrono::steady_clock::now();
  const MeasuredRun run = run_measured(path, {keep}, dir.path());
  const double run_seconds = seconds_since(start);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(watch.leftovers("large"), std::vector<std::string>{});

  start = std::chrono::steady_clock::now();
  EXPECT_EQ(file_size(keep + "/carved.zip"), archive_size);
  EXPECT_TRUE(same_bytes(path, builder.stub.size(), keep + "/carved.zip", archive_size));
  EXPECT_TRUE(holds_pattern(keep + "/big.bin"));
  EXPECT_EQ(sfx_testing::read_file(keep + "/after.txt"), kAfterText);
  std::cout << "run " << run_seconds << " s, compared in " << seconds_since(start) << " s\n";

  if (!measured) {
    std::cout << "peak RSS not measured: the stub cannot be traced here\n";
    return;
  }
  std::cout << "peak RSS: " << baseline.peak_rss_kib << " KiB with a tiny payload, "
            << run.peak_rss_kib << " KiB with " << archive_size << " bytes\n";
  RecordProperty("peak_rss_kib_tiny", std::to_string(baseline.peak_rss_kib));
  RecordProperty("peak_rss_kib_large", std::to_string(run.peak_rss_kib));
  // Memory must not follow the payload's size: a few MiB of slack for the C library's and
  // the sanitizers' own bookkeeping, against the 2 GiB that holding the entry would take.
  EXPECT_GT(run.peak_rss_kib, 0);
  EXPECT_LT(run.peak_rss_kib, baseline.peak_rss_kib + 16 * 1024);
}

}  // namespace
