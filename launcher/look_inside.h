#ifndef LAUNCHER_LOOK_INSIDE_H_
#define LAUNCHER_LOOK_INSIDE_H_

#include "launcher/command_line.h"
#include "launcher/launch_context.h"

/// Carries out the look-inside option `option` (not kNone) on the stub's own file,
/// ctx.self_fd, named ctx.self_path in the output. Creates nothing on disk, changes nothing in
/// the environment and runs no command.
///   kInfo: "label: value" lines for the trailer and the archive's totals;
///   kList: one line per entry, in archive order, then a total line;
///   kCheck: every entry read through the checks of unpacking, then "<file>: OK, <n> entries,
///           <bytes> bytes";
///   kHelp: the stub's own options (the file is not read).
/// Returns 0, or EXIT_LAUNCH_FAILURE after one message: the trailer's own (standard error),
/// "-E- No valid attachment found" (standard error) for an archive that is no ZIP archive, or
/// the message of the first failing step as unpacking prints it (standard output).
int run_look_inside(LookInside option, const LaunchContext& ctx);

#endif  // LAUNCHER_LOOK_INSIDE_H_
