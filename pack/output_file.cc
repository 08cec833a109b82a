#include "pack/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t STREAM_BUFFER_SIZE = 1024 * 1024;

// The temporary file that a terminating signal must remove. Only async-signal-safe calls
// touch it from the handler, so it is a plain buffer with a flag.
char pending_path[PATH_MAX];
volatile sig_atomic_t pending = 0;

void remove_pending_and_die(int signal_number) {
  if (pending) unlink(pending_path);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Every signal whose default action ends the process; each one ends it without the
// temporary file. Faults of the program itself (SIGSEGV and the like) are left alone.
constexpr int TERMINATING_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGXFSZ,
                                       SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};

void watch_signals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int signal_number : TERMINATING_SIGNALS) {
    struct sigaction current = {};
    // A signal ignored when sfx_pack started (under nohup, say) stays ignored.
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action = {};
    action.sa_handler = remove_pending_and_die;
    sigemptyset(&action.sa_mask);
    for (const int other : TERMINATING_SIGNALS) sigaddset(&action.sa_mask, other);
    sigaction(signal_number, &action, nullptr);
  }
}

// Holds the terminating signals back while it lives, so that none comes between the
// temporary file's creation and the handler learning its name.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : TERMINATING_SIGNALS) sigaddset(&set, signal_number);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

std::string base_name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

OutputFile::~OutputFile() { discard(); }

Status OutputFile::open(const std::string& final_path) {
  discard();
  if (final_path.empty() || final_path.back() == '/') {
    return Status::usage("the output " + quoted(final_path) + " names no file");
  }
  struct stat info;
  if (stat(final_path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return Status::input_fault("the output " + quoted(final_path) + " is a directory");
  }
  final_path_ = final_path;
  std::string pattern = directory_of(final_path) + "/." + base_name_of(final_path) + ".XXXXXX";
  if (pattern.size() >= PATH_MAX) {
    return Status::input_fault("cannot create a file beside " + quoted(final_path) + ": " +
                               error_text(ENAMETOOLONG));
  }
  watch_signals();
  int fd = -1;
  {
    const SignalsHeld held;
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) {
      std::memcpy(pending_path, pattern.c_str(), pattern.size() + 1);
      pending = 1;
    }
  }
  if (fd < 0) {
    return Status::input_fault("cannot create a file beside " + quoted(final_path) + ": " +
                               error_text(errno));
  }
  temporary_path_ = pattern;
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    const int error_number = errno;
    close(fd);
    discard();
    return Status::input_fault("cannot write " + quoted(final_path) + ": " +
                               error_text(error_number));
  }
  setvbuf(stream_, nullptr, _IOFBF, STREAM_BUFFER_SIZE);
  return Status::ok();
}

Status OutputFile::commit(mode_t mode) {
  int error_number = 0;
  if (std::fflush(stream_) != 0 || fchmod(fileno(stream_), mode) != 0 ||
      fsync(fileno(stream_)) != 0) {
    error_number = errno;
  }
  if (std::fclose(stream_) != 0 && error_number == 0) error_number = errno;
  stream_ = nullptr;
  if (error_number == 0) {
    const SignalsHeld held;  // Renamed means no longer pending, with no signal in between.
    if (rename(temporary_path_.c_str(), final_path_.c_str()) == 0) {
      pending = 0;
      temporary_path_.clear();
      return Status::ok();
    }
    error_number = errno;
  }
  discard();
  return Status::input_fault("cannot write " + quoted(final_path_) + ": " +
                             error_text(error_number));
}

void OutputFile::discard() {
  if (stream_ != nullptr) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
  if (!temporary_path_.empty()) {
    const SignalsHeld held;
    unlink(temporary_path_.c_str());
    pending = 0;
    temporary_path_.clear();
  }
}
