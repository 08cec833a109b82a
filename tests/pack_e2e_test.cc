// sfx_pack run as a user would: distributable files made from real payload directories,
// looked into, checked, carved apart and run with the built stub; and every refusal, with its
// message, its exit status and nothing left on disk.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::random_bytes;
using sfx_testing::text_bytes;

using sfx_testing::list_dir;
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
using sfx_testing::WorkRootWatch;
using sfx_testing::write_file;
using sfx_testing::ZipEntry;

// A time zone far from UTC, with a half-hour offset, given to the generator and the stub alike:
// both read DOS times as local time.
const std::pair<std::string, std::string> kZone{"TZ", "XST-5:30"};

const char kRunScript[] =
    "#!/bin/sh\n"
    "echo \"args: $*\"\n"
    "find . | LC_ALL=C sort\n";

void set_time(const std::string& path, std::time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// A payload with a script, files in nested directories, empty directories, executables, a
// read-only file and a file large enough to be compressed in several pieces.
void make_payload(const std::string& root) {
  make_dir(root);
  write_file(root + "/run.sh", kRunScript, 0755);
  make_dir(root + "/bin");
  write_file(root + "/bin/tool", "#!/bin/sh\necho tool\n", 0750);
  make_dir(root + "/data");
  make_dir(root + "/data/nested");
  make_dir(root + "/data/nested/deep");
  write_file(root + "/data/nested/deep/blob.bin", random_bytes(200000, 7), 0600);
  write_file(root + "/data/big.txt", text_bytes(3 << 20));
  write_file(root + "/data/read-only.txt", "fixed\n", 0444);
  write_file(root + "/data/empty.txt", "");
  make_dir(root + "/empty");
  make_dir(root + "/hollow");
  make_dir(root + "/hollow/inner");
  std::time_t when = 1712262668;  // 2024-04-04
  for (const std::string& name : list_tree(root)) {
    set_time(root + "/" + name, when);
    when += 86400 + 3601;  // Odd seconds too: DOS times keep two-second steps.
  }
}

RunResult pack(const std::vector<std::string>& args, RunOptions options = {}) {
  options.env_set.push_back(kZone);
  return run_program(pack_path(), args, options);
}

// The number after "key": in a JSON text.
std::uint64_t json_number(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\": ");
  EXPECT_NE(at, std::string::npos) << key;
  return at == std::string::npos ? 0 : std::stoull(json.substr(at + key.size() + 4));
}

// The archive of a distributable file, cut out as the stub does.
std::string carve(const std::string& path) {
  const RunResult inspected = pack({"inspect", "--json", path});
  EXPECT_EQ(inspected.exit_code, 0) << inspected.err;
  return read_file(path).substr(json_number(inspected.out, "archive_offset"),
                                json_number(inspected.out, "archive_length"));
}

TEST(PackEndToEnd, RoundTripThroughTheStub) {
  TempDir dir;
  make_payload(dir / "payload");
  const std::string app = dir / "app.run";
  const RunResult made = pack({"create", "-o", app, "-c", "run.sh %argv%", dir / "payload"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  EXPECT_EQ(made.err, "");
  EXPECT_EQ(mode_of(app), 0755u);
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"app.run", "payload"}));

  const RunResult verified = pack({"verify", app});
  EXPECT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_EQ(verified.out.rfind(app + ": OK, 13 entries, archive of ", 0), 0u) << verified.out;

  // Unpacked by the stub: the same tree, contents, modes and times.
  make_dir(dir / "x");
  RunOptions zone;
  zone.env_set.push_back(kZone);
  WorkRootWatch watch;
  const RunResult extracted =
      run_program(app, {"--sfx-extract-dir", dir / "x", "--sfx-extract-only"}, zone);
  ASSERT_EQ(extracted.exit_code, 0) << extracted.out << extracted.err;
  const std::string root = dir / "payload";
  const std::string copy = dir / "x/app-dir";
  ASSERT_EQ(list_tree(copy), list_tree(root));
  for (const std::string& name : list_tree(root)) {
    if (name.back() == '/') continue;
    SCOPED_TRACE(name);
    EXPECT_TRUE(read_file(copy + "/" + name) == read_file(root + "/" + name));
    EXPECT_EQ(mode_of(copy + "/" + name), mode_of(root + "/" + name));
    struct stat original, unpacked;
    ASSERT_EQ(stat((root + "/" + name).c_str(), &original), 0);
    ASSERT_EQ(stat((copy + "/" + name).c_str(), &unpacked), 0);
    EXPECT_EQ(unpacked.st_mtime, original.st_mtime - original.st_mtime % 2);
  }

  // Run: the script gets the arguments and lists the unpacked payload; nothing is left.
  const RunResult ran = run_program(app, {"alpha", "beta"}, zone);
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
  EXPECT_NE(ran.out.find("args: alpha beta\n.\n./bin\n./bin/tool\n./data\n"), std::string::npos)
      << ran.out;
  EXPECT_NE(ran.out.find("./empty\n./hollow\n./hollow/inner\n./run.sh\n"), std::string::npos);
  EXPECT_EQ(watch.leftovers("app"), std::vector<std::string>{});
}

TEST(PackEndToEnd, InspectShowsWhatAUserNeedsAndJsonForScripts) {
  TempDir dir;
  make_payload(dir / "payload");
  const std::string app = dir / "app.run";
  ASSERT_EQ(pack({"create", "-o", app, "-c", "run.sh -v %argv%", "-e", "bin/tool %device%",
                  dir / "payload"})
                .exit_code,
            0);
  const RunResult text = pack({"inspect", app});
  ASSERT_EQ(text.exit_code, 0) << text.err;
  const std::string stub_size = std::to_string(read_file(stub_path()).size());
  EXPECT_EQ(
      text.out.rfind("file:               " + app +
                         "\n"
                         "layout version:     2.0\n"
                         "trailing bytes:     0\n"
                         "stub size:          " +
                         stub_size + " bytes\nstub machine:       " + machine_name_of(stub_path()) +
                         "\narchive offset:     " + stub_size + "\n",
                     0),
      0u)
      << text.out;
  EXPECT_NE(text.out.find("command template:   'run.sh -v %argv%'\n"
                          "extra-tool command: 'bin/tool %device%'\n"
                          "label:              none\n"
                          "signature:          not signed\n"
                          "entries:            13\n"),
            std::string::npos);
  EXPECT_NE(
      text.out.find(
          "  -rwxr-x---            20            20  store    2024-04-06 03:01:08  bin/tool\n"),
      std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("  drwxr-xr-x             0             0  store    "),
            std::string::npos);

  const RunResult json = pack({"inspect", "--json", app});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  RunOptions feed;
  feed.stdin_data = json.out;
  const RunResult parsed =
      run_program("/usr/bin/python3",
                  {"-c",
                   "import json, sys\n"
                   "d = json.load(sys.stdin)\n"
                   "e = {x['name']: x for x in d['entries']}\n"
                   "print(d['layout_version'], d['trailing_bytes'], d['command_template'],\n"
                   "      d['extra_tool_command'], len(d['entries']), e['bin/tool']['mode'],\n"
                   "      e['data/big.txt']['method'], e['data/nested/deep/blob.bin']['method'],\n"
                   "      e['empty/']['type'], d['stub_size'] == d['archive_offset'])"},
                  feed);
  EXPECT_EQ(parsed.exit_code, 0) << parsed.err;
  EXPECT_EQ(parsed.out,
            "2.0 0 run.sh -v %argv% bin/tool %device% 13 488 deflate store directory True\n");
}

TEST(PackEndToEnd, SameInputSameBytesWhateverTheThreads) {
  TempDir dir;
  make_payload(dir / "payload");
  std::string first;
  for (const std::string jobs : {"1", "2", "5"}) {
    const std::string out = dir / ("j" + jobs + ".run");
    const RunResult made = pack({"create", "-j", jobs, "-o", out, "-c", "run.sh", dir / "payload"});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    if (first.empty()) {
      first = read_file(out);
    } else {
      EXPECT_TRUE(read_file(out) == first) << jobs << " jobs";
    }
  }
}

TEST(PackEndToEnd, SourceDateEpochCapsStoredTimes) {
  TempDir dir;
  make_payload(dir / "payload");
  RunOptions options;
  options.env_set.push_back({"SOURCE_DATE_EPOCH", "1000000000"});  // 2001-09-09 01:46:40 UTC
  ASSERT_EQ(
      pack({"create", "-o", dir / "a.run", "-c", "run.sh", dir / "payload"}, options).exit_code, 0);
  // Later times no longer matter.
  for (const std::string& name : list_tree(dir / "payload")) {
    set_time(dir / ("payload/" + name), 1800000000);
  }
  ASSERT_EQ(
      pack({"create", "-o", dir / "b.run", "-c", "run.sh", dir / "payload"}, options).exit_code, 0);
  EXPECT_TRUE(read_file(dir / "a.run") == read_file(dir / "b.run"));
  const RunResult json = pack({"inspect", "--json", dir / "a.run"});
  EXPECT_NE(json.out.find("\"time\": \"2001-09-09T07:16:40\""), std::string::npos) << json.out;
  EXPECT_EQ(json.out.find("\"time\": \"2024"), std::string::npos);
}

TEST(PackEndToEnd, InfoZipAcceptsTheCarvedArchive) {
  TempDir dir;
  make_payload(dir / "payload");
  ASSERT_EQ(pack({"create", "-o", dir / "app.run", "-c", "run.sh", dir / "payload"}).exit_code, 0);
  write_file(dir / "carved.zip", carve(dir / "app.run"));
  const RunResult tested = run_program("/usr/bin/unzip", {"-t", dir / "carved.zip"});
  EXPECT_EQ(tested.exit_code, 0) << tested.out;
  EXPECT_NE(tested.out.find("No errors detected in compressed data"), std::string::npos);
  EXPECT_NE(tested.out.find("testing: data/nested/deep/blob.bin   OK"), std::string::npos);
  const RunResult listed = run_program("/usr/bin/zipinfo", {dir / "carved.zip", "bin/tool"});
  EXPECT_EQ(listed.out.rfind("-rwxr-x---  2.0 unx       20 b- stor 24-Apr-06 03:01 bin/tool\n", 0),
            0u)
      << listed.out;
}

TEST(PackEndToEnd, UsesAnExistingZipArchiveUnchanged) {
  TempDir dir;
  ZipEntry tool;
  tool.name = "tool";
  tool.data = "#!/bin/sh\necho \"zip payload $1\"\n";
  tool.unix_mode = 0100755;
  ZipEntry data;
  data.name = "sub/data.txt";
  data.data = "inside\n";
  const std::string zip = make_zip({tool, data});
  write_file(dir / "payload.zip", zip);
  const RunResult made =
      pack({"create", "-o", dir / "z.run", "-c", "tool %argv%", dir / "payload.zip"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  EXPECT_TRUE(carve(dir / "z.run") == zip);
  WorkRootWatch watch;
  const RunResult ran = run_program(dir / "z.run", {"works"});
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
  EXPECT_NE(ran.out.find("zip payload works\n"), std::string::npos) << ran.out;
  EXPECT_EQ(watch.leftovers("z"), std::vector<std::string>{});
}

TEST(PackEndToEnd, FindsTheStubBesideItselfOrTakesTheOneGiven) {
  TempDir dir;
  make_payload(dir / "payload");
  ASSERT_EQ(pack({"create", "-o", dir / "a.run", "-c", "run.sh", dir / "payload"}).exit_code, 0);
  const std::string stub = read_file(stub_path());
  EXPECT_TRUE(read_file(dir / "a.run").substr(0, stub.size()) == stub);

  write_file(dir / "other-stub", stub + "more", 0755);
  ASSERT_EQ(pack({"create", "--stub", dir / "other-stub", "-o", dir / "b.run", "-c", "run.sh",
                  dir / "payload"})
                .exit_code,
            0);
  EXPECT_TRUE(read_file(dir / "b.run").substr(0, stub.size() + 6) == stub + "morePK");
}

// The directory of sfx_pack, where the build leaves every machine's stub.
std::string pack_dir() { return pack_path().substr(0, pack_path().rfind('/')); }

TEST(PackEndToEnd, TakesTheStubOfTheMachineGivenAndShowsItsMachine) {
  TempDir dir;
  make_payload(dir / "payload");
  for (const char* machine : {"aarch64", "armv7l", "ppc64le", "x86_64"}) {
    SCOPED_TRACE(machine);
    const std::string stub_file = pack_dir() + "/sfx_stub-" + machine;
    if (!sfx_testing::path_exists(stub_file)) continue;  // Built with the native stub alone.
    const RunResult made =
        pack({"create", "--arch", machine, "-o", dir / "m.run", "-c", "run.sh", dir / "payload"});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const std::string stub = read_file(stub_file);
    EXPECT_TRUE(read_file(dir / "m.run").substr(0, stub.size()) == stub);
    const RunResult inspected = pack({"inspect", dir / "m.run"});
    EXPECT_NE(inspected.out.find(std::string("\nstub machine:       ") + machine + "\n"),
              std::string::npos)
        << inspected.out;
    const RunResult json = pack({"inspect", "--json", dir / "m.run"});
    EXPECT_NE(json.out.find(std::string("\n  \"stub_machine\": \"") + machine + "\",\n"),
              std::string::npos)
        << json.out;
  }
}

TEST(PackEndToEnd, RefusesAStubThatIsNoStaticExecutableForTheMachine) {
  TempDir dir;
  make_payload(dir / "payload");
  make_dir(dir / "out");
  const std::string own = machine_name_of(pack_path());
  const std::string other = own == "aarch64" ? "ppc64le" : "aarch64";
  write_file(dir / "script", "#!/bin/sh\nexit 7\n", 0755);
  std::vector<std::string> stubs;  // Every machine's stub the build made.
  for (const std::string& name : list_dir(pack_dir())) {
    if (name.rfind("sfx_stub-", 0) == 0) stubs.push_back(name.substr(9));
  }
  std::string there;
  for (const std::string& machine : stubs) there += (there.empty() ? "" : ", ") + machine;
  struct Case {
    std::vector<std::string> options;
    std::string message;     // "@" stands for the scratch directory.
    bool static_stubs_only;  // The sanitizer build takes a dynamically linked stub.
  };
  const std::string stub_machine = machine_name_of(stub_path());
  const Case cases[] = {
      {{"--stub", dir / "script"},
       "the stub '@/script' is a script; the stub must be a static executable for " + own,
       false},
      {{"--stub", "/proc/self/exe"},
       "the stub '/proc/self/exe' is an " + own +
           " dynamically linked executable; the stub must be a static executable for " + own,
       true},
      {{"--stub", stub_path(), "--arch", other},
       "the stub '" + stub_path() + "' is an " + stub_machine + " static executable, not one for " +
           other + " (--arch " + stub_machine + " packs for " + stub_machine + ")",
       true},
      {{"--arch", "riscv64"},
       "no stub for riscv64: neither '" + pack_dir() + "/sfx_stub-riscv64' nor '" + pack_dir() +
           "/../lib/sfx/sfx_stub-riscv64' exists; there are stubs for " + there,
       false},
      {{"--arch", "riscv/64"},
       "the machine 'riscv/64' is no machine name; name it as uname -m does, such as x86_64, "
       "aarch64, armv7l or ppc64le",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    if (c.static_stubs_only && sfx_testing::sanitized_build()) continue;
    std::vector<std::string> args = {"create", "-o", dir / "out/app.run", "-c", "run.sh"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(dir / "payload");
    const RunResult r = pack(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "sfx_pack: error: " + sfx_testing::with_dir(c.message, dir.path()) + "\n");
    EXPECT_EQ(list_dir(dir / "out"), std::vector<std::string>{});
  }
}

TEST(PackEndToEnd, WarnsWhenTheTemplateNamesNoProgramOfThePayloadButPacks) {
  TempDir dir;
  make_payload(dir / "payload");
  const RunResult r =
      pack({"create", "-o", dir / "a.run", "-c", "data/big.txt %argv%", dir / "payload"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "sfx_pack: warning: the command template's first word 'data/big.txt' names no "
            "executable file of the payload\n");
  EXPECT_EQ(r.out.rfind(dir / "a.run" + ": 13 entries, archive of ", 0), 0u) << r.out;
  EXPECT_EQ(pack({"verify", dir / "a.run"}).exit_code, 0);
}

struct UsageCase {
  std::vector<std::string> args;
  std::string err;
};

TEST(PackEndToEnd, UsageErrorsExitWith2AndOneLine) {
  const std::string long_text(257, 't');
  const UsageCase cases[] = {
      {{}, "no command given; use create, inspect, verify, keygen or sign (see 'sfx_pack --help')"},
      {{"frobnicate"},
       "unknown command 'frobnicate'; use create, inspect, verify, keygen or sign (see 'sfx_pack "
       "--help')"},
      {{"--bogus"}, "unknown option '--bogus' (see 'sfx_pack --help')"},
      {{"create", "-o", "x", "src"}, "create needs the command template: -c TEMPLATE"},
      {{"create", "-c", "x", "src"}, "create needs the output file: -o OUT"},
      {{"create", "-o", "x", "-c", "y"}, "create needs the SOURCE directory or ZIP archive"},
      {{"create", "-o", "x", "-c", "y", "a", "b"}, "create takes one SOURCE; 'b' is one too many"},
      {{"create", "-o"}, "the option '-o' needs a value"},
      {{"create", "src", "--stub"}, "the option '--stub' needs a value"},
      {{"create", "-z"}, "unknown option '-z' for create (see 'sfx_pack create --help')"},
      {{"create", "--fast=1"}, "unknown option '--fast' for create (see 'sfx_pack create --help')"},
      {{"create", "--json"}, "unknown option '--json' for create (see 'sfx_pack create --help')"},
      {{"create", "-l", "10"}, "the level '10' is not a number from 0 to 9"},
      {{"create", "--level=x"}, "the level 'x' is not a number from 0 to 9"},
      {{"create", "-j", "0"}, "the jobs '0' is not a number from 1 to 256"},
      {{"create", "-j", "2x"}, "the jobs '2x' is not a number from 1 to 256"},
      {{"create", "-o", "x", "-c", long_text, "src"},
       "the command template is 257 bytes long; the trailer holds at most 256"},
      {{"create", "-o", "x", "-c", "y", "-e", long_text, "src"},
       "the extra-tool command is 257 bytes long; the trailer holds at most 256"},
      {{"create", "-o", "x", "-c", "", "src"}, "the command template is empty"},
      {{"inspect"}, "inspect needs a FILE"},
      {{"inspect", "a", "b"}, "inspect takes one FILE; 'b' is one too many"},
      {{"verify"}, "verify needs a FILE"},
      {{"verify", "--json", "f"},
       "unknown option '--json' for verify (see 'sfx_pack verify --help')"},
  };
  TempDir dir;
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(c.err);
    RunOptions options;
    options.cwd = dir.path();
    const RunResult r = pack(c.args, options);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sfx_pack: error: " + c.err + "\n");
  }
  EXPECT_TRUE(list_dir(dir.path()).empty());

  RunOptions epoch;
  epoch.env_set.push_back({"SOURCE_DATE_EPOCH", "soon"});
  const RunResult r = pack({"create", "-o", dir / "x", "-c", "y", dir.path()}, epoch);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "sfx_pack: error: SOURCE_DATE_EPOCH 'soon' is not a number of seconds\n");
}

TEST(PackEndToEnd, HelpAndVersionOnEveryCommand) {
  for (const std::string command : {"", "create", "inspect", "verify"}) {
    SCOPED_TRACE(command);
    for (const std::string option : {"--help", "-h"}) {
      std::vector<std::string> args = {option};
      if (!command.empty()) args.insert(args.begin(), command);
      const RunResult r = pack(args);
      EXPECT_EQ(r.exit_code, 0);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out.rfind("Usage: sfx_pack " + (command.empty() ? "COMMAND" : command), 0), 0u)
          << r.out;
    }
    for (const std::string option : {"--version", "-V"}) {
      std::vector<std::string> args = {option};
      if (!command.empty()) args.insert(args.begin(), command);
      const RunResult r = pack(args);
      EXPECT_EQ(r.exit_code, 0);
      EXPECT_EQ(r.out.rfind("sfx_pack ", 0), 0u);
      EXPECT_NE(r.out.find(" (trailer layout 2.0)\n"), std::string::npos);
    }
  }
}

struct InputFault {
  const char* name;
  void (*setup)(const TempDir& dir, std::vector<std::string>& args);
  int exit_code;
  std::string err;  // "@" stands for the scratch directory.
};

void make_sparse(const std::string& path, off_t size) {
  write_file(path, "");
  ASSERT_EQ(truncate(path.c_str(), size), 0);
}

TEST(PackEndToEnd, RefusalsLeaveNothingBehind) {
  const InputFault faults[] = {
      {"name of 256 bytes",
       [](const TempDir& d, std::vector<std::string>&) {
         make_dir(d / "src/d");
         write_file(d / ("src/d/" + std::string(254, 'n')), "");
       },
       1,
       "the stored name 'd/" + std::string(254, 'n') +
           "' is 256 bytes long; the stub unpacks names of at most 255 bytes"},
      {"file of 4 GiB",
       [](const TempDir& d, std::vector<std::string>&) {
         make_sparse(d / "src/huge", off_t{1} << 32);
       },
       1,
       "'@/src/huge' is 4294967296 bytes long; the stub unpacks files of at most 4294967294 "
       "bytes"},
      {"archive of 4 GiB",
       [](const TempDir& d, std::vector<std::string>& args) {
         make_sparse(d / "src/half1", off_t{1} << 31);
         make_sparse(d / "src/half2", off_t{1} << 31);
         args.insert(args.begin() + 1, {"-l", "0"});
       },
       1,
       "the archive would be 4294967627 bytes long; a distributable file carries at most "
       "4294967295"},
      {"archive starting at 4 GiB",
       [](const TempDir& d, std::vector<std::string>& args) {
         make_sparse(d / "stub", off_t{1} << 32);
         args.insert(args.begin() + 1, {"--stub", d / "stub"});
       },
       1,
       "the stub '@/stub' is 4294967296 bytes long: the archive would start at 4 GiB or beyond, "
       "where the stub cannot find it"},
      {"fifo",
       [](const TempDir& d, std::vector<std::string>&) {
         ASSERT_EQ(mkfifo((d / "src/pipe").c_str(), 0644), 0);
       },
       1, "'@/src/pipe' is a fifo; only files and directories can be packed"},
      {"dangling link, followed",
       [](const TempDir& d, std::vector<std::string>& args) {
         ASSERT_EQ(symlink("gone", (d / "src/link").c_str()), 0);
         args.insert(args.begin() + 1, "-L");
       },
       1, "'@/src/link' is a symbolic link that leads nowhere"},
      {"link to a directory outside",
       [](const TempDir& d, std::vector<std::string>&) {
         ASSERT_EQ(symlink("/usr", (d / "src/usr").c_str()), 0);
       },
       1,
       "'@/src/usr' is a symbolic link to '/usr', outside the source directory (-L packs what it "
       "points to)"},
      {"link to a directory outside, followed",
       [](const TempDir& d, std::vector<std::string>& args) {
         ASSERT_EQ(symlink("/usr", (d / "src/usr").c_str()), 0);
         args.insert(args.begin() + 1, "-L");
       },
       1, "'@/src/usr' is a symbolic link to the directory '/usr' outside the source directory"},
      {"template of 257 bytes",
       [](const TempDir&, std::vector<std::string>& args) { args[4] = std::string(257, 'c'); }, 2,
       "the command template is 257 bytes long; the trailer holds at most 256"},
      {"extra-tool command of 257 bytes",
       [](const TempDir&, std::vector<std::string>& args) {
         args.insert(args.begin() + 1, {"-e", std::string(257, 'e')});
       },
       2, "the extra-tool command is 257 bytes long; the trailer holds at most 256"},
  };
  for (const InputFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    TempDir dir;
    make_dir(dir / "src");
    write_file(dir / "src/run.sh", kRunScript, 0755);
    make_dir(dir / "out");
    std::vector<std::string> args = {"create", "-o",     dir / "out/app.run",
                                     "-c",     "run.sh", dir / "src"};
    fault.setup(dir, args);
    const RunResult r = pack(args);
    const std::string expected = sfx_testing::with_dir(fault.err, dir.path());
    EXPECT_EQ(r.exit_code, fault.exit_code);
    EXPECT_EQ(r.err, "sfx_pack: error: " + expected + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(list_dir(dir / "out").empty());
  }
}

TEST(PackEndToEnd, AFileSizeLimitLeavesNoFile) {
  for (const bool ignored : {true, false}) {
    SCOPED_TRACE(ignored ? "SIGXFSZ ignored" : "SIGXFSZ at its default");
    TempDir dir;
    make_dir(dir / "src");
    write_file(dir / "src/run.sh", kRunScript, 0755);
    write_file(dir / "src/noise", random_bytes(4 << 20, 3));
    make_dir(dir / "out");
    write_file(dir / "out/app.run", "previous version");
    // A file-size limit of about 1 MiB past the stub (in 512-byte blocks, or 1 KiB ones).
    const std::size_t blocks = (read_file(stub_path()).size() + (1 << 20)) / 512;
    const RunResult r = run_program(
        "/bin/sh", {"-c",
                    std::string(ignored ? "trap '' XFSZ; " : "") + "ulimit -f " +
                        std::to_string(blocks) + "; exec \"$0\" create -o \"$1\" -c run.sh \"$2\"",
                    pack_path(), dir / "out/app.run", dir / "src"});
    if (ignored) {
      // The write fails instead, and says so.
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(r.err.rfind("sfx_pack: error: cannot write ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find("File too large\n"), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.term_signal, SIGXFSZ) << r.err;
    }
    EXPECT_EQ(list_dir(dir / "out"), std::vector<std::string>{"app.run"});
    EXPECT_EQ(read_file(dir / "out/app.run"), "previous version");
  }
}

// A source that takes many seconds to pack: the run is still writing when a signal comes.
void make_slow_source(const TempDir& dir) {
  make_dir(dir / "src");
  write_file(dir / "src/run.sh", kRunScript, 0755);
  make_sparse(dir / "src/zeros", off_t{3} << 30);
  make_dir(dir / "out");
}

// Starts sfx_pack on `dir`/src through the shell, with `ignored` (trap names, "" for none)
// ignored at start, and waits until its temporary file is there.
std::unique_ptr<sfx_testing::Spawned> start_slow_pack(const TempDir& dir,
                                                      const std::string& ignored) {
  auto spawned = std::make_unique<sfx_testing::Spawned>(
      "/bin/sh", std::vector<std::string>{"-c",
                                          (ignored.empty() ? "" : "trap '' " + ignored + "; ") +
                                              "exec \"$0\" create -o \"$1\" -c run.sh \"$2\"",
                                          pack_path(), dir / "out/app.run", dir / "src"});
  EXPECT_TRUE(sfx_testing::wait_for([&] { return !list_dir(dir / "out").empty(); }));
  const std::vector<std::string> during = list_dir(dir / "out");
  EXPECT_EQ(during.size(), 1u);
  if (!during.empty()) {
    EXPECT_EQ(during[0].rfind(".app.run.", 0), 0u) << during[0];
  }
  return spawned;
}

TEST(PackEndToEnd, EveryTerminatingSignalLeavesNoFile) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGXCPU,
                                  SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF}) {
    SCOPED_TRACE(strsignal(signal_number));
    TempDir dir;
    make_slow_source(dir);
    auto pack_run = start_slow_pack(dir, "");
    pack_run->send(signal_number);
    const RunResult r = pack_run->finish();
    EXPECT_EQ(r.term_signal, signal_number) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(list_dir(dir / "out").empty());
  }
}

TEST(PackEndToEnd, ASignalIgnoredAtStartStaysIgnored) {
  TempDir dir;
  make_slow_source(dir);
  // As under nohup: hang-ups, and here also SIGUSR1, do not end the run.
  auto pack_run = start_slow_pack(dir, "HUP USR1");
  pack_run->send(SIGHUP);
  pack_run->send(SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(list_dir(dir / "out").size(), 1u);
  EXPECT_EQ(kill(pack_run->pid(), 0), 0);
  pack_run->send(SIGTERM);
  const RunResult r = pack_run->finish();
  EXPECT_EQ(r.term_signal, SIGTERM);
  EXPECT_TRUE(list_dir(dir / "out").empty());
}

struct OutputGuard {
  const char* name;
  // Makes what the output names; returns the arguments after "create".
  std::vector<std::string> (*setup)(const TempDir& dir);
  std::string err;  // "@" stands for the scratch directory.
};

std::vector<std::string> create_args(const std::string& out, const std::string& source) {
  return {"-o", out, "-c", "run.sh", source};
}

// The bytes of every regular file below `dir`, in list_tree's order.
std::vector<std::string> file_contents(const std::string& dir) {
  std::vector<std::string> contents;
  for (const std::string& name : list_tree(dir)) {
    struct stat info;
    if (lstat((dir + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      contents.push_back(read_file(dir + "/" + name));
    }
  }
  return contents;
}

TEST(PackEndToEnd, OutputsThatWouldDestroySomethingAreRefused) {
  const OutputGuard guards[] = {
      {"a device node",
       [](const TempDir& d) {
         EXPECT_EQ(mknod((d / "out/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
         return create_args(d / "out/null", d / "src");
       },
       "the output '@/out/null' is a character device; sfx_pack replaces only regular files"},
      {"a link like /dev/stdout",
       [](const TempDir& d) {
         EXPECT_EQ(symlink("/dev/null", (d / "out/stdout").c_str()), 0);
         return create_args(d / "out/stdout", d / "src");
       },
       "the output '@/out/stdout' is a symbolic link; sfx_pack replaces only regular files"},
      {"a fifo",
       [](const TempDir& d) {
         EXPECT_EQ(mkfifo((d / "out/fifo").c_str(), 0644), 0);
         return create_args(d / "out/fifo", d / "src");
       },
       "the output '@/out/fifo' is a fifo; sfx_pack replaces only regular files"},
      {"a directory",
       [](const TempDir& d) {
         make_dir(d / "out/app.run");
         return create_args(d / "out/app.run", d / "src");
       },
       "the output '@/out/app.run' is a directory; sfx_pack replaces only regular files"},
      {"inside the source",
       [](const TempDir& d) { return create_args(d / "src/app.run", d / "src"); },
       "the output '@/src/app.run' is inside the source directory '@/src'"},
      {"deep inside the source, named through a link",
       [](const TempDir& d) {
         make_dir(d / "src/sub");
         EXPECT_EQ(symlink("../src/sub", (d / "out/in").c_str()), 0);
         return create_args(d / "out/in/app.run", d / "src/");
       },
       "the output '@/out/in/app.run' is inside the source directory '@/src/'"},
      {"a file of the source",
       [](const TempDir& d) { return create_args(d / "src/run.sh", d / "src"); },
       "the output '@/src/run.sh' is inside the source directory '@/src'"},
      {"the stub",
       [](const TempDir& d) {
         write_file(d / "stub", read_file(stub_path()), 0755);
         std::vector<std::string> args = create_args(d / "stub", d / "src");
         args.insert(args.begin(), {"--stub", d / "stub"});
         return args;
       },
       "the output '@/stub' is the stub '@/stub'"},
      {"the stub under another name",
       [](const TempDir& d) {
         write_file(d / "stub", read_file(stub_path()), 0755);
         EXPECT_EQ(link((d / "stub").c_str(), (d / "out/hard").c_str()), 0);
         std::vector<std::string> args = create_args(d / "out/hard", d / "src");
         args.insert(args.begin(), {"--stub", d / "stub"});
         return args;
       },
       "the output '@/out/hard' is the stub '@/stub'"},
      {"the source ZIP archive",
       [](const TempDir& d) {
         write_file(d / "payload.zip",
                    make_zip({ZipEntry::file("run.sh", "#!/bin/sh\n", 0100755)}));
         return create_args(d / "payload.zip", d / "payload.zip");
       },
       "the output '@/payload.zip' is the source ZIP archive '@/payload.zip'"},
  };
  for (const OutputGuard& guard : guards) {
    SCOPED_TRACE(guard.name);
    TempDir dir;
    make_dir(dir / "src");
    write_file(dir / "src/run.sh", kRunScript, 0755);
    make_dir(dir / "out");
    std::vector<std::string> args = guard.setup(dir);
    args.insert(args.begin(), "create");
    const std::vector<std::string> before = list_tree(dir.path());
    const std::vector<std::string> contents = file_contents(dir.path());
    const RunResult r = pack(args);
    const std::string expected = sfx_testing::with_dir(guard.err, dir.path());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sfx_pack: error: " + expected + "\n");
    // Nothing written: the same names, the same bytes, the device still a device.
    EXPECT_EQ(list_tree(dir.path()), before);
    EXPECT_TRUE(file_contents(dir.path()) == contents);
  }
  struct stat node;
  TempDir dir;
  ASSERT_EQ(mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  make_dir(dir / "src");
  write_file(dir / "src/run.sh", kRunScript, 0755);
  EXPECT_EQ(pack({"create", "-o", dir / "null", "-c", "run.sh", dir / "src"}).exit_code, 2);
  ASSERT_EQ(lstat((dir / "null").c_str(), &node), 0);
  EXPECT_TRUE(S_ISCHR(node.st_mode));
}

TEST(PackEndToEnd, AFileThatGrowsWhileItIsPackedFailsTheRun) {
  TempDir dir;
  make_dir(dir / "src");
  write_file(dir / "src/run.sh", kRunScript, 0755);
  write_file(dir / "src/growing.log", text_bytes(8 << 20));
  make_dir(dir / "out");
  // A helper appends a line after another, as a log being written would, until it is stopped.
  sfx_testing::Spawned writer(
      "/bin/sh", {"-c", "while :; do echo more >> \"$0\"; done", dir / "src/growing.log"});
  const RunResult r =
      pack({"create", "-j", "1", "-o", dir / "out/app.run", "-c", "run.sh", dir / "src"});
  writer.send(SIGKILL);
  writer.finish();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sfx_pack: error: '" + (dir / "src/growing.log") +
                       "' changed while it was being packed\n");
  EXPECT_TRUE(list_dir(dir / "out").empty());
}

TEST(PackEndToEnd, InspectAndVerifyRejectAFileWithoutTrailer) {
  TempDir dir;
  write_file(dir / "plain", "just some bytes, no trailer\n");
  for (const std::string command : {"inspect", "verify"}) {
    const RunResult r = pack({command, dir / "plain"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sfx_pack: error: '" + (dir / "plain") +
                         "' has no trailer: it is not a distributable file\n");
  }
}

TEST(PackEndToEnd, VerifyNamesADamagedEntry) {
  TempDir dir;
  make_dir(dir / "src");
  write_file(dir / "src/run.sh", kRunScript, 0755);
  write_file(dir / "src/noise", random_bytes(5000, 9));  // Stored: a flipped byte stays a byte.
  ASSERT_EQ(pack({"create", "-o", dir / "app.run", "-c", "run.sh", dir / "src"}).exit_code, 0);
  std::string bytes = read_file(dir / "app.run");
  const RunResult json = pack({"inspect", "--json", dir / "app.run"});
  const std::size_t offset = json_number(json.out, "archive_offset");
  // The first entry, "noise": local header of 30 bytes and its 5-byte name, then the data.
  bytes[offset + 30 + 5 + 2500] ^= 0x10;
  write_file(dir / "app.run", bytes, 0755);
  const RunResult r = pack({"verify", dir / "app.run"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "sfx_pack: error: '" + (dir / "app.run") +
                "': the stub refuses entry 'noise': error -105 with zipfile in unzCloseCurrentFile\n");
}

TEST(PackEndToEnd, WhatTheStubRefusesIsNotPackedAndNotPassed) {
  TempDir dir;
  const std::string run = "#!/bin/sh\necho ran\n";
  ZipEntry data = ZipEntry::file("data.bin", std::string(4000, 'd'));
  data.deflate = false;
  std::string damaged = make_zip({ZipEntry::file("run.sh", run, 0100755), data});
  damaged[damaged.find("data.bin") + 8 + 2000] ^= 0x20;
  const std::pair<std::string, std::string> sources[] = {
      {make_zip({ZipEntry::file("run.sh", run, 0100755), ZipEntry::file("../escape", "x")}),
       "the stub refuses entry '../escape': refusing unsafe entry name ../escape"},
      {damaged, "the stub refuses entry 'data.bin': error -105 with zipfile in unzCloseCurrentFile"},
  };
  for (const auto& [zip, fault] : sources) {
    SCOPED_TRACE(fault);
    write_file(dir / "payload.zip", zip);
    const RunResult made =
        pack({"create", "-o", dir / "app.run", "-c", "run.sh", dir / "payload.zip"});
    EXPECT_EQ(made.exit_code, 1);
    EXPECT_EQ(made.err,
              "sfx_pack: error: the ZIP archive '" + (dir / "payload.zip") + "': " + fault + "\n");
    EXPECT_FALSE(sfx_testing::path_exists(dir / "app.run"));
    // Another generator's file with the same archive: verify fails on the same entry.
    sfx_testing::DistributableBuilder builder;
    builder.archive = zip;
    builder.command = "run.sh";
    builder.write(dir / "other.run");
    const RunResult verified = pack({"verify", dir / "other.run"});
    EXPECT_EQ(verified.exit_code, 1);
    EXPECT_EQ(verified.out, "");
    EXPECT_EQ(verified.err, "sfx_pack: error: '" + (dir / "other.run") + "': " + fault + "\n");
  }
}

TEST(PackEndToEnd, InspectJsonIsValidForNamesThatAreNoUtf8) {
  TempDir dir;
  const std::vector<std::string> names = {"plain.txt",         "caf\xc3\xa9",
                                          "byte-\xff",         "surrogate-\xed\xa0\x80",
                                          "overlong-\xc0\xaf", "beyond-\xf4\x90\x80\x80",
                                          "cut-\xe2\x82",      "real-\xc3\xbf"};
  std::vector<ZipEntry> entries = {ZipEntry::file("run.sh", "#!/bin/sh\n", 0100755)};
  for (const std::string& name : names) entries.push_back(ZipEntry::file(name, "x"));
  write_file(dir / "payload.zip", make_zip(entries));
  ASSERT_EQ(pack({"create", "-o", dir / "app.run", "-c", "run.sh\x01\xfe", dir / "payload.zip"})
                .exit_code,
            0);
  const RunResult json = pack({"inspect", "--json", dir / "app.run"});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  RunOptions feed;
  feed.stdin_data = json.out;
  const RunResult parsed =
      run_program("/usr/bin/python3",
                  {"-c",
                   "import json, sys\n"
                   "d = json.loads(sys.stdin.buffer.read().decode('utf-8', 'strict'))\n"
                   "print(ascii(d['command_template']), d.get('command_template_hex'))\n"
                   "for e in d['entries']:\n"
                   "    print(ascii(e['name']), e.get('name_hex'))\n"},
                  feed);
  EXPECT_EQ(parsed.exit_code, 0) << parsed.err;
  // 0xFF and a real "ÿ" (U+00FF) no longer come out alike: only the first is given in hex.
  EXPECT_EQ(parsed.out,
            "'run.sh\\x01\\ufffd' 72756e2e736801fe\n"
            "'run.sh' None\n"
            "'plain.txt' None\n"
            "'caf\\xe9' None\n"
            "'byte-\\ufffd' 627974652dff\n"
            "'surrogate-\\ufffd\\ufffd\\ufffd' 737572726f676174652deda080\n"
            "'overlong-\\ufffd\\ufffd' 6f7665726c6f6e672dc0af\n"
            "'beyond-\\ufffd\\ufffd\\ufffd\\ufffd' 6265796f6e642df4908080\n"
            "'cut-\\ufffd' 6375742de282\n"
            "'real-\\xff' None\n");
}

// A payload whose library is reached through a chain of links, a program started through a
// link, and a link to a directory.
void make_linked_payload(const std::string& root) {
  make_dir(root);
  write_file(root + "/run.sh", "#!/bin/sh\ncat lib/libdemo.so docs/readme\n", 0755);
  make_dir(root + "/lib");
  write_file(root + "/lib/libdemo.so.1.2", "library bytes\n", 0644);
  ASSERT_EQ(symlink("libdemo.so.1.2", (root + "/lib/libdemo.so.1").c_str()), 0);
  ASSERT_EQ(symlink("libdemo.so.1", (root + "/lib/libdemo.so").c_str()), 0);
  make_dir(root + "/bin");
  ASSERT_EQ(symlink("../run.sh", (root + "/bin/start").c_str()), 0);
  make_dir(root + "/share");
  make_dir(root + "/share/doc");
  write_file(root + "/share/doc/readme", "read me\n");
  ASSERT_EQ(symlink("share/doc", (root + "/docs").c_str()), 0);
}

TEST(PackEndToEnd, LinksInsideTheSourceAreStoredAsLinks) {
  TempDir dir;
  make_linked_payload(dir / "payload");
  const std::string app = dir / "app.run";
  const RunResult made = pack({"create", "-o", app, "-c", "bin/start", dir / "payload"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  EXPECT_EQ(made.err, "");  // bin/start is a link to an executable file: no warning.
  EXPECT_EQ(pack({"verify", app}).exit_code, 0);
  const RunResult listed = pack({"inspect", app});
  EXPECT_NE(listed.out.find("  lrwxrwxrwx            14            14  store    "),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("  lib/libdemo.so -> libdemo.so.1\n"), std::string::npos);
  EXPECT_NE(listed.out.find("  docs -> share/doc\n"), std::string::npos);
  // The layout other unpackers know: Info-ZIP lists the entries as links.
  write_file(dir / "carved.zip", carve(app));
  const RunResult info = run_program("/usr/bin/zipinfo", {dir / "carved.zip", "lib/libdemo.so"});
  EXPECT_EQ(info.out.rfind("lrwxrwxrwx  2.0 unx       12 b- stor ", 0), 0u) << info.out;
}

TEST(PackEndToEnd, LinksComeBackAsLinksThroughTheStub) {
  TempDir dir;
  make_linked_payload(dir / "payload");
  const std::string app = dir / "app.run";
  ASSERT_EQ(pack({"create", "-o", app, "-c", "bin/start", dir / "payload"}).exit_code, 0);
  make_dir(dir / "x");
  WorkRootWatch watch;
  const RunResult extracted =
      run_program(app, {"--sfx-extract-dir", dir / "x", "--sfx-extract-only"});
  ASSERT_EQ(extracted.exit_code, 0) << extracted.out << extracted.err;
  const std::string copy = dir / "x/app-dir";
  EXPECT_EQ(list_tree(copy), list_tree(dir / "payload"));
  EXPECT_EQ(list_tree(copy).size(), 11u);
  for (const auto& [link, target] :
       std::vector<std::pair<std::string, std::string>>{{"lib/libdemo.so.1", "libdemo.so.1.2"},
                                                        {"lib/libdemo.so", "libdemo.so.1"},
                                                        {"bin/start", "../run.sh"},
                                                        {"docs", "share/doc"}}) {
    SCOPED_TRACE(link);
    struct stat info_link;
    ASSERT_EQ(lstat((copy + "/" + link).c_str(), &info_link), 0);
    EXPECT_TRUE(S_ISLNK(info_link.st_mode));
    char text[64] = {};
    ASSERT_GT(readlink((copy + "/" + link).c_str(), text, sizeof text - 1), 0);
    EXPECT_EQ(std::string(text), target);
  }
  const RunResult ran = run_program(app, {});
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
  EXPECT_EQ(ran.out, "library bytes\nread me\n");
  EXPECT_EQ(watch.leftovers("app"), std::vector<std::string>{});
}

TEST(PackEndToEnd, ALinkLeadingOutsideIsAnErrorUnlessLinksAreFollowed) {
  TempDir dir;
  make_linked_payload(dir / "payload");
  write_file(dir / "secret", "not for the payload\n", 0600);
  ASSERT_EQ(symlink((dir / "secret").c_str(), (dir / "payload/shadow").c_str()), 0);
  const RunResult refused =
      pack({"create", "-o", dir / "app.run", "-c", "run.sh", dir / "payload"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "sfx_pack: error: '" + (dir / "payload/shadow") +
                             "' is a symbolic link to '" + (dir / "secret") +
                             "', outside the source directory (-L packs what it points to)\n");
  EXPECT_FALSE(sfx_testing::path_exists(dir / "app.run"));

  // -L stores what every link points to: the library three times, the secret as a file.
  for (const std::string option : {"-L", "--follow-symlinks"}) {
    SCOPED_TRACE(option);
    const RunResult made =
        pack({"create", option, "-o", dir / "app.run", "-c", "run.sh", dir / "payload"});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const RunResult listed = pack({"inspect", dir / "app.run"});
    EXPECT_EQ(listed.out.find("lrwx"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("  -rw-r--r--            14            14  store    2"),
              std::string::npos);
    EXPECT_NE(listed.out.find("  -rw-------            20            20  store    "),
              std::string::npos);
    EXPECT_NE(listed.out.find("  docs/readme\n"), std::string::npos);
  }
}

// The program that runs a pack for the progress test: it waits until the pack has created its
// temporary file in OUT_DIR, then stops it for a second and a half, so that the pack surely takes
// longer than a second however fast the machine. With "tty", the pack runs on a
// pseudo-terminal and everything it wrote there (both streams, line ends as "\r\n") is copied
// to standard output.
constexpr char kHeldPack[] =
    "import os, pty, signal, sys, time\n"
    "mode, out_dir, program = sys.argv[1], sys.argv[2], sys.argv[3:]\n"
    "if mode == 'tty':\n"
    "    pid, fd = pty.fork()\n"
    "else:\n"
    "    pid, fd = os.fork(), -1\n"
    "if pid == 0:\n"
    "    os.execv(program[0], program)\n"
    "while not os.listdir(out_dir):\n"
    "    time.sleep(0.001)\n"
    "os.kill(pid, signal.SIGSTOP)\n"
    "time.sleep(1.5)\n"
    "os.kill(pid, signal.SIGCONT)\n"
    "out = b''\n"
    "while fd >= 0:\n"
    "    try:\n"
    "        chunk = os.read(fd, 65536)\n"
    "    except OSError:\n"
    "        break\n"
    "    if not chunk:\n"
    "        break\n"
    "    out += chunk\n"
    "sys.stdout.buffer.write(out)\n"
    "sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))\n";

RunResult held_pack(const std::string& mode, const std::string& out_dir,
                    const std::vector<std::string>& args) {
  std::vector<std::string> python_args = {"-c", kHeldPack, mode, out_dir, pack_path()};
  python_args.insert(python_args.end(), args.begin(), args.end());
  RunOptions options;
  options.env_set.push_back(kZone);
  return run_program("/usr/bin/python3", python_args, options);
}

TEST(PackEndToEnd, ProgressLineOnATerminalOnlyAndNotWhenQuiet) {
  TempDir dir;
  make_dir(dir / "src");
  write_file(dir / "src/run.sh", kRunScript, 0755);
  make_sparse(dir / "src/zeros", off_t{128} << 20);
  make_dir(dir / "out");
  const std::vector<std::string> args = {"create", "-j",     "1",        "-o", dir / "out/app.run",
                                         "-c",     "run.sh", dir / "src"};
  const std::string summary = dir / "out/app.run" + ": 2 entries, archive of ";

  const RunResult shown = held_pack("tty", dir / "out", args);
  EXPECT_EQ(shown.exit_code, 0) << shown.err;
  const std::string& screen = shown.out;
  EXPECT_EQ(screen.rfind("\rpacked ", 0), 0u) << screen;
  EXPECT_NE(screen.find(" of 128.0 MiB ("), std::string::npos) << screen;
  EXPECT_NE(screen.find("/s, "), std::string::npos);
  EXPECT_NE(screen.find(" left\x1b[K"), std::string::npos);
  // The summary takes the line's place.
  const std::size_t erased = screen.rfind("\r\x1b[K");
  ASSERT_NE(erased, std::string::npos);
  EXPECT_EQ(screen.substr(erased + 4).rfind(summary, 0), 0u) << screen;
  EXPECT_EQ(screen.substr(screen.size() - 2), "\r\n");
  EXPECT_EQ(screen.find('\n'), screen.size() - 1);

  for (const std::string quiet : {"-q", "--quiet"}) {
    std::vector<std::string> quiet_args = args;
    quiet_args.insert(quiet_args.begin() + 1, quiet);
    ASSERT_EQ(unlink((dir / "out/app.run").c_str()), 0);
    const RunResult silent = held_pack("tty", dir / "out", quiet_args);
    EXPECT_EQ(silent.exit_code, 0);
    EXPECT_EQ(silent.out, "");
  }

  // Standard error a pipe: no progress, the summary alone on standard output.
  ASSERT_EQ(unlink((dir / "out/app.run").c_str()), 0);
  const RunResult piped = held_pack("pipe", dir / "out", args);
  EXPECT_EQ(piped.exit_code, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out.rfind(summary, 0), 0u) << piped.out;
  EXPECT_EQ(piped.out.find('\r'), std::string::npos);
}

}  // namespace
