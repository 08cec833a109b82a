#ifndef COMMAND_EXPAND_H_
#define COMMAND_EXPAND_H_

#include <string>

#include "launcher/launch_context.h"

/// Expands "%argv%", "%current-dir%" and "%ca-bundle.crt%" in `command_template`, and
/// "%device%" in every entry of extra_commands, which is rewritten to its run form
/// (payload_dir + "/" + text) while its display form is appended to display_commands.
/// Returns the expanded payload command, without the payload directory in front.
std::string expand_command_template(const std::string& command_template,
                                    const std::string& passthrough_args, const LaunchContext& ctx,
                                    const std::string& payload_dir);

#endif  // COMMAND_EXPAND_H_
