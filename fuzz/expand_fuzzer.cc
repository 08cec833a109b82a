// Fuzz target for command template expansion: any template, forwarded arguments, start
// directory, device option, payload directory and extra-tool commands. The expansion must end
// (libFuzzer's -timeout and -rss_limit_mb catch a replacement that keeps feeding itself) and
// never crash, and it must leave the two command lists index-aligned: each extra-tool command
// rewritten to the payload directory (as one shell word) + "/" + its display form.
//
// Input format: fields separated by NUL bytes (none of them can hold a NUL in the stub either):
// template, passthrough_args, cwd, device_option, payload_dir, then one field per extra-tool
// command. Missing fields are empty. The forwarded arguments behind "%quoted-argv%" are
// passthrough_args split at blanks, empty words included.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "command/command_lists.h"
#include "command/expand.h"
#include "command/shell_quote.h"
#include "fuzz/fuzz_util.h"
#include "launcher/launch_context.h"

namespace {

using sfx_fuzz::check;

std::vector<std::string> split_fields(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(data[i]);
    }
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sfx_fuzz::silence_stdio();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> fields = split_fields(data, size);
  fields.resize(std::max<std::size_t>(fields.size(), 5));
  const std::string& command_template = fields[0];
  const std::string& passthrough_args = fields[1];
  LaunchContext ctx;
  ctx.cwd = fields[2];
  ctx.device_option = fields[3];
  ctx.forwarded_args.emplace_back();
  for (char c : passthrough_args) {
    if (c == ' ') {
      ctx.forwarded_args.emplace_back();
    } else {
      ctx.forwarded_args.back() += c;
    }
  }
  const std::string& payload_dir = fields[4];
  const std::vector<std::string> extras(fields.begin() + 5, fields.end());

  extra_commands = extras;
  display_commands.clear();
  const std::string expanded =
      expand_command_template(command_template, passthrough_args, ctx, payload_dir);

  check(display_commands.size() == extras.size(), "one display form per extra-tool command");
  check(extra_commands.size() == extras.size(), "extra_commands changed its length");
  for (std::size_t i = 0; i < extras.size(); ++i) {
    check(extra_commands[i] == shell_word(payload_dir) + "/" + display_commands[i],
          "an extra-tool command is not the payload directory + its display form");
    if (extras[i].find('%') == std::string::npos) {
      check(display_commands[i] == extras[i], "an extra-tool command without placeholders changed");
    }
  }
  if (command_template.find('%') == std::string::npos) {
    check(expanded == command_template, "a template without placeholders changed");
  }
  if (command_template == "%quoted-argv%") {
    check(expanded == quoted_args_text(ctx.forwarded_args),
          "the quoted arguments were changed by a later step");
  }
  return 0;
}
