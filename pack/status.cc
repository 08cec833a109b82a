#include "pack/status.h"

#include <cstring>

#include "extract/entry_rules.h"

// Every byte that comes from a file or a command line is shown through the stub's own escaper,
// so that the two programs print the same name the same way.
std::string quoted(const std::string& text) { return quoted_text(text); }

std::string escaped(const std::string& text) { return printable_text(text); }

std::string error_text(int error_number) { return std::strerror(error_number); }
