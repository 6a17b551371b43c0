// Mutexes: ownership by thread, recursion, names, release rules, abandonment.
#include "conformance.h"

#include <gtest/gtest.h>
#include <handles/win32.h>

#include <thread>

namespace {

using handles::ObjectHandle;

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
  ObjectHandle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_TRUE(mutex);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex.Get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitFromOtherThread(mutex.Get(), 10), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex.Get()));
  EXPECT_EQ(WaitFromOtherThread(mutex.Get(), 10), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex.Get()));
  EXPECT_EQ(WaitFromOtherThread(mutex.Get(), 10), WAIT_OBJECT_0);
  ArmLastError();
  EXPECT_FALSE(ReleaseMutex(mutex.Get()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
}

TEST(ConformanceMutex, OnlyTheOwnerMayRelease) {
  ObjectHandle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  DWORD error = 0;
  EXPECT_FALSE(ReleaseFromOtherThread(mutex.Get(), error));
  EXPECT_EQ(error, (DWORD)ERROR_NOT_OWNER);
  EXPECT_TRUE(ReleaseMutex(mutex.Get()));
  ArmLastError();
  EXPECT_FALSE(ReleaseMutex(nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(ConformanceMutex, CreatingAnExistingNameOpensItAndIgnoresInitialOwner) {
  ArmLastError();
  ObjectHandle first(CreateMutexW(nullptr, TRUE, L"Local\\ConformanceMutexName"));
  ASSERT_TRUE(first);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  DWORD other = WAIT_FAILED;
  std::thread t([&] {
    SetLastError(kSentinelError);
    const ObjectHandle second(CreateMutexW(nullptr, TRUE, L"ConformanceMutexName"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    other = WaitForSingleObject(second.Get(), 10);
  });
  t.join();
  EXPECT_EQ(other, (DWORD)WAIT_TIMEOUT);  // still owned by this thread
  ArmLastError();
  ObjectHandle byAnsiName(CreateMutexA(nullptr, FALSE, "ConformanceMutexName"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  // Object names are case-sensitive.
  ArmLastError();
  ObjectHandle otherCase(CreateMutexW(nullptr, FALSE, L"conformancemutexname"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  EXPECT_TRUE(ReleaseMutex(first.Get()));
}

TEST(ConformanceMutex, OpeningNeedsAnExistingName) {
  ArmLastError();
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"ConformanceMutexNobodyMade"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  ObjectHandle made(CreateMutexW(nullptr, FALSE, L"ConformanceMutexMade"));
  ObjectHandle opened(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"ConformanceMutexMade"));
  ASSERT_TRUE(opened);
  EXPECT_EQ(WaitForSingleObject(opened.Get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitFromOtherThread(made.Get(), 10), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(made.Get()));
  made.Reset();
  opened.Reset();
  ArmLastError();
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"ConformanceMutexMade"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(ConformanceMutex, AThreadThatEndsOwningAbandonsIt) {
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"ConformanceMutexAbandoned"}) {
    ObjectHandle mutex(CreateMutexW(nullptr, FALSE, name));
    EXPECT_EQ(WaitFromOtherThread(mutex.Get(), 0, false), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex.Get(), 1000), (DWORD)WAIT_ABANDONED);
    // The abandonment is reported once; the new owner holds it normally.
    EXPECT_EQ(WaitForSingleObject(mutex.Get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_TRUE(ReleaseMutex(mutex.Get()));
    EXPECT_EQ(WaitFromOtherThread(mutex.Get(), 0), WAIT_OBJECT_0);
  }
}

TEST(ConformanceMutex, WaitForManyReportsTheAbandonedIndex) {
  ObjectHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ObjectHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  EXPECT_EQ(WaitFromOtherThread(mutex.Get(), 0, false), WAIT_OBJECT_0);
  HANDLE both[2] = {event.Get(), mutex.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 1000), (DWORD)WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(mutex.Get()));
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
