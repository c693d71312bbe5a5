// The installer's and the uninstaller's constants, one set of which the executable selects at
// the start of main, and the private libraries' directory under the application home.
#include "base/product.h"

#include <stdlib.h>

#include "base/paths.h"
#include "base/testing.h"

namespace {

struct ProfileData {
  const char *className;
  const char *keyPrefix;
  jboolean stateFileRequired;
};

constexpr ProfileData kInstaller = {kInstallerClassName, "setup_", JNI_TRUE};
constexpr ProfileData kUninstaller = {kUninstallerClassName, "uninstall_", JNI_FALSE};

const char *const classpath_elements[] = {"/package/PackageFormat.jar"};

Product product = Product::Installer;
char *bundledLibPath = nullptr;

const ProfileData &Current() { return product == Product::Installer ? kInstaller : kUninstaller; }

}  // namespace

void SelectProduct(Product p) { product = p; }

Product GetProduct(void) { return product; }

const char *GetJavaClassName(void) { return Current().className; }

int GetJavaClasspathElements(const char *const **elements) {
  *elements = classpath_elements;
  return static_cast<int>(sizeof classpath_elements / sizeof classpath_elements[0]);
}

char *GetMessageKeyPrefix(const char *key) { return Concat(Current().keyPrefix, key); }

jboolean IsStateFileRequired(void) { return Current().stateFileRequired; }

const char *GetBundledLibraryPath(void) {
  if (bundledLibPath == nullptr) {
    const char *home = GetApplicationHome();
    if (home != nullptr) bundledLibPath = Resolve(home, "package");
  }
  return bundledLibPath;
}

void Cleanup(void) {}

void ForgetBundledLibraryPathForTesting(void) {
  free(bundledLibPath);
  bundledLibPath = nullptr;
}
