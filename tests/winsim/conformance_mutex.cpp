// Mutexes: ownership by thread, recursion, names, release rules, abandonment.
#include "conformance.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h) CloseHandle(h);
  }
};

DWORD WaitFromOtherThread(HANDLE mutex, DWORD timeoutMs, bool release = true) {
  DWORD result = WAIT_FAILED;
  std::thread other([&] {
    result = WaitForSingleObject(mutex, timeoutMs);
    if (release && (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)) ReleaseMutex(mutex);
  });
  other.join();
  return result;
}

BOOL ReleaseFromOtherThread(HANDLE mutex, DWORD& error) {
  BOOL ok = TRUE;
  std::thread other([&] {
    SetLastError(kSentinelError);
    ok = ReleaseMutex(mutex);
    error = GetLastError();
  });
  other.join();
  return ok;
}

TEST(ConformanceMutex, OwnerMayWaitAgainAndMustReleaseAsOften) {
  ArmLastError();
  Handle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_NE(mutex.h, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitFromOtherThread(mutex.h, 10), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex.h));
  EXPECT_EQ(WaitFromOtherThread(mutex.h, 10), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex.h));
  EXPECT_EQ(WaitFromOtherThread(mutex.h, 10), WAIT_OBJECT_0);
  ArmLastError();
  EXPECT_FALSE(ReleaseMutex(mutex.h));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
}

TEST(ConformanceMutex, OnlyTheOwnerMayRelease) {
  Handle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  DWORD error = 0;
  EXPECT_FALSE(ReleaseFromOtherThread(mutex.h, error));
  EXPECT_EQ(error, (DWORD)ERROR_NOT_OWNER);
  EXPECT_TRUE(ReleaseMutex(mutex.h));
  ArmLastError();
  EXPECT_FALSE(ReleaseMutex(nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(ConformanceMutex, CreatingAnExistingNameOpensItAndIgnoresInitialOwner) {
  ArmLastError();
  Handle first(CreateMutexW(nullptr, TRUE, L"Local\\ConformanceMutexName"));
  ASSERT_NE(first.h, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  DWORD other = WAIT_FAILED;
  std::thread t([&] {
    SetLastError(kSentinelError);
    HANDLE second = CreateMutexW(nullptr, TRUE, L"ConformanceMutexName");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    other = WaitForSingleObject(second, 10);
    CloseHandle(second);
  });
  t.join();
  EXPECT_EQ(other, (DWORD)WAIT_TIMEOUT);  // still owned by this thread
  ArmLastError();
  Handle byAnsiName(CreateMutexA(nullptr, FALSE, "ConformanceMutexName"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  // Object names are case-sensitive.
  ArmLastError();
  Handle otherCase(CreateMutexW(nullptr, FALSE, L"conformancemutexname"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  EXPECT_TRUE(ReleaseMutex(first.h));
}

TEST(ConformanceMutex, OpeningNeedsAnExistingName) {
  ArmLastError();
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"ConformanceMutexNobodyMade"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  Handle made(CreateMutexW(nullptr, FALSE, L"ConformanceMutexMade"));
  Handle opened(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"ConformanceMutexMade"));
  ASSERT_NE(opened.h, nullptr);
  EXPECT_EQ(WaitForSingleObject(opened.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitFromOtherThread(made.h, 10), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(made.h));
  CloseHandle(made.h);
  CloseHandle(opened.h);
  made.h = opened.h = nullptr;
  ArmLastError();
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"ConformanceMutexMade"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(ConformanceMutex, AThreadThatEndsOwningAbandonsIt) {
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"ConformanceMutexAbandoned"}) {
    Handle mutex(CreateMutexW(nullptr, FALSE, name));
    EXPECT_EQ(WaitFromOtherThread(mutex.h, 0, false), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex.h, 1000), (DWORD)WAIT_ABANDONED);
    // The abandonment is reported once; the new owner holds it normally.
    EXPECT_EQ(WaitForSingleObject(mutex.h, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex.h));
    EXPECT_TRUE(ReleaseMutex(mutex.h));
    EXPECT_EQ(WaitFromOtherThread(mutex.h, 0), WAIT_OBJECT_0);
  }
}

TEST(ConformanceMutex, WaitForManyReportsTheAbandonedIndex) {
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  EXPECT_EQ(WaitFromOtherThread(mutex.h, 0, false), WAIT_OBJECT_0);
  HANDLE both[2] = {event.h, mutex.h};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 1000), (DWORD)WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(mutex.h));
}

TEST(ConformanceMutex, BadNamesAreRefused) {
  ArmLastError();
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"Local\\a\\b"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  ArmLastError();
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

}  // namespace
