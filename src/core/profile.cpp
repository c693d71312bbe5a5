// The product profile: the installer's and the uninstaller's values, one of which the
// executable selects at the start of main. Values looked up at run time are made on first
// demand and kept for the whole run.
#include "core/profile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive/extract.h"
#include "archive/zip_util.h"
#include "core/paths.h"
#include "i18n/locale.h"
#include "runtime/discovery.h"
#include "ui/output.h"

namespace {

struct ProfileData {
  const char *className;
  const char *keyPrefix;
  jboolean stateFileRequired;
};

constexpr ProfileData kInstaller = {kInstallerClassName, "setup_", JNI_TRUE};
constexpr ProfileData kUninstaller = {kUninstallerClassName, "uninstall_", JNI_FALSE};

const char *const classpath_elements[] = {"/package/PackageFormat.jar"};
constexpr const char kBundledJREEntries[] = "package/jre";

Product product = Product::Installer;
char *title = nullptr;
char *bundledJREPath = nullptr;
char *bundledLibPath = nullptr;
int bundledWriteError = 0;

const ProfileData &Current() { return product == Product::Installer ? kInstaller : kUninstaller; }

// True when an entry's name begins with the private runtime's prefix.
jboolean ArchiveHasBundledJRE(jzfile *zip) {
  jboolean found = JNI_FALSE;
  for (jint i = 0; !found; i++) {
    jzentry *entry = zipGetNextEntry(zip, i);
    if (entry == nullptr) break;
    found = strncmp(entry->name, kBundledJREEntries, sizeof kBundledJREEntries - 1) == 0;
    zipFreeEntry(zip, entry);
  }
  return found;
}

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

const char *GetBundledJREPath(void) {
  if (bundledJREPath != nullptr) return bundledJREPath;
  const char *home = GetApplicationHome();
  if (home == nullptr) return nullptr;

  char *candidate = Resolve(home, kBundledJREEntries);
  bundledJREPath = GetJREPath(candidate);
  const char *execname = GetExecName();
  if (bundledJREPath == nullptr && execname != nullptr) {
    int zerror = 0;
    jzfile *zip = zipOpen(execname, &zerror);
    // An archive without package/jre entries has nothing to unpack, and the status line
    // would tell the user about an extraction that does not happen.
    if (zip != nullptr && ArchiveHasBundledJRE(zip)) {
      ShowMessage("unzipping_java_files");
      if (UnzipFiles(zip, home, kBundledJREEntries))
        bundledJREPath = GetJREPath(candidate);
      else
        bundledWriteError = zip->writeErrno;
    }
    if (zip != nullptr) zipClose(zip);
  }
  free(candidate);
  return bundledJREPath;
}

jboolean HasBundledJREEntries(void) {
  const char *execname = GetExecName();
  if (execname == nullptr) return JNI_FALSE;
  int zerror = 0;
  jzfile *zip = zipOpen(execname, &zerror);
  if (zip == nullptr) return JNI_FALSE;
  jboolean found = ArchiveHasBundledJRE(zip);
  zipClose(zip);
  return found;
}

int GetBundledJREWriteError(void) { return bundledWriteError; }

const char *GetBundledLibraryPath(void) {
  if (bundledLibPath == nullptr) {
    const char *home = GetApplicationHome();
    if (home != nullptr) bundledLibPath = Resolve(home, "package");
  }
  return bundledLibPath;
}

void Cleanup(void) {}

void ResetProfileForTesting(void) {
  free(title);
  title = nullptr;
  free(bundledJREPath);
  bundledJREPath = nullptr;
  free(bundledLibPath);
  bundledLibPath = nullptr;
  bundledWriteError = 0;
}
