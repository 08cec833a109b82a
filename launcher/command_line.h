#ifndef LAUNCHER_COMMAND_LINE_H_
#define LAUNCHER_COMMAND_LINE_H_

#include <string>

#include "launcher/launch_context.h"

/// Separates the stub's own options from the arguments forwarded to the payload command.
/// Sets program_name from argv[0], notes the recognised options in `ctx` and appends every
/// forwarded argument to `passthrough_args` (a blank before each one whose index is above 1)
/// and to ctx.forwarded_args. Returns 0, or -1 after printing one "-E- " line to standard
/// error (a missing option value, a "--sfx-" word that is none of the stub's options, or
/// "--sfx-extract-only" without "--sfx-extract-dir" and without "--no_extract_list").
int scan_arguments(int argc, const char* const* argv, std::string& passthrough_args,
                   LaunchContext& ctx);

/// The stub's options that look inside its own file instead of running the payload.
enum class LookInside {
  kNone,   ///< None given: the run goes ahead.
  kInfo,   ///< "--sfx-info": the trailer and the archive's totals.
  kList,   ///< "--sfx-list": one line per entry.
  kCheck,  ///< "--sfx-check": every entry read through the unpacking checks.
  kHelp,   ///< "--sfx-help": the stub's own options.
};

/// The first look-inside option among argv[1...], or kNone. The value that follows
/// "--sfx-extract-dir" is a directory name, not an option, as scan_arguments takes it; nothing
/// else is examined, so errors that scan_arguments would report do not stop these options.
LookInside find_look_inside_option(int argc, const char* const* argv);

/// The program name for argv[0]: the last path component (after "/" and then after "\"),
/// without its last extension. A name whose only dot leads loses that dot.
std::string derive_program_name(const std::string& argv0);

/// Writes the "SELF EXTRACTOR OPTIONS" block to standard output. The two extract-only lines
/// are left out when ctx.no_extract_list is set.
void print_sfx_options_help(const LaunchContext& ctx);

/// Writes the stub's own options, one line each, to standard output ("--sfx-help").
void print_stub_options();

/// Writes the version line (name, version, tool set, build date and time) to standard output.
void print_version_line();

#endif  // LAUNCHER_COMMAND_LINE_H_
