// A private X server for tests that show windows, and the X command-line tools that look at
// them from outside: Xvfb on a display number it picks itself (never an assumed one), with a
// fixed screen size; window lists, geometry and window-manager hints through xwininfo and
// xprop; mouse clicks through xdotool; screenshots through ImageMagick's import.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace xtest {

// Xvfb on a free display number, stopped when the object goes. An empty font path keeps the
// server's own; "built-ins" leaves it only the two fonts compiled into it (fixed and cursor), as
// on a server without any font packages.
class XServer {
 public:
  XServer(int width = 1024, int height = 768, const std::string &fontPath = "");
  ~XServer();
  XServer(const XServer &) = delete;
  XServer &operator=(const XServer &) = delete;

  bool ok() const { return !display_.empty(); }
  // ":N", or empty when the server did not start.
  const std::string &display() const { return display_; }
  int width() const { return width_; }
  int height() const { return height_; }
  // Stops the server now (also done by the destructor).
  void Stop();

 private:
  pid_t pid_ = -1;
  std::string display_;
  int width_, height_;
};

// One top-level window as xwininfo reports it.
struct TopLevel {
  unsigned long id = 0;
  std::string name;      // WM_NAME, empty when it has none
  std::string instance;  // WM_CLASS instance ("Status_popup", "Error_popup", ...)
  std::string cls;       // WM_CLASS class (the application class)
  int x = 0, y = 0, width = 0, height = 0;
};

// Runs a shell command with DISPLAY set to display; returns its exit status, output in *out.
int RunWithDisplay(const std::string &display, const std::string &command,
                   std::string *out = nullptr);
// The viewable top-level windows whose WM_CLASS instance is instance.
std::vector<TopLevel> ViewableWindows(const std::string &display, const std::string &instance);
// Waits until a viewable window of instance other than `except` exists; false on timeout.
bool WaitForWindow(const std::string &display, const std::string &instance, TopLevel *found,
                   unsigned long except = 0, int timeoutMs = 30000);
// Waits until window id no longer exists or is no longer viewable.
bool WaitForWindowGone(const std::string &display, unsigned long id, int timeoutMs = 30000);
// The _MOTIF_WM_HINTS property: flags, functions, decorations, input mode, status.
std::vector<long> MotifHints(const std::string &display, unsigned long id);
// Clicks the OK button of a message box (centred at the bottom) until the box is gone.
bool PressOk(const std::string &display, const TopLevel &box);
// After PressOk failed: clicks along the whole button row, so that whatever button the box has
// closes it and a waiting caller goes on (the test has failed already).
bool ClickAnyButton(const std::string &display, const TopLevel &box);
// Saves the whole screen as a PNG.
bool Screenshot(const std::string &display, const std::string &path);

}  // namespace xtest
