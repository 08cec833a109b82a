// Truncated and corrupted distributable files, run as a user would. A small distributable is
// cut at every offset of its last 700 bytes, and every bit of its archive and of the binary
// fields of its trailer is flipped in turn. Every run must end with its documented exit status
// and clean messages: never by a signal, never with a sanitizer report, never with corrupted
// data handed to the payload, and never leaving a "/tmp/sfxter_" directory behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::TempDir;
using sfx_testing::WorkRootWatch;
using sfx_testing::ZipEntry;

// The payload prints data.txt; a run that succeeds must print exactly this.
const char kData[] =
    "payload data that must reach the payload command intact\n"
    "0123456789abcdefghijklmnopqrstuvwxyz\n";
const char kNoTrailer[] =
    "-E- Failed to find version pattern, qvr_fwsfx_gen is older than expected : '2.0', make "
    "sure to have the latest PVK\n";
constexpr std::size_t kCutRange = 700;
constexpr std::size_t kMaxReported = 20;
// Runs at once: the stub starts slowly under the sanitizers, and these are hundreds of runs.
constexpr int kWorkers = 2;

// A ZIP entry with `mode` as its stored Unix mode.
ZipEntry entry(const std::string& name, const std::string& data, std::uint32_t mode = 0100644,
               bool deflate = true) {
  ZipEntry e;
  e.name = name;
  e.data = data;
  e.unix_mode = mode;
  e.deflate = deflate;
  return e;
}

// run.sh deflated, data.txt stored: corruption reaches both the inflater and a plain copy.
std::string sweep_archive() {
  return sfx_testing::make_zip({entry("run.sh", "#!/bin/sh\nexec cat data.txt\n", 0100755),
                                entry("data.txt", kData, 0100644, /*deflate=*/false)});
}

bool has_sanitizer_report(const RunResult& r) {
  for (const std::string* text : {&r.out, &r.err}) {
    if (text->find("Sanitizer") != std::string::npos ||
        text->find("runtime error:") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// One "-E- " line and nothing else on standard error.
bool is_one_error_line(const std::string& err) {
  return err.rfind("-E- ", 0) == 0 && err.find('\n') == err.size() - 1;
}

// Why the outcome of a corrupted file is not one the stub documents, or "" when it is:
//   0    the payload ran and received data.txt intact;
//   252  the launcher refused the file with one "-E- " line (extraction may have printed
//        its own plain lines on standard output first);
//   126, 127  the shell could not run the payload (a damaged name or mode), with its message;
//   1    the payload ran but data.txt was not unpacked under its name (cat's message).
std::string judge_corrupted_run(const RunResult& r) {
  switch (r.exit_code) {
    case 0:
      if (r.out != kData || !r.err.empty()) return "status 0 but the payload saw other data";
      return "";
    case 252:
      if (!is_one_error_line(r.err)) return "status 252 without exactly one -E- line";
      return "";
    case 126:
    case 127:
      if (r.err.find("sh: ") == std::string::npos) return "shell status without its message";
      return "";
    case 1:
      if (r.err.rfind("cat: ", 0) != 0) return "status 1 not from the payload's cat";
      return "";
    default:
      return "undocumented exit status " + std::to_string(r.exit_code);
  }
}

std::string describe(const RunResult& r) {
  return "exit " + std::to_string(r.exit_code) + " signal " + std::to_string(r.term_signal) +
         "\n  out: " + r.out + "\n  err: " + r.err;
}

// run_program's status when the program could not be executed.
constexpr int kExecFailed = 122;

// Writes an executable file whose descriptor no child of the other worker inherits past its
// exec (an inherited writable descriptor would make the file "busy" for exec).
void write_executable(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(close(fd), 0);
}

// New work roots ("/tmp/sfxter_*" not in `before`) that hold `payload_dir_name`. Unlike
// WorkRootWatch, roots that are still empty are not counted: the other worker's run may be
// making or removing one at this moment. The sweep asks WorkRootWatch once all runs ended.
std::vector<std::string> roots_holding(const std::string& payload_dir_name,
                                       const std::vector<std::string>& before) {
  std::vector<std::string> found;
  for (const std::string& name : sfx_testing::list_dir("/tmp")) {
    if (name.rfind("sfxter_", 0) != 0 || std::binary_search(before.begin(), before.end(), name)) {
      continue;
    }
    if (sfx_testing::path_exists("/tmp/" + name + "/" + payload_dir_name)) {
      found.push_back("/tmp/" + name);
    }
  }
  return found;
}

// What a sweep saw: every failing case (with its label), and how often each exit status came
// (a negative value for a signal).
struct SweepReport {
  std::vector<std::string> failures;
  std::map<int, std::size_t> statuses;
};

// Runs `count` damaged files, case i written by `make(i)`, on kWorkers threads. Each worker
// runs its own file, `name` + "_" + worker number + ".bin", so a work root left behind holds
// that worker's payload directory; /tmp is looked at after every run. `judge(i, path, r)`
// returns why the outcome of case i is wrong, or "".
SweepReport run_sweep(
    const TempDir& dir, const std::string& name, std::size_t count,
    const std::function<std::string(std::size_t)>& make,
    const std::function<std::string(std::size_t, const std::string&, const RunResult&)>& judge) {
  SweepReport report;
  std::mutex mutex;
  std::atomic<std::size_t> next{0};
  WorkRootWatch watch;
  const std::vector<std::string> before = sfx_testing::list_dir("/tmp");
  // The process id keeps the names apart from other checkouts running the same sweep.
  const std::string prefix = name + "_" + std::to_string(getpid()) + "_";
  auto work = [&](int worker) {
    const std::string program = prefix + std::to_string(worker);
    const std::string path = dir / (program + ".bin");
    RunOptions options;
    options.timeout_seconds = 30;
    for (std::size_t i = next++; i < count; i = next++) {
      write_executable(path, make(i));
      RunResult r = run_program(path, {}, options);
      // A file is "busy" for exec while any process holds it open for writing, and the other
      // worker's child holds this worker's descriptor for a moment between its fork and exec.
      for (int retry = 0; r.exit_code == kExecFailed && retry < 10; ++retry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        r = run_program(path, {}, options);
      }
      std::string why = r.term_signal != 0 ? "ended by signal " + std::to_string(r.term_signal)
                        : has_sanitizer_report(r) ? "sanitizer report"
                                                  : judge(i, path, r);
      const bool left = !roots_holding(program + "-dir", before).empty();
      std::lock_guard<std::mutex> lock(mutex);
      ++report.statuses[r.term_signal != 0 ? -r.term_signal : r.exit_code];
      if (!why.empty())
        report.failures.push_back(std::to_string(i) + ": " + why + "\n  " + describe(r));
      if (left) {
        report.failures.push_back(std::to_string(i) + ": left a work root behind");
        next = count;  // Later cases could not tell whose root it is.
      }
    }
  };
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) workers.emplace_back(work, w);
  for (std::thread& worker : workers) worker.join();
  // Also roots left empty, now that no run of this sweep is under way.
  for (int w = 0; w < kWorkers; ++w) {
    for (const std::string& root : watch.leftovers(prefix + std::to_string(w))) {
      report.failures.push_back("a work root was left behind: " + root);
    }
  }
  return report;
}

void expect_no_failures(const SweepReport& report, const std::string& what) {
  std::cout << what << ": exit statuses (status x count):";
  for (const auto& [status, count] : report.statuses) std::cout << " " << status << "x" << count;
  std::cout << "\n";
  for (std::size_t i = 0; i < report.failures.size() && i < kMaxReported; ++i) {
    ADD_FAILURE() << what << ", case " << report.failures[i];
  }
  EXPECT_EQ(report.failures.size(), 0u) << "failing cases in all";
}

TEST(SweepEndToEnd, SoundFileRunsAndPrintsItsData) {
  TempDir dir;
  DistributableBuilder builder;
  builder.archive = sweep_archive();
  builder.command = "run.sh";
  const std::string path = dir / "sweep_sound.bin";
  builder.write(path);
  WorkRootWatch watch;
  RunResult r = run_program(path, {});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kData);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(watch.leftovers("sweep_sound"), std::vector<std::string>{});
}

// The trailer (588 bytes with an extra-tool section) sits at the end: each cut of up to 8
// bytes leaves the version marker without its full layout version behind it, and every longer
// cut takes the marker away. Case i cuts i + 1 bytes.
TEST(SweepEndToEnd, EveryCutOfTheLast700BytesEndsWithItsMessage) {
  TempDir dir;
  DistributableBuilder builder;
  builder.archive = sweep_archive();
  builder.command = "run.sh";
  builder.extra_tool_command = "run.sh";
  const std::string whole = builder.bytes();
  SweepReport report = run_sweep(
      dir, "sweep_cut", kCutRange,
      [&](std::size_t i) { return whole.substr(0, whole.size() - (i + 1)); },
      [](std::size_t i, const std::string& path, const RunResult& r) -> std::string {
        const std::string expected_err =
            i + 1 <= 8 ? "-E- Failed to read current version: '" + path + "'\n" : kNoTrailer;
        if (r.exit_code != 252 || r.err != expected_err || !r.out.empty()) {
          return "not the trailer's message and 252";
        }
        return "";
      });
  expect_no_failures(report, "cut files");
}

// Every bit of the archive, of archive_length, of the version marker and of the layout
// version is flipped in turn, one per file (the command field is left alone: it is text that
// the shell runs). Case i flips bit i % 8 of the i / 8-th of those bytes.
TEST(SweepEndToEnd, EveryFlippedBitEndsCleanlyAndNeverCorruptsThePayload) {
  TempDir dir;
  DistributableBuilder builder;
  builder.archive = sweep_archive();
  builder.command = "run.sh";
  const std::string whole = builder.bytes();
  const std::size_t archive_start = builder.stub.size();
  const std::size_t command_start = archive_start + builder.archive.size();
  std::vector<std::size_t> positions;
  for (std::size_t i = archive_start; i < command_start; ++i) positions.push_back(i);
  for (std::size_t i = command_start + 256; i < whole.size(); ++i) positions.push_back(i);

  SweepReport report = run_sweep(
      dir, "sweep_flip", positions.size() * 8,
      [&](std::size_t i) {
        std::string bytes = whole;
        bytes[positions[i / 8]] ^= static_cast<char>(1 << (i % 8));
        return bytes;
      },
      [&](std::size_t i, const std::string&, const RunResult& r) {
        const std::string why = judge_corrupted_run(r);
        return why.empty() ? why
                           : "bit " + std::to_string(i % 8) + " of byte " +
                                 std::to_string(positions[i / 8] - archive_start) +
                                 " after the archive's start: " + why;
      });
  expect_no_failures(report, "flipped files");
}

// Archives cut short behind a sound trailer that states the shorter length. Entries cannot
// lose their names or modes this way, so the payload runs only when everything it needs was
// unpacked intact (a cut inside the archive comment's length field loses nothing); otherwise
// the launcher refuses the file. In particular an end record cut short must not pass for an
// archive without entries, which would run the payload with nothing unpacked. Case i keeps
// i bytes of the archive.
TEST(SweepEndToEnd, ArchiveCutShortBehindASoundTrailerEndsCleanly) {
  TempDir dir;
  const std::string archive = sweep_archive();
  DistributableBuilder builder;
  builder.command = "run.sh";
  SweepReport report = run_sweep(
      dir, "sweep_short", archive.size(),
      [&](std::size_t i) {
        DistributableBuilder cut = builder;
        cut.archive = archive.substr(0, i);
        return cut.bytes();
      },
      [](std::size_t, const std::string&, const RunResult& r) {
        std::string why = judge_corrupted_run(r);
        if (why.empty() && r.exit_code != 0 && r.exit_code != 252) {
          why = "the payload ran incomplete";
        }
        return why;
      });
  expect_no_failures(report, "archives cut short");
}

}  // namespace
