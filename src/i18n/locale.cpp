// The launcher's notion of the current locale: reduces the name of the process locale (set once,
// base/multibyte.cpp) to language[_country[_variant]], finds the most specific catalog entry for
// a key in the program's own dynamic symbol table, and converts its UTF-8 text to the locale's
// character set. Also the product's title, the one message looked up once and kept.
#include "i18n/locale.h"

#include <dlfcn.h>
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/memory.h"
#include "base/multibyte.h"
#include "base/product.h"
#include "i18n/testing.h"

namespace {

char *locale = nullptr;
char *title = nullptr;

// Flat key/value tables ending with a lone "". "fran\xe7" is "français" in ISO-8859-1.
const char *const locale_aliases[] = {
    "ar", "ar_EG", "be", "be_BY", "bg", "bg_BG", "br", "br_FR", "ca", "ca_ES", "cs", "cs_CZ",
    "cz", "cs_CZ", "da", "da_DK", "de", "de_DE", "el", "el_GR", "en", "en_US", "eo", "eo",
    "es", "es_ES", "et", "et_EE", "eu", "eu_ES", "fi", "fi_FI", "fr", "fr_FR", "ga", "ga_IE",
    "gl", "gl_ES", "he", "iw_IL", "hr", "hr_HR", "hs", "en_US", "hu", "hu_HU", "id", "in_ID",
    "in", "in_ID", "is", "is_IS", "it", "it_IT", "iw", "iw_IL", "ja", "ja_JP", "kl", "kl_GL",
    "ko", "ko_KR", "lt", "lt_LT", "lv", "lv_LV", "mk", "mk_MK", "nl", "nl_NL", "no", "no_NO",
    "pl", "pl_PL", "pt", "pt_PT", "ro", "ro_RO", "ru", "ru_RU", "se", "en_US", "sh", "sh_YU",
    "sk", "sk_SK", "sl", "sl_SI", "sq", "sq_AL", "sr", "sr_YU", "su", "fi_FI", "sv", "sv_SE",
    "th", "th_TH", "tr", "tr_TR", "ua", "en_US", "uk", "uk_UA", "wa", "en_US", "zh", "zh_CN",
    "catalan", "ca_ES", "croatian", "hr_HR", "czech", "cs_CZ", "danish", "da_DK",
    "dansk", "da_DK", "deutsch", "de_DE", "dutch", "nl_NL", "finnish", "fi_FI",
    "fran\xe7" "ais", "fr_FR", "french", "fr_FR", "german", "de_DE", "greek", "el_GR",
    "hebrew", "iw_IL", "hrvatski", "hr_HR", "hungarian", "hu_HU", "icelandic", "is_IS",
    "italian", "it_IT", "japanese", "ja_JP", "norwegian", "no_NO", "polish", "pl_PL",
    "portuguese", "pt_PT", "romanian", "ro_RO", "russian", "ru_RU", "slovak", "sk_SK",
    "slovene", "sl_SI", "slovenian", "sl_SI", "spanish", "es_ES", "swedish", "sv_SE",
    "turkish", "tr_TR", ""};

const char *const language_names[] = {
    "C", "en", "POSIX", "en", "ar", "ar", "be", "be", "bg", "bg", "br", "br", "ca", "ca",
    "cs", "cs", "cz", "cs", "da", "da", "de", "de", "el", "el", "en", "en", "eo", "eo",
    "es", "es", "et", "et", "eu", "eu", "fi", "fi", "fo", "fo", "fr", "fr", "ga", "ga",
    "gl", "gl", "hi", "hi", "he", "iw", "hr", "hr", "hs", "en", "hu", "hu", "id", "in",
    "in", "in", "is", "is", "it", "it", "iw", "iw", "ja", "ja", "kl", "kl", "ko", "ko",
    "lt", "lt", "lv", "lv", "mk", "mk", "nl", "nl", "no", "no", "nr", "nr", "pl", "pl",
    "pt", "pt", "ro", "ro", "ru", "ru", "se", "en", "sh", "sh", "sk", "sk", "sl", "sl",
    "sq", "sq", "sr", "sr", "su", "fi", "sv", "sv", "th", "th", "tr", "tr", "ua", "en",
    "uk", "uk", "wa", "en", "zh", "zh",
    "catalan", "ca", "croatian", "hr", "czech", "cs", "danish", "da", "dansk", "da",
    "deutsch", "de", "dutch", "nl", "finnish", "fi", "fran\xe7" "ais", "fr", "french", "fr",
    "german", "de", "greek", "el", "hebrew", "iw", "hrvatski", "hr", "hungarian", "hu",
    "icelandic", "is", "italian", "it", "japanese", "ja", "norwegian", "no", "polish", "pl",
    "portuguese", "pt", "romanian", "ro", "russian", "ru", "slovak", "sk", "slovene", "sl",
    "slovenian", "sl", "spanish", "es", "swedish", "sv", "turkish", "tr", ""};

const char *const country_names[] = {
    "AT", "AT", "AU", "AU", "AR", "AR", "BE", "BE", "BR", "BR", "BO", "BO", "CA", "CA",
    "CH", "CH", "CL", "CL", "CN", "CN", "CO", "CO", "CR", "CR", "CZ", "CZ", "DE", "DE",
    "DK", "DK", "DO", "DO", "EC", "EC", "EE", "EE", "ES", "ES", "FI", "FI", "FO", "FO",
    "FR", "FR", "GB", "GB", "GR", "GR", "GT", "GT", "HN", "HN", "HR", "HR", "HU", "HU",
    "ID", "ID", "IE", "IE", "IL", "IL", "IN", "IN", "IS", "IS", "IT", "IT", "JP", "JP",
    "KR", "KR", "LT", "LT", "LU", "LU", "LV", "LV", "MX", "MX", "NI", "NI", "NL", "NL",
    "NO", "NO", "NZ", "NZ", "PA", "PA", "PE", "PE", "PL", "PL", "PT", "PT", "PY", "PY",
    "RN", "US", "RO", "RO", "RU", "RU", "SE", "SE", "SI", "SI", "SK", "SK", "SV", "SV",
    "TH", "TH", "TR", "TR", "UA", "UA", "UK", "GB", "US", "US", "UY", "UY", "VE", "VE",
    "TW", "TW", "YU", "YU", ""};

const char *const variant_names[] = {"nynorsk", "NY", ""};

int MapLookup(const char *const *map, const char *key, const char **value) {
  for (int i = 0; map[i][0] != '\0'; i += 2) {
    if (strcmp(map[i], key) == 0) {
      *value = map[i + 1];
      return 1;
    }
  }
  return 0;
}

// A catalog text (UTF-8) converted to the locale's character set: a new string, a plain copy
// when the locale's character set cannot be had or converted to, or null when the text cannot
// be converted.
char *ConvertFromUtf8(const char *value) {
  const char *encoding = nl_langinfo(CODESET);
  if (encoding == nullptr) return StrDup(value);
  iconv_t cd = iconv_open(encoding, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return StrDup(value);
  size_t size = 4096;
  for (;;) {
    char *ret = static_cast<char *>(MemAlloc(size + 1));
    char *in = const_cast<char *>(value);
    size_t inleft = strlen(value);
    char *out = ret;
    size_t outleft = size;
    size_t r = iconv(cd, &in, &inleft, &out, &outleft);
    if (r == 0) {
      ret[size - outleft] = '\0';
      iconv_close(cd);
      return ret;
    }
    free(ret);
    if (r == static_cast<size_t>(-1) && errno == E2BIG) {
      size += 4096;
      // Start the next attempt from the initial shift state.
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      continue;
    }
    iconv_close(cd);
    return nullptr;
  }
}

}  // namespace

char *ShortLocaleName(const char *name) {
  const char *language = "en";
  const char *country = nullptr;
  const char *variant = nullptr;
  char *work = StrDup(name);
  char *at = strrchr(work, '@');
  if (at != nullptr) {
    *at = '\0';
    MapLookup(variant_names, at + 1, &variant);
  }
  char *dot = strrchr(work, '.');
  if (dot != nullptr) *dot = '\0';
  const char *alias;
  if (MapLookup(locale_aliases, work, &alias)) {
    free(work);
    work = StrDup(alias);
  }
  char *underscore = strrchr(work, '_');
  if (underscore != nullptr) {
    *underscore = '\0';
    MapLookup(country_names, underscore + 1, &country);
  }
  MapLookup(language_names, work, &language);
  free(work);

  size_t len = strlen(language) + (country ? strlen(country) : 0) +
               (variant ? strlen(variant) : 0) + 3;
  char *result = static_cast<char *>(MemAlloc(len));
  strcpy(result, language);
  if (country != nullptr) {
    strcat(result, "_");
    strcat(result, country);
  }
  if (variant != nullptr) {
    if (country == nullptr) strcat(result, "_");
    strcat(result, "_");
    strcat(result, variant);
  }
  return result;
}

const char *GetLocale(void) {
  if (locale != nullptr) return locale;
  EnsureProcessLocale();
  const char *name = setlocale(LC_ALL, nullptr);
  locale = ShortLocaleName(name != nullptr ? name : "C");
  return locale;
}

const char *UpdateLocale(void) {
  free(locale);
  locale = nullptr;
  SetProcessLocale();
  return GetLocale();
}

char *GetLocalizedMessage(const char *key) {
  char *lc = StrDup(GetLocale());
  size_t fullsize = strlen(lc) + strlen(key) + 12;
  char *fullkey = static_cast<char *>(MemAlloc(fullsize));
  void *self = dlopen(nullptr, RTLD_NOW | RTLD_GLOBAL);
  message_t entry = nullptr;
  for (;;) {
    if (lc[0] != '\0')
      snprintf(fullkey, fullsize, "messages_%s_%s", lc, key);
    else
      snprintf(fullkey, fullsize, "messages_%s", key);
    if (self != nullptr) entry = reinterpret_cast<message_t>(dlsym(self, fullkey));
    if (entry != nullptr || lc[0] == '\0') break;
    char *underscore = _strrchr(lc, '_');
    if (underscore != nullptr)
      *underscore = '\0';
    else
      lc[0] = '\0';
  }
  if (self != nullptr) dlclose(self);
  free(lc);
  free(fullkey);
  const char *value = entry != nullptr ? entry() : nullptr;
  char *ret = value != nullptr ? ConvertFromUtf8(value) : nullptr;
  return ret != nullptr ? ret : StrDup("");
}

const char *GetTitle(void) {
  if (title == nullptr) {
    char *key = GetMessageKeyPrefix("title");
    title = GetLocalizedMessage(key);
    free(key);
  }
  return title;
}

void ForgetTitleForTesting(void) {
  free(title);
  title = nullptr;
}
