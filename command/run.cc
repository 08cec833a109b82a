#include "command/run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>

#include "command/command_lists.h"
#include "command/expand.h"
#include "command/shell_quote.h"

int map_shell_status(int raw_status) {
  if (raw_status == -1) return -1;
  if (WIFSIGNALED(raw_status)) return 128 + WTERMSIG(raw_status);
  return (raw_status >> 8) & 0xFF;
}

namespace {

// The process group of the command that is running, and the signal passed on to it.
volatile sig_atomic_t command_group = 0;
volatile sig_atomic_t passed_on = 0;

constexpr int kPassedOnSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

void pass_on(int signal_number) {
  if (signal_number == SIGTERM || signal_number == SIGHUP) passed_on = signal_number;
  if (command_group > 0) kill(-command_group, signal_number);
}

// The controlling terminal when the stub is in its foreground process group, else -1.
int foreground_terminal() {
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty >= 0 && tcgetpgrp(tty) != getpgrp()) {
    close(tty);
    tty = -1;
  }
  return tty;
}

// Makes `group` the terminal's foreground group. A process outside the foreground group
// that does this gets SIGTTOU, so it is held meanwhile.
void give_terminal(int tty, pid_t group) {
  if (tty < 0) return;
  sigset_t ttou, previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &previous);
  tcsetpgrp(tty, group);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

int passed_on_signal() { return passed_on; }

int run_shell(const std::string& command_line) {
  // What was printed so far belongs before the command's own output.
  std::fflush(stdout);
  std::fflush(stderr);

  // The shell and everything it starts run in a process group of their own, so that a signal
  // passed on reaches the payload program and not only the shell. On a terminal that group
  // becomes the foreground, and the terminal's own signals go straight to it.
  const int tty = foreground_terminal();
  sigset_t held, previous;
  sigemptyset(&held);
  for (int signal_number : kPassedOnSignals) sigaddset(&held, signal_number);
  sigprocmask(SIG_BLOCK, &held, &previous);
  passed_on = 0;

  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    give_terminal(tty, getpid());
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    execl("/bin/sh", "sh", "-c", command_line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (tty >= 0) close(tty);
    return -1;
  }
  setpgid(child, child);  // Also here: whichever of the two runs first settles it.
  give_terminal(tty, child);

  struct sigaction pass = {};
  pass.sa_handler = pass_on;
  pass.sa_mask = held;
  struct sigaction saved[std::size(kPassedOnSignals)];
  for (size_t i = 0; i < std::size(kPassedOnSignals); ++i) {
    sigaction(kPassedOnSignals[i], &pass, &saved[i]);
  }
  command_group = child;
  sigprocmask(SIG_SETMASK, &previous, nullptr);

  int status = 0;
  int result = 0;
  for (;;) {
    if (waitpid(child, &status, tty >= 0 ? WUNTRACED : 0) < 0) {
      if (errno == EINTR) continue;
      result = -1;
      break;
    }
    if (!WIFSTOPPED(status)) {
      result = status;
      break;
    }
    // Stopped from the terminal: stop along with it, and when continued, continue it.
    give_terminal(tty, getpgrp());
    raise(SIGSTOP);
    give_terminal(tty, child);
    kill(-child, SIGCONT);
  }

  give_terminal(tty, getpgrp());
  if (tty >= 0) close(tty);
  sigprocmask(SIG_BLOCK, &held, nullptr);
  command_group = 0;
  for (size_t i = 0; i < std::size(kPassedOnSignals); ++i) {
    sigaction(kPassedOnSignals[i], &saved[i], nullptr);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return result;
}

int run_payload_command(const CarveResult& carve, const std::string& passthrough_args,
                        const std::string& payload_dir, const LaunchContext& ctx) {
  const std::string command_line =
      shell_word(payload_dir) + "/" +
      expand_command_template(carve.command_template, passthrough_args, ctx, payload_dir);
  return map_shell_status(run_shell(command_line));
}

int run_extra_tool_commands(const std::function<void(int status)>& after_each) {
  int status = 0;
  for (size_t i = 0; i < extra_commands.size(); ++i) {
    const std::string& shown =
        i < display_commands.size() ? display_commands[i] : extra_commands[i];
    std::printf("\n-I- Executing cmd : %s\n", shown.c_str());
    status = map_shell_status(run_shell(extra_commands[i]));
    if (after_each) after_each(status);
    if (passed_on_signal() != 0) break;  // The stub is being stopped: run nothing more.
  }
  return status;
}
