#include "launcher/work_dirs.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

TEST(CreateFreshDirectory, ReplacesWhatIsThere) {
  TempDir dir;
  make_tree(dir / "old-tree", dir.path());
  write_file(dir / "a-file", "data");
  write_file(dir / "target", "kept");
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "a-link").c_str()), 0);
  const int parent = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(parent, 0);
  for (const std::string name : {"old-tree", "a-file", "a-link", "new"}) {
    SCOPED_TRACE(name);
    int fd = -1;
    EXPECT_EQ(create_fresh_directory(parent, name, fd), 0);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(list_dir(dir / name).empty());
    struct stat st;
    ASSERT_EQ(lstat((dir / name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    close(fd);
  }
  EXPECT_EQ(read_file(dir / "target"), "kept");  // The link was removed, not followed.
  int fd = -1;
  EXPECT_EQ(create_fresh_directory(parent, "no/parent", fd), ENOENT);
  EXPECT_EQ(fd, -1);
  close(parent);
}

TEST(CreateFreshDirectory, LeavesADirectoryThatALiveRunHolds) {
  TempDir dir;
  const int parent = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(parent, 0);
  int first = -1;
  ASSERT_EQ(create_fresh_directory(parent, "app-dir", first), 0);
  write_file(dir / "app-dir/running", "x");
  int second = -1;
  EXPECT_EQ(create_fresh_directory(parent, "app-dir", second), FRESH_DIR_IN_USE);
  EXPECT_EQ(second, -1);
  EXPECT_EQ(read_file(dir / "app-dir/running"), "x");
  close(first);  // The run ended: what it left is a leftover now, and is replaced.
  EXPECT_EQ(create_fresh_directory(parent, "app-dir", second), 0);
  EXPECT_TRUE(list_dir(dir / "app-dir").empty());
  close(second);
  close(parent);
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
}

// Runs remove_tree on `path` in a child process as the unprivileged user `uid` (root would
// not notice missing permissions). Returns its result, or -2 when the child failed otherwise.
int remove_tree_as(uid_t uid, const std::string& path) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      _exit(3);
    }
    _exit(remove_tree(path) == 0 ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -2;
  if (WEXITSTATUS(status) > 1) return -2;
  return WEXITSTATUS(status) == 0 ? 0 : -1;
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

    EXPECT_EQ(remove_tree_as(kUser, top), 0);
    EXPECT_FALSE(path_exists(top));
    EXPECT_EQ(sfx_testing::mode_of(outside), mode);
    ASSERT_EQ(chmod(outside.c_str(), 0755), 0);
    EXPECT_EQ(read_file(outside + "/kept"), "kept");
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
