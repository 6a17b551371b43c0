// Named mutexes between processes that share a machine folder.
#include "simkit/ChildProcess.h"
#include "simkit/Folder.h"

#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/machine.h>

namespace {

using simkit::ChildProcess;

class MachineMutex : public testing::Test {
 protected:
  winsim::ScopedMachine m_machine;
  std::string Root() { return m_machine->config().root.string(); }
  static std::string Ask(ChildProcess& child, const std::string& command) {
    child.Send(command);
    return child.ReadLine();
  }
};

TEST_F(MachineMutex, ExcludesAnotherProcessAndTimesOut) {
  ChildProcess child({WINSIM_HELPER_PATH, "mutex", "GMutexTouchIC"}, simkit::MachineEnvironment(Root()));
  ASSERT_EQ(child.ReadLine(), "ready");
  ASSERT_EQ(Ask(child, "create 1"), "created 0");
  SetLastError(0xdeadbeef);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"GMutexTouchIC");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(mutex, 200), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(Ask(child, "release"), "released 1 0");
  EXPECT_EQ(WaitForSingleObject(mutex, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(Ask(child, "wait 100"), "waited 258");
  EXPECT_EQ(Ask(child, "release"), "released 0 288");
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(Ask(child, "wait 60000"), "waited 0");
  EXPECT_EQ(child.Finish(), 0);  // ends owning it: abandoned
  EXPECT_EQ(WaitForSingleObject(mutex, 60000), (DWORD)WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

// On a virtual clock a wait for a mutex that another process owns is
// measured in real time (the other process lives in it); simulated time
// stands still meanwhile, as the waiting thread counts as working.
TEST(MachineMutexVirtual, AWaitForAnotherProcessCountsRealTimeAndHoldsSimulatedTime) {
  winsim::ScopedMachine machine(winsim::Clock::Kind::kVirtual);
  winsim::Clock::Member test(machine->clock(), "test");
  ChildProcess child({WINSIM_HELPER_PATH, "mutex", "GMutexTouchIC"}, simkit::MachineEnvironment(machine->config().root));
  ASSERT_EQ(child.ReadLine(), "ready");
  child.Send("create 1");
  ASSERT_EQ(child.ReadLine(), "created 0");
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"GMutexTouchIC");
  ASSERT_NE(mutex, nullptr);
  const uint64_t before = machine->clock().NowMs();
  EXPECT_EQ(WaitForSingleObject(mutex, 50), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(machine->clock().NowMs(), before);
  child.Send("release");
  EXPECT_EQ(child.ReadLine(), "released 1 0");
  EXPECT_EQ(WaitForSingleObject(mutex, 60000), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
  EXPECT_EQ(child.Finish(), 0);
}

TEST_F(MachineMutex, AProcessThatDiesOwningItAbandonsIt) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\CrashTest");
  ChildProcess child({WINSIM_HELPER_PATH, "mutex", "Global\\CrashTest"}, simkit::MachineEnvironment(Root()));
  ASSERT_EQ(child.ReadLine(), "ready");
  ASSERT_EQ(Ask(child, "open"), "opened 0");
  ASSERT_EQ(Ask(child, "wait 0"), "waited 0");
  child.Send("crash");
  EXPECT_EQ(child.Finish(), 3);
  EXPECT_EQ(WaitForSingleObject(mutex, 60000), (DWORD)WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(MachineMutex, NamesLiveAsLongAsSomeProcessHoldsThem) {
  {
    ChildProcess child({WINSIM_HELPER_PATH, "mutex", "Lifetime"}, simkit::MachineEnvironment(Root()));
    ASSERT_EQ(child.ReadLine(), "ready");
    ASSERT_EQ(Ask(child, "create 1"), "created 0");
    HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, L"Lifetime");
    EXPECT_NE(opened, nullptr);
    CloseHandle(opened);
    // Global and local names are different objects.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\Lifetime"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    child.Send("crash");
    EXPECT_EQ(child.Finish(), 3);
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"Lifetime"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  // A new object of the old name starts fresh, not abandoned.
  SetLastError(0xdeadbeef);
  HANDLE fresh = CreateMutexW(nullptr, FALSE, L"Lifetime");
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(fresh));
  CloseHandle(fresh);
}

}  // namespace
