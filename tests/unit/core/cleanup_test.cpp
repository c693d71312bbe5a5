// Deletion of the working directory: what goes, what must stay (anything outside the tree,
// whatever a symbolic link points to, relative and dot paths), deep and wide trees, and the
// signal handlers that run the same deletion from signal context.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/cleanup.h"
#include "core/tree_deletion.h"
#include "core/startup.h"
#include "i18n/locale.h"
#include "support.h"

using namespace support;

namespace {

void WriteAll(int fd, const char *text) {
  size_t len = strlen(text);
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n <= 0) return;
    text += n;
    len -= static_cast<size_t>(n);
  }
}

void MkDir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path; }

void Link(const std::string &target, const std::string &path) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

class TreeDeletion : public ::testing::Test {
 protected:
  void SetUp() override { MkDir(tree); }
  void TearDown() override {
    free(workdir);
    workdir = nullptr;
  }

  // Files, empty and nested directories, links of every kind and a FIFO.
  void Populate(const std::string &dir) {
    WriteFile(dir + "/file", "data");
    MkDir(dir + "/empty");
    MkDir(dir + "/a");
    MkDir(dir + "/a/b");
    MkDir(dir + "/a/b/c");
    WriteFile(dir + "/a/b/c/deep", "deep");
    WriteFile(dir + "/a/b/sibling", "x");
    Link("file", dir + "/link-to-file");
    Link("/nonexistent/target", dir + "/dangling");
    Link(".", dir + "/a/loop");
    ASSERT_EQ(mkfifo((dir + "/a/fifo").c_str(), 0600), 0);
  }

  Sandbox scratch;
  std::string base = scratch.dir(), tree = base + "/tree";
};

TEST_F(TreeDeletion, RemovesFilesDirectoriesLinksAndSpecialFiles) {
  Populate(tree);
  int before = OpenDescriptors();
  DeleteFilesAndDirectories(tree.c_str());
  EXPECT_FALSE(Exists(tree));
  EXPECT_TRUE(Exists(base));
  EXPECT_EQ(OpenDescriptors(), before) << "a directory descriptor was left open";
}

TEST_F(TreeDeletion, RemovesAPlainFileAndIgnoresAMissingPath) {
  WriteFile(base + "/plain", "x");
  DeleteFilesAndDirectories((base + "/plain").c_str());
  EXPECT_FALSE(Exists(base + "/plain"));
  DeleteFilesAndDirectories((base + "/missing").c_str());
  DeleteFilesAndDirectories(nullptr);
  EXPECT_TRUE(Exists(tree));
}

TEST_F(TreeDeletion, LinksToOutsideDirectoriesGoButTheirTargetsStay) {
  std::string outside = base + "/outside";
  MkDir(outside);
  WriteFile(outside + "/keep", "keep me");
  MkDir(outside + "/sub");
  WriteFile(outside + "/sub/keep", "keep me too");
  MkDir(tree + "/nested");
  Link(outside, tree + "/to-outside");
  Link(outside, tree + "/nested/to-outside");
  Link("../../outside", tree + "/nested/relative-to-outside");
  Link(base, tree + "/to-parent");
  Link(outside + "/keep", tree + "/to-outside-file");

  DeleteFilesAndDirectories(tree.c_str());

  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(ReadFile(outside + "/keep"), "keep me");
  EXPECT_EQ(ReadFile(outside + "/sub/keep"), "keep me too");
}

TEST_F(TreeDeletion, ALinkGivenAsThePathIsRemovedNotFollowed) {
  Populate(tree);
  std::string link = base + "/link";
  for (std::string path : {link, link + "/", link + "//"}) {
    Link(tree, link);
    DeleteFilesAndDirectories(path.c_str());
    EXPECT_FALSE(Exists(link)) << path;
    EXPECT_EQ(ReadFile(tree + "/a/b/c/deep"), "deep") << path;
  }
}

TEST_F(TreeDeletion, TrailingSlashesDeleteTheSameTree) {
  for (const char *suffix : {"/", "//", "///"}) {
    if (!Exists(tree)) MkDir(tree);
    Populate(tree);
    DeleteFilesAndDirectories((tree + suffix).c_str());
    EXPECT_FALSE(Exists(tree)) << suffix;
    EXPECT_TRUE(Exists(base)) << suffix;
  }
}

TEST_F(TreeDeletion, RelativeAndDotPathsAreNeverDeleted) {
  Populate(tree);
  MkDir(tree + "/inner");
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(base.c_str()), 0);
  const std::vector<std::string> paths = {
      "tree", "./tree", "tree/", "../" + base.substr(base.rfind('/') + 1), tree + "/.",
      tree + "/..", tree + "/inner/..", tree + "/inner/../", tree + "/./", tree + "/inner/..//"};
  for (const std::string &path : paths) {
    DeleteFilesAndDirectories(path.c_str());
    EXPECT_TRUE(Exists(tree + "/a/b/c/deep")) << path;
    EXPECT_TRUE(Exists(tree + "/inner")) << path;
  }
  ASSERT_EQ(chdir(cwd), 0);
}

// Thousands of levels: far more than a descriptor per level or a stack frame per level
// would allow, and far longer than any path the system accepts.
TEST_F(TreeDeletion, CopesWithTreesThousandsOfLevelsDeep) {
  const int kLevels = 5000;
  int fd = open(tree.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kLevels; i++) {
    int file = openat(fd, "f", O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    close(file);
    ASSERT_EQ(mkdirat(fd, "d", 0700), 0) << "level " << i;
    int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(next, 0);
    close(fd);
    fd = next;
  }
  ASSERT_EQ(symlinkat(base.c_str(), fd, "up"), 0);
  close(fd);

  int before = OpenDescriptors();
  DeleteFilesAndDirectories(tree.c_str());
  EXPECT_FALSE(Exists(tree));
  EXPECT_TRUE(Exists(base));
  EXPECT_EQ(OpenDescriptors(), before);
}

// More entries than one batch from the kernel, some of whose names look like the names under
// which deeper directories are moved up.
TEST_F(TreeDeletion, CopesWithWideDirectoriesAndNameCollisions) {
  for (int i = 0; i < 2000; i++) {
    WriteFile(tree + "/a-rather-long-file-name-to-fill-the-buffer-" + std::to_string(i), "");
  }
  for (const char *name : {".~0", ".~1", ".~2", ".~3"}) {
    MkDir(tree + "/" + name);
    MkDir(tree + "/" + name + "/x");
    MkDir(tree + "/" + name + "/x/y");
    WriteFile(tree + "/" + name + "/x/y/z", "");
  }
  MkDir(tree + "/wide");
  for (int i = 0; i < 300; i++) {
    MkDir(tree + "/wide/d" + std::to_string(i));
    MkDir(tree + "/wide/d" + std::to_string(i) + "/e");
  }
  DeleteFilesAndDirectories(tree.c_str());
  EXPECT_FALSE(Exists(tree));
}

TEST_F(TreeDeletion, DeleteWorkingDirectoryTwiceDeletesOnce) {
  Populate(tree);
  workdir = strdup(tree.c_str());
  DeleteWorkingDirectory();
  EXPECT_EQ(workdir, nullptr);
  EXPECT_FALSE(Exists(tree));

  MkDir(tree);
  DeleteWorkingDirectory();
  EXPECT_TRUE(Exists(tree));
}

// The handlers, each in a child process: the status line, the tree gone, and how the process
// ends. The body is not to return.
ChildRun RunChild(const std::function<void()> &body) {
  return RunInChild([&] {
    body();
    return 77;
  });
}

class SignalCleanup : public TreeDeletion {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    UpdateLocale();
    TreeDeletion::SetUp();
  }
  // In the child: the working directory set and the handlers installed, as at step 5.
  void Arm() {
    workdir = strdup(tree.c_str());
    InstallSignalDispositions();
  }
  // How a child that raises sig with a populated tree and the handlers armed ends.
  ChildRun RaiseArmed(int sig) {
    if (!Exists(tree)) MkDir(tree);
    Populate(tree);
    return RunChild([&] {
      Arm();
      raise(sig);
    });
  }
};

TEST_F(SignalCleanup, ExitGroupDeletesTheTreeAndExitsWith255) {
  for (int sig : {SIGALRM, SIGINT, SIGIO, SIGTERM, SIGVTALRM}) {
    ChildRun e = RaiseArmed(sig);
    EXPECT_TRUE(e.exited) << strsignal(sig) << " ended it by signal " << e.signal;
    EXPECT_EQ(e.code, 255) << strsignal(sig);
    EXPECT_EQ(e.out, "Deleting temporary files...\n") << strsignal(sig);
    EXPECT_FALSE(Exists(tree)) << strsignal(sig);
  }
}

TEST_F(SignalCleanup, AbortGroupDeletesTheTreeAndEndsBySigabrt) {
  for (int sig : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGQUIT, SIGSEGV}) {
    ChildRun e = RaiseArmed(sig);
    EXPECT_FALSE(e.exited) << strsignal(sig) << " exited with " << e.code;
    EXPECT_EQ(e.signal, SIGABRT) << strsignal(sig);
    EXPECT_EQ(e.out, "Deleting temporary files...\n") << strsignal(sig);
    EXPECT_FALSE(Exists(tree)) << strsignal(sig);
  }
}

TEST_F(SignalCleanup, IgnoredSignalsLeaveEverythingInPlace) {
  Populate(tree);
  ChildRun e = RunChild([&] {
    Arm();
    raise(SIGHUP);
    raise(SIGPWR);
    raise(SIGWINCH);
    _exit(3);
  });
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.code, 3);
  EXPECT_EQ(e.out, "");
  EXPECT_TRUE(Exists(tree + "/a/b/c/deep"));
}

// The handler cannot look a message up: the text is the one of the locale in force when the
// handlers were installed, even after the locale has changed.
TEST_F(SignalCleanup, StatusTextIsLookedUpWhenTheHandlersAreInstalled) {
  ChildRun e = RunChild([&] {
    setenv("LC_ALL", "es_ES", 1);
    UpdateLocale();
    Arm();
    setenv("LC_ALL", "C", 1);
    UpdateLocale();
    raise(SIGTERM);
  });
  EXPECT_EQ(e.code, 255);
  EXPECT_EQ(e.out, "Borrando archivos temporales...\n");
  EXPECT_FALSE(Exists(tree));
}

TEST_F(SignalCleanup, SignalAfterTheNormalCleanupDeletesNothing) {
  Populate(tree);
  ChildRun e = RunChild([&] {
    Arm();
    DeleteWorkingDirectory();
    MkDir(tree);  // a new directory at the old path belongs to someone else now
    raise(SIGINT);
  });
  EXPECT_EQ(e.code, 255);
  EXPECT_EQ(e.out, "Deleting temporary files...\n");
  EXPECT_TRUE(Exists(tree));
  EXPECT_FALSE(Exists(tree + "/file"));
}

TEST_F(SignalCleanup, SignalBeforeTheWorkingDirectoryExistsOnlyEndsTheProcess) {
  Populate(tree);
  ChildRun e = RunChild([&] {
    InstallSignalDispositions();
    raise(SIGTERM);
  });
  EXPECT_EQ(e.code, 255);
  EXPECT_EQ(e.out, "Deleting temporary files...\n");
  EXPECT_TRUE(Exists(tree + "/a/b/c/deep"));
}

TEST_F(SignalCleanup, NormalExitPathShowsTheStatusAndDeletes) {
  Populate(tree);
  ChildRun e = RunChild([&] {
    workdir = strdup(tree.c_str());
    PrepareToExit();
    fflush(stdout);
    _exit(workdir == nullptr ? 0 : 1);
  });
  EXPECT_EQ(e.code, 0);
  EXPECT_EQ(e.out, "Deleting temporary files...\n");
  EXPECT_FALSE(Exists(tree));
}

// A fatal error met deep inside (memory exhausted, the X connection lost in a toolkit call):
// the clean-up of the handlers, then exit with the status given, the exit functions included
// (the lock file goes). Before the working directory exists it only ends the process.
TEST_F(SignalCleanup, FatalErrorRemovesTheTreeThenExitsThroughTheExitFunctions) {
  Populate(tree);
  static const char kExitFunctionRan[] = "exit function\n";
  ChildRun e = RunChild([&] {
    Arm();
    atexit([] { WriteAll(STDOUT_FILENO, kExitFunctionRan); });
    ExitAfterCleanup(1);
  });
  EXPECT_TRUE(e.exited);
  EXPECT_EQ(e.code, 1);
  EXPECT_EQ(e.out, std::string("Deleting temporary files...\n") + kExitFunctionRan);
  EXPECT_FALSE(Exists(tree));

  MkDir(tree);
  Populate(tree);
  e = RunChild([&] {
    InstallSignalDispositions();
    ExitAfterCleanup(1);
  });
  EXPECT_EQ(e.code, 1);
  EXPECT_EQ(e.out, "");
  EXPECT_TRUE(Exists(tree + "/a/b/c/deep"));
}

}  // namespace
