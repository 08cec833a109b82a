#ifndef LAUNCHER_SIGNALS_H_
#define LAUNCHER_SIGNALS_H_

#include <signal.h>
#include <sys/types.h>

// The stub's one place for signals: which signals end a process by default, what the stub was
// started with, the clean-up that such a signal sets off, and passing signals on to a running
// command. One handler serves them all.

/// The number of signals whose default action ends the process: SIGHUP, SIGINT, SIGQUIT,
/// SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,
/// SIGPWR, SIGSTKFLT (where the system has them), the fault signals (see is_fault_signal) and
/// every real-time signal from SIGRTMIN to SIGRTMAX.
int terminating_signal_count();

/// The terminating signal at `index`, 0 <= index < terminating_signal_count().
int terminating_signal(int index);

/// All terminating signals as a set.
const sigset_t& terminating_signals();

/// True for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS and SIGABRT. Such a signal that
/// the system raised for a fault of the stub itself (si_code > 0) keeps the action the stub was
/// started with; only one sent by a process (si_code <= 0) is handled like the others.
bool is_fault_signal(int signal_number);

/// Records the dispositions of the terminating signals and of SIGCHLD and the signal mask that
/// the stub was started with, then resets SIGCHLD to its default, so that the stub can always
/// wait for its commands (a parent that ignores SIGCHLD would otherwise have them reaped
/// unseen). Only the first call records; later ones do nothing.
void record_start_signals();

/// True when `signal_number` was ignored when the stub started (SIGHUP under nohup). Such a
/// signal stays ignored: it is never caught and never passed on.
bool ignored_at_start(int signal_number);

/// The signal mask the stub was started with.
const sigset_t& start_signal_mask();

/// Puts back the dispositions and the mask the stub was started with, for a child between fork
/// and exec: the dispositions first, so that no handler of the stub runs in the child once the
/// mask lets signals through. Async-signal-safe.
void restore_start_signals();

/// Work for a terminating signal before the stub ends by it; must be async-signal-safe.
using SignalCleanup = void (*)();

/// From now on each terminating signal that was not ignored at the start and reaches the stub
/// outside a command (see SignalsPassedOn) runs `cleanup` (when not null), and then ends the
/// stub by that same signal, without a core file. One that arrives while `cleanup` runs waits
/// and is not taken: the first one decides. Lets held signals through (release_signals).
void clean_up_on_signals(SignalCleanup cleanup);

/// Holds the terminating signals back until release_signals, so that what the clean-up knows
/// can be changed as one step.
void hold_signals();

/// Lets held signals through again (back to the mask the stub was started with); one that
/// arrived meanwhile takes effect now.
void release_signals();

/// Holds the terminating signals for as long as it lives, then puts back the mask from before
/// (so scopes nest).
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

/// While it lives, each terminating signal that reaches the stub and was not ignored at its
/// start is passed on to the process group `group`, except SIGPIPE and SIGXFSZ: those concern
/// the stub's own writes, so they are held until it goes and then take effect in the stub.
/// Create it with the terminating signals held (it takes `mask`, the mask from before they were
/// held, as the base of the mask to wait with); it leaves them held when it goes.
class SignalsPassedOn {
 public:
  SignalsPassedOn(pid_t group, const sigset_t& mask);
  ~SignalsPassedOn();
  SignalsPassedOn(const SignalsPassedOn&) = delete;
  SignalsPassedOn& operator=(const SignalsPassedOn&) = delete;

 private:
  struct sigaction saved_[_NSIG];
};

/// The signal that was passed on to the last group, when it was neither SIGINT nor SIGQUIT,
/// else 0. SIGINT and SIGQUIT are what a terminal sends to the command's group itself, so the
/// command's own status stands for them.
int passed_on_signal();

#endif  // LAUNCHER_SIGNALS_H_
