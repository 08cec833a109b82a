#include "pack/stub_choice.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "payload/stub_machine.h"

namespace {

constexpr char kStubPrefix[] = "sfx_stub-";

std::string stub_name(const std::string& machine) { return kStubPrefix + machine; }

std::string join(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

bool is_machine_word(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

}  // namespace

std::string program_directory() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "";
  const std::string path(self, static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
}

std::vector<std::string> stub_places(const std::string& program_dir, const std::string& machine) {
  const std::string dir = program_dir == "/" ? "" : program_dir;
  return {dir + "/" + stub_name(machine),
          dir + "/" + SFX_STUB_DIR_FROM_PROGRAM + "/" + stub_name(machine)};
}

std::vector<std::string> installed_machines(const std::string& program_dir) {
  const std::string dir = program_dir == "/" ? "" : program_dir;
  std::vector<std::string> machines;
  for (const std::string& place : {dir + "/.", dir + "/" + SFX_STUB_DIR_FROM_PROGRAM}) {
    DIR* listing = opendir(place.c_str());
    if (listing == nullptr) continue;
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      const std::string machine = name.substr(0, sizeof kStubPrefix - 1) == kStubPrefix
                                      ? name.substr(sizeof kStubPrefix - 1)
                                      : "";
      struct stat info;
      if (is_machine_word(machine) && stat((place + "/" + name).c_str(), &info) == 0 &&
          S_ISREG(info.st_mode)) {
        machines.push_back(machine);
      }
    }
    closedir(listing);
  }
  std::sort(machines.begin(), machines.end());
  machines.erase(std::unique(machines.begin(), machines.end()), machines.end());
  return machines;
}

Status machine_from_option(const std::string& text, std::string& machine) {
  machine = canonical_machine(text);
  if (is_machine_word(machine)) return Status::ok();
  return Status::usage("the machine " + quoted(text) +
                       " is no machine name; name it as uname -m does, such as x86_64, aarch64, "
                       "armv7l or ppc64le");
}

Status find_stub(const std::string& program_dir, const std::string& machine, std::string& path) {
  const std::vector<std::string> places = stub_places(program_dir, machine);
  for (const std::string& place : places) {
    struct stat info;
    if (stat(place.c_str(), &info) == 0) {
      path = place;
      return Status::ok();
    }
  }
  const std::vector<std::string> machines = installed_machines(program_dir);
  return Status::usage("no stub for " + machine + ": neither " + quoted(places[0]) + " nor " +
                       quoted(places[1]) + " exists; " +
                       (machines.empty() ? std::string("there is no stub in either place")
                                         : "there are stubs for " + join(machines)));
}

Status check_stub_image(int fd, std::uint64_t size, const std::string& path,
                        const std::string& machine) {
  StubFacts facts;
  if (read_stub_facts(fd, size, facts) != 0) {
    return Status::input_fault("cannot read the stub " + quoted(path) + ": " + error_text(errno));
  }
  const std::string is = "the stub " + quoted(path) + " is " + describe_stub(facts);
  const std::string own = machine_name(facts);
  if (is_static_executable(facts) && own == machine) return Status::ok();
#ifdef SFX_DYNAMIC_STUB_ALLOWED
  // The sanitizer build's stub cannot be linked statically.
  if (facts.kind == StubKind::kDynamicExecutable && own == machine) return Status::ok();
#endif
  if (is_static_executable(facts) && !own.empty()) {
    return Status::usage(is + ", not one for " + machine + " (--arch " + own + " packs for " + own +
                         ")");
  }
  return Status::usage(is + "; the stub must be a static executable for " + machine);
}
