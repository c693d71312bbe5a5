// The private runtime of the product profile: looked for under the application home, unpacked
// from the executable's archive when it is not there, and what the archive's first pass told
// about it, kept for the whole run.
#include "core/bundled_runtime.h"

#include <stdlib.h>
#include <string.h>

#include "archive/extract.h"
#include "archive/zip_util.h"
#include "base/paths.h"
#include "base/product.h"
#include "core/startup.h"
#include "core/testing.h"
#include "runtime/discovery.h"
#include "ui/output.h"

namespace {

char *bundledJREPath = nullptr;
int bundledWriteError = 0;
// Whether the executable's archive has entries under kBundledJREEntries, once a walk has told.
enum class Presence { Unknown, Absent, Present };
Presence bundledEntries = Presence::Unknown;
// The sum of their sizes, once a walk has told.
unsigned long long bundledSize = 0;

void NoteBundledEntries(const ArchiveSurvey &survey) {
  bundledEntries = survey.hasSubdirEntries ? Presence::Present : Presence::Absent;
  bundledSize = survey.subdirSize;
}

// Whether the archive open as zip (the executable's) has entries under the private runtime's
// prefix: known from the first pass, or found by a walk now.
bool ArchiveHasBundledJRE(jzfile *zip) {
  if (bundledEntries == Presence::Unknown) {
    ArchiveSurvey survey;
    SurveyArchive(zip, kBundledJREEntries, &survey);
    NoteBundledEntries(survey);
  }
  return bundledEntries == Presence::Present;
}

}  // namespace

const char *GetBundledJREPath(void) {
  if (bundledJREPath != nullptr) return bundledJREPath;
  const char *home = GetApplicationHome();
  if (home == nullptr) return nullptr;

  char *candidate = Resolve(home, kBundledJREEntries);
  bundledJREPath = GetJREPath(candidate);
  const char *execname = GetExecName();
  if (bundledJREPath == nullptr && execname != nullptr && bundledEntries != Presence::Absent) {
    int zerror = 0;
    jzfile *zip = zipOpen(execname, &zerror);
    // An archive without package/jre entries has nothing to unpack, and the status line
    // would tell the user about an extraction that does not happen.
    if (zip != nullptr && ArchiveHasBundledJRE(zip)) {
      ShowMessage("unzipping_java_files");
      // Into the working directory through its descriptor, as the whole archive goes later.
      const bool intoWorkdir = workdirFd >= 0 && workdir != nullptr && strcmp(home, workdir) == 0;
      BeginExtractionProgress(bundledSize);
      const jboolean extracted = intoWorkdir ? UnzipFilesAt(zip, workdirFd, kBundledJREEntries)
                                             : UnzipFiles(zip, home, kBundledJREEntries);
      EndExtractionProgress();
      if (extracted)
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
  if (bundledEntries == Presence::Unknown && execname != nullptr) {
    int zerror = 0;
    jzfile *zip = zipOpen(execname, &zerror);
    if (zip != nullptr) {
      ArchiveHasBundledJRE(zip);
      zipClose(zip);
    }
  }
  return bundledEntries == Presence::Present;
}

jboolean SurveyExecutableArchive(jzfile *zip, unsigned long long *total) {
  ArchiveSurvey survey;
  jboolean sound = SurveyArchive(zip, kBundledJREEntries, &survey);
  NoteBundledEntries(survey);
  *total = survey.totalSize;
  return sound;
}

int GetBundledJREWriteError(void) { return bundledWriteError; }

void ForgetBundledRuntimeForTesting(void) {
  free(bundledJREPath);
  bundledJREPath = nullptr;
  bundledWriteError = 0;
  bundledEntries = Presence::Unknown;
  bundledSize = 0;
}
