#include "launcher/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ScanOutcome {
  int result;
  std::string passthrough;
  LaunchContext ctx;
  std::string err;
};

ScanOutcome scan(std::vector<const char*> args) {
  args.insert(args.begin(), "/opt/fw/update.bin");
  ScanOutcome outcome;
  testing::internal::CaptureStderr();
  outcome.result =
      scan_arguments(static_cast<int>(args.size()), args.data(), outcome.passthrough, outcome.ctx);
  outcome.err = testing::internal::GetCapturedStderr();
  return outcome;
}

struct ScanCase {
  const char* name;
  std::vector<const char*> args;
  std::string passthrough;
  // Expected flags: extract_dir_given, extract_only, help, version, query, no_extract_list.
  std::vector<bool> flags;
  std::string extract_dir;
  std::string device_option;
};

TEST(ScanArguments, OptionTable) {
  const std::vector<ScanCase> cases = {
      {"no arguments", {}, "", {0, 0, 0, 0, 0, 0}, "", ""},
      {"plain arguments forwarded", {"a", "b"}, "a b", {0, 0, 0, 0, 0, 0}, "", ""},
      {"no_extract_list forwarded and noted",
       {"--no_extract_list"},
       "--no_extract_list",
       {0, 0, 0, 0, 0, 1},
       "",
       ""},
      {"no-pause consumed first gives leading blank",
       {"--sfx-no-pause", "a", "b"},
       " a b",
       {0, 0, 0, 0, 0, 0},
       "",
       ""},
      {"no-pause consumed in the middle",
       {"a", "--sfx-no-pause", "b"},
       "a b",
       {0, 0, 0, 0, 0, 0},
       "",
       ""},
      {"extract dir consumed with its value",
       {"--sfx-extract-dir", "/x", "y"},
       " y",
       {1, 0, 0, 0, 0, 0},
       "/x",
       ""},
      {"extract dir value is never an option",
       {"--sfx-extract-dir", "--help"},
       "",
       {1, 0, 0, 0, 0, 0},
       "--help",
       ""},
      {"last extract dir wins",
       {"--sfx-extract-dir", "/a", "--sfx-extract-dir", "/b"},
       "",
       {1, 0, 0, 0, 0, 0},
       "/b",
       ""},
      {"extract only with dir",
       {"--sfx-extract-dir", "/x", "--sfx-extract-only"},
       "",
       {1, 1, 0, 0, 0, 0},
       "/x",
       ""},
      {"extract only with no_extract_list",
       {"--no_extract_list", "--sfx-extract-only"},
       "--no_extract_list",
       {0, 1, 0, 0, 0, 1},
       "",
       ""},
      {"short version", {"-v"}, "-v", {0, 0, 0, 1, 0, 0}, "", ""},
      {"long version", {"--version"}, "--version", {0, 0, 0, 1, 0, 0}, "", ""},
      {"short help", {"-h"}, "-h", {0, 0, 1, 0, 0, 0}, "", ""},
      {"long help", {"--help"}, "--help", {0, 0, 1, 0, 0, 0}, "", ""},
      {"device and next argument forwarded",
       {"-d", "dev0", "x"},
       "-d dev0 x",
       {0, 0, 0, 0, 0, 0},
       "",
       "-d dev0"},
      {"long device option",
       {"--dev", "03:00.0"},
       "--dev 03:00.0",
       {0, 0, 0, 0, 0, 0},
       "",
       "-d 03:00.0"},
      {"device value examined as an option",
       {"-d", "--help"},
       "-d --help",
       {0, 0, 1, 0, 0, 0},
       "",
       "-d --help"},
      {"last device wins", {"-d", "a", "-d", "b"}, "-d a -d b", {0, 0, 0, 0, 0, 0}, "", "-d b"},
      {"query --no", {"--no"}, "--no", {0, 0, 0, 0, 1, 0}, "", ""},
      {"query --query", {"--query"}, "--query", {0, 0, 0, 0, 1, 0}, "", ""},
      {"query --online-query-psid",
       {"x", "--online-query-psid"},
       "x --online-query-psid",
       {0, 0, 0, 0, 1, 0},
       "",
       ""},
      {"options are case-sensitive", {"--HELP", "-V"}, "--HELP -V", {0, 0, 0, 0, 0, 0}, "", ""},
      {"blanks inside an argument kept raw", {"a b", "c"}, "a b c", {0, 0, 0, 0, 0, 0}, "", ""},
      {"options after ordinary arguments",
       {"x", "--sfx-extract-dir", "/d", "-h"},
       "x -h",
       {1, 0, 1, 0, 0, 0},
       "/d",
       ""},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScanOutcome o = scan(c.args);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.passthrough, c.passthrough);
    EXPECT_EQ(o.ctx.program_name, "update");
    std::vector<bool> flags = {o.ctx.extract_dir_given, o.ctx.extract_only,
                               o.ctx.help_requested,    o.ctx.version_requested,
                               o.ctx.query_requested,   o.ctx.no_extract_list};
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(o.ctx.extract_dir, c.extract_dir);
    EXPECT_EQ(o.ctx.device_option, c.device_option);
  }
}

TEST(ScanArguments, Errors) {
  struct ErrorCase {
    std::vector<const char*> args;
    std::string message;
    std::string passthrough;  // What was forwarded before the scan stopped.
  };
  const std::vector<ErrorCase> cases = {
      {{"a", "--sfx-extract-dir"},
       "-E- Destination directory not specified with --sfx-extract-dir option\n",
       "a"},
      {{"-d"}, "-E- Devices is not Specified\n", ""},
      {{"x", "--dev"}, "-E- Devices is not Specified\n", "x"},
      // The scan stops at the first missing value: nothing after it is looked at.
      {{"--dev", "--sfx-extract-dir"},
       "-E- Destination directory not specified with "
       "--sfx-extract-dir option\n",
       "--dev"},
      {{"--sfx-extract-only"},
       "-E- --sfx-extract-only option must be used in conjunction with --sfx-extract-dir "
       "option\n",
       ""},
      {{"--sfx-extract-only", "a", "b"},
       "-E- --sfx-extract-only option must be used in conjunction with --sfx-extract-dir "
       "option\n",
       " a b"},
      // The prefix is the stub's own: an unknown word with it stops the scan where it stands.
      {{"a", "--sfx-chek", "b"},
       "-E- Unknown self-extractor option '--sfx-chek'; run with --sfx-help for the list\n",
       "a"},
      {{"--sfx-"}, "-E- Unknown self-extractor option '--sfx-'; run with --sfx-help for the list\n",
       ""},
      {{"--sfx-extract-dir=/x"},
       "-E- Unknown self-extractor option '--sfx-extract-dir=/x'; run with --sfx-help for the "
       "list\n",
       ""},
      {{"--sfx-\xc2\x9b" "31m"},
       "-E- Unknown self-extractor option '--sfx-\\xc2\\x9b31m'; run with --sfx-help for the "
       "list\n",
       ""},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.message);
    ScanOutcome o = scan(c.args);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, c.message);
    EXPECT_EQ(o.passthrough, c.passthrough);
  }
}

TEST(ScanArguments, ForwardedArgumentsKeepTheirBoundaries) {
  struct Case {
    std::vector<const char*> args;
    std::vector<std::string> forwarded;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{"a b", "", "c"}, {"a b", "", "c"}},
      {{"--sfx-no-pause", "x"}, {"x"}},
      {{"--sfx-extract-dir", "--sfx-x", "y"}, {"y"}},  // The value is taken, whatever it is.
      {{"-d", "03:00.0", "--no_extract_list"}, {"-d", "03:00.0", "--no_extract_list"}},
  };
  for (const Case& c : cases) {
    ScanOutcome o = scan(c.args);
    EXPECT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(o.ctx.forwarded_args, c.forwarded);
  }
}

TEST(DeriveProgramName, Examples) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/opt/fw/update.bin", "update"},
      {"a.b.c", "a.b"},
      {".run", "run"},
      {"tools\\setup.exe", "setup"},
      {"plain", "plain"},
      {"..x", "."},
      {"dir/", ""},
      {"./fwpkg.bin", "fwpkg"},
      {"a/b\\c.d/e", "e"},
      {"x/y.z\\w", "w"},
      {"", ""},
      {"name.", "name"},
  };
  for (const auto& [argv0, name] : cases) {
    EXPECT_EQ(derive_program_name(argv0), name) << "argv0: " << argv0;
  }
}

TEST(PrintSfxOptionsHelp, FullBlock) {
  LaunchContext ctx;
  testing::internal::CaptureStdout();
  print_sfx_options_help(ctx);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n"
            "SELF EXTRACTOR OPTIONS\n"
            "        --sfx-extract-dir <dir>       : Use <dir> for temporary files during "
            "execution\n"
            "        --sfx-extract-only            : Do not execute, only extract files to a "
            "location\n"
            "                                        specified through the --sfx-extract-dir "
            "option\n"
            "\n");
}

TEST(PrintSfxOptionsHelp, WithoutExtractOnlyLines) {
  LaunchContext ctx;
  ctx.no_extract_list = true;
  testing::internal::CaptureStdout();
  print_sfx_options_help(ctx);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n"
            "SELF EXTRACTOR OPTIONS\n"
            "        --sfx-extract-dir <dir>       : Use <dir> for temporary files during "
            "execution\n"
            "\n");
}

TEST(FindLookInsideOption, FirstOneDecides) {
  struct Case {
    std::vector<const char*> args;
    LookInside expected;
  };
  const std::vector<Case> cases = {
      {{}, LookInside::kNone},
      {{"a", "-d", "dev0", "--sfx-no-pause"}, LookInside::kNone},
      {{"--sfx-info"}, LookInside::kInfo},
      {{"--sfx-list"}, LookInside::kList},
      {{"--sfx-check"}, LookInside::kCheck},
      {{"--sfx-help"}, LookInside::kHelp},
      {{"x", "--sfx-check", "--sfx-info"}, LookInside::kCheck},
      {{"--sfx-help", "--sfx-list"}, LookInside::kHelp},
      // Where scan_arguments would fail: a missing value, extract-only alone.
      {{"--sfx-list", "-d"}, LookInside::kList},
      {{"--sfx-extract-only", "--sfx-info"}, LookInside::kInfo},
      {{"--sfx-check", "--sfx-extract-dir"}, LookInside::kCheck},
      // A device value is examined like any other word, a directory value is not.
      {{"-d", "--sfx-info"}, LookInside::kInfo},
      {{"--sfx-extract-dir", "--sfx-info"}, LookInside::kNone},
      {{"--sfx-extract-dir", "--sfx-info", "--sfx-list"}, LookInside::kList},
      {{"--SFX-INFO", "--sfx-info=1", "sfx-info", "--sfx-inf"}, LookInside::kNone},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = c.args;
    argv.insert(argv.begin(), "fw.bin");
    std::string joined;
    for (const char* arg : c.args) joined += std::string(arg) + " ";
    SCOPED_TRACE(joined);
    EXPECT_EQ(find_look_inside_option(static_cast<int>(argv.size()), argv.data()), c.expected);
  }
}

TEST(PrintVersionLine, BuildDateAndTime) {
  testing::internal::CaptureStdout();
  print_version_line();
  const std::string line = testing::internal::GetCapturedStdout();
  const std::string prefix = "SelfExtractor 1.0, pvk 4.28.0-75, built on ";
  const std::string suffix = ". Git SHA Hash: N/A\n";
  ASSERT_EQ(line.size(), prefix.size() + 11 + 2 + 8 + suffix.size()) << line;
  EXPECT_EQ(line.substr(0, prefix.size()), prefix);
  EXPECT_EQ(line.substr(line.size() - suffix.size()), suffix);
  // "Mmm dd yyyy, hh:mm:ss": the day right-aligned in two characters.
  const std::string stamp = line.substr(prefix.size(), 21);
  const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  EXPECT_EQ(months.find(stamp.substr(0, 3)) % 3, 0u) << stamp;
  EXPECT_NE(months.find(stamp.substr(0, 3)), std::string::npos) << stamp;
  EXPECT_TRUE(stamp[4] == ' ' || (stamp[4] >= '1' && stamp[4] <= '3')) << stamp;
  EXPECT_EQ(stamp.substr(11, 2), ", ");
  EXPECT_EQ(stamp[15], ':');
  EXPECT_EQ(stamp[18], ':');
}

}  // namespace
