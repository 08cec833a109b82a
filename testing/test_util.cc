#include "testing/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <minizip/zip.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace sfx_testing {
namespace {

std::string from_env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

#ifndef SFX_STUB_PATH
#define SFX_STUB_PATH ""
#endif
#ifndef SFX_PACK_PATH
#define SFX_PACK_PATH ""
#endif

std::string stub_path() { return from_env_or("SFX_STUB", SFX_STUB_PATH); }
std::string pack_path() { return from_env_or("SFX_PACK", SFX_PACK_PATH); }

bool sanitized_build() {
#ifdef SFX_SANITIZED_BUILD
  return true;
#else
  return false;
#endif
}

std::string stub_emulator() { return from_env_or("SFX_STUB_EMULATOR", ""); }

ElfMachine elf_machine_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char header[20] = {};
  ElfMachine machine;
  if (!in.read(header, sizeof header) || std::memcmp(header,
                                                     "\x7f"
                                                     "ELF",
                                                     4) != 0)
    return machine;
  machine.elf_class = header[4];
  machine.data = header[5];
  const auto low = static_cast<unsigned char>(header[machine.data == 2 ? 19 : 18]);
  const auto high = static_cast<unsigned char>(header[machine.data == 2 ? 18 : 19]);
  machine.number = static_cast<std::uint16_t>(high << 8 | low);
  return machine;
}

std::string machine_name_of(const std::string& path) {
  const ElfMachine machine = elf_machine_of(path);
  const std::pair<ElfMachine, const char*> names[] = {{{2, 1, 62}, "x86_64"},
                                                      {{2, 1, 183}, "aarch64"},
                                                      {{1, 1, 40}, "armv7l"},
                                                      {{2, 1, 21}, "ppc64le"}};
  for (const auto& [known, name] : names) {
    if (machine == known) return name;
  }
  return "";
}

std::string elf_image(const std::string& body, std::uint16_t type, bool interpreter,
                      std::uint64_t entry, std::optional<ElfMachine> machine) {
  const ElfMachine m = machine.value_or(elf_machine_of("/proc/self/exe"));
  const bool wide = m.elf_class == 2;
  const bool big = m.data == 2;
  std::string image;
  auto put = [&](std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
      const int shift = 8 * (big ? width - 1 - i : i);
      image += static_cast<char>((value >> shift) & 0xFF);
    }
  };
  const int word = wide ? 8 : 4;
  const std::uint64_t header_size = wide ? 64 : 52;
  const std::uint64_t entry_size = wide ? 56 : 32;
  const int count = interpreter ? 2 : 1;
  image +=
      "\x7f"
      "ELF";
  image += static_cast<char>(m.elf_class);
  image += static_cast<char>(m.data);
  image += '\x01';  // Version.
  image += std::string(9, '\0');
  put(type, 2);
  put(m.number, 2);
  put(1, 4);  // Version.
  put(entry, word);
  put(header_size, word);  // The program headers follow the header.
  put(0, word);            // No section headers.
  put(0, 4);               // Flags.
  put(header_size, 2);
  put(entry_size, 2);
  put(static_cast<std::uint64_t>(count), 2);
  put(0, 2);  // Section header size, count and name index.
  put(0, 2);
  put(0, 2);
  for (int i = 0; i < count; ++i) {
    const std::size_t start = image.size();
    put(i == 0 ? 1 : 3, 4);  // PT_LOAD, then PT_INTERP.
    image.resize(start + entry_size, '\0');
  }
  return image + body;
}

Spawned::Spawned(const std::string& path, const std::vector<std::string>& args,
                 const RunOptions& options)
    : timeout_seconds_(options.timeout_seconds) {
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
      pipe2(in_pipe, O_CLOEXEC) != 0) {
    fail("pipe");
  }
  std::vector<std::string> argv_text;
  std::string program = path;
  const std::string emulator = stub_emulator();
  const std::string from_test =  // The program as the test's own directory reaches it.
      path[0] == '/' || options.cwd.empty() ? path : options.cwd + "/" + path;
  const ElfMachine machine = emulator.empty() ? ElfMachine{} : elf_machine_of(from_test);
  if (machine.elf_class != 0 && !(machine == elf_machine_of("/proc/self/exe"))) {
    // A program of another machine runs under the emulator, which is given its argv[0].
    program = emulator;
    argv_text = {emulator, "-0", options.argv0.value_or(path), path};
  } else {
    argv_text.push_back(options.argv0.value_or(path));
  }
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  if (!options.empty_argv) {
    for (std::string& arg : argv_text) argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  if (options.stdout_closed) {
    // Before the program starts, so that not even its first write finds a reader.
    close(out_pipe[0]);
    out_pipe[0] = -1;
  }
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(121);
    for (const auto& [name, value] : options.env_set) setenv(name.c_str(), value.c_str(), 1);
    for (const auto& name : options.env_unset) unsetenv(name.c_str());
    signal(SIGPIPE, SIG_DFL);
    for (int signal_number : options.ignored_signals) signal(signal_number, SIG_IGN);
    if (program.find('/') == std::string::npos) {
      execvp(program.c_str(), argv.data());  // An emulator named without a path.
    } else {
      execve(program.c_str(), argv.data(), environ);
    }
    _exit(122);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (!options.stdin_data.empty()) {
    // Small inputs only: they fit the pipe's buffer.
    ssize_t ignored = write(in_pipe[1], options.stdin_data.data(), options.stdin_data.size());
    (void)ignored;
  }
  close(in_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

Spawned::~Spawned() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    finish();
  }
}

void Spawned::send(int signal_number) { kill(pid_, signal_number); }

RunResult Spawned::finish() {
  RunResult result;
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = out_fd_ < 0 ? 1 : 2;
  const std::time_t deadline = std::time(nullptr) + timeout_seconds_;
  bool killed = false;
  while (open_count > 0) {
    int ready = poll(fds, 2, 1000);
    if (ready < 0 && errno != EINTR) break;
    if (!killed && std::time(nullptr) > deadline) {
      kill(pid_, SIGKILL);
      killed = true;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[65536];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  return result;
}

RunResult run_program(const std::string& path, const std::vector<std::string>& args,
                      const RunOptions& options) {
  return Spawned(path, args, options).finish();
}

bool wait_for(const std::function<bool()>& condition, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (condition()) return true;
    usleep(10 * 1000);
  }
  return condition();
}

namespace {

// The state letter of the process in /proc (R, S, T, ...), '?' when it cannot be read.
char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t end_of_name = line.rfind(')');
  return end_of_name != std::string::npos && line.size() > end_of_name + 2 ? line[end_of_name + 2]
                                                                           : '?';
}

}  // namespace

bool stop_inside_stage(Spawned& program, const std::function<bool()>& reached,
                       const std::function<bool()>& in_stage) {
  if (!wait_for(reached, 20000)) return false;
  program.send(SIGSTOP);
  // A program that ended meanwhile (a zombie) is no more inside the stage.
  if (!wait_for([&] {
        const char state = process_state(program.pid());
        return state == 'T' || state == 'Z';
      })) {
    return false;
  }
  return in_stage();
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937_64 engine(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(engine());
  return data;
}

std::string text_bytes(std::size_t size) {
  std::string data;
  for (unsigned line = 0; data.size() < size; ++line) {
    data += "line " + std::to_string(line * 7919 % 10007) + " of a payload description file\n";
  }
  data.resize(size);
  return data;
}

size_t first_data_offset(const std::string& zip) {
  auto u16 = [&](size_t at) {
    return static_cast<size_t>(static_cast<unsigned char>(zip[at])) |
           static_cast<size_t>(static_cast<unsigned char>(zip[at + 1])) << 8;
  };
  return 30 + u16(26) + u16(28);
}

size_t header_at(const std::string& zip, const char* signature, int index) {
  size_t at = zip.find(signature);
  for (int i = 0; i < index && at != std::string::npos; ++i) at = zip.find(signature, at + 4);
  return at;
}

void put_le32(std::string& zip, size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

TempDir::TempDir() {
  char name[] = "/tmp/sfx_test_XXXXXX";
  if (mkdtemp(name) == nullptr) fail("mkdtemp");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void write_file(const std::string& path, const std::string& data, mode_t mode) {
  // Close-on-exec, so that a program started meanwhile by another thread does not hold the
  // file open for writing (which would make running it fail with "text file busy").
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("open " + path);
  for (size_t done = 0; done < data.size();) {
    ssize_t put = write(fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      close(fd);
      fail("write " + path);
    }
    done += static_cast<size_t>(put);
  }
  if (close(fd) != 0) fail("close " + path);
  if (chmod(path.c_str(), mode) != 0) fail("chmod " + path);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string with_dir(std::string text, const std::string& dir) {
  for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    text.replace(at, 1, dir);
    at += dir.size();
  }
  return text;
}

std::vector<std::string> list_tree(const std::string& dir) {
  std::vector<std::string> paths;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    // Lexically: resolving the path would turn a link into what it leads to.
    std::string relative = it->path().lexically_relative(dir).string();
    if (it->is_directory() && !it->is_symlink()) relative += "/";
    paths.push_back(relative);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
  return st.st_mode & 07777;
}

WorkRootWatch::WorkRootWatch() {
  for (const std::string& name : list_dir("/tmp")) {
    if (name.rfind("sfxter_", 0) == 0) before_.insert(name);
  }
}

std::vector<std::string> WorkRootWatch::leftovers(const std::string& program_name) const {
  // Launchers running at the same time (other tests, other checkouts) hold work roots too.
  // Theirs hold a payload directory of another name, or are empty only for the moment between
  // creating the root and the payload directory; so an empty root counts only when it stays
  // empty for a while.
  auto candidates = [&] {
    std::set<std::string> found;
    for (const std::string& name : list_dir("/tmp")) {
      if (name.rfind("sfxter_", 0) != 0 || before_.count(name) != 0) continue;
      std::vector<std::string> inside = list_dir("/tmp/" + name);
      bool ours = inside.empty();
      for (const std::string& item : inside) {
        if (!program_name.empty() && item == program_name + "-dir") ours = true;
      }
      if (ours) found.insert("/tmp/" + name);
    }
    return found;
  };
  std::set<std::string> first = candidates();
  if (first.empty()) return {};
  usleep(300 * 1000);
  std::vector<std::string> found;
  for (const std::string& path : candidates()) {
    if (first.count(path) != 0) found.push_back(path);
  }
  return found;
}

std::tm local_date(int year, int month, int day, int hour) {
  std::tm t = {};
  t.tm_year = year;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  return t;
}

std::tm ZipEntry::default_time() {
  std::tm t = {};
  t.tm_year = 2024;
  t.tm_mon = 3;
  t.tm_mday = 4;
  t.tm_hour = 20;
  t.tm_min = 31;
  t.tm_sec = 8;
  return t;
}

ZipEntry ZipEntry::file(const std::string& name, const std::string& data, std::uint32_t unix_mode) {
  ZipEntry entry;
  entry.name = name;
  entry.data = data;
  entry.unix_mode = unix_mode;
  return entry;
}

std::string make_zip(const std::vector<ZipEntry>& entries) {
  TempDir scratch;
  const std::string path = scratch / "out.zip";
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) fail("zipOpen64");
  for (const ZipEntry& entry : entries) {
    zip_fileinfo info = {};
    info.tmz_date.tm_sec = static_cast<unsigned>(entry.mtime.tm_sec);
    info.tmz_date.tm_min = static_cast<unsigned>(entry.mtime.tm_min);
    info.tmz_date.tm_hour = static_cast<unsigned>(entry.mtime.tm_hour);
    info.tmz_date.tm_mday = static_cast<unsigned>(entry.mtime.tm_mday);
    info.tmz_date.tm_mon = static_cast<unsigned>(entry.mtime.tm_mon);
    info.tmz_date.tm_year = static_cast<unsigned>(entry.mtime.tm_year);
    info.external_fa = entry.external_attr.value_or(entry.unix_mode << 16);
    const int method = entry.deflate ? Z_DEFLATED : 0;
    const int version_made_by = (3 << 8) | 20;  // Unix, 2.0
    if (zipOpenNewFileInZip4_64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                method, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                Z_DEFAULT_STRATEGY, nullptr, 0, version_made_by, 0, 0) != ZIP_OK ||
        zipWriteInFileInZip(zip, entry.data.data(), static_cast<unsigned>(entry.data.size())) !=
            ZIP_OK ||
        zipCloseFileInZip(zip) != ZIP_OK) {
      zipClose(zip, nullptr);
      throw std::runtime_error("cannot add " + entry.name + " to the archive");
    }
  }
  if (zipClose(zip, nullptr) != ZIP_OK) throw std::runtime_error("zipClose failed");
  return read_file(path);
}

std::string interop_zips_dir() {
  const char* dir = std::getenv("SFX_INTEROP_ZIPS");
  return dir != nullptr ? dir : SFX_SOURCE_DIR "/../shared/interop-zips";
}

std::string make_zip64_zip(const std::string& name, const std::string& data,
                           std::optional<std::uint64_t> declared_size) {
  auto le = [](std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
  };
  const std::uint32_t crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  const std::string extra =
      le(1, 2) + le(16, 2) + le(declared_size.value_or(data.size()), 8) + le(data.size(), 8);
  const std::string dos_time = le(0x5884, 2) + le(0x1020, 2);  // 2024-04-04 11:04:08
  std::string zip = le(0x04034b50, 4) + le(45, 2) + le(0, 2) + le(0, 2) + dos_time + le(crc, 4) +
                    le(0xFFFFFFFF, 4) + le(0xFFFFFFFF, 4) + le(name.size(), 2) +
                    le(extra.size(), 2) + name + extra + data;
  const std::size_t central_at = zip.size();
  zip += le(0x02014b50, 4) + le(0x031E, 2) + le(45, 2) + le(0, 2) + le(0, 2) + dos_time +
         le(crc, 4) + le(0xFFFFFFFF, 4) + le(0xFFFFFFFF, 4) + le(name.size(), 2) +
         le(extra.size(), 2) + le(0, 2) + le(0, 2) + le(0, 2) + le(0100644u << 16, 4) + le(0, 4) +
         name + extra;
  const std::size_t central_size = zip.size() - central_at;
  zip += le(0x06054b50, 4) + le(0, 2) + le(0, 2) + le(1, 2) + le(1, 2) + le(central_size, 4) +
         le(central_at, 4) + le(0, 2);
  return zip;
}

RawZipEntry RawZipEntry::stored(const std::string& name, const std::string& data,
                                std::uint32_t unix_mode) {
  RawZipEntry entry;
  entry.name = name;
  entry.data = data;
  entry.external_attributes = unix_mode << 16;
  return entry;
}

std::string make_raw_zip(const std::vector<RawZipEntry>& entries,
                         std::optional<std::uint16_t> count_field, const RawZipEnd& end) {
  auto le = [](std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
  };
  const std::string dos_time = le(0x5884, 2) + le(0x1020, 2);
  std::string zip;
  std::string central;
  for (const RawZipEntry& entry : entries) {
    const std::uint32_t crc = entry.crc.value_or(
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                                         static_cast<uInt>(entry.data.size()))));
    const std::uint32_t size =
        entry.uncompressed_size.value_or(static_cast<std::uint32_t>(entry.data.size()));
    const std::string common = le(entry.flags, 2) + le(entry.method, 2) + dos_time + le(crc, 4) +
                               le(entry.data.size(), 4) + le(size, 4) + le(entry.name.size(), 2) +
                               le(entry.extra.size(), 2);
    central += le(0x02014b50, 4) + le(entry.version_made_by, 2) + le(20, 2) + common + le(0, 2) +
               le(0, 2) + le(0, 2) + le(entry.external_attributes, 4) + le(zip.size(), 4) +
               entry.name + entry.extra;
    zip += le(0x04034b50, 4) + le(20, 2) + common + entry.name + entry.extra + entry.data;
  }
  const std::size_t central_at = zip.size();
  zip += central;
  std::uint64_t count = count_field.value_or(static_cast<std::uint16_t>(entries.size()));
  std::uint64_t size = central.size();
  std::uint64_t offset = central_at;
  if (end.zip64) {
    const std::size_t record_at = zip.size();
    zip += le(0x06064b50, 4) + le(44, 8) + le(3 << 8 | 45, 2) + le(45, 2) + le(0, 4) + le(0, 4) +
           le(entries.size(), 8) + le(entries.size(), 8) + le(size, 8) + le(offset, 8);
    zip += le(0x07064b50, 4) + le(0, 4) + le(record_at, 8) + le(1, 4);
    count = 0xFFFF;
    size = 0xFFFFFFFF;
    offset = 0xFFFFFFFF;
  }
  zip += le(0x06054b50, 4) + le(0, 2) + le(0, 2) + le(count, 2) + le(count, 2) + le(size, 4) +
         le(offset, 4) + le(end.comment.size(), 2) + end.comment;
  return zip;
}

std::string raw_deflate(const std::string& text) {
  z_stream stream = {};
  std::string out(compressBound(static_cast<uLong>(text.size())) + 16, '\0');
  if (deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return "";
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return result == Z_STREAM_END ? out : "";
}

DistributableBuilder::DistributableBuilder() : stub(read_file(stub_path())) {}

std::string DistributableBuilder::field(const std::string& text, size_t size) {
  std::string result = text.substr(0, size);
  result.resize(size, '\0');
  return result;
}

std::string DistributableBuilder::big_endian32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i)
    bytes[static_cast<size_t>(i)] = static_cast<char>(value >> (24 - 8 * i));
  return bytes;
}

std::string DistributableBuilder::bytes() const {
  std::string out = stub + archive;
  out += command_field.value_or(field(command, 256));
  out += big_endian32(archive_length.value_or(static_cast<std::uint32_t>(archive.size())));
  if (extra_tool_command) {
    out += extra_tool_marker_field;
    out += field(*extra_tool_command, 256);
  }
  out += version_marker_field;
  out += layout_version_field;
  out += trailing;
  return out;
}

void DistributableBuilder::write(const std::string& path) const { write_file(path, bytes(), 0755); }

}  // namespace sfx_testing
