// A work root on a file system mounted noexec: the payload command (or an extra-tool command)
// cannot be started and the shell ends with 126. The stub then adds one line that names the
// work root and the way out, and changes nothing else. Each case runs in a private mount
// namespace (unshare -m) with a noexec tmpfs, so nothing is mounted outside the test; without
// the privilege for that the tests skip themselves.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::TempDir;
using sfx_testing::ZipEntry;

const char kUnshare[] = "/usr/bin/unshare";
// Far enough up to reach "/" from any payload directory in these tests.
const char kUp[] = "../../../../../../../../..";

std::string hint(const std::string& work_root) {
  return "-E- " + work_root +
         " is on a file system mounted noexec; use --sfx-extract-dir <dir> on another file "
         "system\n";
}

// The payload: an executable run.sh and tool.sh, and a run.sh twin without execute bits.
std::string payload_archive() {
  return sfx_testing::make_zip({ZipEntry::file("run.sh", "#!/bin/sh\necho run\n", 0100755),
                                ZipEntry::file("tool.sh", "#!/bin/sh\necho tool\n", 0100755),
                                ZipEntry::file("plain.sh", "#!/bin/sh\necho plain\n", 0100644)});
}

// Runs `command` (a shell command line) in a private mount namespace in which `setup` runs
// first and then a noexec tmpfs is mounted on `mount_point` ($1 in both). Afterwards the
// script lists what is left on that tmpfs on standard error, after a "left:" line.
RunResult run_in_namespace(const std::string& mount_point, const std::string& command,
                           const std::string& cwd, const std::string& setup = "") {
  const std::string script = setup + "\nmount -t tmpfs -o noexec sfx_noexec \"$1\" || exit 200\n" +
                             command +
                             "\nstatus=$?\n"
                             "[ -z \"$(ls -A \"$1\")\" ] || { echo left: >&2; ls -A \"$1\" >&2; }\n"
                             "exit $status\n";
  RunOptions options;
  options.cwd = cwd;
  return run_program(kUnshare,
                     {"-m", "--propagation", "private", "/bin/sh", "-c", script, "sh", mount_point},
                     options);
}

class NoexecEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat st;
    if (stat(kUnshare, &st) != 0) GTEST_SKIP() << kUnshare << " is not installed";
    const std::string probe = dir_ / "probe";
    ASSERT_EQ(mkdir(probe.c_str(), 0755), 0);
    RunResult r = run_in_namespace(probe, "true", dir_.path());
    if (r.exit_code != 0) {
      GTEST_SKIP() << "cannot mount a noexec tmpfs in a private mount namespace here (needs "
                      "root or CAP_SYS_ADMIN): "
                   << r.err;
    }
  }

  // A distributable named `name` in the test directory.
  std::string make_distributable(const std::string& name, const std::string& command,
                                 const std::optional<std::string>& extra_tool = std::nullopt) {
    DistributableBuilder builder;
    builder.archive = payload_archive();
    builder.command = command;
    builder.extra_tool_command = extra_tool;
    const std::string path = dir_ / name;
    builder.write(path);
    return path;
  }

  TempDir dir_;
};

// The payload command itself on the noexec mount, the extract directory being that mount.
TEST_F(NoexecEndToEnd, PayloadCommandOnNoexecMountGetsTheHint) {
  const std::string path = make_distributable("nx.bin", "run.sh");
  const std::string mount = dir_ / "mnt";
  ASSERT_EQ(mkdir(mount.c_str(), 0755), 0);
  RunResult r = run_in_namespace(mount, "'" + path + "' --sfx-extract-dir \"$1\"", dir_.path());
  EXPECT_EQ(r.exit_code, 126);
  EXPECT_EQ(r.out, "");
  // The shell's own message first, then the hint, then nothing left on the mount.
  const std::string shell_message = "sh: 1: " + mount + "/nx-dir/run.sh: Permission denied\n";
  EXPECT_EQ(r.err, shell_message + hint(mount));
}

// A relative --sfx-extract-dir is named in its absolute form, as the work root is.
TEST_F(NoexecEndToEnd, HintNamesTheAbsoluteWorkRoot) {
  const std::string path = make_distributable("nx.bin", "run.sh");
  const std::string mount = dir_ / "mnt";
  ASSERT_EQ(mkdir(mount.c_str(), 0755), 0);
  RunResult r = run_in_namespace(mount, "'" + path + "' --sfx-extract-dir mnt", dir_.path());
  EXPECT_EQ(r.exit_code, 126);
  EXPECT_NE(r.err.find("Permission denied\n" + hint(mount)), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("left:"), std::string::npos) << r.err;
}

// The default temporary work root under a /tmp that is mounted noexec: the most common case in
// the field. The distributable is reached through a bind mount outside /tmp.
TEST_F(NoexecEndToEnd, TemporaryWorkRootOnNoexecTmp) {
  struct stat st;
  if (stat("/mnt", &st) != 0 || !S_ISDIR(st.st_mode)) GTEST_SKIP() << "no /mnt to bind onto";
  make_distributable("nx.bin", "run.sh");
  RunResult r = run_in_namespace("/tmp", "/mnt/nx.bin", "/",
                                 "mount --bind '" + dir_.path() + "' /mnt || exit 201");
  ASSERT_NE(r.exit_code, 201) << "cannot bind the test directory: " << r.err;
  EXPECT_EQ(r.exit_code, 126) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string prefix = "sh: 1: /tmp/sfxter_";
  ASSERT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
  const std::string work_root = r.err.substr(7, 18);  // "/tmp/sfxter_XXXXXX"
  EXPECT_EQ(r.err, "sh: 1: " + work_root + "/nx-dir/run.sh: Permission denied\n" + hint(work_root));
}

// The payload command lives outside the mount and succeeds; the extra-tool command on the
// mount cannot start, and the hint follows it.
TEST_F(NoexecEndToEnd, ExtraToolCommandOnNoexecMountGetsTheHint) {
  const std::string path = make_distributable("nx.bin", std::string(kUp) + "/bin/true", "tool.sh");
  const std::string mount = dir_ / "mnt";
  ASSERT_EQ(mkdir(mount.c_str(), 0755), 0);
  RunResult r = run_in_namespace(mount, "'" + path + "' --sfx-extract-dir \"$1\"", dir_.path());
  EXPECT_EQ(r.exit_code, 126);
  EXPECT_EQ(r.out, "\n-I- Executing cmd : tool.sh\n");
  EXPECT_EQ(r.err, "sh: 1: " + mount + "/nx-dir/tool.sh: Permission denied\n" + hint(mount));
}

// No hint where noexec is not the reason: a command that fails otherwise on the noexec mount,
// and a file without execute bits on an ordinary file system (also 126).
TEST_F(NoexecEndToEnd, NoHintForOtherFailures) {
  const std::string mount = dir_ / "mnt";
  ASSERT_EQ(mkdir(mount.c_str(), 0755), 0);
  const std::string failing = make_distributable("nx.bin", std::string(kUp) + "/bin/false");
  RunResult r = run_in_namespace(mount, "'" + failing + "' --sfx-extract-dir \"$1\"", dir_.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");

  const std::string plain = make_distributable("plain.bin", "plain.sh");
  const std::string ordinary = dir_ / "ordinary";
  ASSERT_EQ(mkdir(ordinary.c_str(), 0755), 0);
  r = run_program(plain, {"--sfx-extract-dir", ordinary});
  EXPECT_EQ(r.exit_code, 126);
  EXPECT_EQ(r.err, "sh: 1: " + ordinary + "/plain-dir/plain.sh: Permission denied\n");
  EXPECT_EQ(sfx_testing::list_dir(ordinary), std::vector<std::string>{});
}

}  // namespace
