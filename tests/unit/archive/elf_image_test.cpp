// The program image's extent: the test program itself (as built, stripped, with bytes
// appended), and headers that are damaged or claim more than any file can hold.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "archive/elf_image.h"
#include "support.h"

namespace {

std::string SelfImage() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  return buf;
}

off_t SizeOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// ReadElfImage on path; false when the file cannot be opened.
bool ImageOf(const std::string &path, ElfImage *image) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = ReadElfImage(fd, image) != 0;
  close(fd);
  return ok;
}

class ElfImageTest : public ::testing::Test {
 protected:
  // A copy of this test program, with its headers patched by the caller.
  std::string CopyOfSelf(const std::string &rel) {
    std::string path = scratch_.Path(rel);
    std::string cmd = "/bin/cp '" + SelfImage() + "' '" + path + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    return path;
  }
  void Patch(const std::string &path, off_t off, const void *bytes, size_t len) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes, len, off), static_cast<ssize_t>(len));
    close(fd);
  }
  support::Sandbox scratch_;
};

TEST_F(ElfImageTest, AProgramAsBuiltOrStrippedIsExactlyItsImage) {
  ElfImage image{};
  ASSERT_TRUE(ImageOf(SelfImage(), &image));
  EXPECT_EQ(image.elfClass, static_cast<int>(sizeof(void *) * 8));
  EXPECT_EQ(image.machine, sizeof(void *) == 8 ? 62 : 3);
  EXPECT_EQ(image.length, SizeOf(SelfImage()));

  std::string stripped = CopyOfSelf("stripped");
  ASSERT_EQ(system(("strip --strip-all '" + stripped + "'").c_str()), 0);
  ASSERT_LT(SizeOf(stripped), SizeOf(SelfImage()));
  ElfImage strippedImage{};
  ASSERT_TRUE(ImageOf(stripped, &strippedImage));
  EXPECT_EQ(strippedImage.length, SizeOf(stripped));
}

TEST_F(ElfImageTest, AppendedBytesLieBehindTheImage) {
  std::string path = CopyOfSelf("appended");
  off_t before = SizeOf(path);
  ASSERT_EQ(system(("printf 'PK\\005\\006 anything' >> '" + path + "'").c_str()), 0);
  ElfImage image{};
  ASSERT_TRUE(ImageOf(path, &image));
  EXPECT_EQ(image.length, before);
  EXPECT_GT(SizeOf(path), image.length);
}

TEST_F(ElfImageTest, FilesThatAreNoElfImageAreRefused) {
  ElfImage image{};
  image.length = 12345;
  EXPECT_FALSE(ImageOf(scratch_.Write("text", "#!/bin/sh\necho hello\n"), &image));
  EXPECT_FALSE(ImageOf(scratch_.Write("empty", ""), &image));
  EXPECT_FALSE(ImageOf(scratch_.Write("short", std::string("\x7f" "ELF\x01\x01\x01", 7)), &image));

  std::string bigEndian = CopyOfSelf("big-endian");
  const unsigned char msb = 2;
  Patch(bigEndian, 5, &msb, 1);
  EXPECT_FALSE(ImageOf(bigEndian, &image));

  std::string badClass = CopyOfSelf("bad-class");
  const unsigned char none = 0;
  Patch(badClass, 4, &none, 1);
  EXPECT_FALSE(ImageOf(badClass, &image));
  EXPECT_EQ(image.length, 12345) << "a refused file leaves the result untouched";
}

TEST_F(ElfImageTest, HeadersThatPointBeyondTheFileOrAnyOffsetAreRefused) {
  ElfImage image{};
  const bool is64 = sizeof(void *) == 8;
  const off_t shoffAt = is64 ? 40 : 32, phoffAt = is64 ? 32 : 28;
  const size_t word = is64 ? 8 : 4;

  // A section header table past the end of the file: cut short, so not readable.
  std::string cut = CopyOfSelf("cut");
  ASSERT_EQ(truncate(cut.c_str(), SizeOf(cut) - 100), 0);
  EXPECT_FALSE(ImageOf(cut, &image));

  // Offsets whose sums leave the range of a file offset.
  const unsigned char ones[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  std::string hugeShoff = CopyOfSelf("huge-shoff");
  Patch(hugeShoff, shoffAt, ones, word);
  EXPECT_FALSE(ImageOf(hugeShoff, &image));
  std::string hugePhoff = CopyOfSelf("huge-phoff");
  Patch(hugePhoff, phoffAt, ones, word);
  EXPECT_FALSE(ImageOf(hugePhoff, &image));

  // Entry sizes too small to hold the fields that are read.
  const unsigned char tiny[2] = {4, 0};
  std::string tinyEntries = CopyOfSelf("tiny-entries");
  Patch(tinyEntries, is64 ? 58 : 46, tiny, 2);
  EXPECT_FALSE(ImageOf(tinyEntries, &image));
}

}  // namespace
