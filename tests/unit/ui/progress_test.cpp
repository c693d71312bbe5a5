// The console progress line, on a clock the test sets: nothing in the first second, then at most
// ten lines a second, each rewriting the last in place, and erased at the end or by a signal
// handler so that the next text starts a clean line; and not a byte when standard output is not
// a terminal. (The window's share is in status_window_test.cpp.)
#include <string>

#include "ui/progress.h"
#include "ui/testing.h"
#include "ui_support.h"

using uitest::Capture;

namespace {

long long clockMs = 0;
long long TestClock() { return clockMs; }

class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    clockMs = 0;
    SetProgressClockForTesting(TestClock);
  }
  void TearDown() override {
    EndProgress();
    SetProgressClockForTesting(nullptr);
    ShowProgressOnAnyOutputForTesting(false);
  }
  // Shows done bytes at time ms.
  static void At(long long ms, unsigned long long done) {
    clockMs = ms;
    ShowProgress(done);
  }
};

TEST_F(Progress, LineComesAfterASecondRewritesItselfAndIsErasedAtTheEnd) {
  ShowProgressOnAnyOutputForTesting(true);
  Capture out(1);
  ASSERT_TRUE(BeginProgress(441058983));
  At(999, 5000000);
  EXPECT_EQ(out.Finish(), "") << "a line within the first second";

  Capture lines(1);
  At(1000, 5000000);
  At(1099, 100000000);  // too soon after the last line
  At(1100, 185000000);
  At(1200, 185100000);  // the same text again is not written
  At(1300, 500000000);  // more than the total: as much as the total
  EndProgress();
  EndProgress();
  const std::string erase = "\r" + std::string(17, ' ') + "\r";
  EXPECT_EQ(lines.Finish(), "\r   1%  5/441 MB\r  41%  185/441 MB\r 100%  441/441 MB" + erase);

  // Under a megabyte, the share alone; a signal handler erases what is on the screen, once.
  Capture small(1);
  ASSERT_TRUE(BeginProgress(999999));
  At(3000, 420000);
  EraseProgressLine();
  EraseProgressLine();
  EndProgress();
  EXPECT_EQ(small.Finish(), "\r  42%\r     \r");
}

TEST_F(Progress, NothingWhenStandardOutputIsNotATerminal) {
  Capture out(1);
  EXPECT_FALSE(BeginProgress(441058983));
  At(5000, 100000000);
  EraseProgressLine();
  EndProgress();
  ShowProgressOnAnyOutputForTesting(true);
  EXPECT_FALSE(BeginProgress(0)) << "nothing to do, nothing to show";
  At(9000, 0);
  EXPECT_EQ(out.Finish(), "");
}

}  // namespace
