// The product profile's private Java runtime: found under the application home's package/jre,
// or unpacked there from the executable's archive on demand, with its status line and progress.
// It sits on the top floor because it drives the archive reader, the runtime layout and the
// output; the runtime search reaches it through the lookup the start-up hands it
// (SetBundledJRELookup). Every value it keeps is owned by it for the whole run.
#pragma once

#include "base/types.h"

struct jzfile;

// The private runtime under the application home's package/jre, unpacked from the archive on
// demand; null when there is none. Owned by this module.
const char *GetBundledJREPath(void);
// True when the executable's archive has entries under "package/jre".
jboolean HasBundledJREEntries(void);
// The first pass over the executable's archive, open as zip, answering the start-up and the
// profile in one walk: the sum of the entries' declared sizes goes to *total, and whether some
// entry lies under "package/jre" is kept, so that neither GetBundledJREPath nor
// HasBundledJREEntries walks the archive again. False when the archive is damaged (see
// SurveyArchive).
jboolean SurveyExecutableArchive(jzfile *zip, unsigned long long *total);
// When unpacking the private runtime failed because writing failed (a full disk, an I/O
// error): that errno; else 0.
int GetBundledJREWriteError(void);
