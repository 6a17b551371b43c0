// QueueUserWorkItem: items run on other threads, long functions in parallel.
#include "conformance.h"

#include <gtest/gtest.h>
#include <handles/win32.h>

#include <atomic>

namespace {

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

struct Work {
  const handles::ObjectHandle started{NewEvent()}, release{NewEvent()}, done{NewEvent()};
  std::atomic<DWORD> threadId{0};
};

DWORD WINAPI Blocking(LPVOID context) {
  auto* work = static_cast<Work*>(context);
  work->threadId = GetCurrentThreadId();
  SetEvent(work->started.Get());
  WaitForSingleObject(work->release.Get(), 60000);
  SetEvent(work->done.Get());
  return 0;
}

TEST(ConformanceThreadPool, ItemsRunOnPoolThreads) {
  Work work;
  SetEvent(work.release.Get());
  ASSERT_TRUE(QueueUserWorkItem(Blocking, &work, WT_EXECUTEDEFAULT));
  ASSERT_EQ(WaitForSingleObject(work.done.Get(), 60000), WAIT_OBJECT_0);
  EXPECT_NE(work.threadId.load(), GetCurrentThreadId());
}

TEST(ConformanceThreadPool, LongFunctionsRunSideBySide) {
  Work first, second;
  ASSERT_TRUE(QueueUserWorkItem(Blocking, &first, WT_EXECUTELONGFUNCTION));
  ASSERT_TRUE(QueueUserWorkItem(Blocking, &second, WT_EXECUTELONGFUNCTION));
  // Both are running at once: each is waiting for its release.
  HANDLE started[2] = {first.started.Get(), second.started.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, started, TRUE, 60000), WAIT_OBJECT_0);
  EXPECT_NE(first.threadId.load(), second.threadId.load());
  SetEvent(first.release.Get());
  SetEvent(second.release.Get());
  HANDLE done[2] = {first.done.Get(), second.done.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, done, TRUE, 60000), WAIT_OBJECT_0);
}

}  // namespace
