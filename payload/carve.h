#ifndef PAYLOAD_CARVE_H_
#define PAYLOAD_CARVE_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "payload/trailer.h"

/// What carving leaves for the later stages.
struct CarveResult {
  bool archive_created = false;      ///< archive.zip was opened for writing in this run.
  std::string archive_path;          ///< work_root + "/archive.zip", set just before it is opened.
  std::string command_template;      ///< The trailer's command text, set once that field is read.
  /// The trailer's extra-tool command, when it has that section; set once it is read. The
  /// launch sequence hands it on to extra_commands.
  std::optional<std::string> extra_tool_command;
  std::uint64_t archive_offset = 0;  ///< Where the archive starts in the stub's own file.
  std::uint32_t archive_length = 0;  ///< N, set once archive_length is read.
  dev_t archive_device = 0;          ///< Identity of the archive.zip this run made, so that
  ino_t archive_inode = 0;           ///< clean-up removes that file and nothing put in its place.
};

enum : int {
  CARVE_OK = 0,           ///< The archive was copied whole.
  CARVE_ERR_SOURCE = -2,  ///< The stub's file cannot be opened or sought, or has no valid trailer.
  CARVE_ERR_READ = -3,    ///< The command field or archive_length was read short.
  CARVE_ERR_OUTPUT = -4,  ///< archive.zip cannot be opened, or a write to it fell short.
  CARVE_ERR_SHORT = -5,   ///< The file ended before the whole archive was copied (no message).
};

/// Reads the trailer of the stub's own file, open as `self_fd` (through a duplicate; the
/// descriptor's position is not used), with read_trailer, and prints its failure as the stub
/// words it (trailer_message). Fills `info` as read_trailer does. Creates nothing. `self_fd` < 0
/// means the stub's file could not be opened, with errno saying why; `self_path` is for
/// messages. Returns CARVE_OK, or after one "-E- " line on standard error
/// CARVE_ERR_SOURCE (the file cannot be opened or sought, the trailer is not valid, or the
/// archive would start before the file) or CARVE_ERR_READ (the command field or
/// archive_length read short).
int locate_archive(int self_fd, const std::string& self_path, TrailerInfo& info);

/// A launch copies the appended archive out of the stub's own file, open as `self_fd` (read
/// with pread only; its position is not used), byte for byte to "archive.zip" in the directory
/// open as `work_root_fd`: read_carve_trailer, create_archive_copy, then copy_archive (on a
/// thread of its own if need be) and report_copy. prepare_carve does the first two at once.

/// Reads the trailer as carving does, into `result` (command template, extra-tool command,
/// archive length and offset, each as soon as it is read); creates nothing. Returns CARVE_OK or
/// the failure's code after its message.
int read_carve_trailer(int self_fd, const std::string& self_path, CarveResult& result);

/// Creates archive.zip in the directory open as `work_root_fd` for the archive that
/// read_carve_trailer found, without copying. An existing "archive.zip" there is removed first
/// (not followed); the new one is created exclusively, without following links, with mode
/// 0600. Returns CARVE_OK with `archive_fd` open for copy_archive, or CARVE_ERR_OUTPUT after
/// "-E- Failed to open file %s" (with `archive_fd` -1).
int create_archive_copy(int self_fd, int work_root_fd, const std::string& work_root,
                        CarveResult& result, int& archive_fd);

/// read_carve_trailer, then create_archive_copy. `self_fd` < 0 means the stub's file could not
/// be opened, with errno saying why. `self_path` and `work_root` are for messages and
/// `archive_path`. Fills `result` as far as it gets, the extra-tool command included (nothing
/// is added to extra_commands here). Returns CARVE_OK with `archive_fd` open for copy_archive,
/// or the failure's code after its one "-E- " line on standard error (with `archive_fd` -1).
int prepare_carve(int self_fd, const std::string& self_path, int work_root_fd,
                  const std::string& work_root, CarveResult& result, int& archive_fd);

/// Copies the archive that prepare_carve found from `self_fd` to `archive_fd`, and closes
/// `archive_fd` (a partial archive.zip stays for the caller's clean-up). Reads with pread only
/// and prints nothing, so that it may run on a thread of its own while the archive is unpacked.
/// Returns CARVE_OK, CARVE_ERR_OUTPUT (a write or the close failed) or CARVE_ERR_SHORT.
int copy_archive(int self_fd, const CarveResult& result, int archive_fd);

/// Prints copy_archive's message for `code`, if it has one.
void report_copy(int code, const CarveResult& result);

#endif  // PAYLOAD_CARVE_H_
