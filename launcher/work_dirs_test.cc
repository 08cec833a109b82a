#include "launcher/work_dirs.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "launcher/tree_removal.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::list_dir;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::TempDir;
using sfx_testing::write_file;

// Runs `body` with `dir` as the current directory and returns to the old one afterwards.
template <typename Body>
void in_directory(const std::string& dir, Body body) {
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  body();
  ASSERT_EQ(chdir(old), 0);
}

// A tree with nested directories, a file, and a symbolic link that leads outside it.
void make_tree(const std::string& root, const std::string& outside) {
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/sub/deeper").c_str(), 0700), 0);
  write_file(root + "/sub/deeper/file", "x");
  write_file(root + "/sub/locked", "y", 0);
  ASSERT_EQ(symlink(outside.c_str(), (root + "/sub/link").c_str()), 0);
}

TEST(InitLaunchContext, StartDirectoryAndRunningFile) {
  TempDir dir;
  LaunchContext ctx;
  ctx.help_requested = true;
  ctx.device_option = "-d x";
  in_directory(dir.path(), [&] { EXPECT_EQ(init_launch_context(ctx, "ignored"), 0); });
  EXPECT_EQ(ctx.cwd, dir.path());
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  EXPECT_EQ(ctx.self_path, self);
  // The descriptor is the running file itself.
  struct stat held, running;
  ASSERT_EQ(fstat(ctx.self_fd, &held), 0);
  ASSERT_EQ(stat(self, &running), 0);
  EXPECT_EQ(held.st_ino, running.st_ino);
  close(ctx.self_fd);
  EXPECT_FALSE(ctx.help_requested);
  EXPECT_EQ(ctx.device_option, "");
}

TEST(RunningFileFromArgv0, AsTheShellFoundIt) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "other").c_str(), 0755), 0);
  write_file(dir / "other/fwpkg.bin", "not executable", 0644);
  write_file(dir / "bin/fwpkg.bin", "#!/bin/sh\n", 0755);
  ASSERT_EQ(mkdir((dir / "bin/tool.run").c_str(), 0755), 0);  // A directory does not count.
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path != nullptr ? old_path : "";
  ASSERT_EQ(setenv("PATH", (dir / "other" + ":" + dir / "bin").c_str(), 1), 0);
  EXPECT_EQ(running_file_from_argv0("fwpkg.bin", "/home/user"), dir / "bin/fwpkg.bin");
  EXPECT_EQ(running_file_from_argv0("tool.run", "/home/user"), "/home/user/tool.run");
  EXPECT_EQ(running_file_from_argv0("./fwpkg.bin", "/home/user"), "/home/user/./fwpkg.bin");
  EXPECT_EQ(running_file_from_argv0("/opt/x.bin", "/home/user"), "/opt/x.bin");
  setenv("PATH", saved.c_str(), 1);
}

TEST(InitLaunchContext, RemovedStartDirectory) {
  TempDir dir;
  const std::string gone = dir / "gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  LaunchContext ctx;
  in_directory(gone, [&] {
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(init_launch_context(ctx, "x"), EXIT_LAUNCH_FAILURE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "-E- Failed to get CWD.");
  });
}

TEST(ResolveWorkRoot, Outcomes) {
  TempDir dir;
  write_file(dir / "file", "");
  ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
  ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);
  struct Case {
    std::string extract_dir;
    int result;
    std::string err;
    std::string work_root;  // Before make_absolute.
  };
  const std::vector<Case> cases = {
      {dir / "file", -1, "-E- " + (dir / "file") + " is not a directory\n", "old"},
      {dir / "missing", -1,
       "-E- Failed to access directory " + (dir / "missing") + ": No such file or directory\n",
       "old"},
      {dir / "real", 0, "", dir / "real"},
      {"link", 0, "", "link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extract_dir);
    LaunchContext ctx;
    ctx.extract_dir_given = true;
    ctx.extract_dir = c.extract_dir;
    std::string temp_env_value = "old";
    std::string work_root = "old";
    in_directory(dir.path(), [&] {
      testing::internal::CaptureStderr();
      EXPECT_EQ(resolve_work_root(ctx, temp_env_value, work_root), c.result);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
      EXPECT_EQ(work_root, c.work_root);
      EXPECT_EQ(temp_env_value, c.result == 0 ? c.extract_dir : "old");
      // A relative directory becomes the symbolic link's resolved target.
      if (c.extract_dir == "link") {
        EXPECT_EQ(make_absolute(work_root), dir / "real");
      }
    });
  }
}

TEST(ResolveWorkRoot, TemporaryRoot) {
  LaunchContext ctx;
  std::string temp_env_value, work_root;
  ASSERT_EQ(resolve_work_root(ctx, temp_env_value, work_root), 0);
  EXPECT_EQ(temp_env_value, "/tmp");
  EXPECT_EQ(work_root.size(), 18u);
  EXPECT_EQ(work_root.rfind("/tmp/sfxter_", 0), 0u);
  EXPECT_EQ(sfx_testing::mode_of(work_root), 0700u);
  EXPECT_EQ(remove_tree(work_root), 0);
  EXPECT_FALSE(path_exists(work_root));
}

TEST(MakeAbsolute, Paths) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
  in_directory(dir.path(), [&] {
    EXPECT_EQ(make_absolute(""), "");
    EXPECT_EQ(make_absolute("/a/../b/./c"), "/a/../b/./c");  // Absolute: left alone.
    EXPECT_EQ(make_absolute("out"), dir / "out");
    EXPECT_EQ(make_absolute("./out/../out"), dir / "out");
    EXPECT_EQ(make_absolute("missing"), "missing");  // Unresolvable: stays relative.
  });
}

TEST(MakeDirectory, Results) {
  TempDir dir;
  EXPECT_EQ(make_directory(dir / "new"), 0);
  EXPECT_EQ(make_directory(dir / "new"), EEXIST);
  EXPECT_EQ(make_directory(dir / "no/parent"), ENOENT);
  write_file(dir / "file", "");
  EXPECT_EQ(make_directory(dir / "file/below"), ENOTDIR);
}

TEST(CheckSafeDirectory, OwnersAndWriteBits) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give directories to another user";
  constexpr uid_t kOther = 65534;
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  struct Case {
    const char* name;  // Made in dir; "a/b" makes a inside with the same owner and mode.
    mode_t mode;
    uid_t owner;
    gid_t group;
    std::string err;  // The line after "<dir>: ", "#" standing for the directory named.
  };
  const std::vector<Case> cases = {
      {"mine", 0755, 0, 0, ""},
      {"sticky", 01777, 0, 0, ""},
      {"group-sticky", 01770, 0, kOther, ""},
      {"world", 0777, 0, 0, "# is writable by all users without the sticky bit"},
      {"group", 0775, 0, kOther, "# is writable by its group without the sticky bit"},
      {"theirs", 0755, kOther, kOther, "# is owned by another user (uid 65534)"},
      {"theirs-sticky", 01777, kOther, kOther, "# is owned by another user (uid 65534)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    ASSERT_EQ(chown(path.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    // The directory itself, and a safe directory inside it: the unsafe one is named either way.
    const std::string inner = path + "/inner";
    ASSERT_EQ(mkdir(inner.c_str(), 0755), 0);
    for (const std::string& target : {path, inner}) {
      testing::internal::CaptureStderr();
      EXPECT_EQ(check_safe_directory(target), c.err.empty() ? 0 : -1);
      const std::string expected = c.err.empty() ? ""
                                                 : "-E- Refusing --sfx-extract-dir " + target +
                                                       ": " + path + c.err.substr(1) + "\n";
      EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    }
  }
}

TEST(CheckSafeDirectory, ResolvedPathIsChecked) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a directory writable by all";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string open_dir = dir / "open";
  ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
  ASSERT_EQ(mkdir((open_dir + "/out").c_str(), 0755), 0);
  // A link from a safe place into the unsafe directory: what counts is where it leads.
  ASSERT_EQ(symlink((open_dir + "/out").c_str(), (dir / "link").c_str()), 0);
  in_directory(dir.path(), [&] {
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_safe_directory("link"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "-E- Refusing --sfx-extract-dir link: " + open_dir +
                  " is writable by all users without the sticky bit\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_safe_directory("missing"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "-E- Failed to access directory missing: No such file or directory\n");
  });
}

// Opens `path` as a directory for the tests.
int open_dir(const std::string& path) { return open(path.c_str(), O_RDONLY | O_DIRECTORY); }

TEST(CreateFreshDirectory, PrivateLockedAndNamedOnlyOnceReady) {
  TempDir dir;
  const int parent = open_dir(dir.path());
  ASSERT_GE(parent, 0);
  for (mode_t mask : {022, 0, 077, 0700}) {
    SCOPED_TRACE(mask);
    sfx_testing::UmaskScope scope(mask);
    FreshDirectory fresh;
    MovedLeftover leftover;
    ASSERT_EQ(create_fresh_directory(parent, "app-dir", fresh, leftover), 0);
    EXPECT_EQ(leftover.fd, -1);
    struct stat st;
    ASSERT_EQ(lstat((dir / "app-dir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);  // Whatever the umask.
    EXPECT_EQ(st.st_ino, fresh.inode);
    EXPECT_EQ(st.st_dev, fresh.device);
    // Locked: a second descriptor of it cannot take the lock.
    const int other = open_dir(dir / "app-dir");
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    // No temporary name is left beside it.
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"app-dir"});
    close(fresh.fd);
    ASSERT_EQ(rmdir((dir / "app-dir").c_str()), 0);
  }
  close(parent);
}

TEST(CreateFreshDirectory, WhatBearsTheNameAlready) {
  TempDir dir;
  const int parent = open_dir(dir.path());
  ASSERT_GE(parent, 0);
  write_file(dir / "target", "kept");
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    int result;
    bool moved_aside;  // A leftover directory for the caller to remove.
  };
  const std::vector<Case> cases = {
      {"leftover tree", [&](const std::string& p) { make_tree(p, dir.path()); }, 0, true},
      {"file", [](const std::string& p) { write_file(p, "data"); }, 0, false},
      {"link",
       [&](const std::string& p) { ASSERT_EQ(symlink((dir / "target").c_str(), p.c_str()), 0); }, 0,
       false},
      {"kept extract-only tree", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0755), 0); },
       0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.make(dir / "app-dir");
    FreshDirectory fresh;
    MovedLeftover leftover;
    EXPECT_EQ(create_fresh_directory(parent, "app-dir", fresh, leftover), c.result);
    EXPECT_TRUE(list_dir(dir / "app-dir").empty());
    EXPECT_EQ(leftover.fd >= 0, c.moved_aside);
    if (leftover.fd >= 0) {
      EXPECT_EQ(leftover.name.rfind(".sfx-old-", 0), 0u);
      struct stat st;
      ASSERT_EQ(lstat((dir / leftover.name).c_str(), &st), 0);
      EXPECT_EQ(st.st_ino, leftover.inode);
      EXPECT_EQ(remove_tree(dir / leftover.name), 0);
      close(leftover.fd);
    }
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"app-dir", "target"}));
    close(fresh.fd);
    ASSERT_EQ(rmdir((dir / "app-dir").c_str()), 0);
  }
  EXPECT_EQ(read_file(dir / "target"), "kept");  // The link was removed, not followed.
  FreshDirectory fresh;
  MovedLeftover leftover;
  EXPECT_EQ(create_fresh_directory(parent, "no/parent", fresh, leftover), ENOENT);
  EXPECT_EQ(fresh.fd, -1);
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"target"});
  close(parent);
}

TEST(CreateFreshDirectory, LeavesADirectoryThatALiveRunHolds) {
  TempDir dir;
  const int parent = open_dir(dir.path());
  ASSERT_GE(parent, 0);
  FreshDirectory first;
  MovedLeftover leftover;
  ASSERT_EQ(create_fresh_directory(parent, "app-dir", first, leftover), 0);
  write_file(dir / "app-dir/running", "x");
  FreshDirectory second;
  EXPECT_EQ(create_fresh_directory(parent, "app-dir", second, leftover), FRESH_DIR_IN_USE);
  EXPECT_EQ(second.fd, -1);
  EXPECT_EQ(leftover.fd, -1);
  EXPECT_EQ(read_file(dir / "app-dir/running"), "x");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"app-dir"});
  close(first.fd);  // The run ended: what it left is a leftover now, and is moved aside.
  EXPECT_EQ(create_fresh_directory(parent, "app-dir", second, leftover), 0);
  EXPECT_TRUE(list_dir(dir / "app-dir").empty());
  ASSERT_GE(leftover.fd, 0);
  EXPECT_EQ(read_file(dir / (leftover.name + "/running")), "x");
  close(leftover.fd);
  close(second.fd);
  close(parent);
}

// A process that holds the lock on `dir` as `uid` until it goes.
class LockHolder {
 public:
  LockHolder(const std::string& dir, uid_t uid) {
    int locked[2];
    EXPECT_EQ(pipe(locked), 0);
    EXPECT_EQ(pipe(release_), 0);
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      close(locked[0]);
      close(release_[1]);
      if (uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                       setresuid(uid, uid, uid) != 0)) {
        _exit(1);
      }
      const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
      if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || write(locked[1], "l", 1) != 1) _exit(2);
      char byte;
      _exit(read(release_[0], &byte, 1) < 0 ? 3 : 0);
    }
    close(locked[1]);
    close(release_[0]);
    char byte = 0;
    EXPECT_EQ(read(locked[0], &byte, 1), 1);
    close(locked[0]);
  }
  ~LockHolder() {
    close(release_[1]);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
};

TEST(CreateFreshDirectory, ALockOfAnotherUserOnATreeOthersCanReadDoesNotCount) {
  // A kept extract-only tree is readable by others, so anyone may lock it. The lock counts as a
  // live run's only when one of the caller's processes (or root's) holds it.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to lock as another user";
  constexpr uid_t kOther = 65534;
  for (uid_t holder : {kOther, geteuid()}) {
    SCOPED_TRACE(holder);
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const int parent = open_dir(dir.path());
    ASSERT_GE(parent, 0);
    ASSERT_EQ(mkdir((dir / "app-dir").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir / "app-dir").c_str(), 0755), 0);
    const LockHolder lock(dir / "app-dir", holder);
    FreshDirectory fresh;
    MovedLeftover leftover;
    EXPECT_EQ(create_fresh_directory(parent, "app-dir", fresh, leftover),
              holder == kOther ? 0 : FRESH_DIR_IN_USE);
    EXPECT_EQ(leftover.fd >= 0, holder == kOther);
    if (leftover.fd >= 0) close(leftover.fd);
    if (fresh.fd >= 0) close(fresh.fd);
    close(parent);
  }
}

TEST(CreateFreshDirectory, AnotherUsersNameIsLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory to another user";
  constexpr uid_t kOther = 65534;
  for (bool directory : {true, false}) {
    SCOPED_TRACE(directory ? "directory" : "file");
    TempDir dir;
    const std::string theirs = dir / "app-dir";
    if (directory) {
      ASSERT_EQ(mkdir(theirs.c_str(), 0777), 0);
      write_file(theirs + "/trevalo", "theirs");
    } else {
      write_file(theirs, "theirs");
    }
    ASSERT_EQ(lchown(theirs.c_str(), kOther, kOther), 0);
    const int parent = open_dir(dir.path());
    FreshDirectory fresh;
    MovedLeftover leftover;
    EXPECT_EQ(create_fresh_directory(parent, "app-dir", fresh, leftover), FRESH_DIR_OTHER_USER);
    EXPECT_EQ(fresh.fd, -1);
    EXPECT_EQ(leftover.fd, -1);
    EXPECT_EQ(read_file(directory ? theirs + "/trevalo" : theirs), "theirs");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"app-dir"});
    close(parent);
  }
}

TEST(SetEnvVar, Overwrites) {
  ASSERT_EQ(setenv("SFX_TEST_VAR", "old", 1), 0);
  EXPECT_EQ(set_env_var("SFX_TEST_VAR", "new value"), 0);
  EXPECT_STREQ(std::getenv("SFX_TEST_VAR"), "new value");
  EXPECT_EQ(set_env_var("BAD=NAME", "x"), -1);
  unsetenv("SFX_TEST_VAR");
}

TEST(FileMode, TypesAndFailure) {
  TempDir dir;
  write_file(dir / "f", "", 0640);
  EXPECT_EQ(file_mode(dir / "f"), S_IFREG | 0640);
  EXPECT_EQ(file_mode(dir.path()) & S_IFMT, S_IFDIR);
  errno = 0;
  EXPECT_EQ(file_mode(dir / "missing"), -1);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
