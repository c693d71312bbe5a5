// The progress of a long piece of work (an extraction), shown once the work has run for about a
// second: on the console as a line under the status line ("  42%  185/441 MB"), rewritten in
// place at most ten times a second, only when standard output is a terminal; in window mode as
// the share under the status window's line, at most five times a second. When the work ends the
// line is erased, or the window's plain line comes back, so that the screen then reads as it
// would have without progress. Main thread only, except EraseProgressLine.
#pragma once

#include "base/types.h"

// Starts following work of total bytes. False when nothing will be shown: console mode with
// standard output not a terminal, or nothing to do.
jboolean BeginProgress(unsigned long long total);
// done of the total bytes are done: draws when it is time to. Cheap when it is not.
void ShowProgress(unsigned long long done);
// The work has ended: erases the console line, or shows the window's line without its share.
void EndProgress(void);
// For the signal handlers, async-signal-safe: erases the console line if one is on the screen,
// so that what they write next starts a line of its own.
void EraseProgressLine(void);
