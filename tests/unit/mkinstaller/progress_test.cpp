// The progress line: nothing for short jobs or when disabled, an in-place line after a second,
// at most ten updates a second, and the line erased at the end.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "progress.h"

namespace {

class ProgressLine : public ::testing::Test {
 protected:
  void SetUp() override { out = open_memstream(&buf, &len); }
  void TearDown() override {
    fclose(out);
    free(buf);
  }
  std::string Text() {
    fflush(out);
    return std::string(buf, len);
  }
  double now = 100;
  char *buf = nullptr;
  size_t len = 0;
  FILE *out = nullptr;
};

TEST_F(ProgressLine, ShortJobsPrintNothing) {
  Progress p(true, out, [this] { return now; });
  p.Start("packing", 1000, 10);
  now += 0.9;
  p.Add(999, 9);
  p.Finish();
  EXPECT_EQ(Text(), "");
}

TEST_F(ProgressLine, ALongJobShowsOneLineRewrittenInPlaceAndErasedAtTheEnd) {
  Progress p(true, out, [this] { return now; });
  p.Start("packing", 4 << 20, 4);
  now += 1.5;
  p.Add(1 << 20, 1);
  EXPECT_EQ(Text(), "\rpacking:  25%, 1 of 4 entries, 1 of 4 MB");
  now += 0.05;
  p.Add(1 << 20, 1);  // too soon for another update
  EXPECT_EQ(Text().find('\r', 1), std::string::npos);
  now += 0.1;
  p.Add(1 << 20, 1);
  EXPECT_NE(Text().find("\rpacking:  75%, 3 of 4 entries, 3 of 4 MB"), std::string::npos) << Text();
  const size_t width = std::string("packing:  75%, 3 of 4 entries, 3 of 4 MB").size();
  p.Finish();
  EXPECT_EQ(Text().substr(Text().size() - width - 2), "\r" + std::string(width, ' ') + "\r");
  // Finishing twice erases once.
  const size_t before = Text().size();
  p.Finish();
  EXPECT_EQ(Text().size(), before);
}

TEST_F(ProgressLine, DisabledItNeverPrints) {
  Progress p(false, out, [this] { return now; });
  p.Start("checking", 100, 1);
  now += 10;
  p.Add(100, 1);
  p.Finish();
  EXPECT_EQ(Text(), "");
}

}  // namespace
