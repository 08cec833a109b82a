#ifndef PACK_PROGRESS_H_
#define PACK_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

/// The progress of a pack on one self-updating line: "\r", the text, and an erase to the end
/// of the line, rewritten a few times a second. Nothing appears for a pack that is done within
/// its first second; finish() (or the destructor) erases a line that was shown, so that the
/// next line (the summary, or an error) takes its place.
class Progress {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  /// Counts up to `total` bytes. When `enabled` is false nothing is ever written. `stream` is
  /// where the line goes (standard error); `clock` tells the time (steady_clock::now).
  Progress(std::uint64_t total, bool enabled, std::FILE* stream = stderr, Clock clock = {});
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  /// `bytes` more have been packed.
  void add(std::uint64_t bytes);
  /// Erases the line, if one was shown; nothing more is written after.
  void finish();

 private:
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool enabled_;
  bool shown_ = false;
  std::FILE* stream_;
  Clock clock_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point next_update_;
};

/// The line's text: bytes packed of the total, the share, the rate and the time left, as
/// "packed 12.0 MiB of 100.0 MiB (12%), 6.0 MiB/s, 0:15 left".
std::string progress_text(std::uint64_t done, std::uint64_t total, double seconds);

#endif  // PACK_PROGRESS_H_
