// The version probe: a runtime's bin/java run with "-version" in a child process.
#pragma once

#include "base/types.h"

// The oldest version accepted: the first of the supported prefixes, named in the usage texts
// and in the hint when no runtime is found.
constexpr char kMinimumJavaVersion[] = "1.4.1";
// How long one probe may take; a runtime that has not ended by then gives no version.
constexpr int kProbeTimeLimitSeconds = 30;

jboolean CheckVersion(const char *version);
// New accepted version text of the runtime root path, or null. A root that exists but gives no
// accepted version is recorded among the refused runtimes.
char *CheckJREVersion(const char *path);
jboolean CheckJavaVersion(const char *jrepath);

// Why a probe refused a runtime.
enum class RefusalReason {
  Unsupported,  // it reported a version text that no supported prefix begins
  NoVersion,    // it reported nothing, could not be run, or was ended by a signal
  TimedOut,     // it had not ended after kProbeTimeLimitSeconds and was killed
  // Not laid out as a runtime of this launcher's width (see ForeignRuntime), and it reported:
  OtherLayout,  // a supported version: a runtime for the other processor, or no runtime at all
  TooNew,       // version 9 or later, whose runtimes keep lib/libjava.so
};

// One refused runtime. Owned by this module for the whole run.
struct RefusedRuntime {
  char *root;
  RefusalReason reason;
  char *version;  // the version text it reported, control characters shown as "?"; null for
                  // NoVersion and TimedOut
  RefusedRuntime *next;
};

// Probes every directory noted as holding a Java of another layout (GetForeignRuntimes) that
// is not refused yet, and records it with what its java reports. Meant for the report when no
// runtime is usable, so that a run that finds one never starts those programs.
void ProbeForeignRuntimes(void);
// The runtimes refused so far, each root once, in the order of their first refusal; null when
// none was.
const RefusedRuntime *GetRefusedRuntimes(void);
