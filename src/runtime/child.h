// Waiting for the launcher's child processes (the version probe, the Java program, the upgrade
// script): one at a time, blocking, not cut short by a signal handled meanwhile.
#pragma once

#include <errno.h>
#include <sys/types.h>
#include <sys/wait.h>

inline pid_t WaitForChild(pid_t pid, int *status) {
  pid_t w;
  do {
    w = waitpid(pid, status, 0);
  } while (w < 0 && errno == EINTR);
  return w;
}
