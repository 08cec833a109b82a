#include "fuzz/fuzz_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace sfx_fuzz {
namespace {

std::vector<std::string> g_scratch_roots;

void remove_scratch_roots() {
  std::error_code ignored;
  for (const std::string& root : g_scratch_roots) std::filesystem::remove_all(root, ignored);
}

std::string make_dir_in(const std::string& base, const char* tag) {
  std::string pattern = base + "/sfx_fuzz_" + tag + "_XXXXXX";
  check(mkdtemp(pattern.data()) != nullptr, "cannot create the scratch directory");
  if (g_scratch_roots.empty()) std::atexit(remove_scratch_roots);
  g_scratch_roots.push_back(pattern);
  return pattern;
}

}  // namespace

std::string make_scratch_dir(const char* tag) {
  struct stat st;
  std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
  if (const char* chosen = std::getenv("SFX_FUZZ_SCRATCH"); chosen != nullptr && *chosen != '\0') {
    base = chosen;
  }
  return make_dir_in(base, tag);
}

std::string make_disk_scratch_dir(const char* tag) {
  const char* chosen = std::getenv("SFX_FUZZ_DISK_SCRATCH");
  return make_dir_in(chosen != nullptr && *chosen != '\0' ? chosen : "/tmp", tag);
}

void write_input(const std::string& path, const std::uint8_t* data, std::size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0, "cannot create the input file");
  for (std::size_t done = 0; done < size;) {
    ssize_t put = write(fd, data + done, size - done);
    check(put > 0, "cannot write the input file");
    done += static_cast<std::size_t>(put);
  }
  check(close(fd) == 0, "cannot close the input file");
}

std::string read_small_file(const std::string& path) {
  std::string text;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return text;
  char buffer[4096];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, in)) text.append(buffer, got);
  std::fclose(in);
  return text;
}

void clear_dir(const std::string& dir) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    std::filesystem::remove_all(entry.path(), error);
    check(!error, "cannot clear the scratch directory");
  }
  check(!error, "cannot list the scratch directory");
}

void silence_stdio() {
  std::FILE* null_out = std::fopen("/dev/null", "w");
  std::FILE* null_err = std::fopen("/dev/null", "w");
  check(null_out != nullptr && null_err != nullptr, "cannot open /dev/null");
  stdout = null_out;
  stderr = null_err;
}

void check(bool condition, const char* what) {
  if (condition) return;
  dprintf(2, "FUZZ CHECK FAILED: %s\n", what);
  std::abort();
}

}  // namespace sfx_fuzz
