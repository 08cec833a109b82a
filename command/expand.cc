#include "command/expand.h"

#include <algorithm>
#include <utility>

#include "command/command_lists.h"
#include "command/shell_quote.h"

namespace {

constexpr std::string_view kArgvPlaceholder = "%argv%";
constexpr std::string_view kQuotedArgvPlaceholder = "%quoted-argv%";
constexpr std::string_view kCurrentDirPlaceholder = "%current-dir%";
constexpr std::string_view kBundlePlaceholder = "%ca-bundle.crt%";
constexpr std::string_view kDevicePlaceholder = "%device%";

// A text with one mark per character, built and taken apart at its end.
template <typename Mark>
struct MarkedText {
  std::string chars;
  std::vector<Mark> marks;

  void push(char c, Mark mark) {
    chars.push_back(c);
    marks.push_back(mark);
  }
  // Moves the last character to the end of `to`.
  void move_last_to(MarkedText& to) {
    to.push(chars.back(), marks.back());
    chars.pop_back();
    marks.pop_back();
  }
};

}  // namespace

CommandExpansion::CommandExpansion(std::string_view command_template)
    : text_(command_template), origins_(command_template.size(), Origin::kOpen) {}

void CommandExpansion::replace_argv(std::string_view passthrough_args) {
  replace_every(kArgvPlaceholder, passthrough_args, Origin::kThisStep);
}

void CommandExpansion::replace_quoted_argv(const std::vector<std::string>& forwarded_args) {
  replace_every(kQuotedArgvPlaceholder, quoted_args_text(forwarded_args), Origin::kSealed);
}

void CommandExpansion::replace_current_dir(std::string_view cwd) {
  replace_every(kCurrentDirPlaceholder, current_dir_text(cwd), Origin::kSealed);
}

void CommandExpansion::replace_bundle(std::string_view payload_dir) {
  replace_every(kBundlePlaceholder, bundle_text(payload_dir), Origin::kSealed);
}

void CommandExpansion::replace_device(std::string_view device_option) {
  replace_every(kDevicePlaceholder, device_option, Origin::kThisStep);
}

// An occurrence is replaced when at least one of its characters is open and none is sealed.
// Every replacement therefore uses up at least one open character and adds none, so the step
// ends for any input.
//
// The text is scanned once, left to right: `done` holds the part before the scan position and
// `pending` the rest in reverse order, so a value is put back in front of the rest by pushing
// it. Each character moved to `done` ends one candidate occurrence, which is checked at once;
// an occurrence that ends before a replaced one is unchanged by it and was already found not
// replaceable. So this replaces the same occurrences, in the same order, as searching again
// from the start after each replacement, without copying the whole text each time.
void CommandExpansion::replace_every(std::string_view placeholder, std::string_view value,
                                     Origin value_origin) {
  const size_t length = placeholder.size();
  MarkedText<Origin> done;
  done.chars.reserve(text_.size());
  done.marks.reserve(text_.size());
  MarkedText<Origin> pending;
  pending.chars.assign(text_.rbegin(), text_.rend());
  pending.marks.assign(origins_.rbegin(), origins_.rend());

  while (!pending.chars.empty()) {
    pending.move_last_to(done);
    if (done.chars.size() < length ||
        std::string_view(done.chars).substr(done.chars.size() - length) != placeholder) {
      continue;
    }
    auto first = done.marks.end() - static_cast<std::ptrdiff_t>(length);
    if (std::find(first, done.marks.end(), Origin::kSealed) != done.marks.end() ||
        std::find(first, done.marks.end(), Origin::kOpen) == done.marks.end()) {
      continue;
    }
    done.chars.resize(done.chars.size() - length);
    done.marks.resize(done.marks.size() - length);
    for (auto c = value.rbegin(); c != value.rend(); ++c) pending.push(*c, value_origin);
  }
  // What this step inserted is open to the steps that follow.
  std::replace(done.marks.begin(), done.marks.end(), Origin::kThisStep, Origin::kOpen);
  text_ = std::move(done.chars);
  origins_ = std::move(done.marks);
}

std::string current_dir_text(std::string_view cwd) {
  // Between double quotes the directory stays one word that the shell takes literally.
  return "--current-dir \"" + escape_for_double_quotes(cwd) + "/ \" ";
}

std::string quoted_args_text(const std::vector<std::string>& forwarded_args) {
  std::string text;
  for (const std::string& arg : forwarded_args) {
    if (!text.empty()) text += ' ';
    text += shell_word(arg);
  }
  return text;
}

std::string bundle_text(std::string_view payload_dir) {
  return "\"" + escape_for_double_quotes(payload_dir) + "/ca-bundle.crt\"";
}

std::string expand_command_template(const std::string& command_template,
                                    const std::string& passthrough_args, const LaunchContext& ctx,
                                    const std::string& payload_dir) {
  CommandExpansion payload_command(command_template);
  payload_command.replace_quoted_argv(ctx.forwarded_args);
  payload_command.replace_argv(passthrough_args);
  payload_command.replace_current_dir(ctx.cwd);
  payload_command.replace_bundle(payload_dir);

  // The run form starts with the payload directory as one shell word.
  const std::string prefix = shell_word(payload_dir) + "/";
  for (std::string& command : extra_commands) {
    CommandExpansion extra_command(command);
    extra_command.replace_device(ctx.device_option);
    display_commands.push_back(extra_command.text());
    command = prefix + extra_command.text();
  }
  return payload_command.text();
}
