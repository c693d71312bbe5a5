// The product profile: the installer's and the uninstaller's values, one of which the
// executable selects at the start of main. Values looked up at run time are made on first
// demand and kept for the whole run.
#include "core/profile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/paths.h"
#include "i18n/locale.h"

namespace {

struct ProfileData {
  const char *className;
  const char *keyPrefix;
  jboolean stateFileRequired;
};

constexpr ProfileData kInstaller = {"corvane", "setup_", JNI_TRUE};
constexpr ProfileData kUninstaller = {"corvane_uninstall", "uninstall_", JNI_FALSE};

const char *const classpath_elements[] = {"/package/PackageFormat.jar"};

Product product = Product::Installer;
char *title = nullptr;

const ProfileData &Current() { return product == Product::Installer ? kInstaller : kUninstaller; }

}  // namespace

void SelectProduct(Product p) { product = p; }

Product GetProduct(void) { return product; }

const char *GetJavaClassName(void) { return Current().className; }

int GetJavaClasspathElements(const char *const **elements) {
  *elements = classpath_elements;
  return static_cast<int>(sizeof classpath_elements / sizeof classpath_elements[0]);
}

char *GetMessageKeyPrefix(const char *key) {
  const char *prefix = Current().keyPrefix;
  size_t len = strlen(prefix) + strlen(key) + 1;
  char *s = static_cast<char *>(MemAlloc(len));
  snprintf(s, len, "%s%s", prefix, key);
  return s;
}

const char *GetTitle(void) {
  if (title == nullptr) {
    char *key = GetMessageKeyPrefix("title");
    title = GetLocalizedMessage(key);
    free(key);
  }
  return title;
}

jboolean IsStateFileRequired(void) { return Current().stateFileRequired; }

void Cleanup(void) {}

void ResetProfileForTesting(void) {
  free(title);
  title = nullptr;
}
