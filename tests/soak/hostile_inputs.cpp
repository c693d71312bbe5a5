// The hostile archives: every one derived from a seed, so that a soak can be repeated input for
// input. A small well-formed archive is taken apart in every way a damaged download or a
// malicious installer could: cut at and around every header boundary, a byte changed in every
// field of every kind of header, sizes and offsets that lie, names that climb out of the
// working directory or are absolute, over-long and duplicate names, deflate bombs, and the
// largest entry counts the format allows.
#include <stdio.h>

#include <string>
#include <vector>

#include "hostile_inputs.h"
#include "zip_builder.h"

namespace soak {
namespace {

using ziptest::Entry;
using ziptest::Layout;

struct Field {
  const char *name;
  size_t offset, size;
};
const Field kLocFields[] = {{"signature", 0, 4}, {"version", 4, 2},   {"flags", 6, 2},
                            {"method", 8, 2},    {"time", 10, 2},     {"date", 12, 2},
                            {"crc", 14, 4},      {"csize", 18, 4},    {"size", 22, 4},
                            {"name length", 26, 2}, {"extra length", 28, 2}};
const Field kCenFields[] = {{"signature", 0, 4},     {"made by", 4, 2},      {"version", 6, 2},
                            {"flags", 8, 2},         {"method", 10, 2},      {"time", 12, 2},
                            {"date", 14, 2},         {"crc", 16, 4},         {"csize", 20, 4},
                            {"size", 24, 4},         {"name length", 28, 2}, {"extra length", 30, 2},
                            {"comment length", 32, 2}, {"disk", 34, 2},      {"internal", 36, 2},
                            {"external", 38, 4},     {"offset", 42, 4}};
const Field kEndFields[] = {{"signature", 0, 4},  {"disk", 4, 2},       {"cen disk", 6, 2},
                            {"entries here", 8, 2}, {"total", 10, 2},   {"cen length", 12, 4},
                            {"cen offset", 16, 4}, {"comment length", 20, 2}};

// The archive every mutation starts from: the main class, a directory entry, stored and
// deflated entries, a META-INF entry, an entry comment and an archive comment.
std::vector<Entry> BaseEntries() {
  std::vector<Entry> e;
  e.push_back(ziptest::Stored("corvane.class", "\xca\xfe\xba\xbe hostile soak"));
  e.push_back(ziptest::Stored("package/", ""));
  e.push_back(ziptest::Stored("package/PackageFormat.jar", support::Noise(3000, 3)));
  std::string text;
  for (int i = 0; i < 200; i++) text += "line " + std::to_string(i) + " of a text file\n";
  e.push_back(ziptest::Deflated("package/lib/a.txt", text));
  e.push_back(ziptest::Deflated("package/lib/b.bin", support::Noise(20000, 4)));
  Entry meta = ziptest::Deflated("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\nMain-Class: corvane\n");
  meta.comment = "an entry comment";
  e.push_back(meta);
  e.push_back(ziptest::Stored("package/jre-notes/readme", "not a runtime\n"));
  return e;
}
constexpr size_t kStoredEntry = 2, kDeflatedEntry = 4;

std::string Hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

class Generator {
 public:
  Generator(uint64_t seed, const std::string &absTarget)
      : rnd_(seed), absTarget_(absTarget), entries_(BaseEntries()),
        base_(ziptest::Build(entries_, "", "archive comment")) {}

  std::vector<HostileInput> All() {
    Truncations();
    ByteFlips();
    LyingSizesAndOffsets();
    Names();
    LongNames();
    Duplicates();
    Bombs();
    ManyEntries();
    Combined();
    return std::move(out_);
  }

 private:
  void Add(const std::string &category, const std::string &what, std::string bytes, int seconds = 120) {
    HostileInput in;
    in.category = category;
    in.description = what;
    in.archive = std::move(bytes);
    in.timeoutSeconds = seconds;
    out_.push_back(std::move(in));
  }

  // Names of the positions where a structure begins: local headers, entry data, central
  // headers, the end record, the archive comment.
  std::vector<std::pair<size_t, std::string>> Boundaries() const {
    std::vector<std::pair<size_t, std::string>> b;
    for (size_t i = 0; i < entries_.size(); i++) {
      b.push_back({base_.loc[i], "local header " + std::to_string(i)});
      b.push_back({base_.loc[i] + 30, "local name " + std::to_string(i)});
      size_t data = base_.loc[i] + 30 + entries_[i].name.size() + entries_[i].localExtra.size();
      b.push_back({data, "data " + std::to_string(i)});
      b.push_back({base_.cen[i], "central header " + std::to_string(i)});
    }
    b.push_back({base_.endPos, "end record"});
    b.push_back({base_.endPos + 22, "archive comment"});
    return b;
  }

  void Truncations() {
    for (const auto &b : Boundaries()) {
      for (long delta : {-1L, 0L, 1L, 11L}) {
        long cut = static_cast<long>(b.first) + delta;
        if (cut < 0 || cut >= static_cast<long>(base_.bytes.size())) continue;
        Add("truncation", "cut at " + std::to_string(cut) + " (" + b.second + " " +
                              (delta >= 0 ? "+" : "") + std::to_string(delta) + ")",
            base_.bytes.substr(0, static_cast<size_t>(cut)));
      }
    }
    Add("truncation", "nothing appended", "");
  }

  void Flip(const std::string &where, size_t at, const Field &f) {
    std::string b = base_.bytes;
    size_t pos = at + f.offset + rnd_.Below(f.size);
    unsigned char x = static_cast<unsigned char>(1 + rnd_.Below(255));
    b[pos] = static_cast<char>(b[pos] ^ x);
    Add("byte flip", where + " " + f.name + ": byte " + std::to_string(pos) + " ^ " + Hex(x), b);
  }

  void ByteFlips() {
    for (size_t i : {size_t{0}, kStoredEntry, kDeflatedEntry, size_t{5}}) {
      for (const Field &f : kLocFields) Flip("local header " + std::to_string(i), base_.loc[i], f);
      for (const Field &f : kCenFields) Flip("central header " + std::to_string(i), base_.cen[i], f);
    }
    for (const Field &f : kEndFields) Flip("end record", base_.endPos, f);
    // The data and the names of every entry.
    for (size_t i = 0; i < entries_.size(); i++) {
      if (entries_[i].data.empty()) continue;
      size_t data = base_.loc[i] + 30 + entries_[i].name.size();
      Flip("entry " + std::to_string(i), data, {"data", 0, entries_[i].data.size()});
      Flip("entry " + std::to_string(i), base_.loc[i] + 30, {"local name", 0, entries_[i].name.size()});
      Flip("entry " + std::to_string(i), base_.cen[i] + 46, {"central name", 0, entries_[i].name.size()});
    }
  }

  void Set(const std::string &what, size_t at, size_t size, uint32_t value) {
    std::string b = base_.bytes;
    if (size == 2)
      ziptest::Put16(b, at, value);
    else
      ziptest::Put32(b, at, value);
    Add("lying size or offset", what + " = " + Hex(value), b);
  }

  void LyingSizesAndOffsets() {
    for (size_t i : {kStoredEntry, kDeflatedEntry}) {
      const Entry &e = entries_[i];
      const uint32_t lies[] = {0, 1, e.size - 1, e.size + 1, e.csize + 1, 0x7FFFFFFF, 0x80000000u,
                               0xFFFFFFFFu};
      for (uint32_t v : lies) {
        Set("central csize of entry " + std::to_string(i), base_.cen[i] + 20, 4, v);
        Set("central size of entry " + std::to_string(i), base_.cen[i] + 24, 4, v);
        Set("local csize of entry " + std::to_string(i), base_.loc[i] + 18, 4, v);
        Set("local size of entry " + std::to_string(i), base_.loc[i] + 22, 4, v);
      }
    }
    for (size_t i : {size_t{0}, kDeflatedEntry}) {
      const uint32_t real = static_cast<uint32_t>(base_.loc[i]);
      for (uint32_t v : {real + 1, real - 1, static_cast<uint32_t>(base_.cenStart),
                         static_cast<uint32_t>(base_.endPos), 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Set("central offset of entry " + std::to_string(i), base_.cen[i] + 42, 4, v);
      }
      Set("central name length of entry " + std::to_string(i), base_.cen[i] + 28, 2, 0);
      Set("central name length of entry " + std::to_string(i), base_.cen[i] + 28, 2, 0xFFFF);
      Set("central extra length of entry " + std::to_string(i), base_.cen[i] + 30, 2, 0xFFFF);
      Set("central comment length of entry " + std::to_string(i), base_.cen[i] + 32, 2, 0xFFFF);
      Set("local name length of entry " + std::to_string(i), base_.loc[i] + 26, 2, 0xFFFF);
      Set("local extra length of entry " + std::to_string(i), base_.loc[i] + 28, 2, 0xFFFF);
    }
    const uint32_t n = static_cast<uint32_t>(entries_.size());
    const uint32_t cenLen = static_cast<uint32_t>(base_.endPos - base_.cenStart);
    const uint32_t cenOff = static_cast<uint32_t>(base_.cenStart);
    for (uint32_t v : {0u, 1u, n - 1, n + 1, 0xFFFFu}) Set("end total", base_.endPos + 10, 2, v);
    for (uint32_t v : {0u, cenLen - 1, cenLen + 1, 0xFFFFFFFFu})
      Set("end central directory length", base_.endPos + 12, 4, v);
    for (uint32_t v : {0u, cenOff - 1, cenOff + 1, 0x7FFFFFFFu, 0xFFFFFFFFu})
      Set("end central directory offset", base_.endPos + 16, 4, v);
    Set("end comment length", base_.endPos + 20, 2, 0xFFFF);
    Set("end comment length", base_.endPos + 20, 2, 0);
  }

  // The base archive with one more entry of this name (and, where given, another local name).
  void WithName(const std::string &category, const std::string &name, const std::string &localName = "") {
    std::vector<Entry> e = entries_;
    Entry extra = ziptest::Stored(name, "this entry must stay inside the working directory\n");
    if (!localName.empty()) {
      extra.differentName = true;
      extra.localName = localName;
    }
    e.push_back(extra);
    std::string shown;
    for (char c : localName.empty() ? name : localName) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
        shown += "\\x" + Hex(static_cast<unsigned char>(c)).substr(2);
      else
        shown += c;
    }
    if (shown.size() > 80) shown = shown.substr(0, 60) + "... (" + std::to_string(shown.size()) + " bytes)";
    Add(category, (localName.empty() ? "name " : "local name ") + shown, ziptest::Build(e).bytes);
  }

  void Names() {
    // Every name that tries to leave ends in a name beginning with "soak-escaped", which the
    // soak looks for in every directory above the working directory.
    const std::string m = "soak-escaped";
    std::string deep;
    for (int i = 0; i < 16; i++) deep += "../";
    const std::vector<std::string> names = {
        "../" + m,
        "../../" + m,
        "../../../" + m,
        "../../../../" + m,
        deep + m,
        deep + "tmp/" + m,
        "a/../../" + m,
        "./../" + m,
        "package/../../" + m,
        m + "-dir/../../" + m,
        "..",
        "../",
        "../" + m + "-dir/",
        "a/..",
        "...",
        "..\\" + m,
        ".",
        "./",
        "",
        "/",
        "//",
        "/" + m,
        "//" + m,
        absTarget_ + "/" + m,
        absTarget_ + "/" + m + "-dir/",
        "/../" + m,
        std::string("ok\0/../../", 10) + m,
        "new\nline/" + m,
        "\xff\xfe/\x80" + m,
        "package/PackageFormat.jar/" + m,
        "corvane.class/../../" + m,
    };
    for (const std::string &n : names) WithName("hostile name", n);
    // The name the central directory shows is harmless; the local header's climbs.
    WithName("hostile name", "xx/yy/" + m, "../../" + m);
    WithName("hostile name", "harmless-name", absTarget_ + "/" + m);
  }

  void LongNames() {
    for (size_t len : {255, 256, 4095, 4096, 4097, 8000, 65535}) {
      WithName("long name", std::string(len, 'n'));
    }
    std::string path;
    while (path.size() < 5000) path += "dir/";
    WithName("long name", path + "file");
    std::string components;
    while (components.size() < 65000) components += std::string(200, 'c') + "/";
    WithName("long name", components + "f");
    // A long central name over a short local one.
    WithName("long name", std::string(60000, 'L'), "short");
  }

  void Duplicates() {
    // The base archive with these entries after its own.
    auto add = [&](const std::string &what, const std::vector<Entry> &more) {
      std::vector<Entry> e = entries_;
      e.insert(e.end(), more.begin(), more.end());
      Add("duplicate name", what, ziptest::Build(e).bytes);
    };
    using ziptest::Stored;
    add("the same file twice", {Stored("dup.txt", "first"), Stored("dup.txt", "second, longer")});
    add("a file, then a directory of the same name", {Stored("x", "a file"), Stored("x/", "")});
    add("a directory, then a file of the same name", {Stored("x/", ""), Stored("x", "a file")});
    add("a file, then an entry below it", {Stored("x", "a file"), Stored("x/y", "below a file")});
    add("an entry, then a file in place of its directory",
        {Stored("x/y", "below"), Stored("x", "over a directory")});
    add("the main class twice", {Stored("corvane.class", "the main class again")});
    add("a file in place of the package directory",
        {Stored("package", "a file where the package directory is")});
    std::vector<Entry> same;
    for (int i = 0; i < 2000; i++) same.push_back(Stored("same-name", std::to_string(i)));
    add("one name 2000 times (one hash chain)", same);
  }

  void Bombs() {
    std::string zeros(100 << 20, '\0');
    std::string hundredMiB = ziptest::Deflate(zeros, 9);
    std::vector<Entry> e = entries_;
    Entry bomb = ziptest::Deflated("bomb", "x");
    bomb.data = hundredMiB;
    bomb.csize = static_cast<uint32_t>(hundredMiB.size());
    bomb.size = 1000;
    e.push_back(bomb);
    Add("deflate bomb", "100 MiB of zeros declared as 1000 bytes", ziptest::Build(e).bytes);

    e = entries_;
    bomb.size = 0x7FFFFFFF;
    e.push_back(bomb);
    Add("deflate bomb", "100 MiB of zeros declared as 2 GiB", ziptest::Build(e).bytes);

    e = entries_;
    bomb.size = 100u << 20;
    bomb.crc = ziptest::Crc(zeros);
    e.push_back(bomb);
    Add("deflate bomb", "100 MiB of zeros declared honestly (more than the tmpfs holds)",
        ziptest::Build(e).bytes);

    std::string fortyMiB(40 << 20, '\0');
    e = entries_;
    e.push_back(ziptest::Deflated("forty", fortyMiB));
    Add("deflate bomb", "40 MiB of zeros declared honestly (fits)", ziptest::Build(e).bytes);

    // Overlapping entries: many central headers point at one local header.
    e = entries_;
    Entry shared = ziptest::Deflated("overlap", std::string(1 << 20, '\0'));
    e.push_back(shared);
    Layout l = ziptest::Build(e);
    size_t sharedLoc = l.loc.back();
    for (int count : {30, 1000}) {
      std::vector<Entry> o = entries_;
      for (int i = 0; i < count; i++) {
        Entry c = shared;
        c.name = "overlap";  // same length, so the local header agrees
        c.overrideOffset = true;
        c.offset = static_cast<uint32_t>(sharedLoc);
        o.push_back(c);
      }
      // The entries are laid out again, but each central header points at the first copy.
      Layout lo = ziptest::Build(o);
      Add("deflate bomb", std::to_string(count) + " central headers on one 1 MiB local entry",
          lo.bytes);
    }

    // Sizes that add up past 32 bits, and sizes that are negative as signed 32-bit values.
    e = entries_;
    for (int i = 0; i < 20; i++) {
      Entry big = ziptest::Stored("big" + std::to_string(i), "tiny");
      big.size = big.csize = 0x7FFFFFF0;
      e.push_back(big);
    }
    Add("deflate bomb", "20 entries of almost 2 GiB each", ziptest::Build(e).bytes);
    e = entries_;
    Entry negative = ziptest::Deflated("negative", std::string(30 << 20, '\0'));
    negative.size = 0x80000000u;
    e.push_back(negative);
    Add("deflate bomb", "30 MiB declared as a negative size", ziptest::Build(e).bytes);
  }

  void ManyEntries() {
    for (uint32_t count : {65534u, 65535u}) {
      std::vector<Entry> e;
      e.push_back(ziptest::Stored("corvane.class", "main"));
      for (uint32_t i = 1; i < count; i++) e.push_back(ziptest::Stored("e/" + std::to_string(i), ""));
      Layout l = ziptest::Build(e);
      Add("many entries", std::to_string(count) + " entries", l.bytes, 300);
      if (count == 65535) {
        std::string b = l.bytes;
        ziptest::Put16(b, l.endPos + 10, 0);  // the count as it wraps in 16 bits
        Add("many entries", "65535 entries, the end record's total 0", b, 300);
        b = l.bytes;
        ziptest::Put16(b, l.endPos + 10, 65534);
        Add("many entries", "65535 entries, the end record's total 65534", b, 300);
      }
    }
  }

  // Several of the changes above at once, at random places.
  void Combined() {
    while (out_.size() < kWanted) {
      std::string b = base_.bytes;
      int changes = 2 + static_cast<int>(rnd_.Below(4));
      std::string what;
      for (int i = 0; i < changes; i++) {
        size_t pos = rnd_.Below(b.size());
        switch (rnd_.Below(3)) {
          case 0: {
            unsigned char x = static_cast<unsigned char>(1 + rnd_.Below(255));
            b[pos] = static_cast<char>(b[pos] ^ x);
            what += " flip " + std::to_string(pos);
            break;
          }
          case 1:
            b[pos] = static_cast<char>(0xFF);
            if (pos + 1 < b.size()) b[pos + 1] = static_cast<char>(0xFF);
            what += " 0xffff at " + std::to_string(pos);
            break;
          default:
            b.erase(pos, 1 + rnd_.Below(16));
            what += " cut out at " + std::to_string(pos);
            break;
        }
      }
      Add("combined", what.substr(1), b);
    }
  }

  static constexpr size_t kWanted = 600;
  Random rnd_;
  std::string absTarget_;
  std::vector<Entry> entries_;
  Layout base_;
  std::vector<HostileInput> out_;
};

}  // namespace

std::vector<HostileInput> HostileInputs(uint64_t seed, const std::string &absTarget) {
  return Generator(seed, absTarget).All();
}

}  // namespace soak
