// Timer resolution requests as winmm answers them.
#include "conformance.h"

#include <gtest/gtest.h>

namespace {

TEST(ConformanceTimerPeriod, OneMillisecondIsGrantedAndEnded) {
  EXPECT_EQ(timeBeginPeriod(1), (MMRESULT)TIMERR_NOERROR);
  EXPECT_EQ(timeEndPeriod(1), (MMRESULT)TIMERR_NOERROR);
}

TEST(ConformanceTimerPeriod, ZeroIsOutOfRange) {
  EXPECT_EQ(timeBeginPeriod(0), (MMRESULT)TIMERR_NOCANDO);
  EXPECT_EQ(timeEndPeriod(0), (MMRESULT)TIMERR_NOCANDO);
}

}  // namespace
