#ifndef LAUNCHER_INTERRUPT_H_
#define LAUNCHER_INTERRUPT_H_

#include <sys/types.h>

#include <string>

/// Makes every signal whose default action ends the process (kTerminatingSignals of
/// command/run.h) and that was not ignored when the stub started remove what the run has
/// created so far and then end the stub by that same signal (without a core file). Each call
/// replaces the paths of the previous one; an empty path is left alone, so two empty paths
/// leave nothing to remove. `tree` is removed with everything below it (the temporary work
/// root, or the payload directory in the user's directory) and `file` is unlinked
/// (archive.zip there) only while it is still the file `file_inode` of `file_device`, so a
/// file of that name made by someone else stays. The paths are copied, so the handler touches
/// no memory that the run may be changing. Lets the signals held by hold_interrupts through
/// again.
void remove_on_interrupt(const std::string& tree, const std::string& file, dev_t file_device = 0,
                         ino_t file_inode = 0);

/// Holds those signals back until remove_on_interrupt or release_interrupts, so that nothing
/// can be created between the two without being known to the handler.
void hold_interrupts();

/// Lets held signals through again (back to the signal mask the stub was started with); one
/// that arrived meanwhile takes effect now.
void release_interrupts();

#endif  // LAUNCHER_INTERRUPT_H_
