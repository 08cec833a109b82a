#ifndef COMMAND_EXPAND_H_
#define COMMAND_EXPAND_H_

#include <string>
#include <string_view>
#include <vector>

#include "launcher/launch_context.h"

/// A command text while its placeholders are replaced, one step at a time. The payload command
/// gets "%quoted-argv%", "%argv%", "%current-dir%" and "%ca-bundle.crt%" in this order; an extra-tool command
/// gets "%device%" only. Each step replaces the first occurrence, searching from the start,
/// until none is left, so placeholder text that a step inserts is seen by the steps after it,
/// and a placeholder that forms where inserted text meets its neighbours is replaced as well.
/// Every step ends, for any input:
/// - an occurrence that lies wholly in text inserted by the same step is not replaced, so a
///   value that holds its own placeholder is inserted once;
/// - the quoted arguments, the current-directory and bundle texts, the quoted paths in them
///   included, are never searched again, so each stays whole and between its quotes.
class CommandExpansion {
 public:
  explicit CommandExpansion(std::string_view command_template);

  /// Replaces "%quoted-argv%" by quoted_args_text(forwarded_args): the shell hands each
  /// argument on exactly as it is.
  void replace_quoted_argv(const std::vector<std::string>& forwarded_args);
  /// Replaces "%argv%" by `passthrough_args`, raw: the shell splits and interprets it.
  void replace_argv(std::string_view passthrough_args);
  /// Replaces "%current-dir%" by current_dir_text(cwd).
  void replace_current_dir(std::string_view cwd);
  /// Replaces "%ca-bundle.crt%" by bundle_text(payload_dir).
  void replace_bundle(std::string_view payload_dir);
  /// Replaces "%device%" by `device_option`, raw.
  void replace_device(std::string_view device_option);

  const std::string& text() const { return text_; }

 private:
  enum class Origin : unsigned char {
    kOpen,      // Template text, or forwarded text inserted by an earlier step.
    kThisStep,  // Inserted by the step under way; it cannot make up a match on its own.
    kSealed,    // Current-directory or bundle text: never matched again.
  };
  void replace_every(std::string_view placeholder, std::string_view value, Origin value_origin);

  std::string text_;
  std::vector<Origin> origins_;  // One per character of text_.
};

/// The text that replaces "%current-dir%": "--current-dir", a blank, a double quote, `cwd`
/// with '"', '$', '`' and '\' escaped by a backslash, "/", a blank, a double quote, a blank.
std::string current_dir_text(std::string_view cwd);

/// The text that replaces "%quoted-argv%": each argument as one shell word (shell_word),
/// joined by blanks; empty without arguments.
std::string quoted_args_text(const std::vector<std::string>& forwarded_args);

/// The text that replaces "%ca-bundle.crt%": `payload_dir` + "/ca-bundle.crt" in double
/// quotes, escaped as in current_dir_text.
std::string bundle_text(std::string_view payload_dir);

/// Expands "%quoted-argv%" (from ctx.forwarded_args), "%argv%", "%current-dir%" and
/// "%ca-bundle.crt%" in `command_template`, and
/// "%device%" in every entry of extra_commands. Each entry is rewritten to its run form (the
/// payload directory as one shell word, "/", then the display form) and its display form is
/// appended to display_commands. Meant to run once per process, which keeps the two lists
/// index-aligned. Returns the expanded payload command, without the payload directory in
/// front. Reports no failure.
std::string expand_command_template(const std::string& command_template,
                                    const std::string& passthrough_args, const LaunchContext& ctx,
                                    const std::string& payload_dir);

#endif  // COMMAND_EXPAND_H_
