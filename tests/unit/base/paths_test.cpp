// Locating the executable, the application home and the path helpers.
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "base/memory.h"
#include "base/paths.h"
#include "base/testing.h"
#include "core/testing.h"
#include "support.h"

using support::InDirectory;
using support::RunAsNobody;
using support::Take;

namespace {

using Paths = support::ResetTest<ResetPathsForTesting>;

TEST_F(Paths, ResolveJoinsWithoutNormalising) {
  EXPECT_EQ(Take(Resolve(nullptr, "b")), "b");
  EXPECT_EQ(Take(Resolve("/a", "b")), "/a/b");
  EXPECT_EQ(Take(Resolve("", "/opt/x")), "//opt/x");
  EXPECT_EQ(Take(Resolve("/a/", "b")), "/a//b");
  EXPECT_TRUE(IsAbsolutePath("/x"));
  EXPECT_FALSE(IsAbsolutePath("x/y"));
  EXPECT_FALSE(IsAbsolutePath(""));
}

TEST_F(Paths, IsExecutableWantsReadAndExecuteAndNoDirectory) {
  std::string exe = scratch.Write("exe", "#!/bin/sh\n", 0755);
  std::string plain = scratch.Write("plain", "x", 0644);
  std::string execOnly = scratch.Write("exec-only", "#!/bin/sh\n", 0711);
  std::string dir = scratch.MkDir("dir");
  EXPECT_TRUE(IsExecutable(exe.c_str()));
  EXPECT_FALSE(IsExecutable(plain.c_str()));
  EXPECT_FALSE(IsExecutable(dir.c_str()));
  EXPECT_FALSE(IsExecutable(scratch.Path("missing").c_str()));
  // Root may read anything; the refusal of an unreadable file shows for another user.
  EXPECT_EQ(RunAsNobody([&] { return IsExecutable(execOnly.c_str()) ? 1 : 0; }), 0);
  EXPECT_EQ(RunAsNobody([&] { return IsExecutable(exe.c_str()) ? 1 : 0; }), 1);
}

TEST_F(Paths, AbsoluteNameGetsOneMoreSlash) {
  std::string exe = scratch.Write("setup", "", 0755);
  EXPECT_EQ(Take(FindExecName(exe.c_str())), "/" + exe);
  EXPECT_EQ(Take(FindExecName(scratch.Path("missing").c_str())), "<null>");
}

TEST_F(Paths, RelativeNameIsResolvedAgainstTheCurrentDirectory) {
  scratch.MkDir("bin");
  scratch.Write("bin/setup", "", 0755);
  scratch.Write("setup", "", 0755);
  InDirectory(scratch.dir(), [&] {
    EXPECT_EQ(Take(FindExecName("bin/setup")), scratch.dir() + "/bin/setup");
    EXPECT_EQ(Take(FindExecName("./setup")), scratch.dir() + "/./setup");
    EXPECT_EQ(Take(FindExecName("bin/missing")), "<null>");
  });
}

TEST_F(Paths, BareNameSearchesPathInOrder) {
  std::string a = scratch.MkDir("a"), b = scratch.MkDir("b"), c = scratch.MkDir("c");
  scratch.MkDir("a/setup");  // a directory named like the program is skipped
  scratch.Write("b/setup", "", 0644);  // not executable
  scratch.Write("c/setup", "", 0755);
  scratch.Write("setup", "", 0755);
  const char *old = getenv("PATH");
  std::string saved = old != nullptr ? old : "";
  setenv("PATH", (a + ":" + b + ":" + c).c_str(), 1);
  EXPECT_EQ(Take(FindExecName("setup")), c + "/setup");
  // An empty element stands for the current directory and stays relative.
  setenv("PATH", (a + "::" + c).c_str(), 1);
  InDirectory(scratch.dir(), [&] { EXPECT_EQ(Take(FindExecName("setup")), "./setup"); });
  setenv("PATH", (a + ":" + b).c_str(), 1);
  EXPECT_EQ(Take(FindExecName("setup")), "<null>");
  unsetenv("PATH");
  EXPECT_EQ(Take(FindExecName("setup")), "<null>");
  setenv("PATH", saved.c_str(), 1);
}

TEST_F(Paths, UnreadableProgramIsNotFoundThroughPath) {
  std::string d = scratch.MkDir("d");
  scratch.Write("d/setup", "#!/bin/sh\n", 0711);
  setenv("PATH", d.c_str(), 1);
  EXPECT_EQ(RunAsNobody([] {
              char *found = FindExecName("setup");
              int r = found != nullptr ? 1 : 0;
              free(found);
              return r;
            }),
            0);
}

TEST_F(Paths, ApplicationHomeIsTheExecutablesDirectory) {
  std::string exe = scratch.Write("setup", "", 0755);
  ASSERT_STREQ(SetExecName(exe.c_str()), ("/" + exe).c_str());
  EXPECT_EQ(std::string(GetApplicationHome()), "/" + scratch.dir());
  // SetExecName keeps its first result.
  EXPECT_STREQ(SetExecName("/elsewhere/setup"), ("/" + exe).c_str());
  SetApplicationHome(strdup("/work/dir"));
  EXPECT_STREQ(GetApplicationHome(), "/work/dir");
}

TEST_F(Paths, ApplicationHomeOfRelativeAndRootLevelNames) {
  scratch.Write("setup", "", 0755);
  setenv("PATH", ".", 1);
  InDirectory(scratch.dir(), [&] {
    ASSERT_STREQ(SetExecName("setup"), "./setup");
    EXPECT_STREQ(GetApplicationHome(), ".");
  });
  ResetPathsForTesting();
  // Started as /bin/sh: the home of //bin/sh is //bin; that of a name at the root is "/".
  ASSERT_NE(SetExecName("/bin/sh"), nullptr);
  EXPECT_STREQ(GetApplicationHome(), "//bin");
  ResetPathsForTesting();
  EXPECT_EQ(GetApplicationHome(), nullptr);
}

// progname points into execname; forgetting execname must not leave it pointing at freed memory.
TEST_F(Paths, ResettingForgetsTheProgramNameThatPointsIntoTheExecutableName) {
  ASSERT_NE(SetExecName("/bin/sh"), nullptr);
  progname = strrchr(GetExecName(), '/') + 1;  // as the start-up sets it
  ResetPathsForTesting();
  EXPECT_EQ(progname, nullptr);
}

TEST_F(Paths, CurrentDirectoryThatWasRemovedGivesNull) {
  std::string gone = scratch.MkDir("gone");
  InDirectory(gone, [&] {
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    EXPECT_EQ(GetCurrentDir(), nullptr);
    // A relative program name cannot be placed either.
    EXPECT_EQ(FindExecName("bin/setup"), nullptr);
  });
}

TEST_F(Paths, DeepCurrentDirectoryIsFetchedWhole) {
  // Longer than the first 4,096-byte attempt.
  std::string deep = scratch.dir();
  std::string rel;
  for (int i = 0; i < 30; i++) rel += "/" + std::string(200, 'd' + (i % 20));
  std::string cmd = "mkdir -p '" + deep + rel + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  char *old = getcwd(nullptr, 0);
  // chdir step by step: the whole path is longer than PATH_MAX.
  ASSERT_EQ(chdir(deep.c_str()), 0);
  for (size_t p = 1; p < rel.size();) {
    size_t next = rel.find('/', p);
    if (next == std::string::npos) next = rel.size();
    ASSERT_EQ(chdir(rel.substr(p, next - p).c_str()), 0);
    p = next + 1;
  }
  std::string cwd = Take(GetCurrentDir());
  EXPECT_EQ(cwd, deep + rel);
  EXPECT_GT(cwd.size(), 4096u);
  ASSERT_EQ(chdir(old), 0);
  free(old);
}

TEST_F(Paths, StrDupCopies) {
  const char *s = "text";
  char *c = StrDup(s);
  EXPECT_NE(c, s);
  EXPECT_STREQ(c, s);
  free(c);
}

// Opening beneath a directory reaches only what lies under it, and follows no link on the way
// or at the end, with openat2 as with the walk for kernels without it.
TEST_F(Paths, OpenBeneathStaysUnderTheDirectoryAndFollowsNoLink) {
  scratch.MkDir("top/a");
  scratch.Write("outside", "outside");
  ASSERT_EQ(symlink(scratch.Path("top/a").c_str(), scratch.Path("top/link").c_str()), 0);
  ASSERT_EQ(symlink(scratch.Path("outside").c_str(), scratch.Path("top/a/file-link").c_str()), 0);
  const int top = open(scratch.Path("top").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(top, 0);
  constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  for (bool walk : {false, true}) {
    SCOPED_TRACE(walk ? "walk" : "openat2");
    UseOpenBeneathByWalkForTesting(walk);
    const int fd = OpenBeneath(top, "./a//new", kCreate, 0600);
    EXPECT_GE(fd, 0) << strerror(errno);
    if (fd >= 0) close(fd);
    for (const char *refused : {"link/new", "a/file-link", "../outside", "a/../../outside"})
      EXPECT_EQ(OpenBeneath(top, refused, kCreate, 0600), -1) << refused;
  }
  UseOpenBeneathByWalkForTesting(false);
  close(top);
  struct stat st;
  ASSERT_EQ(stat(scratch.Path("outside").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 7) << "the file outside was truncated";
  EXPECT_EQ(access(scratch.Path("top/a/new").c_str(), F_OK), 0);
}

// A container whose system-call filter answers openat2 with EPERM: the walk takes over.
TEST_F(Paths, OpenBeneathWalksWhereAFilterRefusesOpenat2) {
  scratch.MkDir("top/a");
  ASSERT_EQ(symlink(scratch.Path("top/a").c_str(), scratch.Path("top/link").c_str()), 0);
  const int top = open(scratch.Path("top").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(top, 0);
  constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  const support::ChildRun filtered = support::RunInChild([&] {
    struct sock_filter refuseOpenat2[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 437 /* openat2, i386 and x86_64 */, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {4, refuseOpenat2};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
      return 2;
    const int fd = OpenBeneath(top, "a/filtered", kCreate, 0600);
    if (fd < 0) return 1;
    close(fd);
    return OpenBeneath(top, "link/new", kCreate, 0600) == -1 ? 0 : 3;
  });
  close(top);
  if (filtered.exited && filtered.code == 2)
    GTEST_SKIP() << "no system-call filters here (qemu's user-mode emulator has none)";
  EXPECT_TRUE(filtered.exited && filtered.code == 0) << "status " << filtered.code;
  EXPECT_TRUE(support::Exists(scratch.Path("top/a/filtered")));
}

}  // namespace
