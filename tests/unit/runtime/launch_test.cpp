// Starting the Java program and the upgrade script: the class-file check, the refusals that
// start nothing, upgrade scripts that are not safe to run, and children whose exec fails, which
// must leave at once instead of going on with the caller's code. Calls that may fork run in a helper process that records, once per
// process that returns, its pid and the result, so a child that came back would show.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "base/paths.h"
#include "core/options.h"
#include "runtime/launch.h"
#include "stand_in.h"

using namespace support;

namespace {

struct Isolated {
  std::string returns;  // one "<pid> <result>" line per process that returned
  std::string out, err;
  pid_t pid = -1;
};

// Runs body in a forked process with standard output and error in files.
Isolated RunIsolated(const Sandbox &dir, const std::function<int()> &body) {
  std::string returns = dir / "returns";
  unlink(returns.c_str());
  ChildRun c = RunInChild([&] {
    int result = body();
    FILE *f = fopen(returns.c_str(), "a");
    if (f != nullptr) {
      fprintf(f, "%d %d\n", static_cast<int>(getpid()), result);
      fclose(f);
    }
    return 0;
  });
  return {ReadFile(returns), c.out, c.err, c.pid};
}

std::string Line(pid_t pid, int result) {
  return std::to_string(pid) + " " + std::to_string(result) + "\n";
}

class Launch : public standin::ApplicationHomeTest {
 protected:
  std::string marker = dir / "java-ran";
};

TEST_F(Launch, TheClassFileMustBeReadableInTheApplicationHome) {
  EXPECT_FALSE(CheckJavaClassFile());
  WriteFile(home + "/corvane.txt", "");
  EXPECT_FALSE(CheckJavaClassFile());
  WriteFile(home + "/corvane.class", "");
  EXPECT_TRUE(CheckJavaClassFile());
}

TEST_F(Launch, AMissingClassFileStartsNothing) {
  std::string root = MakeRuntime(dir / "rt", "#!/bin/sh\n: > " + Quote(marker) + "\n");
  Isolated r = RunIsolated(dir, [&] { return ExecuteJava(root.c_str(), 0, nullptr, 0, nullptr); });
  EXPECT_EQ(r.returns, Line(r.pid, 1));
  EXPECT_EQ(r.err, "Error: There are no files requiring installation.\n");
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST_F(Launch, AJavaThatIsNotExecutableStartsNothing) {
  WriteFile(home + "/corvane.class", "");
  std::string root = MakeRuntime(dir / "rt", "#!/bin/sh\n: > " + Quote(marker) + "\n");
  ASSERT_EQ(chmod((root + "/bin/java").c_str(), 0644), 0);
  Isolated r = RunIsolated(dir, [&] { return ExecuteJava(root.c_str(), 0, nullptr, 0, nullptr); });
  EXPECT_EQ(r.returns, Line(r.pid, 1));
  EXPECT_EQ(r.err, "Error: The Java(TM) Virtual Machine has aborted.\n");
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  // A directory in its place is refused the same way.
  ASSERT_EQ(unlink((root + "/bin/java").c_str()), 0);
  MkDirs(root + "/bin/java");
  r = RunIsolated(dir, [&] { return ExecuteJava(root.c_str(), 0, nullptr, 0, nullptr); });
  EXPECT_EQ(r.err, "Error: The Java(TM) Virtual Machine has aborted.\n");
}

// Passes the executable test, but the exec fails: the interpreter does not exist.
TEST_F(Launch, AFailedExecEndsTheChildAtOnceAndTheParentGivesOne) {
  WriteFile(home + "/corvane.class", "");
  std::string root = MakeRuntime(dir / "rt", "#!/nonexistent/interpreter\n");
  char option[] = "-Xmx256m";
  JavaVMOption opts[] = {{option, nullptr}};
  Isolated r = RunIsolated(dir, [&] { return ExecuteJava(root.c_str(), 1, opts, 0, nullptr); });
  EXPECT_EQ(r.returns, Line(r.pid, 1)) << "only the parent returns";
  EXPECT_EQ(r.err, "Error: The Java(TM) Virtual Machine has aborted.\n");
  EXPECT_EQ(r.out, "");
}

class Upgrade : public ::testing::Test {
 protected:
  Sandbox dir;
  std::string report = dir / "report";
};

TEST_F(Upgrade, RunsTheScriptWithoutArgumentsOrEnvironmentAndGivesItsCode) {
  EnvVar marker("UPGRADE_MARKER", "inherited");
  std::string path = dir / "UpgradeInvoker.sh";
  WriteFile(path,
            "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$0\" > " + Quote(report) +
                "\n/bin/cat /proc/$$/environ >> " + Quote(report) + "\nexit 3\n",
            0755);
  EXPECT_EQ(InvokeUpgradeTool(path.c_str()), 3);
  // No arguments and an empty environment. The script is run from the descriptor that was
  // checked, so its interpreter reads it as /dev/fd/<n>, or as /proc/self/fd/<n> where glibc's
  // fexecve falls back to that path (under qemu's user-mode emulator, which has no execveat).
  std::string got = ReadFile(report);
  EXPECT_TRUE(std::regex_match(got, std::regex("0\n(/dev/fd|/proc/self/fd)/[0-9]+\n"))) << got;
}

TEST_F(Upgrade, APathLongerThan150BytesIsRunWhole) {
  std::string deep = dir / std::string(120, 'd') + "/" + std::string(60, 'e');
  std::string path = deep + "/UpgradeInvoker.sh";
  ASSERT_GT(path.size(), 200u);
  WriteFile(path, "#!/bin/sh\nexit 7\n", 0755);
  EXPECT_EQ(InvokeUpgradeTool(path.c_str()), 7);
}

TEST_F(Upgrade, AScriptThatCannotRunEndsItsChildAtOnce) {
  std::string missing = dir / "UpgradeInvoker.sh";
  Isolated r = RunIsolated(dir, [&] { return InvokeUpgradeTool(missing.c_str()); });
  EXPECT_EQ(r.returns, Line(r.pid, -1)) << "no file: nothing is started";
  EXPECT_EQ(r.err, "");

  WriteFile(missing, "#!/bin/sh\nexit 0\n", 0644);
  r = RunIsolated(dir, [&] { return InvokeUpgradeTool(missing.c_str()); });
  EXPECT_EQ(r.returns, Line(r.pid, 127)) << "only the parent returns";
  EXPECT_EQ(r.err, "");
}

// Each way a file at the script's path may be unsafe to run: it is not run, not touched, and
// the reason is named on standard error.
TEST_F(Upgrade, AScriptThatIsNotSafeToRunIsRefusedAndLeftInPlace) {
  const std::string ran = dir / "ran";
  const std::string body = "#!/bin/sh\n: > " + Quote(ran) + "\nexit 0\n";
  const std::string path = dir / "UpgradeInvoker.sh";
  const std::string target = dir / "target.sh";
  struct Case {
    const char *name;
    std::function<void()> plant;
    const char *reason;
  };
  const Case cases[] = {
      {"symbolic link",
       [&] {
         WriteFile(target, body, 0755);
         ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
       },
       "because it is a symbolic link.\n"},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0755), 0); },
       "because it is not a regular file.\n"},
      {"directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); },
       "because it is not a regular file.\n"},
      {"another user's file",
       [&] {
         WriteFile(path, body, 0755);
         ASSERT_EQ(chown(path.c_str(), geteuid() + 1, static_cast<gid_t>(-1)), 0);
       },
       "because it belongs to another user.\n"},
      {"group-writable file", [&] { WriteFile(path, body, 0775); },
       "because users other than its owner may change it.\n"},
      {"world-writable file", [&] { WriteFile(path, body, 0757); },
       "because users other than its owner may change it.\n"},
      {"file with a second name",
       [&] {
         WriteFile(path, body, 0755);
         ASSERT_EQ(link(path.c_str(), target.c_str()), 0);
       },
       "because it has more than one name (hard links).\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    unlink(target.c_str());
    unlink(path.c_str());
    rmdir(path.c_str());
    c.plant();
    struct stat before;
    ASSERT_EQ(lstat(path.c_str(), &before), 0);
    Isolated r = RunIsolated(dir, [&] { return InvokeUpgradeTool(path.c_str()); });
    EXPECT_EQ(r.returns, Line(r.pid, kUpgradeScriptRefused));
    EXPECT_EQ(r.err, "Error: The upgrade script '" + path + "' was not run " + c.reason);
    EXPECT_NE(access(ran.c_str(), F_OK), 0) << "it ran";
    struct stat after;
    ASSERT_EQ(lstat(path.c_str(), &after), 0) << "it was removed";
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
}

TEST_F(Upgrade, AScriptKilledByASignalGivesMinusOne) {
  std::string path = dir / "UpgradeInvoker.sh";
  WriteFile(path, "#!/bin/sh\nkill -KILL $$\n", 0755);
  EXPECT_EQ(InvokeUpgradeTool(path.c_str()), -1);
}

}  // namespace
