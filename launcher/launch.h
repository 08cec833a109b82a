#ifndef LAUNCHER_LAUNCH_H_
#define LAUNCHER_LAUNCH_H_

/// The stub's whole run: reads the command line, prepares the work root, carves and unpacks
/// the appended archive, runs the payload command and cleans up.
/// Returns the exit status: the payload command's (or the last extra-tool command's) exit
/// code, -1 when the shell cannot be forked, 127 when it cannot be executed,
/// EXIT_LAUNCH_FAILURE (252) for a failure of the launcher's own stages, 255 when extraction
/// cannot enter the payload directory, 128 + the signal number when a signal passed on to a
/// command stopped the run, or 1 when the return to the start directory fails. Every way out
/// past the choice of the work root removes what the run created, each thing only while its
/// name still holds it; a terminating signal that reaches the stub outside a command does so
/// and ends the stub by that signal. With a look-inside option ("--sfx-info", "--sfx-list",
/// "--sfx-check", "--sfx-help") anywhere on the command line, only that option's work is done
/// (see run_look_inside): nothing is created and nothing run.
int run_launch(int argc, char** argv);

#endif  // LAUNCHER_LAUNCH_H_
