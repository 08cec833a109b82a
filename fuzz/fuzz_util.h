#ifndef FUZZ_FUZZ_UTIL_H_
#define FUZZ_FUZZ_UTIL_H_

// Small helpers shared by the fuzz targets: a scratch directory each target owns, writing an
// input to a file, and a check that aborts with a message (libFuzzer then keeps the input).

#include <cstddef>
#include <cstdint>
#include <string>

namespace sfx_fuzz {

/// Creates a fresh scratch directory for this process in $SFX_FUZZ_SCRATCH, else in /dev/shm
/// when it is there (inputs are written to a file for every run), else in /tmp. `tag` becomes
/// part of its name. It is removed when the process exits normally (after a crash the caller's
/// SFX_FUZZ_SCRATCH directory is what to remove). Aborts when it cannot be made.
std::string make_scratch_dir(const char* tag);

/// A second scratch directory for this process in $SFX_FUZZ_DISK_SCRATCH, else in /tmp: on
/// the disk, where make_scratch_dir's is normally in memory. Removed at exit as well.
std::string make_disk_scratch_dir(const char* tag);

/// Writes `size` bytes to `path`, created or truncated. Aborts when that fails.
void write_input(const std::string& path, const std::uint8_t* data, std::size_t size);

/// The contents of a small file, or "" when it cannot be read.
std::string read_small_file(const std::string& path);

/// Removes everything below `dir` (not `dir` itself) without following symbolic links.
/// Aborts when something cannot be removed, so that no input sees the last one's files.
void clear_dir(const std::string& dir);

/// Points the stdio streams stdout and stderr at /dev/null, so that the messages of the code
/// under test do not slow the fuzzer down. The descriptors 1 and 2 stay as they are: libFuzzer
/// and the sanitizers keep reporting there, and so does check().
void silence_stdio();

/// Prints `what` to descriptor 2 and aborts when `condition` is false.
void check(bool condition, const char* what);

}  // namespace sfx_fuzz

#endif  // FUZZ_FUZZ_UTIL_H_
