// Test seams of the Java runtime floor: ways to point the search elsewhere and to forget what it
// noted. Defined beside the state they touch. No header of the launcher includes this one and the
// launchers' main does not, so the launchers call none of them (the linker drops them).
#pragma once

// runtime/discovery.cpp: searches dir instead of "/usr/java" (null restores it). dir must
// outlive the search.
void SetUsrJavaDirForTesting(const char *dir);
// runtime/discovery.cpp: forgets the directories noted as holding a Java of another layout.
void ForgetForeignRuntimesForTesting(void);
// runtime/probe.cpp: forgets the refused runtimes.
void ForgetRefusedRuntimesForTesting(void);
