// Xvfb and the X command-line tools for tests that show windows.
#include "xserver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <sstream>

namespace xtest {
namespace {

void SleepMs(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::string Hex(unsigned long id) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%lx", id);
  return buf;
}

// Absolute geometry and map state of one window; false when it does not exist.
bool Describe(const std::string &display, unsigned long id, TopLevel *w, bool *viewable) {
  std::string out;
  if (RunWithDisplay(display, "xwininfo -id " + Hex(id) + " 2>/dev/null", &out) != 0)
    return false;
  *viewable = out.find("Map State: IsViewable") != std::string::npos;
  std::smatch m;
  static const std::regex x("Absolute upper-left X: +(-?[0-9]+)");
  static const std::regex y("Absolute upper-left Y: +(-?[0-9]+)");
  static const std::regex width("Width: +([0-9]+)");
  static const std::regex height("Height: +([0-9]+)");
  if (std::regex_search(out, m, x)) w->x = std::stoi(m[1]);
  if (std::regex_search(out, m, y)) w->y = std::stoi(m[1]);
  if (std::regex_search(out, m, width)) w->width = std::stoi(m[1]);
  if (std::regex_search(out, m, height)) w->height = std::stoi(m[1]);
  return true;
}

}  // namespace

XServer::XServer(int width, int height, const std::string &fontPath)
    : width_(width), height_(height) {
  int fds[2];
  if (pipe(fds) != 0) return;
  std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  pid_ = fork();
  if (pid_ == 0) {
    // The server goes with the test, even when the test dies.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    int w = fcntl(fds[1], F_DUPFD, 10);
    close(fds[0]);
    close(fds[1]);
    dup2(w, 3);
    close(w);
    // -displayfd: the server takes the first free display number and writes it to fd 3 once it
    // accepts connections.
    if (fontPath.empty())
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten",
             "tcp", "-noreset", static_cast<char *>(nullptr));
    else
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten",
             "tcp", "-noreset", "-fp", fontPath.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    return;
  }
  std::string number;
  long deadline = NowMs() + 30000;
  while (NowMs() < deadline) {
    struct pollfd p = {fds[0], POLLIN, 0};
    int r = poll(&p, 1, 500);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char c;
    ssize_t n = read(fds[0], &c, 1);
    if (n <= 0) break;
    if (c == '\n') {
      display_ = ":" + number;
      break;
    }
    number += c;
  }
  close(fds[0]);
  if (display_.empty()) Stop();
}

XServer::~XServer() { Stop(); }

void XServer::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

int RunWithDisplay(const std::string &display, const std::string &command, std::string *out) {
  std::string line = "DISPLAY=" + display + " " + command;
  FILE *p = popen(line.c_str(), "r");
  if (p == nullptr) return -1;
  std::string data;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) data.append(buf, n);
  int status = pclose(p);
  if (out != nullptr) *out = data;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<TopLevel> ViewableWindows(const std::string &display, const std::string &instance) {
  std::vector<TopLevel> found;
  std::string out;
  if (RunWithDisplay(display, "xwininfo -root -children 2>/dev/null", &out) != 0) return found;
  // '     0x400017 "Setup": ("Error_popup" "Setup")  570x115+227+326  +227+326'
  static const std::regex line(
      R"re(^\s*(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((?:"([^"]*)" "([^"]*)")?\))re");
  std::istringstream lines(out);
  std::string text;
  while (std::getline(lines, text)) {
    std::smatch m;
    if (!std::regex_search(text, m, line) || m[3] != instance) continue;
    TopLevel w;
    w.id = std::stoul(m[1], nullptr, 16);
    w.name = m[2];
    w.instance = m[3];
    w.cls = m[4];
    bool viewable = false;
    if (Describe(display, w.id, &w, &viewable) && viewable) found.push_back(w);
  }
  return found;
}

bool WaitForWindow(const std::string &display, const std::string &instance, TopLevel *found,
                   unsigned long except, int timeoutMs) {
  long deadline = NowMs() + timeoutMs;
  do {
    for (const TopLevel &w : ViewableWindows(display, instance)) {
      if (w.id != except) {
        *found = w;
        return true;
      }
    }
    SleepMs(100);
  } while (NowMs() < deadline);
  return false;
}

bool WaitForWindowGone(const std::string &display, unsigned long id, int timeoutMs) {
  long deadline = NowMs() + timeoutMs;
  do {
    TopLevel w;
    bool viewable = false;
    if (!Describe(display, id, &w, &viewable) || !viewable) return true;
    SleepMs(100);
  } while (NowMs() < deadline);
  return false;
}

std::vector<long> MotifHints(const std::string &display, unsigned long id) {
  std::vector<long> hints;
  std::string out;
  RunWithDisplay(display, "xprop -id " + Hex(id) + " _MOTIF_WM_HINTS 2>/dev/null", &out);
  // '_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x7, 0x1b, 0x65, 0x1, 0x0'
  size_t eq = out.find(" = ");
  if (eq == std::string::npos) return hints;
  std::istringstream values(out.substr(eq + 3));
  std::string v;
  while (std::getline(values, v, ',')) hints.push_back(std::stol(v, nullptr, 0));
  return hints;
}

bool PressOk(const std::string &display, const TopLevel &box) {
  // The button sits centred above the bottom margin; its exact height depends on the font, so
  // a few heights are tried, each only while the box is still there.
  for (int fromBottom : {32, 26, 38, 20, 44, 50}) {
    int x = box.x + box.width / 2;
    int y = box.y + box.height - fromBottom;
    RunWithDisplay(display, "xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) +
                                " click 1 2>/dev/null");
    if (WaitForWindowGone(display, box.id, 1500)) return true;
  }
  return false;
}

bool ClickAnyButton(const std::string &display, const TopLevel &box) {
  for (int fromBottom : {32, 26, 38}) {
    for (int percent = 5; percent <= 95; percent += 5) {
      int x = box.x + box.width * percent / 100;
      int y = box.y + box.height - fromBottom;
      RunWithDisplay(display, "xdotool mousemove " + std::to_string(x) + " " +
                                  std::to_string(y) + " click 1 2>/dev/null");
      if (WaitForWindowGone(display, box.id, 200)) return true;
    }
  }
  return false;
}

bool Screenshot(const std::string &display, const std::string &path) {
  return RunWithDisplay(display, "import -window root 'png:" + path + "' 2>/dev/null") == 0;
}

}  // namespace xtest
