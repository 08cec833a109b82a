#ifndef COMMAND_RUN_H_
#define COMMAND_RUN_H_

#include <string>

#include "launcher/launch_context.h"
#include "payload/carve.h"

/// Turns a raw wait status into the launcher's exit status: -1 stays -1, a normal exit gives
/// its exit code, a command ended by a signal gives 128 + the signal number.
int map_shell_status(int raw_status);

/// Runs `command_line` through "/bin/sh -c" and waits for it, with the stub's environment,
/// standard streams and current directory. Returns the raw wait status, or -1 when the shell
/// cannot be started or waited for.
int run_shell(const std::string& command_line);

/// Expands the template of `carve` (which also prepares extra_commands and display_commands)
/// and runs payload_dir + "/" + the expanded text through the shell from the current
/// directory. Returns map_shell_status of the outcome.
int run_payload_command(const CarveResult& carve, const std::string& passthrough_args,
                        const std::string& payload_dir, const LaunchContext& ctx);

#endif  // COMMAND_RUN_H_
