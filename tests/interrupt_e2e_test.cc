// Interrupting a run: each signal whose default action ends the process, sent while the stub
// carves, while it unpacks and while the payload command runs. The stub removes what the run
// created and ends by that signal; during the command the signal is passed on to it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::Spawned;
using sfx_testing::stop_inside_stage;
using sfx_testing::TempDir;
using sfx_testing::wait_for;
using sfx_testing::WorkRootWatch;
using sfx_testing::ZipEntry;

const int kSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGXFSZ,
                        SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};
// Passed on to a running command: all but those about the stub's own writes.
const int kPassedOnSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGXCPU,
                                SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};

// The signal's name as the shell's trap knows it.
std::string trap_name(int signal_number) { return sigabbrev_np(signal_number); }

// The payload directory of a run in a temporary work root, once it exists.
std::string find_payload_dir(const std::string& program_name) {
  for (const std::string& root : list_dir("/tmp")) {
    if (root.rfind("sfxter_", 0) != 0) continue;
    const std::string dir = "/tmp/" + root + "/" + program_name + "-dir";
    if (path_exists(dir)) return dir;
  }
  return "";
}

// Sends `signal_number` to the stopped stub and lets it go on.
void interrupt_stopped(Spawned& stub, int signal_number) {
  stub.send(signal_number);
  stub.send(SIGCONT);
}

// An archive that takes a while to copy and to unpack: many stored entries of random data.
std::string slow_archive(int entries) {
  std::vector<ZipEntry> files;
  for (int i = 0; i < entries; ++i) {
    ZipEntry file =
        ZipEntry::file("f" + std::to_string(10000 + i), sfx_testing::random_bytes(128 * 1024, i));
    file.deflate = false;
    files.push_back(file);
  }
  return sfx_testing::make_zip(files);
}

std::string unique_name(const char* stage, int signal_number) {
  return std::string("intr-") + stage + "-" + std::to_string(signal_number) + "-" +
         std::to_string(getpid());
}

TEST(InterruptEndToEnd, WhileCarving) {
  const std::string archive = slow_archive(400);
  for (int signal_number : kSignals) {
    SCOPED_TRACE(strsignal(signal_number));
    TempDir dir;
    const std::string name = unique_name("carve", signal_number);
    DistributableBuilder builder;
    builder.archive = archive;
    builder.command = "true";
    builder.write(dir / (name + ".bin"));
    const std::string work = dir / "work";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    sfx_testing::write_file(work + "/keep", "mine");

    bool inside = false;
    for (int attempt = 0; attempt < 5 && !inside; ++attempt) {
      Spawned stub(dir / (name + ".bin"), {"--sfx-extract-dir", work});
      const std::string copy = work + "/archive.zip";
      inside = stop_inside_stage(
          stub, [&] { return path_exists(copy); },
          [&] {
            struct stat st;
            return stat(copy.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) < archive.size();
          });
      if (!inside) {
        stub.send(SIGCONT);
        stub.finish();
        continue;
      }
      interrupt_stopped(stub, signal_number);
      RunResult r = stub.finish();
      EXPECT_EQ(r.term_signal, signal_number);
      EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
      EXPECT_EQ(read_file(work + "/keep"), "mine");
    }
    EXPECT_TRUE(inside) << "the copy always ended before the stub could be stopped";
  }
}

TEST(InterruptEndToEnd, WhileExtracting) {
  const std::string archive = slow_archive(400);
  for (int signal_number : kSignals) {
    for (bool user_dir : {false, true}) {
      SCOPED_TRACE(std::string(strsignal(signal_number)) + (user_dir ? " in user dir" : ""));
      TempDir dir;
      const std::string name = unique_name(user_dir ? "dirx" : "tmpx", signal_number);
      DistributableBuilder builder;
      builder.archive = archive;
      builder.command = "true";
      builder.write(dir / (name + ".bin"));
      const std::string work = dir / "work";
      ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
      sfx_testing::write_file(work + "/keep", "mine");

      WorkRootWatch watch;
      std::vector<std::string> args;
      if (user_dir) args = {"--sfx-extract-dir", work, "--sfx-extract-only"};
      Spawned stub(dir / (name + ".bin"), args);
      std::string payload;
      const bool inside = stop_inside_stage(
          stub,
          [&] {
            payload = user_dir ? work + "/" + name + "-dir" : find_payload_dir(name);
            return !payload.empty() && path_exists(payload + "/f10010");
          },
          [&] { return !path_exists(payload + "/f10399"); });
      ASSERT_TRUE(inside) << "the stub could not be stopped while it unpacked";
      interrupt_stopped(stub, signal_number);
      RunResult r = stub.finish();
      EXPECT_EQ(r.term_signal, signal_number);
      EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
      EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
    }
  }
}

TEST(InterruptEndToEnd, WhileThePayloadRuns) {
  for (int signal_number : kPassedOnSignals) {
    SCOPED_TRACE(strsignal(signal_number));
    TempDir dir;
    const std::string name = unique_name("run", signal_number);
    std::string script = "#!/bin/sh\n";
    for (int trapped : kPassedOnSignals) {
      script += "trap 'echo " + trap_name(trapped) + " > " + (dir / "got") + "; exit 7' " +
                trap_name(trapped) + "\n";
    }
    // At most half a minute, so that a stub that fails to pass the signal on leaves no
    // process behind for long.
    script += "touch " + (dir / "started") +
              "\ni=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done\n";
    DistributableBuilder builder;
    builder.archive = sfx_testing::make_zip({ZipEntry::file("run.sh", script, 0100755)});
    builder.command = "run.sh %argv%";
    builder.extra_tool_command = "../../../../../../bin/touch " + (dir / "extra-ran");
    builder.write(dir / (name + ".bin"));

    WorkRootWatch watch;
    Spawned stub(dir / (name + ".bin"), {});
    ASSERT_TRUE(wait_for([&] { return path_exists(dir / "started"); }));
    stub.send(signal_number);
    RunResult r = stub.finish();
    EXPECT_EQ(r.term_signal, 0);
    // The command got the signal. Except for SIGINT and SIGQUIT the stub reports it as its own
    // end; those reach the shell as well, which ends by it, and that status stands.
    EXPECT_EQ(read_file(dir / "got"), trap_name(signal_number) + "\n");
    EXPECT_EQ(r.exit_code, 128 + signal_number);
    EXPECT_FALSE(path_exists(dir / "extra-ran"));
    EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
  }
}

// Signals whose default action ends a process that the stub did not always handle: the rare
// ones, every real-time signal, and the fault signals when a process sends them.
std::vector<int> newly_handled_signals() {
  std::vector<int> signals = {SIGIO,   SIGPWR, SIGSTKFLT, SIGSYS, SIGTRAP,
                              SIGSEGV, SIGBUS, SIGABRT,   SIGILL, SIGFPE};
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    signals.push_back(signal_number);
  }
  return signals;
}

TEST(InterruptEndToEnd, WhileExtractingEveryOtherTerminatingSignal) {
  // Many small entries: unpacking takes long enough to be caught inside, and the file is small.
  std::vector<ZipEntry> entries;
  for (int i = 0; i < 3000; ++i) {
    entries.push_back(ZipEntry::file("f" + std::to_string(10000 + i), "x"));
  }
  const std::string archive = sfx_testing::make_zip(entries);
  for (bool user_dir : {false, true}) {
    TempDir dir;
    const std::string name = unique_name(user_dir ? "rare-dir" : "rare-tmp", 0);
    DistributableBuilder builder;
    builder.archive = archive;
    builder.command = "true";
    builder.write(dir / (name + ".bin"));
    const std::string cwd = dir / "cwd";
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    for (int signal_number : newly_handled_signals()) {
      SCOPED_TRACE(std::to_string(signal_number) + (user_dir ? " in user dir" : ""));
      const std::string work = dir / ("work-" + std::to_string(signal_number));
      ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
      sfx_testing::write_file(work + "/keep", "mine");

      WorkRootWatch watch;
      // Core files allowed, as after "ulimit -c unlimited": the stub still leaves none.
      std::vector<std::string> args = {"--core=unlimited", "--", dir / (name + ".bin")};
      if (user_dir) args.insert(args.end(), {"--sfx-extract-dir", work, "--sfx-extract-only"});
      RunOptions options;
      options.cwd = cwd;
      Spawned stub("/usr/bin/prlimit", args, options);
      std::string payload;
      const bool inside = stop_inside_stage(
          stub,
          [&] {
            payload = user_dir ? work + "/" + name + "-dir" : find_payload_dir(name);
            return !payload.empty() && path_exists(payload + "/f10010");
          },
          [&] { return !path_exists(payload + "/f12999"); });
      ASSERT_TRUE(inside) << "the stub could not be stopped while it unpacked";
      interrupt_stopped(stub, signal_number);
      RunResult r = stub.finish();
      EXPECT_EQ(r.term_signal, signal_number);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
      EXPECT_EQ(list_dir(work), std::vector<std::string>{"keep"});
      EXPECT_EQ(list_dir(cwd), std::vector<std::string>{});
    }
  }
}

TEST(InterruptEndToEnd, RareSignalsWhileThePayloadRunsArePassedOn) {
  for (int signal_number : {SIGIO, SIGPWR, SIGRTMIN, SIGRTMAX}) {
    SCOPED_TRACE(signal_number);
    TempDir dir;
    const std::string name = unique_name("rare-run", signal_number);
    const std::string number = std::to_string(signal_number);
    const std::string script = "#!/bin/sh\ntrap 'echo " + number + " > " + (dir / "got") +
                               "; exit 7' " + number + "\ntouch " + (dir / "started") +
                               "\ni=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done\n";
    DistributableBuilder builder;
    builder.archive = sfx_testing::make_zip({ZipEntry::file("run.sh", script, 0100755)});
    builder.command = "run.sh";
    builder.write(dir / (name + ".bin"));
    WorkRootWatch watch;
    Spawned stub(dir / (name + ".bin"), {});
    ASSERT_TRUE(wait_for([&] { return path_exists(dir / "started"); }));
    stub.send(signal_number);
    RunResult r = stub.finish();
    EXPECT_EQ(read_file(dir / "got"), number + "\n");
    EXPECT_EQ(r.exit_code, 128 + signal_number);
    EXPECT_EQ(watch.leftovers(name), std::vector<std::string>{});
  }
}

}  // namespace
