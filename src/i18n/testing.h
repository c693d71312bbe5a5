// Test seams of the messages floor. Defined beside the state they touch. No header of the launcher
// includes this one and the launchers' main does not, so the launchers call none of them (the
// linker drops them).
#pragma once

// i18n/locale.cpp: forgets the cached title.
void ForgetTitleForTesting(void);
