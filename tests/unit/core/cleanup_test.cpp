// The clean-up of the working directory: deleted once, and the signal handlers and the fatal
// errors that run the same deletion from signal context.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "core/cleanup.h"
#include "core/startup.h"
#include "i18n/locale.h"
#include "tree_fixture.h"

using namespace support;
using treefixture::MkDir;

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

class WorkingDirectory : public treefixture::ScratchTree {
 protected:
  void TearDown() override {
    free(workdir);
    workdir = nullptr;
  }
};

TEST_F(WorkingDirectory, DeleteWorkingDirectoryTwiceDeletesOnce) {
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

class SignalCleanup : public WorkingDirectory {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    UpdateLocale();
    WorkingDirectory::SetUp();
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
