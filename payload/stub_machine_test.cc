#include "payload/stub_machine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include "testing/test_util.h"

namespace {

using sfx_testing::elf_image;
using sfx_testing::ElfMachine;
using sfx_testing::TempDir;
using sfx_testing::write_file;

constexpr ElfMachine kX86_64{2, 1, 62};
constexpr ElfMachine kAarch64{2, 1, 183};
constexpr ElfMachine kArmv7l{1, 1, 40};
constexpr ElfMachine kPpc64le{2, 1, 21};
constexpr ElfMachine kPpc64{2, 2, 21};

struct ImageCase {
  const char* name;
  std::string image;
  std::optional<std::uint64_t> image_size;  // Default: the whole image.
  StubKind kind;
  const char* machine_name;
  const char* machine_text;
  const char* description;
};

// Reads the facts of `image` written to a file, as the stub and sfx_pack do.
StubFacts facts_of(const std::string& image, std::uint64_t image_size) {
  TempDir dir;
  write_file(dir / "image", image + "PK archive bytes after the image");
  const int fd = open((dir / "image").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  StubFacts facts;
  EXPECT_EQ(read_stub_facts(fd, image_size, facts), 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);  // The descriptor's offset is left alone.
  close(fd);
  return facts;
}

TEST(StubFacts, TellTheMachineAndWhetherTheImageIsAStaticExecutable) {
  const std::string body = "image\n";
  const std::string executable = elf_image(body, 2, false, 0x401000, kX86_64);
  const ImageCase cases[] = {
      {"x86_64", executable, std::nullopt, StubKind::kStaticExecutable, "x86_64", "x86_64",
       "an x86_64 static executable"},
      {"aarch64", elf_image(body, 2, false, 0x400000, kAarch64), std::nullopt,
       StubKind::kStaticExecutable, "aarch64", "aarch64", "an aarch64 static executable"},
      {"armv7l", elf_image(body, 2, false, 0x10000, kArmv7l), std::nullopt,
       StubKind::kStaticExecutable, "armv7l", "armv7l", "an armv7l static executable"},
      {"ppc64le", elf_image(body, 2, false, 0x10000000, kPpc64le), std::nullopt,
       StubKind::kStaticExecutable, "ppc64le", "ppc64le", "a ppc64le static executable"},
      {"big-endian ppc64", elf_image(body, 2, false, 0x10000000, kPpc64), std::nullopt,
       StubKind::kStaticExecutable, "ppc64", "ppc64", "a ppc64 static executable"},
      {"static-pie", elf_image(body, 3, false, 0x1040, kAarch64), std::nullopt,
       StubKind::kStaticExecutable, "aarch64", "aarch64", "an aarch64 static executable"},
      {"dynamically linked", elf_image(body, 2, true, 0x401000, kX86_64), std::nullopt,
       StubKind::kDynamicExecutable, "x86_64", "x86_64", "an x86_64 dynamically linked executable"},
      {"dynamically linked pie", elf_image(body, 3, true, 0x1040, kArmv7l), std::nullopt,
       StubKind::kDynamicExecutable, "armv7l", "armv7l", "an armv7l dynamically linked executable"},
      {"shared library", elf_image(body, 3, false, 0, kX86_64), std::nullopt,
       StubKind::kSharedLibrary, "x86_64", "x86_64", "an x86_64 shared library"},
      {"relocatable object", elf_image(body, 1, false, 0, kX86_64), std::nullopt,
       StubKind::kOtherElf, "x86_64", "x86_64", "an x86_64 ELF file that is no executable"},
      {"machine without a name", elf_image(body, 2, false, 0x1000, ElfMachine{2, 1, 999}),
       std::nullopt, StubKind::kStaticExecutable, "", "ELF machine 999",
       "a static executable for ELF machine 999"},
      {"known number, other class", elf_image(body, 2, false, 0x1000, ElfMachine{1, 1, 62}),
       std::nullopt, StubKind::kStaticExecutable, "", "ELF machine 62",
       "a static executable for ELF machine 62"},
      {"program headers past the image", executable, std::uint64_t{64 + 20}, StubKind::kDamagedElf,
       "x86_64", "x86_64", "a damaged ELF file"},
      {"header cut short", executable.substr(0, 40), std::nullopt, StubKind::kDamagedElf, "x86_64",
       "x86_64", "a damaged ELF file"},
      {"image ends inside the header", executable, std::uint64_t{40}, StubKind::kDamagedElf,
       "x86_64", "x86_64", "a damaged ELF file"},
      {"odd program header size",
       [&] {
         std::string image = executable;
         image[54] = 40;  // e_phentsize.
         return image;
       }(),
       std::nullopt, StubKind::kDamagedElf, "x86_64", "x86_64", "a damaged ELF file"},
      {"script", "#!/bin/sh\nexit 0\n", std::nullopt, StubKind::kScript, "", "unknown", "a script"},
      {"text", "just some text", std::nullopt, StubKind::kNotElf, "", "unknown", "no ELF file"},
      {"ELF magic, no class",
       std::string("\x7f"
                   "ELF\x07\x01",
                   6) +
           std::string(60, '\0'),
       std::nullopt, StubKind::kNotElf, "", "unknown", "no ELF file"},
      {"empty", "", std::nullopt, StubKind::kNotElf, "", "unknown", "no ELF file"},
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const StubFacts facts = facts_of(c.image, c.image_size.value_or(c.image.size()));
    EXPECT_EQ(facts.kind, c.kind);
    EXPECT_EQ(is_static_executable(facts), c.kind == StubKind::kStaticExecutable);
    EXPECT_EQ(machine_name(facts), c.machine_name);
    EXPECT_EQ(machine_text(facts), c.machine_text);
    EXPECT_EQ(describe_stub(facts), c.description);
  }
}

TEST(StubFacts, ReadsTheBuiltStub) {
  TempDir dir;
  const std::string stub = sfx_testing::read_file(sfx_testing::stub_path());
  write_file(dir / "file", stub + "PK");
  const int fd = open((dir / "file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  StubFacts facts;
  ASSERT_EQ(read_stub_facts(fd, stub.size(), facts), 0);
  EXPECT_EQ(machine_name(facts), host_machine());
  EXPECT_EQ(stub_machine_text(fd, stub.size()), host_machine());
  EXPECT_EQ(stub_machine_text(dir / "file", stub.size()), host_machine());
  // The sanitizer build's stub is linked dynamically.
  EXPECT_EQ(is_static_executable(facts), !sfx_testing::sanitized_build());
  close(fd);
}

TEST(StubFacts, AFileThatCannotBeReadIsUnknown) {
  StubFacts facts;
  errno = 0;
  EXPECT_EQ(read_stub_facts(-1, 100, facts), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(stub_machine_text(-1, 100), "unknown");
  EXPECT_EQ(stub_machine_text("/nonexistent/file", 100), "unknown");
  TempDir dir;  // A directory opens, but reading it fails.
  EXPECT_EQ(stub_machine_text(dir.path(), 100), "unknown");
}

TEST(HostMachine, IsWhatUnameSays) {
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(host_machine(), names.machine);
}

TEST(CanonicalMachine, TakesDebianNamesForUnameNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"amd64", "x86_64"},    {"arm64", "aarch64"},   {"armhf", "armv7l"},
      {"ppc64el", "ppc64le"}, {"x86_64", "x86_64"},   {"aarch64", "aarch64"},
      {"riscv64", "riscv64"}, {"sparc64", "sparc64"}, {"", ""},
  };
  for (const auto& [given, expected] : cases)
    EXPECT_EQ(canonical_machine(given), expected) << given;
}

}  // namespace
