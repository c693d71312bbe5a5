// Sets the process locale once, in the form the launcher runs in, and searches names for a
// character only where a character of that locale's encoding begins, so that the second byte
// of a double-byte character is never taken for a "/" or a ":".
#include "base/multibyte.h"

#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include "base/memory.h"

namespace {

bool processLocaleSet = false;

void CutAt(char *s, const char *what) {
  char *p = strstr(s, what);
  if (p != nullptr) *p = '\0';
}

}  // namespace

void SetProcessLocale(void) {
  const char *name = setlocale(LC_ALL, "");
  if (name == nullptr) name = setlocale(LC_ALL, "C");
  char *cut = StrDup(name != nullptr ? name : "C");
  CutAt(cut, ".utf8");
  CutAt(cut, ".UTF-8");
  if (setlocale(LC_ALL, cut) == nullptr) setlocale(LC_ALL, "C");
  free(cut);
  processLocaleSet = true;
}

void EnsureProcessLocale(void) {
  if (!processLocaleSet) SetProcessLocale();
}

// Names come from archives, directories and the environment in whatever encoding their makers
// used, so bytes that are no character of the locale are common (UTF-8 names under "C", say).
// Such a byte counts as a character of its own and the walk goes on; stopping there would hide
// every "/" after it. A valid multibyte character is still stepped over whole, so a trail
// byte that equals the byte searched for is never taken for it.
jboolean IsMultiByteChar(const char *s, int pos) {
  if (pos == 0) return JNI_TRUE;
  EnsureProcessLocale();
  size_t len = strlen(s);
  int curpos = 0;
  mblen(nullptr, 0);
  while (curpos < pos) {
    int charsize = mblen(s + curpos, len - curpos);
    if (charsize < 0) {
      mblen(nullptr, 0);  // a stateful encoding starts again from its initial state
      charsize = 1;
    }
    curpos += charsize > 0 ? charsize : 1;
  }
  return curpos == pos;
}

char *_strchr(const char *s, int c) {
  if (s == nullptr) return nullptr;
  for (int i = 0; s[i] != '\0'; i++) {
    if (static_cast<signed char>(s[i]) == c && IsMultiByteChar(s, i)) return const_cast<char *>(s + i);
  }
  return nullptr;
}

char *_strrchr(const char *s, int c) {
  if (s == nullptr) return nullptr;
  for (int i = static_cast<int>(strlen(s)); i >= 0; i--) {
    if (static_cast<signed char>(s[i]) == c && IsMultiByteChar(s, i)) return const_cast<char *>(s + i);
  }
  return nullptr;
}
