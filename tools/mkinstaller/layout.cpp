// The runtime rule mirrors the launcher's GetJREPath on "<home>/package/jre": the directory is a
// runtime root when lib/<arch>/libjava.so and bin/java are there; failing the first, the root
// may be its jre/ subdirectory (a bundled development kit). <arch> is fixed by the launcher's
// build, so a runtime for the other processor is never found.
#include "layout.h"

#include <algorithm>

#include "base/product.h"

namespace {

constexpr const char *kRuntimeDir = kBundledJREEntries;

bool Has(const std::set<std::string> &names, const std::string &name) { return names.count(name) > 0; }

// Whether the launcher built for arch would accept the bundled runtime.
bool Usable(const std::set<std::string> &names, const std::string &arch) {
  const std::string root = kRuntimeDir;
  if (Has(names, root + "/lib/" + arch + "/libjava.so")) return Has(names, root + "/bin/java");
  if (Has(names, root + "/jre/lib/" + arch + "/libjava.so")) return Has(names, root + "/jre/bin/java");
  return false;
}

void AddUnique(std::vector<std::string> *list, const std::string &item) {
  if (std::find(list->begin(), list->end(), item) == list->end()) list->push_back(item);
}

}  // namespace

BundledRuntime FindBundledRuntime(const std::set<std::string> &names) {
  BundledRuntime runtime;
  const std::string prefix = std::string(kRuntimeDir) + "/";
  for (auto it = names.lower_bound(prefix); it != names.end() && it->compare(0, prefix.size(), prefix) == 0; ++it) {
    runtime.present = true;
    for (const char *lib : {"lib/", "jre/lib/"}) {
      const std::string head = prefix + lib;
      const std::string tail = "/libjava.so";
      if (it->size() <= head.size() + tail.size() || it->compare(0, head.size(), head) != 0 ||
          it->compare(it->size() - tail.size(), tail.size(), tail) != 0) {
        continue;
      }
      const std::string arch = it->substr(head.size(), it->size() - head.size() - tail.size());
      if (arch.find('/') == std::string::npos) AddUnique(&runtime.libraries, arch);
    }
  }
  for (const std::string &arch : runtime.libraries) {
    if (Usable(names, arch)) runtime.usable.push_back(arch);
  }
  return runtime;
}

std::string RuntimeProblem(const BundledRuntime &runtime, const LauncherFile &launcher, std::string *warning) {
  warning->clear();
  if (!runtime.present) return "";
  const std::string arch = RuntimeArchDir(launcher.elfClass);
  if (std::find(runtime.usable.begin(), runtime.usable.end(), arch) != runtime.usable.end()) return "";
  const std::string root = kRuntimeDir;
  if (std::find(runtime.libraries.begin(), runtime.libraries.end(), arch) != runtime.libraries.end()) {
    *warning = "the Java runtime under " + root + " has lib/" + arch + "/libjava.so but no bin/java: the launcher "
               "will not use it and looks for a runtime on the user's machine instead";
    return "";
  }
  if (runtime.libraries.empty()) {
    *warning = root + " holds no Java runtime the launcher recognises (bin/java and lib/" + arch +
               "/libjava.so): it will look for a runtime on the user's machine";
    return "";
  }
  std::string found;
  for (const std::string &other : runtime.libraries) found += (found.empty() ? "lib/" : ", lib/") + other;
  std::string advice;
  if (std::find(runtime.libraries.begin(), runtime.libraries.end(), RuntimeArchDir(launcher.elfClass == 64 ? 32 : 64)) !=
      runtime.libraries.end()) {
    advice = launcher.elfClass == 64 ? "pack it behind the 32-bit launcher (the i386 build)"
                                     : "pack it behind the 64-bit launcher (the x86_64 build)";
  } else {
    advice = "no launcher of this project runs it";
  }
  return "the Java runtime bundled under " + root + " is for " + found + ", but this " +
         std::to_string(launcher.elfClass) + "-bit launcher only looks in lib/" + arch +
         " and would never find it: " + advice + ", or bundle a runtime with lib/" + arch + "/libjava.so";
}

std::string DescribeRuntime(const BundledRuntime &runtime, const LauncherFile &launcher) {
  const std::string arch = RuntimeArchDir(launcher.elfClass);
  if (std::find(runtime.usable.begin(), runtime.usable.end(), arch) != runtime.usable.end()) {
    return "yes, for " + arch + " (" + kRuntimeDir + ")";
  }
  if (!runtime.libraries.empty()) {
    std::string found;
    for (const std::string &other : runtime.libraries) found += (found.empty() ? "" : ", ") + other;
    return "only for " + found + ", which this launcher does not use";
  }
  return "no";
}
