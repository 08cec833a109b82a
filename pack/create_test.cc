#include "pack/create.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "payload/stub_machine.h"
#include "payload/trailer.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::list_dir;
using sfx_testing::make_zip;
using sfx_testing::mode_of;
using sfx_testing::read_file;
using sfx_testing::TempDir;
using sfx_testing::write_file;
using sfx_testing::ZipEntry;

// A stand-in stub: an ELF header of a static executable for the test's own machine.
const std::string kStub = sfx_testing::elf_image("stub image\n");

ZipEntry zip_entry(const std::string& name, const std::string& data, std::uint32_t mode = 0100644) {
  ZipEntry entry;
  entry.name = name;
  entry.data = data;
  entry.unix_mode = mode;
  return entry;
}

// A source tree, a stand-in stub and an empty output directory in `dir`.
void prepare(const TempDir& dir, CreateOptions& options) {
  write_file(dir / "stub", kStub, 0755);
  ASSERT_EQ(mkdir((dir / "src").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "src/bin").c_str(), 0755), 0);
  write_file(dir / "src/bin/run.sh", "#!/bin/sh\necho hello\n", 0755);
  write_file(dir / "src/data.txt", "data\n", 0644);
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
  options = CreateOptions{};
  options.output = dir / "out/app.run";
  options.command_template = "bin/run.sh %argv%";
  options.stub = dir / "stub";
  options.source = dir / "src";
}

class CreateTest : public ::testing::Test {
 protected:
  void SetUp() override { prepare(dir_, options_); }

  Status create() { return create_distributable(options_, report_); }

  TempDir dir_;
  CreateOptions options_;
  CreateReport report_;
};

TEST_F(CreateTest, WritesStubArchiveAndTrailerAndNothingElse) {
  const Status status = create();
  ASSERT_TRUE(status.is_ok()) << status.message();
  EXPECT_TRUE(report_.warnings.empty());
  EXPECT_EQ(report_.entry_count, 3u);
  EXPECT_EQ(report_.stub_size, kStub.size());
  EXPECT_EQ(list_dir(dir_ / "out"), std::vector<std::string>{"app.run"});
  EXPECT_EQ(mode_of(options_.output), 0755u);

  const std::string bytes = read_file(options_.output);
  const std::string trailer = encode_trailer(
      options_.command_template, static_cast<std::uint32_t>(report_.archive_length), std::nullopt);
  ASSERT_EQ(bytes.size(), report_.stub_size + report_.archive_length + trailer.size());
  EXPECT_EQ(bytes.substr(0, report_.stub_size), kStub);
  EXPECT_EQ(bytes.substr(report_.stub_size, 4), "PK\x03\x04");
  EXPECT_EQ(bytes.substr(bytes.size() - trailer.size()), trailer);

  std::FILE* file = std::fopen(options_.output.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  TrailerInfo info;
  EXPECT_EQ(read_trailer(file, info), TrailerStatus::kOk);
  std::fclose(file);
  EXPECT_EQ(info.archive_offset, static_cast<std::int64_t>(report_.stub_size));
  EXPECT_EQ(info.command, options_.command_template);
  EXPECT_FALSE(info.has_extra_tool_section);
}

TEST_F(CreateTest, TextsOfExactly256BytesAndAnExtraToolSection) {
  options_.command_template = "bin/run.sh " + std::string(245, 'c');
  options_.extra_tool_command = std::string(256, 'e');
  ASSERT_EQ(options_.command_template.size(), 256u);
  ASSERT_TRUE(create().is_ok());
  std::FILE* file = std::fopen(options_.output.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  TrailerInfo info;
  EXPECT_EQ(read_trailer(file, info), TrailerStatus::kOk);
  std::fclose(file);
  EXPECT_EQ(info.command, options_.command_template);
  EXPECT_TRUE(info.has_extra_tool_section);
  EXPECT_EQ(info.extra_tool_command, *options_.extra_tool_command);
}

TEST_F(CreateTest, ReplacesAnExistingOutputOnlyWhenComplete) {
  write_file(options_.output, "previous", 0600);
  options_.archive.max_length = 100;
  write_file(dir_ / "src/big", std::string(5000, 'x') + "unique tail 1234567890");
  EXPECT_EQ(create().exit_status(), EXIT_PACK_INPUT_FAULT);
  EXPECT_EQ(read_file(options_.output), "previous");
  EXPECT_EQ(list_dir(dir_ / "out"), std::vector<std::string>{"app.run"});

  options_.archive.max_length = MAX_ARCHIVE_LENGTH;
  ASSERT_TRUE(create().is_ok());
  EXPECT_EQ(read_file(options_.output).substr(0, kStub.size()), kStub);
  EXPECT_EQ(mode_of(options_.output), 0755u);
}

// aarch64 on any other machine, x86_64 on aarch64.
std::string other_machine() { return host_machine() == "aarch64" ? "x86_64" : "aarch64"; }

std::string other_machine_stub() {
  const std::uint16_t number = other_machine() == "aarch64" ? 183 : 62;
  const sfx_testing::ElfMachine machine{2, 1, number};
  return sfx_testing::elf_image("stub image\n", 2, false, 0x401000, machine);
}

TEST_F(CreateTest, TakesAStubForTheMachineNamedByUnameOrDebian) {
  struct Case {
    const char* machine;
    sfx_testing::ElfMachine elf;
  };
  const Case cases[] = {{"aarch64", {2, 1, 183}}, {"arm64", {2, 1, 183}},  {"armhf", {1, 1, 40}},
                        {"armv7l", {1, 1, 40}},   {"ppc64el", {2, 1, 21}}, {"x86_64", {2, 1, 62}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine);
    const std::string stub = sfx_testing::elf_image("stub image\n", 2, false, 0x10000, c.elf);
    write_file(dir_ / "stub", stub, 0755);
    options_.machine = c.machine;
    const Status status = create();
    ASSERT_TRUE(status.is_ok()) << status.message();
    EXPECT_TRUE(read_file(options_.output).substr(0, stub.size()) == stub);
  }
}

TEST_F(CreateTest, TakesAStaticPieStub) {
  write_file(dir_ / "stub", sfx_testing::elf_image("stub image\n", 3, false, 0x1040), 0755);
  const Status status = create();
  EXPECT_TRUE(status.is_ok()) << status.message();
}

TEST_F(CreateTest, RefusesADynamicallyLinkedStubAndALibrary) {
  if (sfx_testing::sanitized_build()) {
    GTEST_SKIP() << "the sanitizer build's own stub is dynamically linked, and taken";
  }
  write_file(dir_ / "stub", sfx_testing::elf_image("stub image\n", 2, true), 0755);
  Status status = create();
  EXPECT_EQ(status.exit_status(), EXIT_PACK_USAGE);
  EXPECT_EQ(status.message(), "the stub '" + dir_ / "stub" + "' is an " + host_machine() +
                                  " dynamically linked executable; the stub must be a static "
                                  "executable for " +
                                  host_machine());
  write_file(dir_ / "stub", sfx_testing::elf_image("library\n", 3, false, 0), 0755);
  status = create();
  EXPECT_EQ(status.exit_status(), EXIT_PACK_USAGE);
  EXPECT_EQ(status.message(), "the stub '" + dir_ / "stub" + "' is an " + host_machine() +
                                  " shared library; the stub must be a static executable for " +
                                  host_machine());
  EXPECT_TRUE(list_dir(dir_ / "out").empty());
}

void make_sparse(const std::string& path, off_t size) {
  write_file(path, "");
  ASSERT_EQ(truncate(path.c_str(), size), 0);
}

struct Refusal {
  const char* name;
  std::function<void(CreateOptions&, const TempDir&)> setup;
  int exit_status;
  std::string message;  // "@" stands for the scratch directory.
};

TEST(CreateRefusals, NothingIsWritten) {
  const Refusal refusals[] = {
      {"template of 257 bytes",
       [](CreateOptions& o, const TempDir&) { o.command_template = std::string(257, 'c'); },
       EXIT_PACK_USAGE, "the command template is 257 bytes long; the trailer holds at most 256"},
      {"empty template", [](CreateOptions& o, const TempDir&) { o.command_template = ""; },
       EXIT_PACK_USAGE, "the command template is empty"},
      {"extra-tool command of 257 bytes",
       [](CreateOptions& o, const TempDir&) { o.extra_tool_command = std::string(257, 'e'); },
       EXIT_PACK_USAGE, "the extra-tool command is 257 bytes long; the trailer holds at most 256"},
      {"empty extra-tool command",
       [](CreateOptions& o, const TempDir&) { o.extra_tool_command = ""; }, EXIT_PACK_USAGE,
       "the extra-tool command is empty"},
      {"missing stub", [](CreateOptions& o, const TempDir& d) { o.stub = d / "none"; },
       EXIT_PACK_INPUT_FAULT, "cannot read the stub '@/none': No such file or directory"},
      {"stub is a directory", [](CreateOptions& o, const TempDir& d) { o.stub = d / "src"; },
       EXIT_PACK_INPUT_FAULT, "the stub '@/src' is not a file"},
      {"empty stub",
       [](CreateOptions& o, const TempDir& d) {
         write_file(d / "empty", "");
         o.stub = d / "empty";
       },
       EXIT_PACK_INPUT_FAULT, "the stub '@/empty' is empty"},
      {"stub of 4 GiB",
       [](CreateOptions& o, const TempDir& d) {
         make_sparse(d / "huge", off_t{1} << 32);
         o.stub = d / "huge";
       },
       EXIT_PACK_INPUT_FAULT,
       "the stub '@/huge' is 4294967296 bytes long: the archive would start at 4 GiB or beyond, "
       "where the stub cannot find it"},
      {"stub that is a script",
       [](CreateOptions& o, const TempDir& d) {
         write_file(d / "script", "#!/bin/sh\nexit 7\n", 0755);
         o.stub = d / "script";
       },
       EXIT_PACK_USAGE,
       "the stub '@/script' is a script; the stub must be a static executable for " +
           host_machine()},
      {"stub of another machine",
       [](CreateOptions& o, const TempDir& d) {
         write_file(d / "other", other_machine_stub(), 0755);
         o.stub = d / "other";
       },
       EXIT_PACK_USAGE,
       "the stub '@/other' is an " + other_machine() + " static executable, not one for " +
           host_machine() + " (--arch " + other_machine() + " packs for " + other_machine() + ")"},
      {"stub for the machine asked for, but not this one",
       [](CreateOptions& o, const TempDir&) { o.machine = other_machine(); }, EXIT_PACK_USAGE,
       "the stub '@/stub' is an " + host_machine() + " static executable, not one for " +
           other_machine() + " (--arch " + host_machine() + " packs for " + host_machine() + ")"},
      {"no machine name", [](CreateOptions& o, const TempDir&) { o.machine = "x86/64"; },
       EXIT_PACK_USAGE,
       "the machine 'x86/64' is no machine name; name it as uname -m does, such as x86_64, "
       "aarch64, armv7l or ppc64le"},
      {"missing source", [](CreateOptions& o, const TempDir& d) { o.source = d / "none"; },
       EXIT_PACK_INPUT_FAULT, "cannot read '@/none': No such file or directory"},
      {"source is no ZIP archive",
       [](CreateOptions& o, const TempDir& d) { o.source = d / "stub"; }, EXIT_PACK_INPUT_FAULT,
       "'@/stub' is neither a directory nor a ZIP archive"},
      {"source is a fifo",
       [](CreateOptions& o, const TempDir& d) {
         ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0644), 0);
         o.source = d / "fifo";
       },
       EXIT_PACK_INPUT_FAULT, "'@/fifo' is neither a directory nor a ZIP archive"},
      {"special file in the source",
       [](CreateOptions&, const TempDir& d) {
         ASSERT_EQ(mkfifo((d / "src/fifo").c_str(), 0644), 0);
       },
       EXIT_PACK_INPUT_FAULT, "'@/src/fifo' is a fifo; only files and directories can be packed"},
      {"stored archive of 4 GiB",
       [](CreateOptions& o, const TempDir& d) {
         make_sparse(d / "src/huge", (off_t{1} << 32) - 100);
         o.archive.level = 0;
       },
       EXIT_PACK_INPUT_FAULT,
       "the archive would be 4294967600 bytes long; a distributable file carries at most "
       "4294967295"},
      {"ZIP archive with a long name",
       [](CreateOptions& o, const TempDir& d) {
         write_file(d / "long.zip", make_zip({zip_entry(std::string(256, 'n'), "x")}));
         o.source = d / "long.zip";
       },
       EXIT_PACK_INPUT_FAULT,
       "the ZIP archive '@/long.zip': the stub refuses entry '" + std::string(255, 'n') +
           "': entry name too long (256 bytes), refusing " + std::string(255, 'n') + "..."},
      {"ZIP archive with a \"..\" name",
       [](CreateOptions& o, const TempDir& d) {
         write_file(d / "dots.zip",
                    make_zip({zip_entry("run", "x", 0100755), zip_entry("../escape", "x")}));
         o.source = d / "dots.zip";
       },
       EXIT_PACK_INPUT_FAULT,
       "the ZIP archive '@/dots.zip': the stub refuses entry '../escape': refusing unsafe entry "
       "name ../escape"},
      {"ZIP archive with a link leading outside",
       [](CreateOptions& o, const TempDir& d) {
         write_file(d / "link.zip", make_zip({zip_entry("passwd", "/etc/passwd", 0120777)}));
         o.source = d / "link.zip";
       },
       EXIT_PACK_INPUT_FAULT,
       "the ZIP archive '@/link.zip': the stub refuses entry 'passwd': refusing symbolic link "
       "passwd -> /etc/passwd"},
      {"ZIP archive with a damaged entry",
       [](CreateOptions& o, const TempDir& d) {
         ZipEntry plain = zip_entry("data.bin", std::string(4000, 'd'));
         plain.deflate = false;
         std::string zip = make_zip({zip_entry("run", "x", 0100755), plain});
         zip[zip.find("data.bin") + 8 + 2000] ^= 0x20;  // In the local entry's data.
         write_file(d / "bad.zip", zip);
         o.source = d / "bad.zip";
       },
       EXIT_PACK_INPUT_FAULT,
       "the ZIP archive '@/bad.zip': the stub refuses entry 'data.bin': error -105 with zipfile "
       "in unzCloseCurrentFile"},
      {"empty source directory",
       [](CreateOptions& o, const TempDir& d) {
         ASSERT_EQ(mkdir((d / "void").c_str(), 0755), 0);
         o.source = d / "void";
       },
       EXIT_PACK_INPUT_FAULT,
       "the source directory '@/void' is empty; the stub cannot unpack an archive without "
       "entries"},
      {"empty ZIP archive",
       [](CreateOptions& o, const TempDir& d) {
         write_file(d / "void.zip", make_zip({}));
         o.source = d / "void.zip";
       },
       EXIT_PACK_INPUT_FAULT,
       "the ZIP archive '@/void.zip' has no entries; the stub cannot unpack an archive without "
       "entries"},
      {"ZIP archive whose end record counts fewer entries",
       [](CreateOptions& o, const TempDir& d) {
         using sfx_testing::RawZipEntry;
         write_file(d / "count.zip",
                    sfx_testing::make_raw_zip({RawZipEntry::stored("run", "x", 0100755),
                                               RawZipEntry::stored("b", "2")},
                                              1));
         o.source = d / "count.zip";
       },
       EXIT_PACK_INPUT_FAULT,
       "the ZIP archive '@/count.zip': the stub refuses the archive: central directory holds 2 "
       "entries, end record says 1"},
      {"output is a directory", [](CreateOptions& o, const TempDir& d) { o.output = d / "out"; },
       EXIT_PACK_USAGE, "the output '@/out' is a directory; sfx_pack replaces only regular files"},
      {"output in a missing directory",
       [](CreateOptions& o, const TempDir& d) { o.output = d / "out/none/app.run"; },
       EXIT_PACK_INPUT_FAULT,
       "cannot create a file beside '@/out/none/app.run': No such file or directory"},
      {"archive growing too long",
       [](CreateOptions& o, const TempDir& d) {
         std::string noise(3000, '\0');
         for (std::size_t i = 0; i < noise.size(); ++i)
           noise[i] = static_cast<char>(i * i * 7 % 251 + i / 3);
         write_file(d / "src/big", noise);
         o.archive.max_length = 500;
       },
       EXIT_PACK_INPUT_FAULT,
       "the archive would be longer than 500 bytes, the most a distributable file can carry"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    TempDir dir;
    CreateOptions options;
    prepare(dir, options);
    refusal.setup(options, dir);
    CreateReport report;
    const Status status = create_distributable(options, report);
    EXPECT_EQ(status.exit_status(), refusal.exit_status);
    const std::string expected = sfx_testing::with_dir(refusal.message, dir.path());
    EXPECT_EQ(status.message(), expected);
    EXPECT_TRUE(list_dir(dir / "out").empty());
  }
}

struct WarningCase {
  const char* command;
  std::optional<std::string> extra;
  std::vector<std::string> warnings;
};

TEST_F(CreateTest, WarnsWhenTheFirstWordNamesNoExecutableOfThePayload) {
  const WarningCase cases[] = {
      {"bin/run.sh %argv%", std::nullopt, {}},
      {"bin/run.sh", std::string("bin/run.sh --reset"), {}},
      {"data.txt -x",
       std::nullopt,
       {"the command template's first word 'data.txt' names no executable file of the payload"}},
      {"missing\targ",
       std::nullopt,
       {"the command template's first word 'missing' names no executable file of the payload"}},
      {" bin/run.sh",
       std::nullopt,
       {"the command template's first word '' names no executable file of the payload"}},
      {"bin",
       std::string("tool2 %device%"),
       {"the command template's first word 'bin' names no executable file of the payload",
        "the extra-tool command's first word 'tool2' names no executable file of the payload"}},
  };
  for (const WarningCase& c : cases) {
    SCOPED_TRACE(c.command);
    options_.command_template = c.command;
    options_.extra_tool_command = c.extra;
    ASSERT_TRUE(create().is_ok());
    EXPECT_EQ(report_.warnings, c.warnings);
  }
}

TEST_F(CreateTest, UsesAZipArchiveUnchanged) {
  const std::string zip =
      make_zip({zip_entry("bin/", ""), zip_entry("bin/tool", "#!/bin/sh\n", 0100755),
                zip_entry("readme", "text")});
  write_file(dir_ / "payload.zip", zip);
  options_.source = dir_ / "payload.zip";
  options_.command_template = "bin/tool %argv%";
  ASSERT_TRUE(create().is_ok());
  EXPECT_TRUE(report_.warnings.empty());
  EXPECT_EQ(report_.entry_count, 3u);
  const std::string expected = kStub + zip +
                               encode_trailer(options_.command_template,
                                              static_cast<std::uint32_t>(zip.size()), std::nullopt);
  EXPECT_TRUE(read_file(options_.output) == expected);

  options_.command_template = "readme";
  ASSERT_TRUE(create().is_ok());
  EXPECT_EQ(report_.warnings,
            std::vector<std::string>{
                "the command template's first word 'readme' names no executable file of the "
                "payload"});
}

TEST(FirstWord, EndsAtTheFirstBlankOrTab) {
  EXPECT_EQ(first_word("trevalo -u %argv%"), "trevalo");
  EXPECT_EQ(first_word("a\tb"), "a");
  EXPECT_EQ(first_word("alone"), "alone");
  EXPECT_EQ(first_word(" lead"), "");
}

}  // namespace

// What the stub unpacks, the packer takes: an entry whose sizes are kept in ZIP64 fields, more
// entries than a 16-bit count holds (the end record's count wraps; the directory is read to its
// end), and backslashes in stored names.
TEST_F(CreateTest, TakesZipArchivesTheStubUnpacks) {
  write_file(dir_ / "z64.zip", sfx_testing::make_zip64_zip("big", "abc"));
  options_.source = dir_ / "z64.zip";
  options_.command_template = "big";
  Status status = create();
  ASSERT_TRUE(status.is_ok()) << status.message();
  EXPECT_EQ(report_.entry_count, 1u);

  std::vector<sfx_testing::RawZipEntry> many;
  for (int i = 0; i < 65537; ++i) {
    many.push_back(sfx_testing::RawZipEntry::stored(std::to_string(i), ""));
  }
  write_file(dir_ / "many.zip", sfx_testing::make_raw_zip(many, 1));
  options_.source = dir_ / "many.zip";
  options_.command_template = "0";
  status = create();
  ASSERT_TRUE(status.is_ok()) << status.message();
  EXPECT_EQ(report_.entry_count, 65537u);

  // Names a Windows tool wrote with backslashes, which the stub unpacks as directories.
  write_file(dir_ / "win.zip",
             sfx_testing::make_raw_zip({sfx_testing::RawZipEntry::stored("tools\\run", "x")}));
  options_.source = dir_ / "win.zip";
  options_.command_template = "tools/run";
  status = create();
  ASSERT_TRUE(status.is_ok()) << status.message();
  EXPECT_EQ(report_.entry_count, 1u);
}
