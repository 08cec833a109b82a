#include "launcher/tree_removal.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::TempDir;
using sfx_testing::write_file;

// A tree with nested directories, a file, and a symbolic link that leads outside it.
void make_tree(const std::string& root, const std::string& outside) {
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/sub/deeper").c_str(), 0700), 0);
  write_file(root + "/sub/deeper/file", "x");
  write_file(root + "/sub/locked", "y", 0);
  ASSERT_EQ(symlink(outside.c_str(), (root + "/sub/link").c_str()), 0);
}

// Makes `depth` nested directories named "d" below `top`, each holding a file, through
// descriptors (the path would be too long to name).
void make_deep_tree(const std::string& top, int depth) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
    const int file = openat(fd, "f", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    close(file);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  close(fd);
}

// Runs `body` in a child process, optionally as the unprivileged user `uid` (root would not
// notice missing permissions) and with at most `descriptors` open files. Returns the child's
// exit status, or -2 when it did not exit normally.
int in_child(const std::function<int()>& body, uid_t uid = 0, rlim_t descriptors = 0) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                     setresuid(uid, uid, uid) != 0)) {
      _exit(100);
    }
    if (descriptors != 0) {
      const struct rlimit limit = {descriptors, descriptors};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(101);
    }
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -2;
  return WEXITSTATUS(status);
}

TEST(RemoveTree, RemovesOnlyTheNamedTree) {
  // Names that a shell would split, expand or take as options.
  const std::vector<std::string> names = {"a b",      "-rf",   "x;touch PWNED", "$(touch PWNED)",
                                          "quote'\"", "star*", "new\nline",     "back\\slash"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    TempDir dir;
    const std::string keep = dir / "keep";
    write_file(keep, "kept");
    ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);  // Beside "a b": must survive.
    make_tree(dir / name, dir.path());
    EXPECT_EQ(remove_tree(dir / name), 0);
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"a", "keep"}));
    EXPECT_EQ(read_file(keep), "kept");  // The link inside led here; it was not followed.
  }
}

TEST(RemoveTree, EdgeCases) {
  TempDir dir;
  EXPECT_EQ(remove_tree(""), 0);
  EXPECT_EQ(remove_tree("/"), 0);
  EXPECT_TRUE(path_exists("/tmp"));
  EXPECT_EQ(remove_tree(dir / "missing"), 0);

  // A symbolic link named as the tree is removed itself; its target stays.
  ASSERT_EQ(mkdir((dir / "target").c_str(), 0755), 0);
  write_file(dir / "target/file", "x");
  ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
  EXPECT_EQ(remove_tree(dir / "link"), 0);
  EXPECT_FALSE(path_exists(dir / "link"));
  EXPECT_EQ(read_file(dir / "target/file"), "x");

  // Many entries: more than one read of the directory is needed.
  ASSERT_EQ(mkdir((dir / "many").c_str(), 0755), 0);
  for (int i = 0; i < 2000; ++i) {
    write_file(dir / ("many/a-rather-long-file-name-to-fill-buffers-" + std::to_string(i)), "");
  }
  EXPECT_EQ(remove_tree(dir / "many"), 0);
  EXPECT_FALSE(path_exists(dir / "many"));

  // The caller's current directory is the same afterwards.
  char before[4096], after[4096];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  make_tree(dir / "tree", dir.path());
  EXPECT_EQ(remove_tree(dir / "tree"), 0);
  ASSERT_NE(getcwd(after, sizeof after), nullptr);
  EXPECT_STREQ(before, after);
}

TEST(RemoveTree, DeepTreeWithFewDescriptors) {
  // Deeper than the descriptors a process may have, and under a limit that leaves two free.
  TempDir dir;
  const std::string top = dir / "deep";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  make_deep_tree(top, 1500);
  EXPECT_EQ(in_child([&] { return remove_tree(top) == 0 ? 0 : 1; }, 0, 8), 0);
  EXPECT_FALSE(path_exists(top));
}

TEST(EmptyDirectory, NeedsOneDescriptorBesidesTheHeldOne) {
  TempDir dir;
  const std::string top = dir / "deep";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  make_deep_tree(top, 300);
  const int held = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(held, 0);
  // Standard streams, the held directory and one more: nothing else.
  EXPECT_EQ(in_child(
                [&] {
                  if (dup2(held, 3) != 3 || close_range(4, ~0u, 0) != 0) return 2;
                  return empty_directory(3);
                },
                0, 5),
            0);
  close(held);
  EXPECT_EQ(list_dir(top), std::vector<std::string>{});
}

TEST(RemoveTree, DirectoriesTheirOwnerLockedUp) {
  // The owner took away read, write or search permission on directories of the tree, the top
  // one among them; a link inside leads to a locked directory outside, which must not change.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the removal as another user";
  constexpr uid_t kUser = 65534;
  for (mode_t mode : {0555, 0444, 0311, 0200, 0100, 0000}) {
    SCOPED_TRACE(mode);
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string outside = dir / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    write_file(outside + "/kept", "kept");
    const std::string top = dir / "tree";
    for (const char* sub : {"", "/a", "/a/b", "/c"}) {
      ASSERT_EQ(mkdir((top + sub).c_str(), 0755), 0);
      write_file(top + sub + "/file", "x");
    }
    ASSERT_EQ(symlink(outside.c_str(), (top + "/a/link").c_str()), 0);
    // The user owns the directory that holds the tree, so that it may remove the top.
    const std::string chown_all = "chown -R -h " + std::to_string(kUser) + ":" +
                                  std::to_string(kUser) + " '" + dir.path() + "'";
    ASSERT_EQ(system(chown_all.c_str()), 0);
    for (const char* sub : {"/a/b", "/a", "/c", "", ""}) {
      ASSERT_EQ(chmod((top + sub).c_str(), mode), 0);
    }
    ASSERT_EQ(chmod(outside.c_str(), mode), 0);

    EXPECT_EQ(in_child([&] { return remove_tree(top) == 0 ? 0 : 1; }, kUser), 0);
    EXPECT_FALSE(path_exists(top));
    EXPECT_EQ(sfx_testing::mode_of(outside), mode);
    ASSERT_EQ(chmod(outside.c_str(), 0755), 0);
    EXPECT_EQ(read_file(outside + "/kept"), "kept");
  }
}

// Puts the current directory back when it goes: the removal walks with it.
class KeepCurrentDirectory {
 public:
  KeepCurrentDirectory() : fd_(open(".", O_PATH | O_DIRECTORY)) {}
  ~KeepCurrentDirectory() {
    EXPECT_EQ(fchdir(fd_), 0);
    close(fd_);
  }
  KeepCurrentDirectory(const KeepCurrentDirectory&) = delete;
  KeepCurrentDirectory& operator=(const KeepCurrentDirectory&) = delete;

 private:
  int fd_;
};

// A directory made for remove_made_entry, held open as the run holds it.
struct HeldDirectory {
  explicit HeldDirectory(const std::string& path) {
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    write_file(path + "/file", "x");
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    struct stat st;
    EXPECT_EQ(fstat(fd, &st), 0);
    device = st.st_dev;
    inode = st.st_ino;
  }
  ~HeldDirectory() { close(fd); }
  HeldDirectory(const HeldDirectory&) = delete;
  HeldDirectory& operator=(const HeldDirectory&) = delete;
  int fd;
  dev_t device;
  ino_t inode;
};

TEST(RemoveMadeEntry, OnlyWhileTheNameHoldsIt) {
  struct Case {
    const char* what;
    std::function<void(const std::string& dir)> meanwhile;  // Done to "app-dir" after making it.
    int result;
    std::string err;                // "@" stands for the directory's path.
    std::vector<std::string> left;  // What the scratch directory holds afterwards.
  };
  const std::vector<Case> cases = {
      {"untouched", [](const std::string&) {}, MADE_REMOVED, "", {}},
      {"removed by hand",
       [](const std::string& d) { ASSERT_EQ(remove_tree(d + "/app-dir"), 0); },
       MADE_REMOVED,
       "",
       {}},
      {"removed by hand and made again by another run",
       [](const std::string& d) {
         ASSERT_EQ(remove_tree(d + "/app-dir"), 0);
         ASSERT_EQ(mkdir((d + "/app-dir").c_str(), 0700), 0);
         write_file(d + "/app-dir/live", "another run's");
       },
       MADE_NOT_OURS,
       "-E- @/app-dir is no longer the directory this run made; not removed\n",
       {"app-dir"}},
      {"moved away",
       [](const std::string& d) {
         ASSERT_EQ(rename((d + "/app-dir").c_str(), (d + "/kept").c_str()), 0);
       },
       MADE_NOT_OURS,
       "-E- @/app-dir is no longer the directory this run made; not removed\n",
       {"kept"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const int parent = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    HeldDirectory made(dir / "app-dir");
    c.meanwhile(dir.path());
    const std::string shown = dir / "app-dir";
    const MadeEntry entry = {parent, "app-dir", shown.c_str(), made.fd, made.device, made.inode};
    testing::internal::CaptureStderr();
    {
      const KeepCurrentDirectory keep;
      EXPECT_EQ(remove_made_entry(entry), c.result);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), sfx_testing::with_dir(c.err, dir.path()));
    EXPECT_EQ(list_dir(dir.path()), c.left);
    if (c.result == MADE_NOT_OURS && path_exists(dir / "app-dir/live")) {
      EXPECT_EQ(read_file(dir / "app-dir/live"), "another run's");
    }
    close(parent);
  }
}

TEST(RemoveMadeEntry, AFileReplacedMeanwhileStaysWithoutAWord) {
  TempDir dir;
  const int parent = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  write_file(dir / "archive.zip", "ours");
  struct stat st;
  ASSERT_EQ(stat((dir / "archive.zip").c_str(), &st), 0);
  ASSERT_EQ(rename((dir / "archive.zip").c_str(), (dir / "ours").c_str()), 0);
  write_file(dir / "archive.zip", "someone else's");
  const std::string shown = dir / "archive.zip";
  const MadeEntry entry = {parent, "archive.zip", shown.c_str(), -1, st.st_dev, st.st_ino};
  testing::internal::CaptureStderr();
  EXPECT_EQ(remove_made_entry(entry), MADE_NOT_OURS);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(read_file(dir / "archive.zip"), "someone else's");
  close(parent);
}

TEST(RemoveMadeEntry, WhatCannotBeRemovedIsNamed) {
  // An ordinary user's run finds a directory of root's inside its tree (a payload that ran
  // something as root): that much stays, and one line says so.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the removal as another user";
  constexpr uid_t kUser = 65534;
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string work = dir / "work";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(chown(work.c_str(), kUser, kUser), 0);
  const std::string top = work + "/app-dir";
  ASSERT_EQ(mkdir(top.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((top + "/roots").c_str(), 0755), 0);
  write_file(top + "/roots/file", "x");
  write_file(top + "/mine", "x");
  ASSERT_EQ(chown(top.c_str(), kUser, kUser), 0);
  ASSERT_EQ(chown((top + "/mine").c_str(), kUser, kUser), 0);
  testing::internal::CaptureStderr();
  const int status = in_child(
      [&] {
        const int parent = open(work.c_str(), O_RDONLY | O_DIRECTORY);
        const int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
        struct stat st;
        if (parent < 0 || fd < 0 || fstat(fd, &st) != 0) return 9;
        const MadeEntry entry = {parent, "app-dir", top.c_str(), fd, st.st_dev, st.st_ino};
        return remove_made_entry(entry);
      },
      kUser);
  EXPECT_EQ(status, MADE_LEFT_OVER);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "-E- Could not remove " + top + ": Permission denied\n");
  EXPECT_EQ(sfx_testing::list_tree(top), (std::vector<std::string>{"roots/", "roots/file"}));
}

}  // namespace
