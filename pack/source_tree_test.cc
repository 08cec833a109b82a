#include "pack/source_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::TempDir;
using sfx_testing::write_file;

std::vector<std::string> names_of(const std::vector<PackEntry>& entries) {
  std::vector<std::string> names;
  for (const PackEntry& entry : entries) names.push_back(entry.name);
  return names;
}

void make_dir(const std::string& path, mode_t mode = 0755) {
  ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void make_link(const std::string& target, const std::string& path) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

TEST(ScanSource, ListsFilesAndDirectoriesSortedWithParentsFirst) {
  TempDir dir;
  const std::string src = dir / "src";
  make_dir(src);
  make_dir(src + "/a");
  make_dir(src + "/a/b");
  make_dir(src + "/empty", 0700);
  write_file(src + "/a.txt", "1");
  write_file(src + "/a/b/deep.bin", "deep", 0600);
  write_file(src + "/a-z", "dash");
  write_file(src + "/run.sh", "#!/bin/sh\n", 0755);

  std::vector<PackEntry> entries;
  const Status status = scan_source(src + "/", std::nullopt, false, entries);
  ASSERT_TRUE(status.is_ok()) << status.message();
  // Byte order: '-' and '.' sort before '/', so "a-z" and "a.txt" come before "a/".
  EXPECT_EQ(names_of(entries), (std::vector<std::string>{"a-z", "a.txt", "a/", "a/b/",
                                                         "a/b/deep.bin", "empty/", "run.sh"}));
  const PackEntry& deep = entries[4];
  EXPECT_FALSE(deep.is_directory);
  EXPECT_EQ(deep.mode, S_IFREG | 0600u);
  EXPECT_EQ(deep.size, 4u);
  EXPECT_EQ(deep.path, src + "/a/b/deep.bin");
  EXPECT_TRUE(entries[5].is_directory);
  EXPECT_EQ(entries[5].mode, S_IFDIR | 0700u);
  EXPECT_EQ(entries[5].size, 0u);
  EXPECT_EQ(entries[6].mode, S_IFREG | 0755u);
}

TEST(ScanSource, CapsTimesAtTheGivenTime) {
  TempDir dir;
  write_file(dir / "old", "");
  write_file(dir / "new", "");
  const timespec old_time[2] = {{1000, 0}, {1000, 0}};
  const timespec new_time[2] = {{5000, 0}, {5000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir / "old").c_str(), old_time, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, (dir / "new").c_str(), new_time, 0), 0);

  std::vector<PackEntry> entries;
  ASSERT_TRUE(scan_source(dir.path(), std::nullopt, false, entries).is_ok());
  EXPECT_EQ(entries[0].mtime, 5000);
  EXPECT_EQ(entries[1].mtime, 1000);
  ASSERT_TRUE(scan_source(dir.path(), 3000, false, entries).is_ok());
  EXPECT_EQ(entries[0].mtime, 3000);
  EXPECT_EQ(entries[1].mtime, 1000);
}

TEST(ScanSource, FollowsLinksToFilesAnywhereAndToDirectoriesInside) {
  TempDir dir;
  const std::string src = dir / "src";
  make_dir(src);
  make_dir(src + "/real");
  write_file(src + "/real/f", "12345", 0750);
  write_file(dir / "outside.txt", "out");
  make_link("real", src + "/alias");
  make_link("../outside.txt", src + "/out-link");
  make_link("real/f", src + "/f-link");

  std::vector<PackEntry> entries;
  const Status status = scan_source(src, std::nullopt, true, entries);
  ASSERT_TRUE(status.is_ok()) << status.message();
  EXPECT_EQ(names_of(entries), (std::vector<std::string>{"alias/", "alias/f", "f-link", "out-link",
                                                         "real/", "real/f"}));
  EXPECT_EQ(entries[1].size, 5u);
  EXPECT_EQ(entries[1].mode, S_IFREG | 0750u);
  EXPECT_EQ(entries[2].mode, S_IFREG | 0750u);
  EXPECT_EQ(entries[3].size, 3u);
  EXPECT_FALSE(entries[3].is_directory);
}

TEST(ScanSource, StoresLinksThatStayInsideAsLinks) {
  TempDir dir;
  const std::string src = dir / "src";
  make_dir(src);
  make_dir(src + "/real");
  write_file(src + "/real/f", "12345", 0750);
  make_link("real", src + "/alias");
  make_link("real/f", src + "/chain-1");
  make_link("chain-1", src + "/chain-2");
  make_link("..", src + "/real/up");
  make_link("real/not-yet", src + "/later");
  make_link(".", src + "/here");
  make_link("real/../real/f", src + "/round");  // Up from a directory, never out.

  std::vector<PackEntry> entries;
  const Status status = scan_source(src, std::nullopt, false, entries);
  ASSERT_TRUE(status.is_ok()) << status.message();
  EXPECT_EQ(names_of(entries),
            (std::vector<std::string>{"alias", "chain-1", "chain-2", "here", "later", "real/",
                                      "real/f", "real/up", "round"}));
  const std::pair<std::size_t, std::string> links[] = {
      {0, "real"},         {1, "real/f"}, {2, "chain-1"},       {3, "."},
      {4, "real/not-yet"}, {7, ".."},     {8, "real/../real/f"}};
  for (const auto& [index, target] : links) {
    SCOPED_TRACE(entries[index].name);
    EXPECT_TRUE(entries[index].is_link);
    EXPECT_FALSE(entries[index].is_directory);
    EXPECT_EQ(entries[index].link_target, target);
    EXPECT_EQ(entries[index].size, target.size());
    EXPECT_EQ(entries[index].mode, S_IFLNK | 0777u);
  }
  EXPECT_FALSE(entries[6].is_link);
  EXPECT_EQ(entries[6].mode, S_IFREG | 0750u);
}

struct LinkRefusal {
  const char* name;
  void (*make)(const std::string& src, const std::string& outside);
  std::string message;  // After "'SRC/l' is a symbolic link ".
};

TEST(ScanSource, RefusesLinksThatLeadOutsideOrThatTheStubWouldNotMake) {
  const std::string outside = ", outside the source directory (-L packs what it points to)";
  const std::string unmade =
      ", which the stub does not make: a target must be relative, and its \"..\" parts may "
      "neither leave the source directory on the way nor climb out of a link (-L packs what it "
      "points to)";
  const LinkRefusal refusals[] = {
      {"absolute, to a file outside",
       [](const std::string&, const std::string& out) { make_link(out + "/secret", "l"); },
       "to '@/elsewhere/secret'" + outside},
      {"relative, to a file outside",
       [](const std::string&, const std::string&) { make_link("../elsewhere/secret", "l"); },
       "to '../elsewhere/secret'" + outside},
      {"through another link that leads outside",
       [](const std::string& src, const std::string& out) {
         make_link(out + "/secret", src + "/m");
         make_link("m", "l");
       },
       "to 'm'" + outside},
      {"to the parent", [](const std::string&, const std::string&) { make_link("..", "l"); },
       "to '..'" + outside},
      {"leading nowhere, outside",
       [](const std::string&, const std::string&) { make_link("../nowhere/x", "l"); },
       "to '../nowhere/x'" + outside},
      {"absolute, to a file inside",
       [](const std::string& src, const std::string&) { make_link(src + "/run", "l"); },
       "to '@/src/run'" + unmade},
      {"climbing out of a link",
       [](const std::string&, const std::string&) {
         make_link("sub", "sub-link");
         make_link("sub-link/../run", "l");
       },
       "to 'sub-link/../run'" + unmade},
      {"out and back in",
       [](const std::string&, const std::string&) { make_link("../src/run", "l"); },
       "to '../src/run'" + unmade},
      {"to itself", [](const std::string&, const std::string&) { make_link("l", "l"); },
       "that loops"},
  };
  for (const LinkRefusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    TempDir dir;
    const std::string src = dir / "src";
    make_dir(src);
    make_dir(src + "/sub");
    write_file(src + "/run", "x");
    make_dir(dir / "elsewhere");
    write_file(dir / "elsewhere/secret", "x");
    // Links are made from inside the source directory, with the names given.
    const int cwd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(src.c_str()), 0);
    refusal.make(src, dir / "elsewhere");
    ASSERT_EQ(fchdir(cwd), 0);
    close(cwd);
    std::vector<PackEntry> entries;
    const Status status = scan_source(src, std::nullopt, false, entries);
    const std::string expected =
        sfx_testing::with_dir("'" + src + "/l' is a symbolic link " + refusal.message, dir.path());
    EXPECT_EQ(status.exit_status(), EXIT_PACK_INPUT_FAULT);
    EXPECT_EQ(status.message(), expected);
  }
}

struct Refusal {
  const char* name;
  void (*make)(const std::string& src, const std::string& outside);
  const char* message_part;
};

void make_socket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  close(fd);
}

const Refusal kRefusals[] = {
    {"dangling link",
     [](const std::string& src, const std::string&) { make_link("nowhere", src + "/l"); },
     "/l' is a symbolic link that leads nowhere"},
    {"link through a file",
     [](const std::string& src, const std::string&) {
       write_file(src + "/file", "");
       make_link("file/x", src + "/l");
     },
     "/l' is a symbolic link that leads nowhere"},
    {"link to itself",
     [](const std::string& src, const std::string&) { make_link("l", src + "/l"); },
     "/l' is a symbolic link that loops"},
    {"link to a directory outside",
     [](const std::string& src, const std::string& outside) { make_link(outside, src + "/l"); },
     "/l' is a symbolic link to the directory '"},
    {"link to the parent",
     [](const std::string& src, const std::string&) { make_link("..", src + "/l"); },
     "outside the source directory"},
    {"link to an ancestor inside",
     [](const std::string& src, const std::string&) {
       make_dir(src + "/d");
       make_link("..", src + "/d/up");
     },
     "/d/up' is a symbolic link to a directory that contains it"},
    {"fifo",
     [](const std::string& src, const std::string&) {
       ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0644), 0);
     },
     "/pipe' is a fifo; only files and directories can be packed"},
    {"socket", [](const std::string& src, const std::string&) { make_socket(src + "/sock"); },
     "/sock' is a socket; only files and directories can be packed"},
    {"character device through a link",
     [](const std::string& src, const std::string&) { make_link("/dev/null", src + "/null"); },
     "/null' is a character device; only files and directories can be packed"},
    {"backslash", [](const std::string& src, const std::string&) { write_file(src + "/a\\b", ""); },
     "the stored name 'a\\b' holds a backslash"},
    {"name of 256 bytes",
     [](const std::string& src, const std::string&) {
       make_dir(src + "/d");
       write_file(src + "/d/" + std::string(254, 'n'), "");
     },
     " is 256 bytes long; the stub unpacks names of at most 255 bytes"},
    {"directory name of 256 bytes with its slash",
     [](const std::string& src, const std::string&) {
       make_dir(src + "/" + std::string(255, 'd'));
     },
     " is 256 bytes long"},
};

TEST(ScanSource, RefusesWhatTheStubCannotCarry) {
  for (const Refusal& refusal : kRefusals) {
    SCOPED_TRACE(refusal.name);
    TempDir dir;
    const std::string src = dir / "src";
    make_dir(src);
    make_dir(dir / "elsewhere");
    refusal.make(src, dir / "elsewhere");
    std::vector<PackEntry> entries;
    const Status status = scan_source(src, std::nullopt, true, entries);
    EXPECT_EQ(status.exit_status(), EXIT_PACK_INPUT_FAULT);
    EXPECT_NE(status.message().find(refusal.message_part), std::string::npos) << status.message();
  }
}

TEST(ScanSource, AcceptsNamesOfExactly255Bytes) {
  TempDir dir;
  make_dir(dir / "d");
  write_file(dir / ("d/" + std::string(253, 'n')), "x");
  make_dir(dir / std::string(254, 'e'));
  std::vector<PackEntry> entries;
  const Status status = scan_source(dir.path(), std::nullopt, false, entries);
  ASSERT_TRUE(status.is_ok()) << status.message();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].name.size(), 255u);
  EXPECT_EQ(entries[2].name.size(), 255u);
}

TEST(ScanSource, RefusesFilesOf4GiBOrMore) {
  TempDir dir;
  write_file(dir / "largest", "");
  ASSERT_EQ(truncate((dir / "largest").c_str(), off_t{0xFFFFFFFE}), 0);
  std::vector<PackEntry> entries;
  ASSERT_TRUE(scan_source(dir.path(), std::nullopt, false, entries).is_ok());
  EXPECT_EQ(entries[0].size, 0xFFFFFFFEu);
  ASSERT_EQ(truncate((dir / "largest").c_str(), off_t{0xFFFFFFFF}), 0);
  EXPECT_EQ(scan_source(dir.path(), std::nullopt, false, entries).message(),
            "'" + (dir / "largest") +
                "' is 4294967295 bytes long; the stub unpacks files of at most 4294967294 bytes");
}

TEST(ScanSource, RefusesMoreThan65534Entries) {
  // Links to one directory make many entries from few files: "d/" with 254 files, 255 links to
  // it with 255 entries each, and 254 more files make 65534 entries.
  TempDir dir;
  make_dir(dir / "d");
  for (int i = 0; i < 254; ++i) write_file(dir / ("d/" + std::to_string(i)), "");
  for (int i = 0; i < 255; ++i) make_link("d", dir / ("link" + std::to_string(i)));
  for (int i = 0; i < 254; ++i) write_file(dir / ("f" + std::to_string(i)), "");
  std::vector<PackEntry> entries;
  ASSERT_TRUE(scan_source(dir.path(), std::nullopt, true, entries).is_ok());
  EXPECT_EQ(entries.size(), 65534u);
  write_file(dir / "one-more", "");
  EXPECT_EQ(scan_source(dir.path(), std::nullopt, true, entries).message(),
            "the source holds more than 65534 files and directories, the most the stub unpacks");
}

TEST(ScanSource, RefusesASourceThatIsNoDirectory) {
  TempDir dir;
  write_file(dir / "file", "");
  std::vector<PackEntry> entries;
  EXPECT_EQ(scan_source(dir / "file", std::nullopt, false, entries).message(),
            "'" + (dir / "file") + "' is not a directory");
  EXPECT_EQ(scan_source(dir / "missing", std::nullopt, false, entries).message(),
            "cannot read '" + (dir / "missing") + "': No such file or directory");
}

TEST(StoredNameFault, QuotesControlCharacters) {
  EXPECT_EQ(stored_name_fault("ok/name"), "");
  EXPECT_EQ(stored_name_fault("a\nb\\"),
            "the stored name 'a\\x0ab\\' holds a backslash, which the stub takes for a directory "
            "separator");
}

}  // namespace
