#include "launcher/signals.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "testing/test_util.h"

namespace {

TEST(TerminatingSignals, EveryOneWhoseDefaultEndsTheProcess) {
  std::set<int> listed;
  for (int i = 0; i < terminating_signal_count(); ++i) listed.insert(terminating_signal(i));
  EXPECT_EQ(listed.size(), static_cast<size_t>(terminating_signal_count()));
  for (int signal_number :
       {SIGHUP,  SIGINT,  SIGQUIT,   SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,   SIGUSR2,
        SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT, SIGSYS,
        SIGTRAP, SIGSEGV, SIGBUS,    SIGABRT, SIGILL,  SIGFPE}) {
    EXPECT_EQ(listed.count(signal_number), 1u) << sigabbrev_np(signal_number);
    EXPECT_EQ(sigismember(&terminating_signals(), signal_number), 1);
  }
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    EXPECT_EQ(listed.count(signal_number), 1u) << signal_number;
  }
  // Those that stop, continue or are ignored by default, and those no process can catch.
  for (int signal_number :
       {SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGKILL}) {
    EXPECT_EQ(listed.count(signal_number), 0u) << sigabbrev_np(signal_number);
  }
}

TEST(TerminatingSignals, FaultSignals) {
  for (int signal_number : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT}) {
    EXPECT_TRUE(is_fault_signal(signal_number)) << sigabbrev_np(signal_number);
  }
  for (int signal_number : {SIGTERM, SIGINT, SIGIO, SIGRTMIN}) {
    EXPECT_FALSE(is_fault_signal(signal_number)) << signal_number;
  }
}

// The clean-up of the child processes below: it writes one byte to this pipe.
int cleanup_pipe = -1;
void note_cleanup() {
  const char byte = 'c';
  ssize_t ignored = write(cleanup_pipe, &byte, 1);
  (void)ignored;
}

struct ChildEnd {
  int status = 0;
  bool cleaned = false;
};

// Runs `body` in a child process with note_cleanup as its signal clean-up.
ChildEnd run_child(const std::function<void()>& body) {
  int report[2];
  EXPECT_EQ(pipe(report), 0);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    cleanup_pipe = report[1];
    const struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    clean_up_on_signals(note_cleanup);
    body();
    _exit(0);
  }
  close(report[1]);
  ChildEnd end;
  EXPECT_EQ(waitpid(child, &end.status, 0), child);
  char byte;
  end.cleaned = read(report[0], &byte, 1) == 1;
  close(report[0]);
  return end;
}

TEST(CleanUpOnSignals, SentSignalsCleanUpAndEndTheProcessByThemselves) {
  for (int signal_number : {SIGTERM, SIGIO, SIGPWR, SIGSTKFLT, SIGRTMIN, SIGRTMIN + 5, SIGRTMAX,
                            SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT}) {
    SCOPED_TRACE(signal_number);
    const ChildEnd end = run_child([signal_number] {
      kill(getpid(), signal_number);
      pause();
    });
    EXPECT_TRUE(end.cleaned);
    ASSERT_TRUE(WIFSIGNALED(end.status));
    EXPECT_EQ(WTERMSIG(end.status), signal_number);
    EXPECT_FALSE(WCOREDUMP(end.status));
  }
}

TEST(CleanUpOnSignals, ARealFaultIsNoSentSignal) {
  // A fault of the process itself keeps its default action: no clean-up that could run on
  // broken state.
  const ChildEnd end = run_child([] {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile char*>(page) = 1;
  });
  EXPECT_FALSE(end.cleaned);
  if (sfx_testing::sanitized_build()) {
    // The sanitizer's own handler was there at the start, and reports the fault.
    EXPECT_TRUE(WIFSIGNALED(end.status) || (WIFEXITED(end.status) && WEXITSTATUS(end.status)));
  } else {
    ASSERT_TRUE(WIFSIGNALED(end.status));
    EXPECT_EQ(WTERMSIG(end.status), SIGSEGV);
  }
}

TEST(CleanUpOnSignals, HeldSignalsWaitForTheirRelease) {
  const ChildEnd end = run_child([] {
    {
      const SignalsHeld held;
      kill(getpid(), SIGTERM);
      if (write(cleanup_pipe, "h", 1) != 1) _exit(3);  // Still here while held.
    }
    pause();
  });
  ASSERT_TRUE(WIFSIGNALED(end.status));
  EXPECT_EQ(WTERMSIG(end.status), SIGTERM);
  EXPECT_TRUE(end.cleaned);
}

}  // namespace
