#ifndef PACK_STUB_CHOICE_H_
#define PACK_STUB_CHOICE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pack/status.h"

// Which stub a distributable file is made with. Each machine has its own stub,
// "sfx_stub-MACHINE" (MACHINE as uname -m names it: x86_64, aarch64, armv7l, ppc64le), kept
// beside sfx_pack in a build tree and in the stub directory of an installation (lib/sfx
// beside bin/).

/// The stub directory of an installation, relative to the directory that holds sfx_pack.
#ifndef SFX_STUB_DIR_FROM_PROGRAM
#define SFX_STUB_DIR_FROM_PROGRAM "../lib/sfx"
#endif

/// The directory of the running program, resolved through /proc/self/exe; "" when unknown.
std::string program_directory();

/// Where the stub of `machine` is looked for, in order: "sfx_stub-MACHINE" in `program_dir`,
/// then in the stub directory of the installation.
std::vector<std::string> stub_places(const std::string& program_dir, const std::string& machine);

/// The machines whose stubs lie in those two directories, sorted, each once.
std::vector<std::string> installed_machines(const std::string& program_dir);

/// The uname -m name of the machine named `text` (Debian's names, such as arm64 or armhf, are
/// taken too). Returns a usage error for a text that is no machine name.
Status machine_from_option(const std::string& text, std::string& machine);

/// Sets `path` to the first of stub_places(`program_dir`, `machine`) that exists. Returns a
/// usage error naming the places and the machines whose stubs are there when none exists.
Status find_stub(const std::string& program_dir, const std::string& machine, std::string& path);

/// Checks that the stub `path`, open as `fd` and `size` bytes long, is a static executable for
/// `machine`. Returns a usage error that says what the stub is otherwise, or an input fault
/// when it cannot be read.
Status check_stub_image(int fd, std::uint64_t size, const std::string& path,
                        const std::string& machine);

#endif  // PACK_STUB_CHOICE_H_
