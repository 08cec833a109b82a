#include "launcher/signals.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Signals whose default action ends the process, besides the real-time ones.
constexpr int kClassicSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ,
    SIGVTALRM, SIGPROF, SIGSEGV, SIGBUS,  SIGILL,  SIGFPE,  SIGTRAP, SIGSYS,  SIGABRT,
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
};

// The list, built once: the real-time range is known only at run time.
struct SignalList {
  int count = 0;
  int numbers[_NSIG];
  sigset_t set;
};

const SignalList& signal_list() {
  static const SignalList list = [] {
    SignalList made;
    sigemptyset(&made.set);
    auto add = [&made](int signal_number) {
      if (signal_number <= 0 || signal_number >= _NSIG) return;
      if (sigismember(&made.set, signal_number) == 1) return;  // SIGPOLL is SIGIO, and so on.
      sigaddset(&made.set, signal_number);
      made.numbers[made.count++] = signal_number;
    };
    for (int signal_number : kClassicSignals) add(signal_number);
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
      add(signal_number);
    }
    return made;
  }();
  return list;
}

// What the stub was started with, recorded once by record_start_signals.
bool start_recorded = false;
sigset_t start_mask;
struct sigaction start_actions[_NSIG];
struct sigaction start_child_action;

// What a terminating signal sets off.
volatile sig_atomic_t command_group = 0;  // The group signals are passed on to, or 0.
volatile sig_atomic_t passed_on = 0;
SignalCleanup cleanup_function = nullptr;

// Writes that fail on a closed pipe or past the file-size limit raise these in the stub
// itself; they are never handed on to a command.
bool about_own_writes(int signal_number) {
  return signal_number == SIGPIPE || signal_number == SIGXFSZ;
}

// Ends the stub by `signal_number`, leaving no core file behind. Async-signal-safe.
[[noreturn]] void end_by(int signal_number) {
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // Not to a core-collecting program either.
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigaction(signal_number, &default_action, nullptr);
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, signal_number);
  sigprocmask(SIG_UNBLOCK, &own, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

void on_signal(int signal_number, siginfo_t* info, void* /*context*/) {
  // Only async-signal-safe calls from here on.
  const int saved_errno = errno;
  if (is_fault_signal(signal_number) && info != nullptr && info->si_code > 0) {
    // A fault of the stub itself: with the action it was started with back in place, the
    // faulting instruction runs again and ends the stub as it always did.
    sigaction(signal_number, &start_actions[signal_number], nullptr);
    errno = saved_errno;
    return;
  }
  if (start_actions[signal_number].sa_handler == SIG_IGN) {
    errno = saved_errno;  // A SIGBUS that the stub was started ignoring, sent by a process.
    return;
  }
  if (command_group > 0 && !about_own_writes(signal_number)) {
    if (signal_number != SIGINT && signal_number != SIGQUIT) passed_on = signal_number;
    kill(-command_group, signal_number);
    errno = saved_errno;
    return;
  }
  if (cleanup_function != nullptr) cleanup_function();
  end_by(signal_number);
}

struct sigaction handler_action() {
  struct sigaction action = {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  action.sa_mask = terminating_signals();  // One at a time, whichever comes next.
  return action;
}

}  // namespace

int terminating_signal_count() { return signal_list().count; }

int terminating_signal(int index) { return signal_list().numbers[index]; }

const sigset_t& terminating_signals() { return signal_list().set; }

bool is_fault_signal(int signal_number) {
  switch (signal_number) {
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGTRAP:
    case SIGSYS:
    case SIGABRT:
      return true;
    default:
      return false;
  }
}

void record_start_signals() {
  if (start_recorded) return;
  start_recorded = true;
  sigprocmask(SIG_SETMASK, nullptr, &start_mask);
  for (int i = 0; i < terminating_signal_count(); ++i) {
    const int signal_number = terminating_signal(i);
    sigaction(signal_number, nullptr, &start_actions[signal_number]);
  }
  sigaction(SIGCHLD, nullptr, &start_child_action);
  struct sigaction child_default = {};
  child_default.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &child_default, nullptr);
}

bool ignored_at_start(int signal_number) {
  record_start_signals();
  if (signal_number <= 0 || signal_number >= _NSIG) return false;
  if (sigismember(&terminating_signals(), signal_number) != 1) return false;
  return start_actions[signal_number].sa_handler == SIG_IGN;
}

const sigset_t& start_signal_mask() {
  record_start_signals();
  return start_mask;
}

void restore_start_signals() {
  for (int i = 0; i < terminating_signal_count(); ++i) {
    const int signal_number = terminating_signal(i);
    sigaction(signal_number, &start_actions[signal_number], nullptr);
  }
  sigaction(SIGCHLD, &start_child_action, nullptr);
  sigprocmask(SIG_SETMASK, &start_mask, nullptr);
}

void clean_up_on_signals(SignalCleanup cleanup) {
  record_start_signals();
  hold_signals();
  cleanup_function = cleanup;
  const struct sigaction action = handler_action();
  for (int i = 0; i < terminating_signal_count(); ++i) {
    const int signal_number = terminating_signal(i);
    // A signal ignored by whoever started the stub (nohup) stays ignored.
    if (!ignored_at_start(signal_number)) sigaction(signal_number, &action, nullptr);
  }
  release_signals();
}

void hold_signals() { sigprocmask(SIG_BLOCK, &terminating_signals(), nullptr); }

void release_signals() { sigprocmask(SIG_SETMASK, &start_signal_mask(), nullptr); }

SignalsHeld::SignalsHeld() { sigprocmask(SIG_BLOCK, &terminating_signals(), &previous_); }

SignalsHeld::~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

SignalsPassedOn::SignalsPassedOn(pid_t group, const sigset_t& mask) {
  record_start_signals();
  const struct sigaction action = handler_action();
  sigset_t waiting = mask;
  for (int i = 0; i < terminating_signal_count(); ++i) {
    const int signal_number = terminating_signal(i);
    sigaction(signal_number, nullptr, &saved_[signal_number]);
    if (ignored_at_start(signal_number)) continue;
    if (about_own_writes(signal_number)) {
      sigaddset(&waiting, signal_number);  // Takes effect once the command has ended.
    } else {
      sigaction(signal_number, &action, nullptr);
    }
  }
  passed_on = 0;
  command_group = group;
  sigprocmask(SIG_SETMASK, &waiting, nullptr);
}

SignalsPassedOn::~SignalsPassedOn() {
  hold_signals();
  command_group = 0;
  for (int i = 0; i < terminating_signal_count(); ++i) {
    const int signal_number = terminating_signal(i);
    sigaction(signal_number, &saved_[signal_number], nullptr);
  }
}

int passed_on_signal() { return passed_on; }

