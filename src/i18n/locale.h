// Locale resolution and message lookup with conversion to the locale's character set. The
// character searches that respect the locale's encoding are base/multibyte.h's.
#pragma once

#include "base/types.h"

typedef const char *(*message_t)(void);

// Short locale name ("en", "es_ES", "no_NO_NY") of the process locale, which is set first unless
// something has set it already (EnsureProcessLocale). Owned by this module.
const char *GetLocale(void);
// Discards the cached name and computes it again (the process locale is set anew, from the
// environment as it is now).
const char *UpdateLocale(void);
// New string: the text of key for the current locale, converted; never null ("" when the key
// has no entry or the text cannot be converted). The caller frees it.
char *GetLocalizedMessage(const char *key);
// The product's localised title (the message of its key prefix followed by "title": "Setup",
// "Uninstall"), looked up on first call and kept, so that it keeps the language of that call:
// the lock file's name and the windows' title. Owned by this module.
const char *GetTitle(void);
// The short name for a process locale name as setlocale reports it (the parsing steps of
// GetLocale, without touching the process locale). New string; the caller frees it.
char *ShortLocaleName(const char *name);
