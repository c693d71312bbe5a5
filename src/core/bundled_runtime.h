// The product profile: everything that differs between the installer and the uninstaller
// build. The executable selects its product once, at the start of main; every value the
// profile caches is owned by it for the whole run.
#pragma once

#include "base/types.h"

struct jzfile;

enum class Product { Installer, Uninstaller };

// The two products' main classes.
constexpr char kInstallerClassName[] = "corvane";
constexpr char kUninstallerClassName[] = "corvane_uninstall";
// Both executables contain both profiles, so each also names its own product's main class in an
// ELF note of this owner and type (core/main.cpp): the packaging tool reads it to tell an
// installer launcher from an uninstaller launcher without running either.
constexpr char kProductNoteOwner[] = "corvane";
constexpr unsigned kProductNoteType = 1;

void SelectProduct(Product product);
Product GetProduct(void);

// "corvane" or "corvane_uninstall" (constant).
const char *GetJavaClassName(void);
// Stores the address of the class path element table through elements; returns its length.
int GetJavaClasspathElements(const char *const **elements);
// New string: the product's key prefix followed by key ("setup_no_files"). Caller frees.
char *GetMessageKeyPrefix(const char *key);
// The localised product title, looked up on first call and kept.
const char *GetTitle(void);
// Whether -silent takes a state file.
jboolean IsStateFileRequired(void);
// Where the archive keeps the private runtime, and where it is unpacked under the application
// home.
constexpr char kBundledJREEntries[] = "package/jre";

// The private runtime under the application home's package/jre, unpacked from the archive on
// demand; null when there is none. Owned by the profile.
const char *GetBundledJREPath(void);
// True when the executable's archive has entries under "package/jre".
jboolean HasBundledJREEntries(void);
// The first pass over the executable's archive, open as zip, answering the start-up and the
// profile in one walk: the sum of the entries' declared sizes goes to *total, and whether some
// entry lies under "package/jre" is kept, so that neither GetBundledJREPath nor
// HasBundledJREEntries walks the archive again. False when the archive is damaged (see
// SurveyArchive).
jboolean SurveyExecutableArchive(jzfile *zip, unsigned long long *total);
// When unpacking the private runtime failed because writing failed (a full disk, an I/O
// error): that errno; else 0.
int GetBundledJREWriteError(void);
// The application home followed by "/package", or null without an application home.
const char *GetBundledLibraryPath(void);
// Product clean-up hook, run by the normal exit path.
void Cleanup(void);
