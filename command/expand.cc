#include "command/expand.h"

// Placeholder until expansion lands.
std::string expand_command_template(const std::string& command_template, const std::string&,
                                    const LaunchContext&, const std::string&) {
  return command_template;
}
