// Another local user (uid 65534) against runs as root, each in a private mount namespace on a
// file system of its own: swapping the payload directory in a directory that user may change,
// rewriting files in a payload directory that a umask or a stored mode opened up, planting a
// directory of the payload's name, and locking what the stub uses. Also the payload directory
// removed by hand while its run goes on, and a second run of the same name meanwhile. Nothing
// but the file's own payload may ever run, and no run may be blocked or undo another.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::Spawned;
using sfx_testing::TempDir;
using sfx_testing::wait_for;
using sfx_testing::write_file;
using sfx_testing::ZipEntry;

constexpr uid_t kAttacker = 65534;
const char kSetpriv[] = "/usr/bin/setpriv";

constexpr int kSlowEntries = 4000;

// An archive whose first entry is `script` (as `name`, with `mode`), followed by enough
// stored random data that unpacking it takes a while: the window an attacker needs.
std::string slow_archive(const std::string& name, const std::string& script,
                         std::uint32_t mode = 0100755) {
  std::vector<ZipEntry> entries = {ZipEntry::file(name, script, mode)};
  for (int i = 0; i < 300; ++i) {
    ZipEntry data =
        ZipEntry::file("data/f" + std::to_string(i), sfx_testing::random_bytes(128 * 1024, i));
    data.deflate = false;
    entries.push_back(data);
  }
  return sfx_testing::make_zip(entries);
}

const std::string kGenuine = "#!/bin/sh\necho genuine\n";

// A scratch directory for one test: the test process moves into a private mount namespace and
// mounts a small file system of its own on `area()`, root's and sticky (as /var/tmp is). The
// distributable file lies beside it. Skips the test where that cannot be done.
class HostileUserTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) {
      GTEST_SKIP() << "needs root and setpriv to act as another user";
    }
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);  // The attacker may reach the area.
    ASSERT_EQ(mkdir(area_.c_str(), 0755), 0);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("sfx_hostile", area_.c_str(), "tmpfs", 0, "mode=1777,size=256m") != 0) {
      GTEST_SKIP() << "needs a private mount namespace";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(area_.c_str(), MNT_DETACH);
  }

  const std::string& area() const { return area_; }

  void write_distributable(const std::string& archive, const std::string& command) {
    DistributableBuilder builder;
    builder.archive = archive;
    builder.command = command;
    builder.write(file_);
  }

  // Runs the file as root with "--sfx-extract-dir" `work` and `args`.
  RunResult run(const std::string& work, const std::vector<std::string>& args = {}) {
    std::vector<std::string> all = {"--sfx-extract-dir", work};
    all.insert(all.end(), args.begin(), args.end());
    RunOptions options;
    options.cwd = dir_.path();
    options.timeout_seconds = 60;
    return run_program(file_, all, options);
  }

  // Starts `script` as the attacker; it runs until stop_attacker().
  Spawned* start_attacker(const std::string& script) {
    unlink(stop_.c_str());
    attacker_ = std::make_unique<Spawned>(
        kSetpriv, std::vector<std::string>{"--reuid=" + std::to_string(kAttacker),
                                           "--regid=" + std::to_string(kAttacker), "--clear-groups",
                                           "/bin/sh", "-c", script});
    return attacker_.get();
  }
  void stop_attacker() {
    if (!attacker_) return;
    write_file(stop_, "");
    attacker_->finish();
    attacker_.reset();
  }
  // Shell text that loops over `body` until the test stops the attacker.
  std::string attacker_loop(const std::string& body) const {
    return "while [ ! -e '" + stop_ + "' ]; do\n" + body + "\ndone\n";
  }

  TempDir dir_;
  const std::string area_ = dir_ / "area";
  const std::string file_ = dir_ / "fwpkg.bin";
  const std::string stop_ = dir_ / "stop";
  std::unique_ptr<Spawned> attacker_;
  bool mounted_ = false;
};

// The options hint that follows a refused work directory.
std::string options_hint() {
  return std::string("-I- Please consider using the following options:\n") +
         sfx_testing::kOptionsHelp;
}

TEST_F(HostileUserTest, PayloadDirectorySwappedWhileUnpackingNeverRuns) {
  // The attacker renames the payload directory away as soon as it appears and puts its own
  // in place, in directories where it may rename root's entries.
  write_distributable(slow_archive("trevalo", kGenuine), "trevalo");
  struct Case {
    const char* name;
    mode_t mode;
    gid_t group;
    bool attackers;  // Made by the attacker.
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"world-writable", 0777, 0, false, "is writable by all users without the sticky bit"},
      {"group-writable", 0770, kAttacker, false, "is writable by its group without the sticky bit"},
      {"attackers", 0755, kAttacker, true, "is owned by another user (uid 65534)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string work = area() + "/" + c.name;
    if (c.attackers) {
      ASSERT_EQ(run_program(kSetpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "mkdir",
                                       "-m", "755", work})
                    .exit_code,
                0);
    } else {
      ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
      ASSERT_EQ(chown(work.c_str(), 0, c.group), 0);
      ASSERT_EQ(chmod(work.c_str(), c.mode), 0);
    }
    const std::string payload = work + "/fwpkg-dir";
    start_attacker(attacker_loop("if [ -e '" + payload + "/trevalo' ] && [ ! -e '" + work +
                                 "/taken' ]; then\n"
                                 "  mv '" +
                                 payload + "' '" + work + "/taken' && mkdir '" + payload +
                                 "' &&\n"
                                 "  printf '#!/bin/sh\\necho EVIL RUNNING AS $(id -un)\\n' > '" +
                                 payload +
                                 "/trevalo' &&\n"
                                 "  chmod 755 '" +
                                 payload +
                                 "/trevalo'\n"
                                 "fi"));
    RunResult r = run(work);
    stop_attacker();
    EXPECT_EQ(r.out.find("EVIL"), std::string::npos) << r.out;
    EXPECT_EQ(r.exit_code, 252);
    EXPECT_EQ(r.err,
              "-E- Refusing --sfx-extract-dir " + work + ": " + work + " " + c.reason + "\n");
    EXPECT_EQ(r.out, options_hint());
    EXPECT_EQ(list_dir(work), std::vector<std::string>{});  // Nothing was created.
  }
}

TEST_F(HostileUserTest, FilesOpenedUpByTheUmaskOrTheirStoredModeAreOutOfReach) {
  // In root's sticky directory the attacker cannot touch root's entries, but with umask 0 the
  // payload directory would be writable by all, and a stored mode 0777 makes run.sh so.
  struct Case {
    const char* what;
    mode_t umask;
    std::uint32_t stored_mode;
    std::string attack;  // Shell text; "@" stands for the payload directory.
  };
  const std::vector<Case> cases = {
      {"umask 0", 0, 0100755,
       "if [ -e @/run.sh ]; then printf '#!/bin/sh\\necho EVIL\\n' > '" + area() +
           "/.evil' && chmod 755 '" + area() + "/.evil' && mv -f '" + area() +
           "/.evil' @/run.sh; fi"},
      {"stored 0777", 022, 0100777,
       "if [ -w @/run.sh ]; then printf '#!/bin/sh\\necho EVIL\\n' > @/run.sh; fi"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_distributable(slow_archive("run.sh", kGenuine, c.stored_mode), "run.sh");
    const std::string payload = "'" + area() + "/fwpkg-dir'";
    start_attacker(attacker_loop(sfx_testing::with_dir(c.attack, payload)));
    RunResult r;
    {
      const sfx_testing::UmaskScope mask(c.umask);
      r = run(area());
    }
    stop_attacker();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "genuine\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(area()), std::vector<std::string>{});
  }
}

TEST_F(HostileUserTest, APlantedDirectoryOfThePayloadsNameIsLeftAndReported) {
  write_distributable(slow_archive("trevalo", kGenuine), "trevalo");
  const std::string planted = area() + "/fwpkg-dir";
  ASSERT_EQ(run_program(kSetpriv,
                        {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c",
                         "mkdir -m 777 '" + planted + "' && printf '#!/bin/sh\\necho EVIL\\n' > '" +
                             planted + "/trevalo' && chmod 755 '" + planted + "/trevalo'"})
                .exit_code,
            0);
  RunResult r = run(area());
  EXPECT_EQ(r.exit_code, 252);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "-E- " + planted + " belongs to another user\n");
  EXPECT_EQ(list_dir(area()), std::vector<std::string>{"fwpkg-dir"});
  EXPECT_EQ(read_file(planted + "/trevalo"), "#!/bin/sh\necho EVIL\n");
}

TEST_F(HostileUserTest, ForeignLocksNeitherBlockNorDelayARun) {
  // The attacker locks every directory it may open: the work directory, and a tree that an
  // earlier extract-only run kept there.
  if (access("/usr/bin/flock", X_OK) != 0) GTEST_SKIP() << "needs flock";
  write_distributable(sfx_testing::make_zip({ZipEntry::file("trevalo", kGenuine, 0100755),
                                             ZipEntry::file("data", "payload data\n")}),
                      "trevalo");
  const std::string work = area() + "/work";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  RunResult kept = run(work, {"--sfx-extract-only"});
  ASSERT_EQ(kept.exit_code, 0);
  ASSERT_EQ(kept.out, "Extracting to " + work + "/fwpkg-dir ... Done\n");
  const std::string locked = area() + "/locked";
  start_attacker("exec flock -n '" + work + "' flock -n '" + work + "/fwpkg-dir' sh -c \"touch '" +
                 locked + "'; " + attacker_loop("sleep 0.05") + "\"");
  ASSERT_TRUE(wait_for([&] { return path_exists(locked); }));
  for (bool extract_only : {false, true}) {
    SCOPED_TRACE(extract_only ? "extract-only" : "normal run");
    RunResult r = run(work, extract_only ? std::vector<std::string>{"--sfx-extract-only"}
                                         : std::vector<std::string>{});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              extract_only ? "Extracting to " + work + "/fwpkg-dir ... Done\n" : "genuine\n");
    EXPECT_EQ(list_dir(work),
              extract_only ? std::vector<std::string>{"fwpkg-dir"} : std::vector<std::string>{});
  }
  stop_attacker();
  EXPECT_EQ(read_file(work + "/fwpkg-dir/data"), "payload data\n");
}

// The payload directory of a live run is removed by hand (a temporary-file cleaner) and a second
// run of the same name makes it anew. The first run's clean-up, at its end or on a signal, must
// leave the second run's tree alone, and say so.
class RemovedByHandTest : public HostileUserTest {
 protected:
  void SetUp() override {
    HostileUserTest::SetUp();
    if (IsSkipped()) return;
    // Each run writes "mine", marks its start and then waits for its own go-ahead:
    // "started-a", "go-a", ... (marked after the write, which the tests remove or read).
    const std::string script = "#!/bin/sh\necho $1 > mine\ntouch '" + dir_.path() +
                               "/started-'$1\n"
                               "i=0; while [ ! -e '" +
                               dir_.path() +
                               "/go-'$1 ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done\n";
    write_distributable(slow_archive("run.sh", script), "run.sh %argv%");
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
  }
  Spawned* start(const std::string& run_name) {
    RunOptions options;
    options.cwd = dir_.path();
    runs_.push_back(std::make_unique<Spawned>(
        file_, std::vector<std::string>{"--sfx-extract-dir", work_, run_name}, options));
    return runs_.back().get();
  }
  bool started(const std::string& run_name) {
    return wait_for([&] { return path_exists(dir_ / ("started-" + run_name)); });
  }
  void go(const std::string& run_name) { write_file(dir_ / ("go-" + run_name), ""); }

  const std::string work_ = area() + "/work";
  const std::string payload_ = work_ + "/fwpkg-dir";
  std::vector<std::unique_ptr<Spawned>> runs_;
};

TEST_F(RemovedByHandTest, TheFirstRunsEndLeavesTheSecondRunsTree) {
  Spawned* first = start("a");
  ASSERT_TRUE(started("a"));
  ASSERT_EQ(system(("rm -rf '" + payload_ + "'").c_str()), 0);
  Spawned* second = start("b");
  ASSERT_TRUE(started("b"));
  go("a");
  RunResult r = first->finish();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "-E- " + payload_ + " is no longer the directory this run made; not removed\n");
  EXPECT_EQ(read_file(payload_ + "/mine"), "b\n");
  go("b");
  r = second->finish();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(list_dir(work_), std::vector<std::string>{});
}

TEST_F(RemovedByHandTest, TheFirstRunsSignalLeavesTheSecondRunsTree) {
  Spawned* first = start("a");
  // Stopped while it unpacks, so that the signal comes outside a command.
  ASSERT_TRUE(sfx_testing::stop_inside_stage(
      *first, [&] { return path_exists(payload_ + "/data/f10"); },
      [&] { return !path_exists(payload_ + "/data/f" + std::to_string(kSlowEntries - 1)); }));
  ASSERT_EQ(system(("rm -rf '" + payload_ + "'").c_str()), 0);
  Spawned* second = start("b");
  ASSERT_TRUE(started("b"));
  first->send(SIGTERM);
  first->send(SIGCONT);
  RunResult r = first->finish();
  EXPECT_EQ(r.term_signal, SIGTERM);
  EXPECT_EQ(r.err, "-E- " + payload_ + " is no longer the directory this run made; not removed\n");
  EXPECT_EQ(read_file(payload_ + "/mine"), "b\n");
  go("b");
  r = second->finish();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(list_dir(work_), std::vector<std::string>{});
}

}  // namespace
