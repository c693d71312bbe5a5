// Test seams of the output and the windows: ways for the unit tests to point the Motif loader
// elsewhere, to drive the progress line's clock and output, and to stop the dispatch thread. Each
// is defined beside the state it touches. No header of the launcher includes this one and the
// launchers' main does not, so the launchers call none of them (the linker drops them).
#pragma once

#include "base/types.h"

// ui/motif.cpp: the library names tried in order (null restores the built-in list). The array
// must outlive every later load.
void SetMotifLibraryNamesForTesting(const char *const *names, int count);
// ui/motif.cpp: whether the event-dispatch thread is meant to run.
jboolean IsDispatchingForTesting(void);
// ui/motif.cpp: stops and joins the event-dispatch thread (the interface stays loaded but takes
// no more calls), so that a test may stop its X server without the thread touching it.
void StopDispatchForTesting(void);
// ui/progress.cpp: milliseconds from clockMs instead of the monotonic clock (null restores it).
void SetProgressClockForTesting(long long (*clockMs)(void));
// ui/progress.cpp: draws the console line whatever standard output is, as on a terminal.
void ShowProgressOnAnyOutputForTesting(bool anyOutput);
