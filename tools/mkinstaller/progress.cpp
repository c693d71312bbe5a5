#include "progress.h"

#include <time.h>

namespace {

constexpr double kDelay = 1.0;      // a job shorter than this shows nothing
constexpr double kInterval = 0.1;   // between two updates of the line

double Monotonic() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

Progress::Progress(bool enabled, FILE *out, Clock clock)
    : enabled_(enabled), out_(out), clock_(clock ? std::move(clock) : Clock(Monotonic)) {}

Progress::~Progress() { Finish(); }

void Progress::Start(const std::string &what, uint64_t totalBytes, int64_t totalEntries) {
  Finish();
  what_ = what;
  totalBytes_ = totalBytes;
  totalEntries_ = totalEntries;
  bytes_ = 0;
  entries_ = 0;
  if (enabled_) started_ = clock_();
  lastShown_ = 0;
}

void Progress::Add(uint64_t bytes, int64_t entries) {
  bytes_ += bytes;
  entries_ += entries;
  if (!enabled_) return;
  const double now = clock_();
  if (now - started_ < kDelay || (shownWidth_ > 0 && now - lastShown_ < kInterval)) return;
  Show(now);
}

void Progress::Show(double now) {
  const unsigned percent =
      totalBytes_ > 0 ? static_cast<unsigned>(bytes_ >= totalBytes_ ? 100 : bytes_ * 100 / totalBytes_) : 100;
  char line[160];
  int n = snprintf(line, sizeof line, "%s: %3u%%, %lld of %lld entries, %llu of %llu MB", what_.c_str(), percent,
                   static_cast<long long>(entries_), static_cast<long long>(totalEntries_),
                   static_cast<unsigned long long>(bytes_ >> 20), static_cast<unsigned long long>(totalBytes_ >> 20));
  if (n < 0) return;
  size_t width = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  // Blanks cover the rest of a longer line shown before.
  fprintf(out_, "\r%s%*s", line, shownWidth_ > width ? static_cast<int>(shownWidth_ - width) : 0, "");
  fflush(out_);
  if (width > shownWidth_) shownWidth_ = width;
  lastShown_ = now;
}

void Progress::Finish() {
  if (shownWidth_ == 0) return;
  fprintf(out_, "\r%*s\r", static_cast<int>(shownWidth_), "");
  fflush(out_);
  shownWidth_ = 0;
}
