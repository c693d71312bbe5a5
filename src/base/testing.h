// Test seams of the ground floor: ways for the unit tests to forget what it keeps for the whole
// run. Each is defined beside the state it touches. No header of the launcher includes this one and
// the launchers' main does not, so the launchers call none of them (the linker drops them).
#pragma once

// base/paths.cpp: forgets execname and the application home (core/testing.h's
// ResetPathsForTesting also forgets progname, which points into execname).
void ForgetExecNameForTesting(void);
// base/paths.cpp: makes OpenBeneath walk the path one directory at a time, as on a kernel
// without openat2 (false: use openat2 again where there is one).
void UseOpenBeneathByWalkForTesting(bool walk);
// base/product.cpp: forgets the private libraries' directory.
void ForgetBundledLibraryPathForTesting(void);
