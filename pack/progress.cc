#include "pack/progress.h"

#include <utility>

namespace {

// The first line appears after this long; later ones follow at this pace.
constexpr std::chrono::milliseconds FIRST_UPDATE{1000};
constexpr std::chrono::milliseconds UPDATE_INTERVAL{250};

std::string size_text(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

}  // namespace

std::string progress_text(std::uint64_t done, std::uint64_t total, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const unsigned percent =
      total == 0 ? 100 : static_cast<unsigned>(static_cast<double>(done) * 100.0 / total);
  std::string text = "packed " + size_text(static_cast<double>(done)) + " of " +
                     size_text(static_cast<double>(total)) + " (" + std::to_string(percent) +
                     "%), " + size_text(rate) + "/s";
  if (rate > 0 && done <= total) {
    const auto left = static_cast<unsigned long long>(static_cast<double>(total - done) / rate);
    char clock[40];
    std::snprintf(clock, sizeof clock, ", %llu:%02llu left", left / 60, left % 60);
    text += clock;
  }
  return text;
}

Progress::Progress(std::uint64_t total, bool enabled, std::FILE* stream, Clock clock)
    : total_(total),
      enabled_(enabled),
      stream_(stream),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {
  start_ = clock_();
  next_update_ = start_ + FIRST_UPDATE;
}

void Progress::add(std::uint64_t bytes) {
  done_ += bytes;
  if (!enabled_) return;
  const auto now = clock_();
  if (now < next_update_) return;
  next_update_ = now + UPDATE_INTERVAL;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::fprintf(stream_, "\r%s\033[K", progress_text(done_, total_, seconds).c_str());
  std::fflush(stream_);
  shown_ = true;
}

void Progress::finish() {
  if (shown_) {
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
  }
  shown_ = false;
  enabled_ = false;
}
