#ifndef PACK_OUTPUT_FILE_H_
#define PACK_OUTPUT_FILE_H_

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "pack/status.h"

/// A file written under a temporary name beside its final path and renamed into place only
/// when it is complete, so that no partial file is ever left under the final name. The
/// temporary file is removed on every other path: when the object goes without commit(), and
/// when the process is ended by a signal while it exists (every signal whose default action
/// ends the process, except the program's own faults; one ignored at start stays ignored).
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// Creates the temporary file ".NAME.XXXXXX" in the directory of `final_path`.
  /// Returns an input fault when `final_path` is a directory or the file cannot be created.
  Status open(const std::string& final_path);

  /// The stream to write to, buffered; valid between open() and commit().
  std::FILE* stream() const { return stream_; }

  /// Flushes, gives the file `mode`, syncs it to disk, closes it and renames it to the
  /// final path. Returns an input fault (and removes the temporary file) when any step fails.
  Status commit(mode_t mode = 0755);

  /// The temporary file's path, while it exists.
  const std::string& temporary_path() const { return temporary_path_; }

 private:
  void discard();

  std::string final_path_;
  std::string temporary_path_;
  std::FILE* stream_ = nullptr;
};

/// The directory part of `path`: "." for a bare name, "/" for a name in the root.
std::string directory_of(const std::string& path);

#endif  // PACK_OUTPUT_FILE_H_
