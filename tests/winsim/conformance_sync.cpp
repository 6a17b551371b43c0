// Events, waits and handle closing as Windows does them.
#include "conformance.h"

#include <gtest/gtest.h>
#include <handles/win32.h>

namespace {

using handles::ObjectHandle;

TEST(ConformanceEvent, ManualResetStaysSignalledUntilReset) {
  ObjectHandle owner(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(owner);
  const HANDLE event = owner.Get();
  EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 10), (DWORD)WAIT_TIMEOUT);
}

TEST(ConformanceEvent, AutoResetReleasesOneWait) {
  ObjectHandle event(CreateEventW(nullptr, FALSE, TRUE, nullptr));
  ASSERT_TRUE(event);
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), (DWORD)WAIT_TIMEOUT);
}

TEST(ConformanceWait, WaitAnyReportsTheFirstSignalledIndex) {
  ObjectHandle a(CreateEventW(nullptr, TRUE, FALSE, nullptr)), b(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  HANDLE events[2] = {a.Get(), b.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), (DWORD)WAIT_TIMEOUT);
  SetEvent(events[0]);
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_OBJECT_0);
}

TEST(ConformanceHandle, ClosingTwiceFailsWithInvalidHandle) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  ArmLastError();
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(ConformanceWait, WaitOnClosedHandleFails) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  CloseHandle(event);
  ArmLastError();
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(ConformanceTime, TickCountAdvancesAcrossSleep) {
  DWORD before = GetTickCount();
  Sleep(50);
  EXPECT_GE(GetTickCount() - before, 40u);  // tick granularity on Windows is 10-16 ms
}

}  // namespace
