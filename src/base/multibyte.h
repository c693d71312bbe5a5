// The process locale, set from the environment as the launcher uses it, and the character
// searches that match only where a character of its encoding begins: every path and name goes
// through them, whatever floor reads it.
#pragma once

#include "base/types.h"

// Sets the process locale from the environment, with a UTF-8 codeset left out of its name
// ("es_ES.UTF-8" sets "es_ES"), or "C" where that cannot be set.
void SetProcessLocale(void);
// SetProcessLocale, unless it has run already.
void EnsureProcessLocale(void);
// True when a character of s begins at byte offset pos. A byte that begins no valid character
// of the locale counts as a character of its own. Sets the process locale first if nothing has.
jboolean IsMultiByteChar(const char *s, int pos);
// strchr/strrchr that match c only where a character begins.
char *_strchr(const char *s, int c);
char *_strrchr(const char *s, int c);
