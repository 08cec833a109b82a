#ifndef LAUNCHER_LAUNCH_CONTEXT_H_
#define LAUNCHER_LAUNCH_CONTEXT_H_

#include <string>
#include <vector>

/// Exit status for every failure of the launcher's own stages.
constexpr int EXIT_LAUNCH_FAILURE = 252;

/// The run's options and paths. One lives for the whole run; init_launch_context sets the
/// defaults and scan_arguments fills in the options.
struct LaunchContext {
  bool extract_dir_given = false;  ///< "--sfx-extract-dir" was given.
  bool extract_only = false;       ///< "--sfx-extract-only" was given (and not handed on).
  bool help_requested = false;     ///< "-h" or "--help" was given.
  bool version_requested = false;  ///< "-v" or "--version" was given.
  bool query_requested = false;    ///< "--no", "--query" or "--online-query-psid" was given.
  std::string extract_dir;         ///< The "--sfx-extract-dir" value exactly as typed.
  std::string cwd;                 ///< The directory the stub was started from.
  std::string program_name;        ///< Derived from argv[0]; the launch sequence appends "-dir".
  std::string self_path;           ///< Absolute path of the running file (for messages).
  int self_fd = -1;                ///< The running file, open for reading; -1 if it could not be.
  int self_open_error = 0;         ///< errno of the failed open when self_fd is -1.
  std::string device_option;       ///< Empty, or "-d " followed by the device.
  bool no_extract_list = false;    ///< "--no_extract_list" seen on the command line or template.
  /// The arguments passed on to the payload command, each as the user gave it (the words
  /// behind "%quoted-argv%"); "%argv%" gets them joined by blanks instead.
  std::vector<std::string> forwarded_args;
};

/// The option words that the command line and the launch sequence share.
inline constexpr char kExtractOnlyOption[] = "--sfx-extract-only";
inline constexpr char kNoExtractListOption[] = "--no_extract_list";

#endif  // LAUNCHER_LAUNCH_CONTEXT_H_
