// Test seams of the host floor. Defined beside the state they touch. No header of the launcher
// includes this one and the launchers' main does not, so the launchers call none of them (the
// linker drops them).
#pragma once

// host/temp_dir.cpp: forgets the recorded directory.
void ResetTempDirForTesting(void);
