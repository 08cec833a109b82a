#include "pack/stub_choice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "payload/stub_machine.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::elf_image;
using sfx_testing::ElfMachine;
using sfx_testing::TempDir;
using sfx_testing::write_file;

// An installation in `dir`: bin/ for sfx_pack, lib/sfx/ for the stubs.
void make_installation(const TempDir& dir) {
  ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "lib").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "lib/sfx").c_str(), 0755), 0);
}

TEST(FindStub, TakesTheStubBesideTheProgramFirstThenTheInstalledOne) {
  TempDir dir;
  make_installation(dir);
  write_file(dir / "lib/sfx/sfx_stub-aarch64", "installed", 0755);
  std::string path;
  ASSERT_TRUE(find_stub(dir / "bin", "aarch64", path).is_ok());
  EXPECT_EQ(path, dir / "bin/../lib/sfx/sfx_stub-aarch64");
  write_file(dir / "bin/sfx_stub-aarch64", "beside", 0755);
  ASSERT_TRUE(find_stub(dir / "bin", "aarch64", path).is_ok());
  EXPECT_EQ(path, dir / "bin/sfx_stub-aarch64");
  EXPECT_EQ(stub_places("/", "x86_64"),
            (std::vector<std::string>{"/sfx_stub-x86_64", "/../lib/sfx/sfx_stub-x86_64"}));
}

TEST(FindStub, AMissingStubNamesThePlacesAndTheStubsThereAre) {
  TempDir dir;
  make_installation(dir);
  std::string path;
  Status status = find_stub(dir / "bin", "riscv64", path);
  EXPECT_EQ(status.exit_status(), EXIT_PACK_USAGE);
  EXPECT_EQ(status.message(),
            sfx_testing::with_dir("no stub for riscv64: neither '@/bin/sfx_stub-riscv64' nor "
                                  "'@/bin/../lib/sfx/sfx_stub-riscv64' exists; there is no stub "
                                  "in either place",
                                  dir.path()));

  write_file(dir / "lib/sfx/sfx_stub-x86_64", "stub", 0755);
  write_file(dir / "lib/sfx/sfx_stub-armv7l", "stub", 0755);
  write_file(dir / "bin/sfx_stub-aarch64", "stub", 0755);
  write_file(dir / "bin/sfx_stub-x86_64", "stub", 0755);  // Named once.
  write_file(dir / "bin/sfx_stub-", "no machine", 0755);
  write_file(dir / "bin/sfx_stub-x86_64.old", "no machine name", 0755);
  write_file(dir / "bin/sfx_pack", "program", 0755);
  ASSERT_EQ(mkdir((dir / "lib/sfx/sfx_stub-ppc64le").c_str(), 0755), 0);  // No file.
  EXPECT_EQ(installed_machines(dir / "bin"),
            (std::vector<std::string>{"aarch64", "armv7l", "x86_64"}));
  status = find_stub(dir / "bin", "riscv64", path);
  EXPECT_EQ(status.exit_status(), EXIT_PACK_USAGE);
  EXPECT_EQ(status.message(),
            sfx_testing::with_dir("no stub for riscv64: neither '@/bin/sfx_stub-riscv64' nor "
                                  "'@/bin/../lib/sfx/sfx_stub-riscv64' exists; there are stubs "
                                  "for aarch64, armv7l, x86_64",
                                  dir.path()));
}

TEST(MachineFromOption, TakesUnameAndDebianNamesAndNothingElse) {
  const std::pair<const char*, const char*> taken[] = {
      {"x86_64", "x86_64"}, {"amd64", "x86_64"},    {"arm64", "aarch64"},
      {"armhf", "armv7l"},  {"ppc64el", "ppc64le"}, {"riscv64", "riscv64"}};
  for (const auto& [text, expected] : taken) {
    std::string machine;
    EXPECT_TRUE(machine_from_option(text, machine).is_ok()) << text;
    EXPECT_EQ(machine, expected);
  }
  for (const char* text : {"", "../x", "a/b", "AARCH64", "arm 64", "x86-64", "-"}) {
    std::string machine;
    const Status status = machine_from_option(text, machine);
    EXPECT_EQ(status.exit_status(), EXIT_PACK_USAGE) << text;
    EXPECT_EQ(status.message(), "the machine " + quoted(text) +
                                    " is no machine name; name it as uname -m does, such as "
                                    "x86_64, aarch64, armv7l or ppc64le");
  }
}

struct ImageCheck {
  const char* name;
  std::string image;
  const char* machine;
  int exit_status;
  std::string message;  // "@" stands for the stub's path.
};

TEST(CheckStubImage, TakesOnlyAStaticExecutableForTheMachine) {
  const ElfMachine aarch64{2, 1, 183};
  const ElfMachine armv7l{1, 1, 40};
  const ElfMachine ppc64le{2, 1, 21};
  const ImageCheck checks[] = {
      {"aarch64 for aarch64", elf_image("x", 2, false, 0x400000, aarch64), "aarch64", 0, ""},
      {"armv7l for armv7l", elf_image("x", 2, false, 0x10000, armv7l), "armv7l", 0, ""},
      {"aarch64 for armv7l", elf_image("x", 2, false, 0x400000, aarch64), "armv7l", EXIT_PACK_USAGE,
       "the stub '@' is an aarch64 static executable, not one for armv7l (--arch aarch64 packs "
       "for aarch64)"},
      {"ppc64le for x86_64", elf_image("x", 2, false, 0x400000, ppc64le), "x86_64", EXIT_PACK_USAGE,
       "the stub '@' is a ppc64le static executable, not one for x86_64 (--arch ppc64le packs "
       "for ppc64le)"},
      {"machine without a name", elf_image("x", 2, false, 0x1000, ElfMachine{2, 1, 999}), "aarch64",
       EXIT_PACK_USAGE,
       "the stub '@' is a static executable for ELF machine 999; the stub must be a static "
       "executable for aarch64"},
      {"relocatable object", elf_image("x", 1, false, 0, aarch64), "aarch64", EXIT_PACK_USAGE,
       "the stub '@' is an aarch64 ELF file that is no executable; the stub must be a static "
       "executable for aarch64"},
      {"damaged", elf_image("x", 2, false, 0x1000, aarch64).substr(0, 50), "aarch64",
       EXIT_PACK_USAGE,
       "the stub '@' is a damaged ELF file; the stub must be a static executable for aarch64"},
      {"script", "#!/bin/sh\n", "aarch64", EXIT_PACK_USAGE,
       "the stub '@' is a script; the stub must be a static executable for aarch64"},
      {"text", "MZ and more", "aarch64", EXIT_PACK_USAGE,
       "the stub '@' is no ELF file; the stub must be a static executable for aarch64"},
  };
  for (const ImageCheck& check : checks) {
    SCOPED_TRACE(check.name);
    TempDir dir;
    write_file(dir / "stub", check.image, 0755);
    const int fd = open((dir / "stub").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const Status status = check_stub_image(fd, check.image.size(), dir / "stub", check.machine);
    close(fd);
    EXPECT_EQ(status.exit_status(), check.exit_status);
    EXPECT_EQ(status.message(), sfx_testing::with_dir(check.message, dir / "stub"));
  }
}

TEST(CheckStubImage, ADynamicStubIsTakenOnlyInTheSanitizerBuild) {
  TempDir dir;
  const ElfMachine aarch64{2, 1, 183};
  write_file(dir / "stub", elf_image("x", 2, true, 0x400000, aarch64), 0755);
  const int fd = open((dir / "stub").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const Status status = check_stub_image(fd, 200, dir / "stub", "aarch64");
  close(fd);
  if (sfx_testing::sanitized_build()) {
    EXPECT_TRUE(status.is_ok());
  } else {
    EXPECT_EQ(status.message(), "the stub '" + dir / "stub" +
                                    "' is an aarch64 dynamically linked executable; the stub "
                                    "must be a static executable for aarch64");
  }
}

TEST(ProgramDirectory, IsTheDirectoryOfTheRunningProgram) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  const std::string path(self, static_cast<std::size_t>(length));
  EXPECT_EQ(program_directory(), path.substr(0, path.rfind('/')));
}

}  // namespace
