#include "launcher/interrupt.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "command/run.h"
#include "launcher/work_dirs.h"

namespace {

// What the handler removes. Swapped only while the signals are blocked.
char* interrupt_tree = nullptr;
char* interrupt_file = nullptr;
dev_t interrupt_file_device = 0;
ino_t interrupt_file_inode = 0;

sigset_t interrupt_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : kTerminatingSignals) sigaddset(&set, signal_number);
  return set;
}

char* copy_or_null(const std::string& text) {
  return text.empty() ? nullptr : strdup(text.c_str());
}

void on_interrupt(int signal_number) {
  // Only async-signal-safe calls from here on: the run is abandoned where it stands.
  struct stat st;
  if (interrupt_file != nullptr && lstat(interrupt_file, &st) == 0 &&
      st.st_dev == interrupt_file_device && st.st_ino == interrupt_file_inode) {
    unlink(interrupt_file);
  }
  if (interrupt_tree != nullptr) remove_tree_raw(interrupt_tree);
  // A core file of the stub would be litter in the user's directory and tells nobody
  // anything: SIGQUIT, SIGXFSZ and SIGXCPU end it without one. (setrlimit is one system call.)
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  // The handler was reset to the default on entry; end the process by the same signal.
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, signal_number);
  sigprocmask(SIG_UNBLOCK, &own, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

}  // namespace

void remove_on_interrupt(const std::string& tree, const std::string& file, dev_t file_device,
                         ino_t file_inode) {
  const sigset_t blocked = interrupt_signals();
  sigprocmask(SIG_BLOCK, &blocked, nullptr);

  std::free(interrupt_tree);
  std::free(interrupt_file);
  interrupt_tree = copy_or_null(tree);
  interrupt_file = copy_or_null(file);
  interrupt_file_device = file_device;
  interrupt_file_inode = file_inode;

  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  action.sa_flags = SA_RESETHAND;
  action.sa_mask = blocked;  // One clean-up at a time, whichever of the signals comes next.
  for (int signal_number : kTerminatingSignals) {
    // A signal ignored by whoever started the stub (nohup) stays ignored.
    if (!ignored_at_start(signal_number)) sigaction(signal_number, &action, nullptr);
  }
  release_interrupts();
}

void hold_interrupts() {
  const sigset_t set = interrupt_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() { sigprocmask(SIG_SETMASK, &start_signal_mask(), nullptr); }
