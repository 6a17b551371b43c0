// The machine's count of timer resolution requests in force.
#include <platform/win32.h>
#include <winsim/sim/timer.h>

#include <gtest/gtest.h>

namespace {

TEST(MachineTimerResolution, CountsRequestsUntilEnded) {
  winsim::ScopedMachine machine;
  auto& timer = machine->Part<winsim::TimerResolution>();
  ASSERT_EQ(timeBeginPeriod(1), (MMRESULT)TIMERR_NOERROR);
  ASSERT_EQ(timeBeginPeriod(1), (MMRESULT)TIMERR_NOERROR);
  EXPECT_EQ(timer.Active(1), 2);
  timeEndPeriod(1);
  EXPECT_EQ(timer.Active(1), 1);
  timeEndPeriod(1);
  timeEndPeriod(1);  // unmatched: accepted, and the count stays at 0
  EXPECT_EQ(timer.Active(1), 0);
}

TEST(MachineTimerResolution, RefusedRequestsAreNotCounted) {
  winsim::ScopedMachine machine;
  EXPECT_EQ(timeBeginPeriod(0), (MMRESULT)TIMERR_NOCANDO);
  EXPECT_EQ(timeBeginPeriod(1000001), (MMRESULT)TIMERR_NOCANDO);
  EXPECT_EQ(machine->Part<winsim::TimerResolution>().Active(0), 0);
}

}  // namespace
