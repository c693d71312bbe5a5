// Locale resolution, message lookup with conversion to the locale's character set, and
// character searches that match only at character boundaries of the locale's encoding.
#pragma once

#include "base/types.h"

typedef const char *(*message_t)(void);

// Short locale name ("en", "es_ES", "no_NO_NY"); the first call sets the process locale.
// Owned by this module.
const char *GetLocale(void);
// Discards the cached name and computes it again (the process locale is set anew).
const char *UpdateLocale(void);
// New string: the text of key for the current locale, converted; never null ("" when the key
// has no entry or the text cannot be converted). The caller frees it.
char *GetLocalizedMessage(const char *key);
// True when a character of s begins at byte offset pos. A byte that begins no valid character
// of the locale counts as a character of its own.
jboolean IsMultiByteChar(const char *s, int pos);
// strchr/strrchr that match c only where a character begins.
char *_strchr(const char *s, int c);
char *_strrchr(const char *s, int c);
// The short name for a process locale name as setlocale reports it (the parsing steps of
// GetLocale, without touching the process locale). New string; the caller frees it.
char *ShortLocaleName(const char *name);
