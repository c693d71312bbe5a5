// The archives the soaks install: well-formed payloads of a chosen size, built in memory.
#include <string>
#include <vector>

#include "soak.h"
#include "zip_builder.h"

namespace soak {

void MakeInstaller(const std::string &launcher, const std::string &archive, const std::string &path) {
  WriteAll(path, ReadFile(launcher) + archive, 0755);
}

std::string FigureInstaller(const Settings &s, const std::string &figure, int files, size_t fileSize) {
  MkDirs(s.sandbox + "/" + figure);
  std::string installer = s.sandbox + "/" + figure + "/installer";
  MakeInstaller(s.devBin + "/setup", PayloadArchive(files, fileSize), installer);
  return installer;
}

std::string PayloadArchive(int files, size_t fileSize) {
  std::vector<ziptest::Entry> entries;
  entries.push_back(ziptest::Stored("corvane.class", "\xca\xfe\xba\xbe soak main class"));
  entries.push_back(ziptest::Stored("package/", ""));
  entries.push_back(ziptest::Stored("package/PackageFormat.jar", support::Noise(20000, 7)));
  for (int i = 0; i < files; i++) {
    std::string name = "package/data/d" + std::to_string(i / 50) + "/f" + std::to_string(i) + ".bin";
    std::string content = support::Noise(fileSize, static_cast<uint32_t>(i + 11));
    entries.push_back(i % 4 == 0 ? ziptest::Deflated(name, content) : ziptest::Stored(name, content));
  }
  return ziptest::Build(entries).bytes;
}

}  // namespace soak
