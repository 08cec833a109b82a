#ifndef COMMAND_SHELL_QUOTE_H_
#define COMMAND_SHELL_QUOTE_H_

#include <string>
#include <string_view>

/// `text` in single quotes for the POSIX shell, each "'" written as "'\''", so the shell reads
/// it back as one word, byte for byte, and interprets nothing in it. The empty text gives "''".
std::string shell_quote(std::string_view text);

/// `text` unchanged when it is not empty and holds only letters, digits and "/._-+,:@%=",
/// characters that the shell reads as one plain word, and has no "=" before its first "/"
/// (which in command position would make it an assignment); shell_quote(text) otherwise.
/// Ordinary paths therefore reach the shell exactly as they are.
std::string shell_word(std::string_view text);

/// `text` for use between double quotes in a shell command: '"', '$', '`' and '\' get a
/// backslash in front, everything else is kept as it is. Between double quotes the result is
/// read back as `text`, with no expansion or command substitution.
std::string escape_for_double_quotes(std::string_view text);

#endif  // COMMAND_SHELL_QUOTE_H_
