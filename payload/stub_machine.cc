#include "payload/stub_machine.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

// A stub reads files past 2 GiB and sets times past 2038 on every machine: 32-bit machines are
// built with 64-bit file offsets and times.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "build with -D_TIME_BITS=64");

namespace {

constexpr std::uint16_t ET_EXECUTABLE = 2;
constexpr std::uint16_t ET_SHARED = 3;
constexpr std::uint32_t PT_INTERPRETER = 3;
constexpr std::uint16_t PHDR_COUNT_ESCAPE = 0xFFFF;  // The count lives in a section header.
constexpr std::size_t ELF32_HEADER_SIZE = 52;
constexpr std::size_t ELF64_HEADER_SIZE = 64;
constexpr std::size_t ELF32_PHDR_SIZE = 32;
constexpr std::size_t ELF64_PHDR_SIZE = 56;

struct Machine {
  const char* name;         // As uname -m names it.
  const char* debian_name;  // Debian's architecture.
  const char* article;      // "a" or "an", as the name is spoken.
  std::uint16_t number;     // e_machine.
  int elf_class;
  bool big_endian;
};

constexpr Machine kMachines[] = {
    {"x86_64", "amd64", "an", 62, 2, false},    {"aarch64", "arm64", "an", 183, 2, false},
    {"armv7l", "armhf", "an", 40, 1, false},    {"ppc64le", "ppc64el", "a", 21, 2, false},
    {"ppc64", "ppc64", "a", 21, 2, true},       {"i686", "i386", "an", 3, 1, false},
    {"riscv64", "riscv64", "a", 243, 2, false}, {"s390x", "s390x", "an", 22, 2, true},
    {"mips64", "mips64el", "a", 8, 2, false},   {"loongarch64", "loong64", "a", 258, 2, false},
};

const Machine* find_machine(const StubFacts& facts) {
  if (facts.elf_class == 0) return nullptr;
  for (const Machine& machine : kMachines) {
    if (machine.number == facts.machine && machine.elf_class == facts.elf_class &&
        machine.big_endian == facts.big_endian) {
      return &machine;
    }
  }
  return nullptr;
}

// Reads up to `size` bytes at `offset`; returns the count read (short at the end of the file),
// or -1 with errno set.
ssize_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, static_cast<char*>(buffer) + done, size - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// A field of `width` bytes (2, 4 or 8) at `at`, in the file's byte order.
std::uint64_t field(const unsigned char* bytes, std::size_t at, int width, bool big_endian) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) {
    const unsigned char byte = bytes[at + static_cast<std::size_t>(big_endian ? i : width - 1 - i)];
    value = (value << 8) | byte;
  }
  return value;
}

}  // namespace

int read_stub_facts(int fd, std::uint64_t image_size, StubFacts& facts) {
  facts = StubFacts{};
  unsigned char header[ELF64_HEADER_SIZE] = {};
  const std::size_t wanted =
      image_size < sizeof header ? static_cast<std::size_t>(image_size) : sizeof header;
  const ssize_t got = read_at(fd, header, wanted, 0);
  if (got < 0) return -1;
  const std::size_t have = static_cast<std::size_t>(got);
  if (have >= 2 && header[0] == '#' && header[1] == '!') {
    facts.kind = StubKind::kScript;
    return 0;
  }
  if (have < 6 ||
      std::memcmp(header,
                  "\x7f"
                  "ELF",
                  4) != 0 ||
      (header[4] != 1 && header[4] != 2) || (header[5] != 1 && header[5] != 2)) {
    return 0;  // kNotElf.
  }
  facts.elf_class = header[4];
  facts.big_endian = header[5] == 2;
  const bool wide = facts.elf_class == 2;
  const bool big = facts.big_endian;
  if (have >= 20) facts.machine = static_cast<std::uint16_t>(field(header, 18, 2, big));
  if (have < (wide ? ELF64_HEADER_SIZE : ELF32_HEADER_SIZE)) {
    facts.kind = StubKind::kDamagedElf;
    return 0;
  }
  const auto type = static_cast<std::uint16_t>(field(header, 16, 2, big));
  const std::uint64_t entry = field(header, 24, wide ? 8 : 4, big);
  const std::uint64_t table = field(header, wide ? 32 : 28, wide ? 8 : 4, big);
  const std::size_t entry_size = field(header, wide ? 54 : 42, 2, big);
  const std::size_t count = field(header, wide ? 56 : 44, 2, big);
  if (type != ET_EXECUTABLE && type != ET_SHARED) {
    facts.kind = StubKind::kOtherElf;
    return 0;
  }
  // The program headers: a PT_INTERP names the interpreter a dynamically linked program needs.
  if (entry_size != (wide ? ELF64_PHDR_SIZE : ELF32_PHDR_SIZE) || count == PHDR_COUNT_ESCAPE ||
      table > image_size || count * entry_size > image_size - table) {
    facts.kind = StubKind::kDamagedElf;
    return 0;
  }
  std::vector<unsigned char> headers(count * entry_size);
  const ssize_t read = read_at(fd, headers.data(), headers.size(), table);
  if (read < 0) return -1;
  if (static_cast<std::size_t>(read) != headers.size()) {
    facts.kind = StubKind::kDamagedElf;
    return 0;
  }
  bool interpreter = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (field(headers.data(), i * entry_size, 4, big) == PT_INTERPRETER) interpreter = true;
  }
  if (interpreter) {
    facts.kind = StubKind::kDynamicExecutable;
  } else if (type == ET_EXECUTABLE || entry != 0) {  // A static-pie program has an entry point.
    facts.kind = StubKind::kStaticExecutable;
  } else {
    facts.kind = StubKind::kSharedLibrary;
  }
  return 0;
}

bool is_static_executable(const StubFacts& facts) {
  return facts.kind == StubKind::kStaticExecutable;
}

std::string machine_name(const StubFacts& facts) {
  const Machine* machine = find_machine(facts);
  return machine != nullptr ? machine->name : "";
}

std::string machine_text(const StubFacts& facts) {
  if (facts.elf_class == 0) return "unknown";
  const std::string name = machine_name(facts);
  return name.empty() ? "ELF machine " + std::to_string(facts.machine) : name;
}

std::string stub_machine_text(int fd, std::uint64_t image_size) {
  StubFacts facts;
  if (read_stub_facts(fd, image_size, facts) != 0) return "unknown";
  return machine_text(facts);
}

std::string stub_machine_text(const std::string& path, std::uint64_t image_size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "unknown";
  const std::string text = stub_machine_text(fd, image_size);
  close(fd);
  return text;
}

std::string describe_stub(const StubFacts& facts) {
  const char* noun = nullptr;
  switch (facts.kind) {
    case StubKind::kNotElf:
      return "no ELF file";
    case StubKind::kScript:
      return "a script";
    case StubKind::kDamagedElf:
      return "a damaged ELF file";
    case StubKind::kStaticExecutable:
      noun = "static executable";
      break;
    case StubKind::kDynamicExecutable:
      noun = "dynamically linked executable";
      break;
    case StubKind::kSharedLibrary:
      noun = "shared library";
      break;
    case StubKind::kOtherElf:
      noun = "ELF file that is no executable";
      break;
  }
  if (const Machine* machine = find_machine(facts); machine != nullptr) {
    return std::string(machine->article) + " " + machine->name + " " + noun;
  }
  return std::string(noun[0] == 'E' ? "an " : "a ") + noun + " for ELF machine " +
         std::to_string(facts.machine);
}

std::string host_machine() {
  struct utsname names;
  if (uname(&names) != 0) return "";
  return names.machine;
}

std::string canonical_machine(const std::string& name) {
  for (const Machine& machine : kMachines) {
    if (name == machine.debian_name) return machine.name;
  }
  return name;
}
