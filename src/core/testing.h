// Test seams of the top floor, and the resets that also forget what the floors below keep for the
// same value (the program's names, the profile). Each is defined beside the state it touches. No
// header of the launcher includes this one and the launchers' main does not, so the launchers call
// none of them (the linker drops them).
#pragma once

#include "base/testing.h"
#include "core/startup.h"
#include "i18n/testing.h"

// core/options.cpp: empties the option list (leaking nothing) and clears the flags.
void ResetOptionsForTesting(void);
// core/bundled_runtime.cpp: forgets the private runtime and what is known of the archive.
void ForgetBundledRuntimeForTesting(void);
// Forgets execname and the application home, and progname first, which points into execname.
inline void ResetPathsForTesting(void) {
  progname = nullptr;
  ForgetExecNameForTesting();
}
// Forgets every value the profile caches: the title, the private libraries' directory, the
// private runtime and what is known of the archive.
inline void ResetProfileForTesting(void) {
  ForgetTitleForTesting();
  ForgetBundledLibraryPathForTesting();
  ForgetBundledRuntimeForTesting();
}
