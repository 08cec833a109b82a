#include "pack/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A stream in memory and a clock the test moves.
class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override { stream_ = open_memstream(&buffer_, &size_); }
  void TearDown() override {
    std::fclose(stream_);
    std::free(buffer_);
  }
  std::string written() {
    std::fflush(stream_);
    return std::string(buffer_, size_);
  }
  Progress::Clock clock() {
    return [this] { return now_; };
  }

  std::FILE* stream_ = nullptr;
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  steady_clock::time_point now_ = steady_clock::time_point(milliseconds(5000));
};

TEST_F(ProgressTest, NothingForAPackDoneWithinASecond) {
  Progress progress(1000, true, stream_, clock());
  for (int i = 0; i < 10; ++i) {
    now_ += milliseconds(99);
    progress.add(100);
  }
  progress.finish();
  EXPECT_EQ(written(), "");
}

TEST_F(ProgressTest, NothingWhenDisabled) {
  Progress progress(1000, false, stream_, clock());
  now_ += milliseconds(5000);
  progress.add(500);
  progress.finish();
  EXPECT_EQ(written(), "");
}

TEST_F(ProgressTest, OneLineRewrittenAFewTimesASecondThenErased) {
  {
    Progress progress(4 << 20, true, stream_, clock());
    now_ += milliseconds(1000);
    progress.add(1 << 20);  // 1 MiB in 1 s: 3 s left.
    now_ += milliseconds(100);
    progress.add(1 << 20);  // Too soon for another update.
    now_ += milliseconds(150);
    progress.add(0);
  }
  EXPECT_EQ(written(),
            "\rpacked 1.0 MiB of 4.0 MiB (25%), 1.0 MiB/s, 0:03 left\033[K"
            "\rpacked 2.0 MiB of 4.0 MiB (50%), 1.6 MiB/s, 0:01 left\033[K"
            "\r\033[K");
}

TEST(ProgressText, SizesRatesAndTimeLeft) {
  struct Case {
    std::uint64_t done, total;
    double seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, 1, "packed 0 B of 0 B (100%), 0 B/s"},
      {512, 2048, 2, "packed 512 B of 2.0 KiB (25%), 256 B/s, 0:06 left"},
      {3ull << 30, 6ull << 30, 60, "packed 3.0 GiB of 6.0 GiB (50%), 51.2 MiB/s, 1:00 left"},
      {100ull << 20, 100ull << 20, 4,
       "packed 100.0 MiB of 100.0 MiB (100%), 25.0 MiB/s, 0:00 left"},
      {10, 3600ull * 10 + 10, 1, "packed 10 B of 35.2 KiB (0%), 10 B/s, 60:00 left"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(progress_text(c.done, c.total, c.seconds), c.text);
  }
}

}  // namespace
