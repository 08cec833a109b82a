#ifndef PAYLOAD_CARVE_H_
#define PAYLOAD_CARVE_H_

#include <string>

/// What carving leaves for the later stages.
struct CarveResult {
  bool archive_created = false;  ///< archive.zip was opened for writing in this run.
  std::string archive_path;      ///< work_root + "/archive.zip", set just before it is opened.
  std::string command_template;  ///< The trailer's command text, set once that field is read.
};

enum : int {
  CARVE_OK = 0,           ///< The archive was copied whole.
  CARVE_ERR_SOURCE = -2,  ///< The stub's file cannot be opened or sought, or has no valid trailer.
  CARVE_ERR_READ = -3,    ///< The command field or archive_length was read short.
  CARVE_ERR_OUTPUT = -4,  ///< archive.zip cannot be opened, or a write to it fell short.
  CARVE_ERR_SHORT = -5,   ///< The file ended before the whole archive was copied (no message).
};

/// Reads the trailer of `self_path` and copies the appended archive byte for byte to
/// work_root + "/archive.zip". Fills `result` as far as it gets; an extra-tool command found in
/// the trailer is appended to extra_commands. Returns one of the CARVE_ codes; every failure
/// but CARVE_ERR_SHORT has printed one "-E- " line to standard error. Both files are closed
/// on return; a partial archive.zip stays for the caller's clean-up.
int carve_archive(const std::string& self_path, const std::string& work_root, CarveResult& result);

#endif  // PAYLOAD_CARVE_H_
