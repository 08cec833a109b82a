// Many users at once: 32 launches of one distributable file start together, each in its own
// temporary work root. Every launch must get its own payload directory with the whole payload,
// return its own payload command's status, and leave nothing behind.

#include <gtest/gtest.h>

#include <cstdint>
#include <latch>
#include <set>
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

constexpr int kLaunches = 32;

// The payload claims its directory (a second launch in the same directory would find the
// claim), checks the unpacked data, holds the directory while the others run, prints where
// it ran and exits with the status it was given.
const char kScript[] =
    "#!/bin/sh\n"
    "[ -e claimed ] && { echo \"payload directory shared: $PWD\" >&2; exit 90; }\n"
    ": > claimed\n"
    "[ \"$(cat data.txt)\" = \"payload data\" ] || { echo 'data.txt damaged' >&2; exit 91; }\n"
    "[ \"$TEMP\" = /tmp ] || { echo \"TEMP is $TEMP\" >&2; exit 92; }\n"
    "sleep 0.3\n"
    "echo \"$PWD\"\n"
    "exit \"$1\"\n";

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

TEST(LoadEndToEnd, ThirtyTwoSimultaneousLaunchesEachInTheirOwnWorkRoot) {
  TempDir dir;
  DistributableBuilder builder;
  builder.archive =
      sfx_testing::make_zip({entry("run.sh", kScript, 0100755), entry("data.txt", "payload data")});
  builder.command = "run.sh %argv%";
  const std::string path = dir / "load.bin";
  builder.write(path);

  WorkRootWatch watch;
  std::vector<RunResult> results(kLaunches);
  std::latch start(kLaunches);
  std::vector<std::thread> threads;
  for (int i = 0; i < kLaunches; ++i) {
    threads.emplace_back([&, i] {
      RunOptions options;
      options.cwd = dir.path();
      options.timeout_seconds = 120;
      start.arrive_and_wait();
      results[static_cast<size_t>(i)] = run_program(path, {std::to_string(i)}, options);
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> payload_dirs;
  for (int i = 0; i < kLaunches; ++i) {
    const RunResult& r = results[static_cast<size_t>(i)];
    SCOPED_TRACE("launch " + std::to_string(i));
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, i);
    EXPECT_EQ(r.err, "");
    // "/tmp/sfxter_XXXXXX/load-dir\n"
    EXPECT_EQ(r.out.size(), 28u) << r.out;
    EXPECT_EQ(r.out.rfind("/tmp/sfxter_", 0), 0u) << r.out;
    payload_dirs.insert(r.out);
  }
  EXPECT_EQ(payload_dirs.size(), static_cast<size_t>(kLaunches)) << "payload directories shared";
  EXPECT_EQ(watch.leftovers("load"), std::vector<std::string>{});
  EXPECT_EQ(sfx_testing::list_dir(dir.path()), std::vector<std::string>{"load.bin"});
}

}  // namespace
