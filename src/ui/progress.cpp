// The progress of a long piece of work on the console or in the status window. The console line
// goes straight to standard output's descriptor in one write(2), after what stdio holds: so the
// signal handlers, which also write with write(2), always know whether a line is on the screen
// and how wide it is, and can erase it before their own text.
#include "ui/progress.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/paths.h"
#include "ui/motif.h"
#include "ui/output.h"
#include "ui/testing.h"

namespace {

constexpr long long kDelayMs = 1000;           // shorter work shows nothing
constexpr long long kConsoleIntervalMs = 100;  // between two console lines
constexpr long long kWindowIntervalMs = 200;   // between two window texts (toolkit round trips)
constexpr unsigned long long kMegabyte = 1000000;
// Wider than any line: "%4u%%  %llu/%llu MB" is at most 51 characters.
constexpr int kMostWidth = 64;

enum class Where { kNowhere, kConsole, kWindow };

Where where = Where::kNowhere;
unsigned long long total = 0;
long long startedMs = 0;
long long shownMs = 0;
bool shown = false;
char lastText[kMostWidth + 1];
// Columns of the console line on the screen, 0 when there is none. Raised before a line is
// written and cleared after it is erased, so that a handler never erases too little.
volatile sig_atomic_t lineWidth = 0;

long long MonotonicMs() {
  struct timespec ts;
  // The coarse clock costs next to nothing, and its few milliseconds are fine enough here.
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long (*nowMs)(void) = MonotonicMs;
bool onAnyOutput = false;

// "\r", text padded with blanks to at least `cover` columns, and with `back` another "\r".
void WriteLine(const char *text, int cover, bool back) {
  char line[kMostWidth + 3];
  int len = static_cast<int>(strlen(text));
  line[0] = '\r';
  memcpy(line + 1, text, static_cast<size_t>(len));
  if (len < cover) {
    memset(line + 1 + len, ' ', static_cast<size_t>(cover - len));
    len = cover;
  }
  if (back) line[++len] = '\r';
  WriteAll(STDOUT_FILENO, line, static_cast<size_t>(len) + 1);
}

void DrawConsoleLine(const char *text) {
  if (lineWidth == 0) fflush(stdout);  // the status line, should stdio still hold any of it
  const int width = static_cast<int>(strlen(text));
  const int cover = lineWidth;
  if (width > cover) lineWidth = width;
  WriteLine(text, cover, false);
}

}  // namespace

jboolean BeginProgress(unsigned long long totalBytes) {
  EndProgress();
  if (totalBytes == 0) return JNI_FALSE;
  if (!GetPrintToConsole())
    where = Where::kWindow;
  else if (onAnyOutput || isatty(STDOUT_FILENO))
    where = Where::kConsole;
  else
    return JNI_FALSE;
  total = totalBytes;
  startedMs = nowMs();
  shown = false;
  lastText[0] = '\0';
  return JNI_TRUE;
}

void ShowProgress(unsigned long long done) {
  if (where == Where::kNowhere) return;
  const long long now = nowMs();
  if (now - startedMs < kDelayMs) return;
  const long long interval = where == Where::kConsole ? kConsoleIntervalMs : kWindowIntervalMs;
  if (shown && now - shownMs < interval) return;
  const unsigned percent = done >= total ? 100 : static_cast<unsigned>(done * 100 / total);
  char text[kMostWidth + 1];
  if (where == Where::kWindow)
    snprintf(text, sizeof text, "%u%%", percent);
  else if (total < kMegabyte)
    snprintf(text, sizeof text, "%4u%%", percent);
  else
    snprintf(text, sizeof text, "%4u%%  %llu/%llu MB", percent,
             (done < total ? done : total) / kMegabyte, total / kMegabyte);
  shownMs = now;
  shown = true;
  if (strcmp(text, lastText) == 0) return;
  memcpy(lastText, text, sizeof text);
  if (where == Where::kWindow)
    ShowStatusShare(text);
  else
    DrawConsoleLine(text);
}

void EndProgress(void) {
  if (where == Where::kConsole) EraseProgressLine();
  if (where == Where::kWindow && lastText[0] != '\0') ShowStatusShare(nullptr);
  where = Where::kNowhere;
}

void EraseProgressLine(void) {
  const int width = lineWidth;
  if (width <= 0) return;
  WriteLine("", width, true);
  lineWidth = 0;
}

void SetProgressClockForTesting(long long (*clockMs)(void)) {
  nowMs = clockMs != nullptr ? clockMs : MonotonicMs;
}

void ShowProgressOnAnyOutputForTesting(bool anyOutput) { onAnyOutput = anyOutput; }
