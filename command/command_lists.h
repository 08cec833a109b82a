#ifndef COMMAND_COMMAND_LISTS_H_
#define COMMAND_COMMAND_LISTS_H_

#include <string>
#include <vector>

/// The extra-tool commands: appended from the trailer while carving, then rewritten to their
/// run form (payload directory in front) by expand_command_template. Process-wide.
extern std::vector<std::string> extra_commands;
/// The display form of each extra-tool command, index-aligned with extra_commands once
/// expand_command_template has run. Process-wide.
extern std::vector<std::string> display_commands;

#endif  // COMMAND_COMMAND_LISTS_H_
