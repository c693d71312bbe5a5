// The product profile's constants: what differs between the installer and the uninstaller
// build and what every floor may read. The executable selects its product once, at the start
// of main. The profile's other values live where they are made: the localised title with the
// catalog (i18n/locale.h), the private runtime, unpacked from the archive on demand, with the
// start-up (core/bundled_runtime.h). Everything returned here is owned by this module, except
// the new strings of GetMessageKeyPrefix.
#pragma once

#include "base/types.h"

enum class Product { Installer, Uninstaller };

// The two products' main classes.
constexpr char kInstallerClassName[] = "corvane";
constexpr char kUninstallerClassName[] = "corvane_uninstall";
// Both executables contain both profiles, so each also names its own product's main class in an
// ELF note of this owner and type (core/main.cpp): the packaging tool reads it to tell an
// installer launcher from an uninstaller launcher without running either.
constexpr char kProductNoteOwner[] = "corvane";
constexpr unsigned kProductNoteType = 1;
// Where the archive keeps the private runtime, and where it is unpacked under the application
// home.
constexpr char kBundledJREEntries[] = "package/jre";

void SelectProduct(Product product);
Product GetProduct(void);

// "corvane" or "corvane_uninstall" (constant).
const char *GetJavaClassName(void);
// Stores the address of the class path element table through elements; returns its length.
int GetJavaClasspathElements(const char *const **elements);
// New string: the product's key prefix followed by key ("setup_no_files"). Caller frees.
char *GetMessageKeyPrefix(const char *key);
// Whether -silent takes a state file.
jboolean IsStateFileRequired(void);
// The application home followed by "/package", made on first call and kept, or null without an
// application home.
const char *GetBundledLibraryPath(void);
// Product clean-up hook, run by the normal exit path.
void Cleanup(void);
