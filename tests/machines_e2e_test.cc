// The same distributable file on every machine: a payload packed by sfx_pack behind the stub
// under test (SFX_STUB; a stub of another machine runs under the emulator that
// SFX_STUB_EMULATOR names, as the build's emulated tests do for aarch64, armv7l and ppc64le)
// runs, unpacks, checks and describes itself exactly as this machine's stub does.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::first_data_offset;
using sfx_testing::list_tree;
using sfx_testing::machine_name_of;
using sfx_testing::make_zip;
using sfx_testing::mode_of;
using sfx_testing::pack_path;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::stub_path;
using sfx_testing::TempDir;
using sfx_testing::UmaskScope;
using sfx_testing::WorkRootWatch;
using sfx_testing::write_file;
using sfx_testing::ZipEntry;

constexpr char kRunScript[] =
    "#!/bin/sh\n"
    "echo \"payload ran with $# arguments\"\n"
    "for a in \"$@\"; do echo \"[$a]\"; done\n"
    "[ -L latest ] && echo \"latest -> $(readlink latest): $(cat latest)\"\n"
    "exit \"$1\"\n";

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// app.run in a directory of its own, packed by sfx_pack from a payload with a script, a
// nested file, a random file (stored) and a link, behind the stub under test.
class MachineFile {
 public:
  MachineFile() {
    const std::string src = dir_ / "src";
    make_dir(src);
    write_file(src + "/run.sh", kRunScript, 0755);
    make_dir(src + "/bin");
    write_file(src + "/bin/tool", "#!/bin/sh\necho tool\n", 0750);
    make_dir(src + "/data");
    write_file(src + "/data/file.txt", "the data file\n", 0644);
    write_file(src + "/data/noise.bin", sfx_testing::random_bytes(70000, 24), 0600);
    EXPECT_EQ(symlink("data/file.txt", (src + "/latest").c_str()), 0);
    const RunResult made =
        run_program(pack_path(), {"create", "--arch", machine(), "--stub", stub_path(), "-q", "-o",
                                  path(), "-c", "run.sh %argv%", src});
    EXPECT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(made.err, "");
  }

  static std::string machine() { return machine_name_of(stub_path()); }
  const TempDir& dir() const { return dir_; }
  std::string path() const { return dir_ / "app.run"; }

  RunResult run(const std::vector<std::string>& args) const {
    RunOptions options;
    options.cwd = dir_.path();
    return run_program(path(), args, options);
  }

 private:
  TempDir dir_;
};

TEST(EveryMachine, RunsThePayloadWithItsArgumentsAndReturnsItsStatus) {
  ASSERT_NE(MachineFile::machine(), "") << stub_path() << " is a stub of no known machine";
  MachineFile file;
  WorkRootWatch watch;
  const RunResult r = file.run({"7", "alpha", "--beta=1"});
  EXPECT_EQ(r.exit_code, 7);
  EXPECT_EQ(r.out,
            "payload ran with 3 arguments\n"
            "[7]\n"
            "[alpha]\n"
            "[--beta=1]\n"
            "latest -> data/file.txt: the data file\n");
  EXPECT_EQ(r.err, "");
  const RunResult zero = file.run({"0"});
  EXPECT_EQ(zero.exit_code, 0);
  EXPECT_EQ(watch.leftovers("app"), std::vector<std::string>{});
}

TEST(EveryMachine, ExtractOnlyKeepsThePayloadWithItsLink) {
  UmaskScope mask(022);
  MachineFile file;
  const std::string out = file.dir() / "out";
  make_dir(out);
  const RunResult r = file.run({"--sfx-extract-dir", "out", "--sfx-extract-only"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Extracting to " + out + "/app-dir ... Done\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(list_tree(out), (std::vector<std::string>{
                                "app-dir/", "app-dir/bin/", "app-dir/bin/tool", "app-dir/data/",
                                "app-dir/data/file.txt", "app-dir/data/noise.bin", "app-dir/latest",
                                "app-dir/run.sh"}));
  const std::string payload = out + "/app-dir";
  struct stat st;
  ASSERT_EQ(lstat((payload + "/latest").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  char target[64] = {};
  EXPECT_EQ(readlink((payload + "/latest").c_str(), target, sizeof target - 1), 13);
  EXPECT_STREQ(target, "data/file.txt");
  EXPECT_EQ(mode_of(payload + "/run.sh"), 0755u);
  EXPECT_EQ(mode_of(payload + "/bin/tool"), 0750u);
  EXPECT_EQ(mode_of(payload + "/data/noise.bin"), 0600u);
  EXPECT_TRUE(read_file(payload + "/data/noise.bin") == sfx_testing::random_bytes(70000, 24));
  EXPECT_EQ(read_file(payload + "/run.sh"), kRunScript);
}

TEST(EveryMachine, ChecksASoundFileAndFindsADamagedOne) {
  MachineFile file;
  const RunResult sound = file.run({"--sfx-check"});
  EXPECT_EQ(sound.exit_code, 0);
  EXPECT_EQ(sound.out, file.path() + ": OK, 7 entries, " +
                           std::to_string(sizeof kRunScript - 1 + 20 + 14 + 70000 + 13) +
                           " bytes\n");
  EXPECT_EQ(sound.err, "");

  // The same stub with an archive whose stored entry no longer matches its CRC-32, and one
  // whose deflated data is corrupt.
  ZipEntry firmware = ZipEntry::file("fw.bin", std::string(1000, 'f'), 0100644);
  firmware.deflate = false;
  std::string bad_crc = make_zip({firmware, ZipEntry::file("run.sh", kRunScript, 0100755)});
  bad_crc[first_data_offset(bad_crc) + 500] ^= 0x01;
  std::string bad_deflate = make_zip({ZipEntry::file("run.sh", std::string(3000, 'x'), 0100755)});
  bad_deflate[first_data_offset(bad_deflate)] = static_cast<char>(0xFF);  // Reserved block type.
  const std::pair<std::string, std::string> damaged[] = {
      {bad_crc, "error -105 with zipfile in unzCloseCurrentFile\n"},
      {bad_deflate, "error -3 with zipfile in unzReadCurrentFile\n"},
  };
  for (const auto& [archive, message] : damaged) {
    SCOPED_TRACE(message);
    DistributableBuilder builder;
    builder.archive = archive;
    builder.command = "run.sh";
    builder.write(file.dir() / "bad.run");
    WorkRootWatch watch;
    const RunResult check = run_program(file.dir() / "bad.run", {"--sfx-check"});
    EXPECT_EQ(check.exit_code, 252);
    EXPECT_EQ(check.out, message);
    const std::string entry = archive == bad_crc ? "fw.bin" : "run.sh";
    EXPECT_EQ(check.err, "-E- Check failed at entry " + entry + ": " + file.dir() / "bad.run\n");
    const RunResult ran = run_program(file.dir() / "bad.run", {"0"});
    EXPECT_EQ(ran.exit_code, 252);
    EXPECT_EQ(ran.out.find("payload ran"), std::string::npos) << ran.out;
    EXPECT_EQ(watch.leftovers("bad"), std::vector<std::string>{});
  }
}

TEST(EveryMachine, InfoNamesTheFileAsStartedAndTheStubMachine) {
  MachineFile file;
  RunOptions options;
  options.cwd = file.dir().path();
  const RunResult info = run_program(file.path(), {"--sfx-info"}, options);
  // Started by a relative path from its own directory, the file finds itself all the same.
  const RunResult r = run_program("./app.run", {"--sfx-info"}, options);
  EXPECT_EQ(info.exit_code, 0);
  EXPECT_EQ(info.out.substr(0, info.out.find('\n') + 1),
            "file:               " + file.path() + "\n");
  EXPECT_NE(info.out.find("\nstub machine:       " + MachineFile::machine() + "\n"),
            std::string::npos)
      << info.out;
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, info.out);
  const RunResult inspected = run_program(pack_path(), {"inspect", file.path()});
  EXPECT_NE(inspected.out.find("\nstub machine:       " + MachineFile::machine() + "\n"),
            std::string::npos)
      << inspected.out;
}

}  // namespace
