// QueueUserWorkItem: items run on other threads, long functions in parallel.
#include "conformance.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct Work {
  HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> threadId{0};
  ~Work() {
    CloseHandle(started);
    CloseHandle(release);
    CloseHandle(done);
  }
};

DWORD WINAPI Blocking(LPVOID context) {
  auto* work = static_cast<Work*>(context);
  work->threadId = GetCurrentThreadId();
  SetEvent(work->started);
  WaitForSingleObject(work->release, 60000);
  SetEvent(work->done);
  return 0;
}

TEST(ConformanceThreadPool, ItemsRunOnPoolThreads) {
  Work work;
  SetEvent(work.release);
  ASSERT_TRUE(QueueUserWorkItem(Blocking, &work, WT_EXECUTEDEFAULT));
  ASSERT_EQ(WaitForSingleObject(work.done, 60000), WAIT_OBJECT_0);
  EXPECT_NE(work.threadId.load(), GetCurrentThreadId());
}

TEST(ConformanceThreadPool, LongFunctionsRunSideBySide) {
  Work first, second;
  ASSERT_TRUE(QueueUserWorkItem(Blocking, &first, WT_EXECUTELONGFUNCTION));
  ASSERT_TRUE(QueueUserWorkItem(Blocking, &second, WT_EXECUTELONGFUNCTION));
  // Both are running at once: each is waiting for its release.
  HANDLE started[2] = {first.started, second.started};
  EXPECT_EQ(WaitForMultipleObjects(2, started, TRUE, 60000), WAIT_OBJECT_0);
  EXPECT_NE(first.threadId.load(), second.threadId.load());
  SetEvent(first.release);
  SetEvent(second.release);
  HANDLE done[2] = {first.done, second.done};
  EXPECT_EQ(WaitForMultipleObjects(2, done, TRUE, 60000), WAIT_OBJECT_0);
}

}  // namespace
