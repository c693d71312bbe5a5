// The disk-full soak: the extraction meets a full file system after the space check passed
// (another program filled the disk meanwhile: here the version probe, which runs between the
// check and the extraction), and a file system without free inodes. Each runs on a small tmpfs
// in a private mount namespace. Wanted: exit status 1, the message that says the disk is full
// (not that the installer is damaged), no Java started, nothing left behind.
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "soak.h"

namespace soak {
namespace {

// The catalog key of the message for an extraction that failed because writing failed.
constexpr char kDiskFullKey[] = "write_failed_system_tmpdir";

struct Case {
  std::string name;
  std::string tmpfsOptions;
  bool fill;
};

std::string FirstLine(const std::string &text) {
  std::string line = text.substr(0, text.find('\n', text.find_first_not_of('\n')));
  size_t start = line.find_first_not_of('\n');
  return start == std::string::npos ? "" : line.substr(start);
}

}  // namespace

Figure DiskFullSoak(const Settings &s) {
  Figure f{"disk-full"};
  std::string root = s.sandbox + "/disk-full";
  // 300 files of 6000 bytes in 6 directories: about 1.9 MB, 310 inodes.
  std::string installer = FigureInstaller(s, "disk-full", 300, 6000);
  std::string wanted = CatalogText(s.sourceDir, kDiskFullKey);
  std::string damaged = CatalogText(s.sourceDir, "corrupted_zip_file");

  const std::vector<Case> cases = {
      {"full tmpfs", "size=8m,mode=0755", true},
      {"inode-exhausted tmpfs", "size=64m,nr_inodes=64,mode=0755", false},
  };
  std::vector<std::string> verdicts(cases.size());
  std::vector<bool> clean(cases.size(), false);
  std::mutex detailsLock;
  ForEachConcurrently(static_cast<int>(cases.size()), 2, [&](int i) {
    const Case &c = cases[static_cast<size_t>(i)];
    std::string dir = root + "/case" + std::to_string(i);
    JavaBehaviour java;
    java.probeMs = 100;
    if (c.fill) java.fill = dir + "/tmp/filler";
    RunDir d = PrepareRun(s, dir, java, installer);

    IsolatedRun run;
    run.dir = dir;
    run.mountPoint = d.tmp;
    run.tmpfsOptions = c.tmpfsOptions;
    run.removeName = c.fill ? "filler" : "";
    run.command = {d.exe, "-javahome", d.jre, "-tmpdir", d.tmp};
    Isolated r = RunIsolated(s, run);

    bool javaRan = false;
    for (const Recorded &rec : ReadRecorded(d.report)) javaRan = javaRan || rec.kind == "java";
    bool lockLeft = LockLeft(d.exe);

    std::string message;
    bool messageRight = false;
    if (!wanted.empty() && MatchesCatalog(r.err, wanted)) {
      message = "the disk-full message";
      messageRight = true;
    } else {
      message = MatchesCatalog(r.err, damaged) ? "reported as a damaged installer"
                                               : "wrong message";
    }
    std::string v = c.name + ": ";
    if (!r.ok) {
      v += r.error;
    } else {
      v += "exit " + std::to_string(r.exitStatus) + (r.timedOut ? " (timed out)" : "") + ", " +
           message + ", left " + std::to_string(r.left.size() + (lockLeft ? 1 : 0)) +
           (javaRan ? ", Java started" : "") + (r.groupLeft ? ", children left alive" : "");
    }
    std::lock_guard<std::mutex> guard(detailsLock);
    verdicts[static_cast<size_t>(i)] = v;
    clean[static_cast<size_t>(i)] = r.ok && r.exitStatus == 1 && !r.timedOut && messageRight &&
                                    r.left.empty() && !lockLeft && !javaRan && !r.groupLeft;
    if (!clean[static_cast<size_t>(i)]) {
      f.details.push_back(c.name + ": standard error: " + FirstLine(r.err));
      for (const std::string &l : r.left) f.details.push_back(c.name + ": left " + l);
    }
  });
  f.text = verdicts[0] + "; " + verdicts[1];
  if (wanted.empty()) {
    f.details.insert(f.details.begin(), std::string("the catalog has no message \"") +
                                            kDiskFullKey + "\" for a disk that filled up");
  }
  f.clean = clean[0] && clean[1];
  RemoveTree(root);
  return f;
}

}  // namespace soak
