// Takes the pictures of the interface that the documentation shows: the status window with the
// first progress line, and the error box for a missing Java runtime, each on a private 640 x 480
// Xvfb, in English. Usage: ui_screenshots <output directory>  (see scripts/screenshots).
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <thread>

#include "xserver.h"

#include "i18n/locale.h"
#include "ui/motif.h"
#include "ui/output.h"

namespace {

void SleepMs(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

int Fail(const char *what) {
  fprintf(stderr, "ui_screenshots: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) return Fail("usage: ui_screenshots <output directory>");
  std::string dir = argv[1];
  setenv("LC_ALL", "C", 1);
  xtest::XServer server(640, 480);
  if (!server.ok()) return Fail("Xvfb did not start");
  setenv("DISPLAY", server.display().c_str(), 1);
  SetPrintToConsole(0);

  char *line = GetLocalizedMessage("checking_disk_space");
  statusf("%s", line);
  free(line);
  xtest::TopLevel status;
  if (!xtest::WaitForWindow(server.display(), "Status_popup", &status)) {
    return Fail("no status window");
  }
  SleepMs(500);
  if (!xtest::Screenshot(server.display(), dir + "/status-window.png")) {
    return Fail("screenshot failed");
  }
  HideStatusWindow();

  bool shot = false;
  std::thread photographer([&] {
    xtest::TopLevel box;
    if (!xtest::WaitForWindow(server.display(), "Error_popup", &box)) return;
    SleepMs(500);
    shot = xtest::Screenshot(server.display(), dir + "/error-box.png");
    if (!xtest::PressOk(server.display(), box)) xtest::ClickAnyButton(server.display(), box);
  });
  char *error = GetLocalizedMessage("no_find_java");
  _fprintf(stderr, "%s", error);
  free(error);
  photographer.join();
  StopDispatchForTesting();
  server.Stop();
  return shot ? 0 : Fail("no error box");
}
