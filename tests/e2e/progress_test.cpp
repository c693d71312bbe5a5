// The progress of a long extraction as a user sees it on a terminal (a pseudo-terminal here):
// progress lines under the status line, and afterwards a screen that reads as it always did;
// and not a byte of it when standard output is a pipe. The extraction is made to outlast the
// second before progress shows by stopping the launcher (workers included) for a while as soon
// as it has begun.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "launcher_test.h"

using namespace support;

extern char **environ;

namespace {

const char kTodaysText[] =
    "Checking available disk space...\n"
    "Checking Java(TM) 2 Runtime Environment...\n"
    "Extracting installation files...\n"
    "Launching Java(TM) 2 Runtime Environment...\n"
    "Deleting temporary files...\n";

// Whether a directory in tmp (the working directory) has anything in it yet.
bool ExtractionHasBegun(const std::string &tmp) {
  for (const std::string &name : Entries(tmp))
    if (!Entries(tmp + "/" + name).empty()) return true;
  return false;
}

// Once the extraction has begun, stops the launcher's process group (its workers too) for longer
// than the delay before progress shows. True once done.
bool HoldUpExtraction(pid_t group, const std::string &tmp) {
  if (!ExtractionHasBegun(tmp)) return false;
  kill(-group, SIGSTOP);
  SleepMs(1300);
  kill(-group, SIGCONT);
  return true;
}

// The screen that bytes written to a terminal leave: "\r" goes back to the start of the line,
// and what follows overwrites it. Lines without trailing blanks.
std::vector<std::string> Screen(const std::string &bytes) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (char c : bytes) {
    if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == '\r') {
      column = 0;
    } else {
      std::string &line = lines.back();
      if (column < line.size())
        line[column] = c;
      else
        line += c;
      column++;
    }
  }
  for (std::string &line : lines) line.erase(line.find_last_not_of(' ') + 1);
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

class Progress : public LauncherTest {
 protected:
  void SetUp() override {
    box.Write("payload/corvane.class", "classes");
    // Thousands of small files: slow to write on any machine, quick to make and to pack.
    for (int i = 0; i < 3000; i++)
      box.Write("payload/d" + std::to_string(i / 30) + "/f" + std::to_string(i), Noise(700, i));
    box.Zip("payload", "payload.zip", "-0");
    installer = Installer("payload.zip", "installer");
    args = {"-javahome", Runtime(), "-tmpdir", tmp};
  }

  std::string installer;
  std::vector<std::string> args;
};

TEST_F(Progress, ATerminalShowsProgressLinesAndThenTodaysScreenAPipeTodaysBytes) {
  std::vector<char *> argv = {const_cast<char *>(installer.c_str())};
  for (std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    setenv("LC_ALL", "C", 1);
    execve(argv[0], argv.data(), environ);
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  std::string bytes;
  bool heldUp = false;
  for (;;) {
    struct pollfd p = {terminal, POLLIN, 0};
    if (poll(&p, 1, heldUp ? 100 : 1) > 0) {
      char buf[4096];
      const ssize_t n = read(terminal, buf, sizeof buf);
      if (n <= 0) break;  // EIO once the launcher has ended and all is read
      bytes.append(buf, static_cast<size_t>(n));
    }
    if (!heldUp) heldUp = HoldUpExtraction(pid, tmp);
  }
  close(terminal);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << bytes;
  EXPECT_TRUE(heldUp);
  EXPECT_TRUE(std::regex_search(bytes, std::regex("\r +[0-9]+%  [0-9]+/[0-9]+ MB"))) << bytes;
  EXPECT_EQ(Screen(bytes), Lines(kTodaysText)) << bytes;

  Process piped(installer, LauncherOptions(args), box.MkDir("piped"));
  EXPECT_TRUE(WaitUntil([&] { return HoldUpExtraction(piped.pid(), tmp); }, 60, 1));
  Result r = piped.Wait();
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, kTodaysText);
  EXPECT_EQ(r.err, "");
}

}  // namespace
