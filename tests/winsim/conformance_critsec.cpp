// Critical sections: recursive for their owner, exclusive for everyone else.
#include "conformance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct Section {
  CRITICAL_SECTION cs;
  Section() { EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 0x8000)); }
  ~Section() { DeleteCriticalSection(&cs); }
};

bool TryFromOtherThread(CRITICAL_SECTION& cs) {
  bool entered = false;
  std::thread other([&] {
    entered = TryEnterCriticalSection(&cs) != FALSE;
    if (entered) LeaveCriticalSection(&cs);
  });
  other.join();
  return entered;
}

TEST(ConformanceCriticalSection, OwnerMayEnterAgainOthersWaitForTheLastLeave) {
  Section section;
  EnterCriticalSection(&section.cs);
  EXPECT_TRUE(TryEnterCriticalSection(&section.cs));
  EnterCriticalSection(&section.cs);
  EXPECT_FALSE(TryFromOtherThread(section.cs));
  LeaveCriticalSection(&section.cs);
  LeaveCriticalSection(&section.cs);
  EXPECT_FALSE(TryFromOtherThread(section.cs));
  LeaveCriticalSection(&section.cs);
  EXPECT_TRUE(TryFromOtherThread(section.cs));
}

TEST(ConformanceCriticalSection, KeepsThreadsOutOfEachOthersWay) {
  Section section;
  long counter = 0;
  std::atomic<bool> overlap{false};
  std::atomic<int> inside{0};
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      EnterCriticalSection(&section.cs);
      if (inside.fetch_add(1) != 0) overlap = true;
      ++counter;
      inside.fetch_sub(1);
      LeaveCriticalSection(&section.cs);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(counter, 4000);
}

}  // namespace
