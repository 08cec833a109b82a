#include "command/run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "command/command_lists.h"
#include "command/expand.h"
#include "command/shell_quote.h"

int map_shell_status(int raw_status) {
  if (raw_status == -1) return -1;
  if (WIFSIGNALED(raw_status)) return 128 + WTERMSIG(raw_status);
  return (raw_status >> 8) & 0xFF;
}

int run_shell(const std::string& command_line) {
  // What was printed so far belongs before the command's own output.
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", command_line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int run_payload_command(const CarveResult& carve, const std::string& passthrough_args,
                        const std::string& payload_dir, const LaunchContext& ctx) {
  const std::string command_line =
      shell_word(payload_dir) + "/" +
      expand_command_template(carve.command_template, passthrough_args, ctx, payload_dir);
  return map_shell_status(run_shell(command_line));
}

int run_extra_tool_commands() {
  int status = 0;
  for (size_t i = 0; i < extra_commands.size(); ++i) {
    const std::string& shown =
        i < display_commands.size() ? display_commands[i] : extra_commands[i];
    std::printf("\n-I- Executing cmd : %s\n", shown.c_str());
    status = map_shell_status(run_shell(extra_commands[i]));
  }
  return status;
}
