// The progress line on the terminal: shown only when a job has taken more than a second,
// rewritten in place at most ten times a second, and erased when the job ends, so that short
// runs and runs whose standard error is not a terminal print nothing extra.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>

class Progress {
 public:
  // Seconds on a monotonic clock; tests pass their own.
  using Clock = std::function<double()>;
  // Disabled, it never prints. The default clock is CLOCK_MONOTONIC.
  Progress(bool enabled, FILE *out, Clock clock = nullptr);
  ~Progress();

  // A new job: what it does ("packing"), and how many bytes and entries it will go through.
  void Start(const std::string &what, uint64_t totalBytes, int64_t totalEntries);
  void Add(uint64_t bytes, int64_t entries);
  // Erases the line if one was shown.
  void Finish();

 private:
  void Show(double now);

  bool enabled_;
  FILE *out_;
  Clock clock_;
  std::string what_;
  uint64_t totalBytes_ = 0, bytes_ = 0;
  int64_t totalEntries_ = 0, entries_ = 0;
  double started_ = 0, lastShown_ = 0;
  size_t shownWidth_ = 0;  // characters of the line on screen; 0: nothing shown
};
