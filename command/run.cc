#include "command/run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "command/command_lists.h"
#include "command/expand.h"
#include "command/shell_quote.h"

int map_shell_status(int raw_status) {
  if (raw_status == -1) return -1;
  if (WIFSIGNALED(raw_status)) return 128 + WTERMSIG(raw_status);
  return (raw_status >> 8) & 0xFF;
}

namespace {

constexpr char kShellPath[] = "/bin/sh";

void print_start_failure(int error) {
  std::fprintf(stderr, "-E- Failed to start %s: %s\n", kShellPath, std::strerror(error));
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

// Reads the errno value that the child sends when its exec fails. Returns 0 when the exec
// succeeded (the pipe closed on exec without a word).
int read_exec_error(int report_fd) {
  int error = 0;
  ssize_t got;
  do {
    got = read(report_fd, &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

// Waits for the command `child` to end and returns its raw wait status, or -1. On a terminal
// the stub stops along with a command stopped from it, and continues it when continued.
int wait_for_command(pid_t child, int tty) {
  int status = 0;
  for (;;) {
    if (waitpid(child, &status, tty >= 0 ? WUNTRACED : 0) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (!WIFSTOPPED(status)) return status;
    give_terminal(tty, getpgrp());
    raise(SIGSTOP);
    give_terminal(tty, child);
    kill(-child, SIGCONT);
  }
}

}  // namespace

int run_shell(const std::string& command_line) {
  record_start_signals();
  // What was printed so far belongs before the command's own output.
  std::fflush(stdout);
  std::fflush(stderr);

  // The shell and everything it starts run in a process group of their own, so that a signal
  // passed on reaches the payload program and not only the shell. On a terminal that group
  // becomes the foreground, and the terminal's own signals go straight to it.
  const int tty = foreground_terminal();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &terminating_signals(), &previous);

  // The child tells through this pipe why its exec failed; a successful exec closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    const int error = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (tty >= 0) close(tty);
    print_start_failure(error);
    return -1;
  }
  pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    setpgid(0, 0);
    give_terminal(tty, getpid());
    restore_start_signals();
    execl(kShellPath, "sh", "-c", command_line.c_str(), static_cast<char*>(nullptr));
    const int error = errno;
    ssize_t ignored = write(report[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  const int fork_error = errno;
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (tty >= 0) close(tty);
    print_start_failure(fork_error);
    return -1;
  }
  setpgid(child, child);  // Also here: whichever of the two runs first settles it.
  give_terminal(tty, child);

  int result = 0;
  {
    const SignalsPassedOn passing(child, previous);
    if (const int exec_error = read_exec_error(report[0]); exec_error != 0) {
      print_start_failure(exec_error);
    }
    close(report[0]);
    result = wait_for_command(child, tty);
    give_terminal(tty, getpgrp());
    if (tty >= 0) close(tty);
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
