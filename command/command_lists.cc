#include "command/command_lists.h"

std::vector<std::string> extra_commands;
std::vector<std::string> display_commands;
