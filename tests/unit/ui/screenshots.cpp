// Takes the pictures of the interface that the README shows: the status window with one
// progress line, optionally the status window with the share of an extraction under its line,
// and the error box for a missing Java runtime, on a private 640 x 480 Xvfb, in the locale
// given. The interface stays up for the rest of a process and the locale is read once, so each
// language takes a process of its own (scripts/screenshots runs one per language).
// Usage: ui_screenshots <locale> <message key of the status line> <status png> <error box png>
//                       [<share png>]
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <thread>

#include "xserver.h"

#include "i18n/locale.h"
#include "ui/motif.h"
#include "ui/output.h"
#include "ui/progress.h"
#include "ui/testing.h"

namespace {

void SleepMs(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

int Fail(const char *what) {
  fprintf(stderr, "ui_screenshots: %s\n", what);
  return 1;
}

long long progressClockMs = 0;
long long ProgressClock() { return progressClockMs; }

// The extraction's status line with 42% of the bench payload done, a second into it.
bool ShootShare(const xtest::XServer &server, const std::string &png) {
  char *line = GetLocalizedMessage("unzipping_files");
  statusf("%s", line);
  free(line);
  SetProgressClockForTesting(ProgressClock);
  if (!BeginProgress(441058983)) return false;
  progressClockMs = 1000;
  ShowProgress(185300000);
  SleepMs(500);
  const bool shot = xtest::Screenshot(server.display(), png);
  EndProgress();
  return shot;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5 && argc != 6)
    return Fail("usage: ui_screenshots <locale> <status key> <status png> <error box png> "
                "[<share png>]");
  const char *locale = argv[1];
  const char *statusKey = argv[2];
  std::string statusPng = argv[3];
  std::string errorPng = argv[4];
  setenv("LC_ALL", locale, 1);
  xtest::XServer server(640, 480);
  if (!server.ok()) return Fail("Xvfb did not start");
  setenv("DISPLAY", server.display().c_str(), 1);
  SetPrintToConsole(0);

  char *line = GetLocalizedMessage(statusKey);
  if (line[0] == '\0') return Fail("no such message key");
  statusf("%s", line);
  free(line);
  xtest::TopLevel status;
  if (!xtest::WaitForWindow(server.display(), "Status_popup", &status)) {
    return Fail("no status window");
  }
  SleepMs(500);
  if (!xtest::Screenshot(server.display(), statusPng)) return Fail("screenshot failed");
  if (argc == 6 && !ShootShare(server, argv[5])) return Fail("share screenshot failed");
  HideStatusWindow();

  bool shot = false;
  std::thread photographer([&] {
    xtest::TopLevel box;
    if (!xtest::WaitForWindow(server.display(), "Error_popup", &box)) return;
    SleepMs(500);
    shot = xtest::Screenshot(server.display(), errorPng);
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
