#include "command/shell_quote.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/run.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::TempDir;

// Hostile texts: quotes, expansions, command substitution, separators, globbing, comments,
// white space, option-like words, and every single byte but NUL (inside other text too).
std::vector<std::string> hostile_texts(const std::string& marker_path) {
  std::vector<std::string> texts = {
      "",
      "'",
      "''",
      "'\\''",
      "\"",
      "\\",
      "\\\\'",
      "a b",
      "  lead and trail  ",
      "\n",
      "line\nbreak",
      "\t",
      "$(touch " + marker_path + ")",
      "`touch " + marker_path + "`",
      "x$(touch " + marker_path + ")\"y",
      "\"; touch " + marker_path + "; \"",
      "'; touch " + marker_path + "; '",
      "${HOME}",
      "$HOME",
      "$1$#$?$$",
      "*",
      "/*",
      "?",
      "[a-z]",
      "~",
      "~root",
      "#comment",
      "a;b&c|d>e<f",
      "(x)",
      "{a,b}",
      "!",
      "-n",
      "-e",
      "x=y",
      "=",
      "a'b\"c$d`e\\f g",
      "%current-dir%",
      "\x01\x7f\x80\xff",
  };
  for (int c = 1; c < 256; ++c) {
    texts.push_back(std::string(1, static_cast<char>(c)));
    texts.push_back("a" + std::string(1, static_cast<char>(c)) + "b");
  }
  return texts;
}

// Runs one shell script that, for every word, sets the positional parameters from it and
// prints the count and the first parameter, NUL-separated; returns what it printed.
std::string echo_through_shell(const TempDir& dir, const std::vector<std::string>& words) {
  const std::string out = dir / "out";
  std::string script;
  for (const std::string& word : words) {
    script += "set -- " + word + "\nprintf '%s\\0%s\\0' \"$#\" \"$1\" >> '" + out + "'\n";
  }
  EXPECT_EQ(map_shell_status(run_shell(script)), 0);
  return read_file(out);
}

std::string expected_echo(const std::vector<std::string>& texts) {
  std::string expected;
  for (const std::string& text : texts) expected += "1" + std::string(1, '\0') + text + '\0';
  return expected;
}

TEST(ShellQuoteTest, HostileTextsComeBackAsOneWordByteForByte) {
  TempDir dir;
  const std::string marker = dir / "PWNED";
  const std::vector<std::string> texts = hostile_texts(marker);

  std::vector<std::string> quoted, words, in_double_quotes;
  for (const std::string& text : texts) {
    quoted.push_back(shell_quote(text));
    words.push_back(shell_word(text));
    in_double_quotes.push_back("\"" + escape_for_double_quotes(text) + "\"");
  }
  EXPECT_EQ(echo_through_shell(dir, quoted), expected_echo(texts));
  std::remove((dir / "out").c_str());
  EXPECT_EQ(echo_through_shell(dir, words), expected_echo(texts));
  std::remove((dir / "out").c_str());
  EXPECT_EQ(echo_through_shell(dir, in_double_quotes), expected_echo(texts));
  EXPECT_FALSE(path_exists(marker));
}

TEST(ShellQuoteTest, PlainWordsStayAsTheyAre) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"/tmp/sfxter_Ab12Cd/fwpkg-dir", "/tmp/sfxter_Ab12Cd/fwpkg-dir"},
      {"/a/B.c_d-e+f,g:h@i%j=k/9", "/a/B.c_d-e+f,g:h@i%j=k/9"},
      {"/tmp/my dir", "'/tmp/my dir'"},
      {"/x$y", "'/x$y'"},
      {"/it's", "'/it'\\''s'"},
      {"/tmp/~x", "'/tmp/~x'"},
      {"", "''"},
      {"a=b/c", "'a=b/c'"},  // In command position it would be an assignment.
      {"a=b", "'a=b'"},
      {"/a=b", "/a=b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(shell_word(c.text), c.expected) << c.text;
  }
  EXPECT_EQ(shell_quote("/tmp/plain"), "'/tmp/plain'");
  EXPECT_EQ(escape_for_double_quotes("/a b/\"$`\\'x"), "/a b/\\\"\\$\\`\\\\'x");
}

}  // namespace
