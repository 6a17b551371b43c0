// The machine's thread pool: idle waits for tests, and no item outlives the machine.
#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/threadpool.h>

#include <atomic>

namespace {

std::atomic<int> g_ran{0};

DWORD WINAPI Count(LPVOID) {
  Sleep(5);
  ++g_ran;
  return 0;
}

DWORD WINAPI WaitForEvent(LPVOID event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  ++g_ran;
  return 0;
}

TEST(MachineThreadPool, WaitIdleReturnsWhenEveryItemHasRun) {
  winsim::ScopedMachine machine;
  g_ran = 0;
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(QueueUserWorkItem(Count, nullptr, i % 4 ? WT_EXECUTEDEFAULT : WT_EXECUTELONGFUNCTION));
  auto& pool = machine->Part<winsim::ThreadPool>();
  ASSERT_TRUE(pool.WaitIdle(std::chrono::seconds(30)));
  EXPECT_EQ(g_ran.load(), 40);
  EXPECT_EQ(pool.Pending(), 0u);
}

std::atomic<DWORD> g_itemThread{0};

DWORD WINAPI ImpersonateAndForget(LPVOID) {
  g_itemThread = GetCurrentThreadId();
  winsim::CurrentMachine().Part<winsim::Identity>().Impersonate(GetCurrentThreadId(), L"S-1-5-21-1-2-3-1001");
  return 0;
}

TEST(MachineThreadPool, AnItemsImpersonationEndsWithTheItem) {
  winsim::ScopedMachine machine;
  auto& identity = machine->Part<winsim::Identity>();
  identity.Impersonate(GetCurrentThreadId(), L"S-1-5-21-1-2-3-1001");
  ASSERT_TRUE(QueueUserWorkItem(ImpersonateAndForget, nullptr, WT_EXECUTEDEFAULT));
  ASSERT_TRUE(machine->Part<winsim::ThreadPool>().WaitIdle(std::chrono::seconds(30)));
  EXPECT_FALSE(identity.IsImpersonating(g_itemThread.load()));
  EXPECT_TRUE(identity.IsImpersonating(GetCurrentThreadId()));  // the queuing thread keeps its own
  identity.ClearImpersonation(GetCurrentThreadId());
}

TEST(MachineThreadPool, ShutdownWaitsForRunningItemsAndRefusesNewOnes) {
  g_ran = 0;
  HANDLE event;
  {
    winsim::ScopedMachine machine;
    event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto& pool = machine->Part<winsim::ThreadPool>();
    ASSERT_TRUE(QueueUserWorkItem(WaitForEvent, event, WT_EXECUTELONGFUNCTION));
    EXPECT_FALSE(pool.WaitIdle(std::chrono::milliseconds(1)));
    SetEvent(event);
    machine->Shutdown();  // returns once the item has finished
    EXPECT_EQ(g_ran.load(), 1);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(QueueUserWorkItem(Count, nullptr, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHUTDOWN_IN_PROGRESS);
  }
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(QueueUserWorkItem(nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

}  // namespace
