#include "extract/entry_rules.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kUnix = 3 << 8;
constexpr std::uint32_t kDos = 0;

EntryFacts facts(const std::string& name, std::uint32_t made_by = kUnix,
                 std::uint32_t attributes = 0100644u << 16) {
  EntryFacts entry;
  entry.name = name;
  entry.name_length = name.size();
  entry.version_made_by = made_by | 20;
  entry.method = 8;
  entry.external_attributes = attributes;
  return entry;
}

TEST(EntryRules, CheckEntry) {
  struct Case {
    const char* label;
    EntryFacts entry;
    EntryRule rule;
    std::string message;
  };
  EntryFacts long_name = facts(std::string(300, 'n'));
  EntryFacts encrypted = facts("secret");
  encrypted.flags = 1;
  EntryFacts bzip2 = facts("b\x1b[2J");
  bzip2.method = 12;
  EntryFacts stored_dir_odd_method = facts("dir/");
  stored_dir_odd_method.method = 99;
  EntryFacts zip64 = facts("big");
  zip64.compressed_size = 0xFFFFFFFFu;
  const std::vector<Case> cases = {
      {"plain", facts("a/b.txt"), EntryRule::kOk, ""},
      {"dots inside a part", facts("a/..b/c..d"), EntryRule::kOk, ""},
      {"directory with an odd method", stored_dir_odd_method, EntryRule::kOk, ""},
      {"absolute", facts("/etc/passwd"), EntryRule::kUnsafeName,
       "refusing unsafe entry name /etc/passwd\n"},
      {"backslash root", facts("\\x"), EntryRule::kUnsafeName, "refusing unsafe entry name \\x\n"},
      {"dot dot", facts("a/../../b"), EntryRule::kUnsafeName,
       "refusing unsafe entry name a/../../b\n"},
      {"dot dot with backslash", facts("a\\..\\b"), EntryRule::kUnsafeName,
       "refusing unsafe entry name a\\..\\b\n"},
      {"long", long_name, EntryRule::kNameTooLong,
       "entry name too long (300 bytes), refusing " + std::string(255, 'n') + "...\n"},
      {"encrypted", encrypted, EntryRule::kEncrypted, "encrypted entry secret is not supported\n"},
      {"bzip2, name with an escape", bzip2, EntryRule::kUnsupportedMethod,
       "unsupported compression method 12 in entry b\\x1b[2J\n"},
      {"zip64 placeholder", zip64, EntryRule::kZip64Sizes,
       "unsupported ZIP64 sizes in entry big\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.rule, check_entry(c.entry));
    EXPECT_EQ(c.message, entry_rule_message(c.rule, c.entry));
  }
}

TEST(EntryRules, KindsAndModes) {
  struct Case {
    const char* label;
    EntryFacts entry;
    EntryKind kind;
    mode_t file_mode;  // With umask 022.
    mode_t dir_mode;
  };
  const std::vector<Case> cases = {
      {"unix file", facts("f", kUnix, 0100755u << 16), EntryKind::kFile, 0755, 0775},
      {"unix setuid file", facts("f", kUnix, 0104750u << 16), EntryKind::kFile, 04750, 0775},
      {"unix directory without slash", facts("d", kUnix, 040755u << 16), EntryKind::kDirectory,
       0755, 0775},
      {"unix link", facts("l", kUnix, 0120777u << 16), EntryKind::kSymlink, 0777, 0775},
      {"unix host, no mode", facts("f", kUnix, 0x20), EntryKind::kFile, 0644, 0755},
      {"dos file", facts("f", kDos, 0x20), EntryKind::kFile, 0644, 0755},
      {"dos directory attribute", facts("d", kDos, 0x10), EntryKind::kDirectory, 0644, 0755},
      {"dos host with a whole Unix mode", facts("f", kDos, (0100755u << 16) | 0x10),
       EntryKind::kFile, 0755, 0775},
      {"dos host, bits but no file type", facts("f", kDos, (0755u << 16) | 0x10),
       EntryKind::kDirectory, 0644, 0755},
      {"trailing slash", facts("d/", kDos, 0), EntryKind::kDirectory, 0644, 0755},
      {"trailing backslash", facts("d\\", kUnix, 0100644u << 16), EntryKind::kDirectory, 0644,
       0775},
      {"empty name", facts(""), EntryKind::kDirectory, 0644, 0775},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.kind, entry_kind(c.entry));
    EXPECT_EQ(c.file_mode, file_mode_of(c.entry, 022));
    EXPECT_EQ(c.dir_mode, directory_mode_of(c.entry));
  }
}

TEST(EntryRules, ModeText) {
  struct Case {
    EntryKind kind;
    mode_t permissions;
    const char* text;
  };
  const std::vector<Case> cases = {
      {EntryKind::kFile, 0755, "-rwxr-xr-x"},       {EntryKind::kFile, 0640, "-rw-r-----"},
      {EntryKind::kFile, 0, "----------"},          {EntryKind::kDirectory, 0755, "drwxr-xr-x"},
      {EntryKind::kSymlink, 0777, "lrwxrwxrwx"},    {EntryKind::kFile, 04755, "-rwsr-xr-x"},
      {EntryKind::kFile, 04644, "-rwSr--r--"},      {EntryKind::kFile, 02750, "-rwxr-s---"},
      {EntryKind::kFile, 02700, "-rwx--S---"},      {EntryKind::kDirectory, 01777, "drwxrwxrwt"},
      {EntryKind::kDirectory, 01770, "drwxrwx--T"}, {EntryKind::kFile, 07000, "---S--S--T"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mode_text(c.kind, c.permissions), c.text) << std::oct << c.permissions;
  }
}

TEST(EntryRules, LinkTargets) {
  struct Case {
    const char* name;
    std::string target;
    bool safe;
    std::set<std::string> links = {};  // Paths that are links in the archive.
  };
  const std::vector<Case> cases = {
      {"lib/libz.so", "libz.so.1", true},
      {"lib/libz.so", "./libz.so.1", true},
      {"a/b/c", "../../x", true},
      {"a/b/c", "../x/y", true},
      {"top", "sub/dir", true},
      {"top", ".", true},
      {"a/b/c", "../../../x", false},
      {"top", "..", false},
      {"a\\b", "../x", false},  // "a\\b" is one name at the top on disk.
      {"top", "../x", false},
      {"a/b", "/etc/shadow", false},
      {"a/b", "\\etc", false},
      {"a/b", "", false},
      {"a/b", std::string("x\0y", 3), false},
      {"a/b", std::string(4096, 'x'), false},
      {"a/b", std::string(4095, 'x'), true},
      // ".." behind ordinary parts goes back one part, as long as it stays inside.
      {"a/b", "x/../y", true},
      {"a/b/c", "x/../../../y", true},  // Down to the payload directory itself, not past it.
      {"a/b/c", "x/../../../../y", false},
      {"C/link2", "../C/./a/b/c/../../../g", true},
      {"a/b", "../../a/x", false},  // Back inside in the end, but out on the way.
      {"top", "../top/x", false},
      {"a/b", "x/y/../../../..", false},
      // "." and empty parts are no steps.
      {"a/b", "./././x/./../y", true},
      {"a/b", "x//..//y", true},
      {"a//b", "../y", true},
      {"a//./b", "../../y", false},
      {"a/b", "x/.//../..", true},
      {"a/b", "x/.//../../..", false},
      // Up from a link would climb from wherever it leads.
      {"a/b", "x/../y", false, {"a/x"}},
      {"a/b", "x/y/../z", false, {"a/x"}},
      {"a/b", "../x/../y", false, {"x"}},
      {"a/b", "x/y/z", true, {"a/x"}},            // Through a link, but never up.
      {"a/b", "y/../z", true, {"a/x", "a/y/z"}},  // Other links are not on the way.
      {"d/l", "../x", false, {"d"}},              // Its own directory is a link.
      {"d/l", "l/../x", false, {"d/l"}},          // Through itself.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " -> " + c.target.substr(0, 40));
    const IsLinkPath is_link = [&c](const std::string& path) { return c.links.count(path) != 0; };
    EXPECT_EQ(c.safe, is_safe_link_target(c.name, c.target, is_link));
  }
  EXPECT_EQ("refusing symbolic link a/b -> /etc/shadow\n",
            entry_rule_message(EntryRule::kLinkTarget, facts("a/b"), "/etc/shadow"));
}

TEST(EntryRules, FileSystemPath) {
  EXPECT_EQ("a/b", file_system_path("./a//b/"));
  EXPECT_EQ("a\\b/c", file_system_path("a\\b/./c"));
  EXPECT_EQ("", file_system_path("./"));
}

TEST(EntryRules, ValidUtf8) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain/ascii\x01"));
  EXPECT_TRUE(is_valid_utf8("\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"));
  for (const char* bad : {"\xff", "a\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                          "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "\x80"}) {
    SCOPED_TRACE(printable_text(bad));
    EXPECT_FALSE(is_valid_utf8(bad));
  }
}

TEST(EntryRules, PrintableText) {
  struct Case {
    std::string raw;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"plain name-1.0_x.txt", "plain name-1.0_x.txt"},
      {"back\\slash", "back\\slash"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
      {"tab\tnl\ndel\x7f", "tab\\x09nl\\x0adel\\x7f"},
      {"\xc2\x9b"
       "31m",
       "\\xc2\\x9b31m"},                             // C1 CSI.
      {"\xff\xfe", "\\xff\\xfe"},                    // Not UTF-8 at all.
      {"\xc0\xaf", "\\xc0\\xaf"},                    // Overlong "/".
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // Surrogate.
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // Above U+10FFFF.
      {"cut \xe2\x82", "cut \\xe2\\x82"},            // Sequence cut short.
      {"\xc3\xbf", "\xc3\xbf"},                      // A real "y with diaeresis".
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.shown, printable_text(c.raw));
  }
}

}  // namespace
