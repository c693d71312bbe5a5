// Test seams of the launcher's modules: ways for the unit tests to forget what a module keeps
// for the whole run, to point a search or the Motif loader elsewhere, and to stop the dispatch
// thread. Each is defined beside the state it touches. No header of the launcher includes this
// one and the launchers' main does not, so the launchers call none of them (the linker drops
// them).
#pragma once

#include "core/startup.h"
#include "base/types.h"

// core/options.cpp: empties the option list (leaking nothing) and clears the flags.
void ResetOptionsForTesting(void);
// core/paths.cpp: forgets execname and the application home. See ResetPathsForTesting.
void ForgetExecNameForTesting(void);
// Forgets execname and the application home, and progname first, which points into execname.
inline void ResetPathsForTesting(void) {
  progname = nullptr;
  ForgetExecNameForTesting();
}
// core/paths.cpp: makes OpenBeneath walk the path one directory at a time, as on a kernel
// without openat2 (false: use openat2 again where there is one).
void UseOpenBeneathByWalkForTesting(bool walk);
// core/profile.cpp: forgets the cached title and paths, and what is known of the archive.
void ResetProfileForTesting(void);
// archive/extract_workers.cpp: how many worker processes the last extraction started (0: it
// wrote the entries in this process).
int ExtractionWorkersForTesting(void);
// archive/extract_workers.cpp: treats every output directory as one whose file system folds
// names (ignores letter case), as FAT or a case-folding ext4 directory does.
void FoldNamesForTesting(bool fold);
// archive/extract_workers.cpp: the fewest bytes an archive must hold for workers to be used
// (0 restores the launcher's threshold); 1 lets workers take on any archive with a byte in it.
void SetLeastParallelBytesForTesting(unsigned long long bytes);
// host/temp_dir.cpp: forgets the recorded directory.
void ResetTempDirForTesting(void);
// runtime/discovery.cpp: searches dir instead of "/usr/java" (null restores it). dir must
// outlive the search.
void SetUsrJavaDirForTesting(const char *dir);
// runtime/discovery.cpp: forgets the directories noted as holding a Java of another layout.
void ForgetForeignRuntimesForTesting(void);
// runtime/probe.cpp: forgets the refused runtimes.
void ForgetRefusedRuntimesForTesting(void);
// ui/motif.cpp: the library names tried in order (null restores the built-in list). The array
// must outlive every later load.
void SetMotifLibraryNamesForTesting(const char *const *names, int count);
// ui/progress.cpp: milliseconds from clockMs instead of the monotonic clock (null restores it).
void SetProgressClockForTesting(long long (*clockMs)(void));
// ui/progress.cpp: draws the console line whatever standard output is, as on a terminal.
void ShowProgressOnAnyOutputForTesting(bool anyOutput);
// ui/motif.cpp: whether the event-dispatch thread is meant to run.
jboolean IsDispatchingForTesting(void);
// ui/motif.cpp: stops and joins the event-dispatch thread (the interface stays loaded but takes
// no more calls), so that a test may stop its X server without the thread touching it.
void StopDispatchForTesting(void);
