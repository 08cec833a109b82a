#include "command/expand.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "command/command_lists.h"

namespace {

constexpr char kShippedTemplate[] =
    "trevalo -u --log-on-update --ssl-certificate %ca-bundle.crt% %current-dir%  %argv%";

class ExpandTest : public testing::Test {
 protected:
  void SetUp() override { clear_lists(); }
  void TearDown() override { clear_lists(); }
  static void clear_lists() {
    extra_commands.clear();
    display_commands.clear();
  }
};

TEST_F(ExpandTest, WorkedExampleStepByStep) {
  CommandExpansion expansion(kShippedTemplate);
  expansion.replace_argv("-d 03:00.0 -y");
  EXPECT_EQ(expansion.text(),
            "trevalo -u --log-on-update --ssl-certificate %ca-bundle.crt% %current-dir%  "
            "-d 03:00.0 -y");
  expansion.replace_current_dir("/home/user");
  EXPECT_EQ(expansion.text(),
            "trevalo -u --log-on-update --ssl-certificate %ca-bundle.crt% "
            "--current-dir \"/home/user/ \"   -d 03:00.0 -y");
  expansion.replace_bundle("/tmp/sfxter_Ab12Cd/fwpkg-dir");
  const std::string after_step3 =
      "trevalo -u --log-on-update --ssl-certificate "
      "\"/tmp/sfxter_Ab12Cd/fwpkg-dir/ca-bundle.crt\" --current-dir \"/home/user/ \"   "
      "-d 03:00.0 -y";
  EXPECT_EQ(expansion.text(), after_step3);

  CommandExpansion extra("tool2 %device% --reset");
  extra.replace_device("-d 03:00.0");
  EXPECT_EQ(extra.text(), "tool2 -d 03:00.0 --reset");

  // The same run in one call, with the two command lists.
  LaunchContext ctx;
  ctx.cwd = "/home/user";
  ctx.device_option = "-d 03:00.0";
  extra_commands = {"tool2 %device% --reset"};
  EXPECT_EQ(expand_command_template(kShippedTemplate, "-d 03:00.0 -y", ctx,
                                    "/tmp/sfxter_Ab12Cd/fwpkg-dir"),
            after_step3);
  EXPECT_EQ(display_commands, std::vector<std::string>{"tool2 -d 03:00.0 --reset"});
  EXPECT_EQ(extra_commands,
            std::vector<std::string>{"/tmp/sfxter_Ab12Cd/fwpkg-dir/tool2 -d 03:00.0 --reset"});
}

struct TemplateCase {
  const char* name;
  std::string command_template;
  std::string passthrough_args;
  std::string cwd;
  std::string payload_dir;
  std::string expected;
};

TEST_F(ExpandTest, PayloadCommandTemplates) {
  const std::string p = "/tmp/sfxter_Ab12Cd/fwpkg-dir";
  const std::vector<TemplateCase> cases = {
      {"argv twice", "run %argv% and %argv%", "-a b", "/h", p, "run -a b and -a b"},
      {"empty argv leaves the blanks around it", kShippedTemplate, "", "/home/user", p,
       "trevalo -u --log-on-update --ssl-certificate \"" + p +
           "/ca-bundle.crt\" --current-dir \"/home/user/ \"   "},
      {"argv that begins with a blank", "t %argv%", " -x", "/h", p, "t  -x"},
      {"root as the start directory", "t %current-dir%", "", "/", p, "t --current-dir \"// \" "},
      {"no placeholders", "trevalo -u --x %y% 100%", "-a", "/h", p, "trevalo -u --x %y% 100%"},
      {"empty template", "", "-a", "/h", p, ""},
      {"upper case and unclosed placeholders stay",
       "t %ARGV% %argv %Current-Dir% %current-dir %ca-bundle.crt", "-a", "/h", p,
       "t %ARGV% %argv %Current-Dir% %current-dir %ca-bundle.crt"},
      {"device placeholder stays in the payload command", "t %device% %argv%", "-d 1", "/h", p,
       "t %device% -d 1"},
      {"forwarded current-dir and bundle placeholders are expanded", "t %argv%",
       "%current-dir% %ca-bundle.crt%", "/h", p,
       "t --current-dir \"/h/ \"  \"" + p + "/ca-bundle.crt\""},
      {"forwarded device placeholder stays", "t %argv%", "%device%", "/h", p, "t %device%"},
      {"placeholder formed where the value meets following text", "t %argv%gv%", "%ar", "/h", p,
       "t %ar"},
      {"placeholder formed where preceding text meets the value", "t %ar%argv%", "gv%", "/h", p,
       "t gv%"},
      {"placeholder formed across two steps", "t %argv%rent-dir%", "%cur", "/h", p,
       "t --current-dir \"/h/ \" "},
      {"bundle text next to other text", "t X%ca-bundle.crt%Y", "", "/h", p,
       "t X\"" + p + "/ca-bundle.crt\"Y"},
      {"forwarded argv placeholder is inserted once", "t %argv% .", "%argv%", "/h", p,
       "t %argv% ."},
      {"forwarded argv placeholders side by side", "%argv%%argv%", "%argv%%argv%", "/h", p,
       "%argv%%argv%%argv%%argv%"},
      // The inserted "%arg" and the template's "v%" form one more placeholder.
      {"value holding its placeholder and a fragment", "%argv%v%", "%argv%%arg", "/h", p,
       "%argv%%argv%%arg"},
      {"start directory holding its placeholder", "t %current-dir%", "", "/a/%current-dir%", p,
       "t --current-dir \"/a/%current-dir%/ \" "},
      {"start directory holding the bundle placeholder stays whole", "t %current-dir%", "",
       "/a/%ca-bundle.crt%", p, "t --current-dir \"/a/%ca-bundle.crt%/ \" "},
      {"payload directory holding the bundle placeholder", "t %ca-bundle.crt%", "", "/h",
       "/w/%ca-bundle.crt%", "t \"/w/%ca-bundle.crt%/ca-bundle.crt\""},
      {"start directory with shell characters is escaped", "t %current-dir%", "",
       "/t/x$(a)\"y`b`\\", p, "t --current-dir \"/t/x\\$(a)\\\"y\\`b\\`\\\\/ \" "},
      {"payload directory with shell characters is escaped", "t %ca-bundle.crt%", "", "/h",
       "/t/my dir$x", "t \"/t/my dir\\$x/ca-bundle.crt\""},
      {"forwarded shell text stays raw", "t %argv%", "$(x) \"a b\" `y` \\", "/h", p,
       "t $(x) \"a b\" `y` \\"},
  };
  for (const TemplateCase& c : cases) {
    SCOPED_TRACE(c.name);
    clear_lists();
    LaunchContext ctx;
    ctx.cwd = c.cwd;
    ctx.device_option = "-d 03:00.0";
    EXPECT_EQ(expand_command_template(c.command_template, c.passthrough_args, ctx, c.payload_dir),
              c.expected);
    EXPECT_TRUE(display_commands.empty());
  }
}

struct ExtraCase {
  const char* name;
  std::vector<std::string> commands;
  std::string device_option;
  std::string payload_dir;
  std::vector<std::string> display;
  std::vector<std::string> run;
};

TEST_F(ExpandTest, ExtraToolCommands) {
  const std::string p = "/tmp/sfxter_Ab12Cd/fwpkg-dir";
  const std::vector<ExtraCase> cases = {
      {"none", {}, "-d 1", p, {}, {}},
      {"without a device option",
       {"tool2 %device% --reset"},
       "",
       p,
       {"tool2  --reset"},
       {p + "/tool2  --reset"}},
      {"two commands stay index-aligned",
       {"a %device%", "b %device% %device%"},
       "-d 3",
       p,
       {"a -d 3", "b -d 3 -d 3"},
       {p + "/a -d 3", p + "/b -d 3 -d 3"}},
      {"other placeholders stay literal",
       {"t %argv% %current-dir% %ca-bundle.crt%"},
       "-d 1",
       p,
       {"t %argv% %current-dir% %ca-bundle.crt%"},
       {p + "/t %argv% %current-dir% %ca-bundle.crt%"}},
      {"device holding its placeholder",
       {"t %device%."},
       "-d %device%",
       p,
       {"t -d %device%."},
       {p + "/t -d %device%."}},
      {"empty command", {""}, "-d 1", p, {""}, {p + "/"}},
      {"payload directory that needs quoting",
       {"tool2 %device%"},
       "-d 1",
       "/t/my 'dir'",
       {"tool2 -d 1"},
       {"'/t/my '\\''dir'\\'''/tool2 -d 1"}},
  };
  for (const ExtraCase& c : cases) {
    SCOPED_TRACE(c.name);
    clear_lists();
    extra_commands = c.commands;
    LaunchContext ctx;
    ctx.cwd = "/h";
    ctx.device_option = c.device_option;
    EXPECT_EQ(expand_command_template("t", "", ctx, c.payload_dir), "t");
    EXPECT_EQ(display_commands, c.display);
    EXPECT_EQ(extra_commands, c.run);
  }
}

// The rule written out as plainly as possible: search from the start each time, and skip an
// occurrence with no open character or with a sealed one. 0 = open, 1 = this step, 2 = sealed.
void reference_replace(std::string& text, std::vector<int>& marks, const std::string& placeholder,
                       const std::string& value, int value_mark) {
  for (;;) {
    size_t at = std::string::npos;
    for (size_t pos = text.find(placeholder); pos != std::string::npos;
         pos = text.find(placeholder, pos + 1)) {
      bool open = false, sealed = false;
      for (size_t i = pos; i < pos + placeholder.size(); ++i) {
        open = open || marks[i] == 0;
        sealed = sealed || marks[i] == 2;
      }
      if (open && !sealed) {
        at = pos;
        break;
      }
    }
    if (at == std::string::npos) break;
    text.replace(at, placeholder.size(), value);
    marks.erase(marks.begin() + static_cast<std::ptrdiff_t>(at),
                marks.begin() + static_cast<std::ptrdiff_t>(at + placeholder.size()));
    marks.insert(marks.begin() + static_cast<std::ptrdiff_t>(at), value.size(), value_mark);
  }
  for (int& mark : marks) {
    if (mark == 1) mark = 0;
  }
}

TEST_F(ExpandTest, RandomTextsMatchThePlainRuleAndEnd) {
  // Texts made of placeholder fragments, so that occurrences overlap, straddle the inserted
  // values and form where they meet.
  const std::vector<std::string> pieces = {"%",        "%argv%",    "%ar",
                                           "gv%",      "argv",      "%current-dir%",
                                           "%cur",     "rent-dir%", "%ca-bundle.crt%",
                                           "%ca-",     "x",         " ",
                                           "%device%", "%dev",      "ice%",
                                           "\"",       "$",
                                           "%quoted-argv%", "%quoted-", "'"};
  std::mt19937 random(12345);
  auto random_text = [&](size_t max_pieces) {
    std::string text;
    for (size_t n = random() % (max_pieces + 1); n > 0; --n)
      text += pieces[random() % pieces.size()];
    return text;
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string command_template = random_text(8);
    const std::string args = random_text(4);
    const std::string cwd = "/" + random_text(3);
    const std::string payload_dir = "/" + random_text(3);
    const std::string device = random_text(3);
    SCOPED_TRACE("template [" + command_template + "] args [" + args + "] cwd [" + cwd +
                 "] payload_dir [" + payload_dir + "] device [" + device + "]");

    const std::vector<std::string> words = {random_text(2), random_text(2)};
    std::string expected = command_template;
    std::vector<int> marks(expected.size(), 0);
    reference_replace(expected, marks, "%quoted-argv%", quoted_args_text(words), 2);
    reference_replace(expected, marks, "%argv%", args, 1);
    reference_replace(expected, marks, "%current-dir%", current_dir_text(cwd), 2);
    reference_replace(expected, marks, "%ca-bundle.crt%", bundle_text(payload_dir), 2);
    std::string expected_extra = command_template;
    std::vector<int> extra_marks(expected_extra.size(), 0);
    reference_replace(expected_extra, extra_marks, "%device%", device, 1);

    clear_lists();
    extra_commands = {command_template};
    LaunchContext ctx;
    ctx.cwd = cwd;
    ctx.device_option = device;
    ctx.forwarded_args = words;
    ASSERT_EQ(expand_command_template(command_template, args, ctx, payload_dir), expected);
    ASSERT_EQ(display_commands, std::vector<std::string>{expected_extra});
  }
}

TEST_F(ExpandTest, QuotedArgumentsAreSealedWords) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, "t  end"},
      {{"plain", "/a/b.c"}, "t plain /a/b.c end"},
      {{"", "a b", "it's"}, "t '' 'a b' 'it'\\''s' end"},
      // Placeholders inside an argument are the user's text, never replaced.
      {{"%argv%", "%current-dir%", "%quoted-argv%"}, "t %argv% %current-dir% %quoted-argv% end"},
      {{"$HOME", "*", "x\ny"}, "t '$HOME' '*' 'x\ny' end"},
  };
  for (const Case& c : cases) {
    LaunchContext ctx;
    ctx.cwd = "/h";
    ctx.forwarded_args = c.args;
    EXPECT_EQ(expand_command_template("t %quoted-argv% end", "raw", ctx, "/p"), c.expected);
  }
  // Both placeholders in one template: each gets its own form of the same arguments.
  LaunchContext ctx;
  ctx.forwarded_args = {"a b"};
  EXPECT_EQ(expand_command_template("t %argv% -- %quoted-argv%", "a b", ctx, "/p"),
            "t a b -- 'a b'");
}

TEST_F(ExpandTest, ManyForwardedPlaceholdersExpandInOnePass) {
  std::string args;
  for (int i = 0; i < 20000; ++i) args += "%current-dir%%argv%";
  LaunchContext ctx;
  ctx.cwd = "/h";
  const std::string text = expand_command_template("t %argv%", args, ctx, "/p");
  std::string expected = "t ";
  for (int i = 0; i < 20000; ++i) expected += "--current-dir \"/h/ \" %argv%";
  EXPECT_EQ(text, expected);
}

}  // namespace
