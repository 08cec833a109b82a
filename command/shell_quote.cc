#include "command/shell_quote.h"

namespace {

bool is_plain_word_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '/':
    case '.':
    case '_':
    case '-':
    case '+':
    case ',':
    case ':':
    case '@':
    case '%':
    case '=':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string shell_quote(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";  // Close the quotes, an escaped quote, open them again.
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string shell_word(std::string_view text) {
  if (text.empty()) return shell_quote(text);
  for (char c : text) {
    if (!is_plain_word_char(c)) return shell_quote(text);
  }
  // In command position "name=value" would be an assignment, not a program to run.
  const size_t equals = text.find('=');
  if (equals != std::string_view::npos && text.find('/') > equals) return shell_quote(text);
  return std::string(text);
}

std::string escape_for_double_quotes(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '"' || c == '$' || c == '`' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}
