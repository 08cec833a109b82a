#ifndef COMMAND_RUN_H_
#define COMMAND_RUN_H_

#include <functional>
#include <string>

#include "launcher/launch_context.h"
#include "launcher/signals.h"
#include "payload/carve.h"

/// Turns a raw wait status into the launcher's exit status: -1 (no shell could be started or
/// waited for) stays -1, a normal exit gives its exit code (0-255), and a command ended by a
/// signal gives 128 + the signal number, the shell's own convention, so that it never counts
/// as a success.
int map_shell_status(int raw_status);

/// Runs `command_line` through "/bin/sh -c" and waits for it, with the stub's environment,
/// standard streams and current directory, and with the signal dispositions and the signal
/// mask that the stub itself was started with. Standard output and standard error are flushed
/// first, so that what the launcher printed comes before the command's output. Returns the
/// raw wait status. This is the one place that starts a shell.
/// When the shell cannot be started, prints "-E- Failed to start /bin/sh: %s\n" with the
/// system's text on standard error: a failed fork (or no pipe to learn the outcome of the
/// start) returns -1; a failed exec (no /bin/sh, a command line longer than the system takes
/// for one argument) returns the wait status of an exit with 127.
/// The command runs in a process group of its own (the terminal's foreground group when the
/// stub had the terminal). Each terminating signal (see launcher/signals.h) that reaches the
/// stub meanwhile and was not ignored at its start is passed on to that group, except SIGPIPE
/// and SIGXFSZ: those concern the stub's own writes, so one sent to the stub is held until the
/// command has ended and then takes effect in the stub. passed_on_signal() then tells which
/// one was passed on; the launcher runs nothing more and ends with 128 + that number after its
/// clean-up.
int run_shell(const std::string& command_line);

/// Expands the template of `carve` (which also prepares extra_commands and display_commands)
/// and runs the payload directory (as one shell word) + "/" + the expanded text through the
/// shell from the current directory. Returns map_shell_status of the outcome: the command's
/// exit code, 128 + the signal number for a killed command, 127 when the shell could not be
/// executed, or -1 when no process could be made for it (run_shell has printed why).
int run_payload_command(const CarveResult& carve, const std::string& passthrough_args,
                        const std::string& payload_dir, const LaunchContext& ctx);

/// Runs every entry of extra_commands in order, each after the line
/// "\n-I- Executing cmd : %s\n" with its display form on standard output, whatever the
/// earlier ones returned, but none after one that was stopped by a passed-on signal. Returns
/// map_shell_status of the last one, or 0 when there is none. Requires expand_command_template to
/// have run, so that display_commands is index-aligned. `after_each`, when given, is called
/// with each command's status as soon as it has ended.
int run_extra_tool_commands(const std::function<void(int status)>& after_each = nullptr);

#endif  // COMMAND_RUN_H_
