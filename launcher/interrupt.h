#ifndef LAUNCHER_INTERRUPT_H_
#define LAUNCHER_INTERRUPT_H_

#include <string>

/// Makes SIGINT, SIGTERM and SIGHUP remove what the run has created so far and then end the
/// stub by that same signal. Each call replaces the paths of the previous one; an empty path
/// is left alone. `tree` is removed with everything below it (the temporary work root, or the
/// payload directory in the user's directory) and `file` is unlinked (archive.zip there).
/// The paths are copied, so the handler touches no memory that the run may be changing.
/// Unblocks the signals held by hold_interrupts.
void remove_on_interrupt(const std::string& tree, const std::string& file);

/// Holds SIGINT, SIGTERM and SIGHUP back until remove_on_interrupt or release_interrupts, so
/// that nothing can be created between the two without being known to the handler.
void hold_interrupts();

/// Lets held signals through again; one that arrived meanwhile takes its default action now.
void release_interrupts();

#endif  // LAUNCHER_INTERRUPT_H_
