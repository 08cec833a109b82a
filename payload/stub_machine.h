#ifndef PAYLOAD_STUB_MACHINE_H_
#define PAYLOAD_STUB_MACHINE_H_

#include <cstdint>
#include <string>

// What a stub is, read from the ELF header at the start of its image: the machine it runs on
// and whether it runs without a program interpreter. sfx_pack checks a stub with it before
// packing behind it; `sfx_pack inspect` and the stub's --sfx-info show the machine of the
// bytes before a distributable file's archive. Machines are named as uname -m names them.

/// What the start of a file is.
enum class StubKind {
  kNotElf,             ///< No ELF header (and no "#!").
  kScript,             ///< Starts with "#!".
  kStaticExecutable,   ///< An executable that names no program interpreter (static-pie too).
  kDynamicExecutable,  ///< An executable or library that names a program interpreter.
  kSharedLibrary,      ///< A shared object with neither interpreter nor entry point.
  kOtherElf,           ///< A relocatable object, a core file, or another ELF type.
  kDamagedElf,         ///< An ELF header whose program headers lie outside the image.
};

/// The facts read_stub_facts finds.
struct StubFacts {
  StubKind kind = StubKind::kNotElf;
  int elf_class = 0;  ///< 1 for 32-bit, 2 for 64-bit; 0 without an ELF header.
  bool big_endian = false;
  std::uint16_t machine = 0;  ///< The ELF machine number (e_machine).
};

/// Reads the ELF header and program headers of the image that fills the first `image_size`
/// bytes of `fd`, with pread (the descriptor's offset is left alone); nothing past
/// `image_size` is read. Returns 0, or -1 with errno set when the file cannot be read (a file
/// shorter than its headers is no failure: it is kNotElf or kDamagedElf).
int read_stub_facts(int fd, std::uint64_t image_size, StubFacts& facts);

/// True for a stub that runs on any Linux machine of its kind: a static executable.
bool is_static_executable(const StubFacts& facts);

/// The machine's name as uname -m gives it ("x86_64", "aarch64", "armv7l", "ppc64le", ...),
/// or "" for a file without an ELF header or of a machine this table does not name.
std::string machine_name(const StubFacts& facts);

/// The machine as inspect and --sfx-info show it: machine_name, "ELF machine N" for a machine
/// without a name here, "unknown" without an ELF header.
std::string machine_text(const StubFacts& facts);

/// The machine of the image in the first `image_size` bytes of `fd`, as machine_text shows it;
/// "unknown" when it cannot be read.
std::string stub_machine_text(int fd, std::uint64_t image_size);

/// The same for the file `path`, opened for this read only.
std::string stub_machine_text(const std::string& path, std::uint64_t image_size);

/// What the file is, for a message: "an aarch64 static executable", "an x86_64 dynamically
/// linked executable", "a script", "no ELF file", ...
std::string describe_stub(const StubFacts& facts);

/// The machine this program runs on, as uname -m names it; "" when uname fails.
std::string host_machine();

/// The uname -m name for a machine given by its Debian architecture name ("arm64" gives
/// "aarch64", "armhf" "armv7l", "ppc64el" "ppc64le", "amd64" "x86_64"); any other text is
/// returned as it is.
std::string canonical_machine(const std::string& name);

#endif  // PAYLOAD_STUB_MACHINE_H_
