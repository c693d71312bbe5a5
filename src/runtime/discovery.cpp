// What a Java runtime and a development kit look like on disk, and the search of the archive,
// "/usr/java", JAVA_HOME and PATH for the runtime to use. The search probes every candidate it
// finds (one child process each) and prefers, in this order, a private development kit, the
// best probed kit, a private plain runtime and the best probed plain runtime; "best" is the
// byte-wise greatest version text, the later find winning a tie.
#include "runtime/discovery.h"

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/memory.h"
#include "base/multibyte.h"
#include "base/paths.h"
#include "runtime/probe.h"
#include "runtime/testing.h"

namespace {

constexpr const char kUsrJava[] = "/usr/java";
const char *usrJavaDir = kUsrJava;
constexpr const char kJavaProgram[] = "/bin/java";

const char *(*bundledJRELookup)(void) = nullptr;

ForeignRuntime *foreign = nullptr;
ForeignRuntime **foreignEnd = &foreign;

// One candidate of the search.
struct jvminfo {
  char *version;  // null for the private runtime, which is never probed
  char *path;     // runtime root
  jvminfo *next;
};

// The four places of the search, filled in the order of finding.
struct Places {
  jvminfo *bundledjdk = nullptr;
  jvminfo *bundledjre = nullptr;
  jvminfo *jdks = nullptr;
  jvminfo *jres = nullptr;
};

// New string formatted like printf; the result always fits.
char *Format(const char *format, const char *a, const char *b = nullptr) {
  int len = snprintf(nullptr, 0, format, a, b);
  char *s = static_cast<char *>(MemAlloc(static_cast<size_t>(len) + 1));
  snprintf(s, static_cast<size_t>(len) + 1, format, a, b);
  return s;
}

bool FileExists(const char *path) { return access(path, F_OK) == 0; }

jvminfo *NewInfo(char *version, char *path) {
  jvminfo *info = static_cast<jvminfo *>(MemAlloc(sizeof(jvminfo)));
  info->version = version;
  info->path = path;
  info->next = nullptr;
  return info;
}

void FreeInfo(jvminfo *info) {
  free(info->version);
  free(info->path);
  free(info);
}

void FreeList(jvminfo *list) {
  while (list != nullptr) {
    jvminfo *next = list->next;
    FreeInfo(list);
    list = next;
  }
}

// Probes root (taking ownership) and, when its version is supported, puts it at the front of
// the kit or plain-runtime list.
void AddProbed(Places *places, char *root) {
  char *version = CheckJREVersion(root);
  if (version == nullptr) {
    free(root);
    return;
  }
  jvminfo *info = NewInfo(version, root);
  jvminfo **list = IsJDK(root) ? &places->jdks : &places->jres;
  info->next = *list;
  *list = info;
}

// A relative path taken against the current directory: "" and "." are the current directory
// itself, anything else a path inside it. Null when the current directory cannot be
// determined. The search keeps only absolute roots: the Java program runs in another
// directory, and a relative root would name another place there (or none).
char *AbsolutePath(const char *element) {
  char *cwd = GetCurrentDir();
  if (cwd == nullptr) return nullptr;
  // "./bin" names cwd/bin, and is shown so.
  while (element[0] == '.' && element[1] == '/') {
    element += 2;
    while (element[0] == '/') element++;
  }
  if (element[0] == '\0' || strcmp(element, ".") == 0) return cwd;
  char *absolute = Resolve(cwd, element);
  free(cwd);
  return absolute;
}

void GatherBundled(Places *places) {
  const char *root = bundledJRELookup != nullptr ? bundledJRELookup() : nullptr;
  if (root == nullptr) return;
  // Relative only when the launcher was found through a relative PATH element and carries no
  // archive, so that the application home is the launcher's own directory.
  char *path = IsAbsolutePath(root) ? StrDup(root) : AbsolutePath(root);
  if (path == nullptr) return;
  jvminfo *info = NewInfo(nullptr, path);
  if (IsJDK(path))
    places->bundledjdk = info;
  else
    places->bundledjre = info;
}

// The large-file forms, so that the 32-bit build is not refused a directory whose inode
// numbers or entry offsets need 64 bits.
void GatherUsrJava(Places *places) {
  struct stat64 st;
  if (stat64(usrJavaDir, &st) != 0 || !S_ISDIR(st.st_mode)) return;
  DIR *dir = opendir(usrJavaDir);
  if (dir == nullptr) return;
  while (struct dirent64 *entry = readdir64(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    size_t len = strlen(usrJavaDir) + 1 + strlen(entry->d_name) + 1;
    char *candidate = static_cast<char *>(malloc(len));
    if (candidate == nullptr) continue;
    snprintf(candidate, len, "%s/%s", usrJavaDir, entry->d_name);
    char *root = GetJREPath(candidate);
    if (root != nullptr)
      AddProbed(places, root);
    else
      NoteForeignRuntime(candidate);
    free(candidate);
  }
  closedir(dir);
}

// Ends path at its last "/"; false when it has none.
bool CutLastComponent(char *path) {
  char *slash = _strrchr(path, '/');
  if (slash == nullptr) return false;
  *slash = '\0';
  return true;
}

void GatherSearchList(Places *places) {
  const char *javaHome = getenv("JAVA_HOME");
  const char *path = getenv("PATH");
  if (javaHome == nullptr && path == nullptr) return;

  char *javaBin = javaHome != nullptr ? Resolve(javaHome, "bin") : nullptr;
  char *list = JoinSearchList("", javaBin, path);
  free(javaBin);
  for (char *rest = list; rest != nullptr;) {
    const char *element = NextListElement(&rest);
    char *java = nullptr;
    if (IsAbsolutePath(element)) {
      java = Resolve(element, "java");
    } else if (char *absolute = AbsolutePath(element)) {
      java = Resolve(absolute, "java");
      free(absolute);
    }
    if (java != nullptr) {
      // java's own component, then the element's: what is left is the element's parent.
      if (access(java, X_OK) == 0 && CutLastComponent(java) && CutLastComponent(java)) {
        char *root = GetJREPath(java);
        if (root != nullptr)
          AddProbed(places, root);
        else
          NoteForeignRuntime(java);
      }
      free(java);
    }
  }
  free(list);
}

// Reduces a list to its best candidate: the greatest version, the one nearer the front (found
// later) on a tie. The losers are freed; the winner is unlinked and returned.
jvminfo *Best(jvminfo *list) {
  while (list != nullptr && list->next != nullptr) {
    jvminfo *first = list, *second = list->next;
    if (strcmp(second->version, first->version) > 0) {
      list = second;
      FreeInfo(first);
    } else {
      first->next = second->next;
      FreeInfo(second);
    }
  }
  return list;
}

}  // namespace

const char *GetArch(void) {
#if defined(__x86_64__)
  return RuntimeArchDir(64);
#else
  return RuntimeArchDir(32);
#endif
}

char *JavaProgramOf(const char *root) { return Resolve(root, "bin/java"); }

char *GetJREPath(const char *path) {
  char *root = nullptr;
  char *lib = Format("%s/lib/%s/libjava.so", path, GetArch());
  if (FileExists(lib)) {
    root = StrDup(path);
  } else {
    free(lib);
    lib = Format("%s/jre/lib/%s/libjava.so", path, GetArch());
    if (FileExists(lib)) root = Format("%s/jre", path);
  }
  free(lib);
  if (root == nullptr) return nullptr;

  char *java = JavaProgramOf(root);
  jboolean usable = IsExecutable(java);
  free(java);
  if (!usable) {
    free(root);
    return nullptr;
  }
  return root;
}

jboolean IsJDK(const char *path) {
  const char *slash = _strrchr(path, '/');
  char *tools = slash != nullptr && strcmp(slash, "/jre") == 0
                    ? Format("%s/../lib/tools.jar", path)
                    : Format("%s/lib/tools.jar", path);
  jboolean found = FileExists(tools);
  free(tools);
  return found;
}

void SetBundledJRELookup(const char *(*lookup)(void)) { bundledJRELookup = lookup; }

char *GetPublicJREPath(void) {
  Places places;
  GatherBundled(&places);
  GatherUsrJava(&places);
  GatherSearchList(&places);

  jvminfo *chosen = nullptr;
  if (places.bundledjdk != nullptr) {
    chosen = places.bundledjdk;
    places.bundledjdk = nullptr;
  } else if (places.jdks != nullptr) {
    chosen = Best(places.jdks);
    places.jdks = nullptr;
  } else if (places.bundledjre != nullptr) {
    chosen = places.bundledjre;
    places.bundledjre = nullptr;
  } else if (places.jres != nullptr) {
    chosen = Best(places.jres);
    places.jres = nullptr;
  }
  FreeList(places.bundledjdk);
  FreeList(places.bundledjre);
  FreeList(places.jdks);
  FreeList(places.jres);

  if (chosen == nullptr) return nullptr;
  char *jrefoundpath = chosen->path;
  chosen->path = nullptr;
  FreeInfo(chosen);
  return jrefoundpath;
}

void NoteForeignRuntime(const char *dir) {
  char *java = JavaProgramOf(dir);
  if (!IsExecutable(java)) {
    free(java);
    return;
  }
  // The runtime a linked java belongs to: the directory above the bin/java it resolves to.
  char *runtime = nullptr;
  struct stat64 st;
  char real[PATH_MAX];
  if (lstat64(java, &st) == 0 && S_ISLNK(st.st_mode) && realpath(java, real) != nullptr) {
    size_t len = strlen(real), tail = sizeof kJavaProgram - 1;
    if (len > tail && strcmp(real + len - tail, kJavaProgram) == 0) {
      real[len - tail] = '\0';
      runtime = StrDup(real);
    }
  }
  free(java);
  // A runtime of this width reached only through the link is not foreign, and is left alone
  // (dir itself the caller has found not to be one).
  bool known = false;
  if (runtime != nullptr) {
    char *root = GetJREPath(runtime);
    known = root != nullptr;
    free(root);
  } else {
    runtime = StrDup(dir);
  }
  for (const ForeignRuntime *f = foreign; f != nullptr && !known; f = f->next)
    known = strcmp(f->dir, runtime) == 0;
  if (known) {
    free(runtime);
    return;
  }
  ForeignRuntime *f = static_cast<ForeignRuntime *>(MemAlloc(sizeof(ForeignRuntime)));
  f->dir = runtime;
  f->next = nullptr;
  *foreignEnd = f;
  foreignEnd = &f->next;
}

const ForeignRuntime *GetForeignRuntimes(void) { return foreign; }

void ForgetForeignRuntimesForTesting(void) {
  while (foreign != nullptr) {
    ForeignRuntime *next = foreign->next;
    free(foreign->dir);
    free(foreign);
    foreign = next;
  }
  foreignEnd = &foreign;
}

void SetUsrJavaDirForTesting(const char *dir) { usrJavaDir = dir != nullptr ? dir : kUsrJava; }
