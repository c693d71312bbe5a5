// The launcher's allocation, which never gives null, and the hook through which a fatal error
// reaches the exit path that the start-up installed.
#include "base/memory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Set in an extraction worker: running out of memory must not clean up after the launcher.
bool isHelperProcess = false;
void (*fatalExitHook)(int) = nullptr;

}  // namespace

void *MemAlloc(size_t size) {
  void *p = malloc(size != 0 ? size : 1);
  if (p == nullptr) {
    if (isHelperProcess) _exit(1);
    perror("Out of memory");
    ExitFatally(1);
  }
  return p;
}

char *StrDup(const char *str) {
  size_t len = strlen(str) + 1;
  char *s = static_cast<char *>(MemAlloc(len));
  memcpy(s, str, len);
  return s;
}

void BecomeHelperProcess(void) { isHelperProcess = true; }

void SetFatalExitHook(void (*hook)(int status)) { fatalExitHook = hook; }

void ExitFatally(int status) {
  if (fatalExitHook != nullptr) fatalExitHook(status);
  exit(status);
}
