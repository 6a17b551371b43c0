// The virtual clock: time stands still while a simulated thread runs and
// jumps to the earliest deadline when all are blocked; simulated threads run
// one at a time and those due at the same instant wake in the order in which
// they began to wait; every thread's wake-ups are counted.
#include "simkit/Machine.h"

#include <platform/win32.h>
#include <winsim/sim/machine.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using winsim::Clock;

constexpr uint64_t kHourMs = 3600 * 1000;

class VirtualTime : public testing::Test {
 protected:
  VirtualTime() : m_machine(Clock::Kind::kVirtual), m_test(clock()) {}
  Clock& clock() { return m_machine->clock(); }

  // Records what the simulated threads did, with the simulated time.
  void Note(const std::string& what) {
    std::lock_guard lock(m_mutex);
    m_notes.push_back(std::to_string(clock().NowMs()) + " " + what);
  }
  std::vector<std::string> Notes() {
    std::lock_guard lock(m_mutex);
    return m_notes;
  }

  winsim::ScopedMachine m_machine;
  struct Driver {
    explicit Driver(winsim::Clock& clock) : member(clock, "test") {}
    winsim::Clock::Member member;
  } m_test;
  std::mutex m_mutex;
  std::vector<std::string> m_notes;
};

TEST_F(VirtualTime, StandsStillWhileAThreadRunsAndJumpsWhenAllAreBlocked) {
  const uint64_t start = clock().NowMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));  // real time passing takes no simulated time
  EXPECT_EQ(clock().NowMs(), start);
  Sleep(3600 * 1000);
  EXPECT_EQ(clock().NowMs(), start + kHourMs);
  EXPECT_EQ(GetTickCount64(), start + kHourMs);
}

TEST_F(VirtualTime, ThreadsDueAtTheSameInstantWakeInTheOrderTheyBeganToWait) {
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::thread> threads;
  for (const char* name : {"a", "b", "c", "d"}) {
    threads.push_back(clock().StartThread(name, [this, name, never] {
      if (name[0] % 2)
        Sleep(2000);
      else
        WaitForSingleObject(never, 2000);
      Note(name);
    }));
  }
  Sleep(0);     // the others run first and begin to wait
  Sleep(2000);  // began to wait last of all
  Note("test");
  for (auto& thread : threads) clock().Join(thread);
  EXPECT_EQ(Notes(), (std::vector<std::string>{"2000 a", "2000 b", "2000 c", "2000 d", "2000 test"}));
  CloseHandle(never);
}

TEST_F(VirtualTime, SimulatedThreadsRunOneAtATimeUntilTheyBlock) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.push_back(clock().StartThread("worker", [&, i] {
      WaitForSingleObject(go, INFINITE);
      for (int step = 0; step < 3; ++step) {
        if (running.fetch_add(1) != 0) ++overlaps;
        std::this_thread::yield();  // the host may run others now; the machine does not
        Note("worker " + std::to_string(i) + " step " + std::to_string(step));
        running.fetch_sub(1);
        Sleep(10);
      }
    }));
  }
  SetEvent(go);  // the workers become runnable; this thread goes on running
  Note("test");
  for (auto& thread : threads) clock().Join(thread);
  EXPECT_EQ(overlaps.load(), 0);
  auto notes = Notes();
  ASSERT_EQ(notes.size(), 10u);
  EXPECT_EQ(notes[0], "0 test");
  EXPECT_EQ(notes[1], "0 worker 0 step 0");
  EXPECT_EQ(notes[9], "20 worker 2 step 2");
  CloseHandle(go);
}

// A thread blocked on a section its owner holds across a wait gives way to
// the owner instead of holding the machine up.
TEST_F(VirtualTime, ACriticalSectionHeldAcrossAWaitPassesToTheWaiterAfterwards) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  std::thread other = clock().StartThread("other", [&] {
    EnterCriticalSection(&section);
    Note("other entered");
    LeaveCriticalSection(&section);
  });
  Sleep(500);  // the other thread runs and blocks on the section
  Note("test leaves");
  LeaveCriticalSection(&section);
  clock().Join(other);
  EXPECT_EQ(Notes(), (std::vector<std::string>{"500 test leaves", "500 other entered"}));
  DeleteCriticalSection(&section);
}

// A released mutex or a set auto-reset event goes to the thread that has
// waited longest, at once: the thread that let go cannot take it straight
// back. A critical section is not fair that way: its owner may re-enter
// before the waiter runs.
TEST_F(VirtualTime, AKernelLockGoesToItsLongestWaiterASectionMayNot) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::vector<std::thread> waiters;
  for (const char* name : {"a", "b"})
    waiters.push_back(clock().StartThread(name, [this, mutex, event, name] {
      const HANDLE both[] = {event, mutex};
      const DWORD got = WaitForMultipleObjects(2, both, FALSE, INFINITE);
      Note(std::string(name) + (got == WAIT_OBJECT_0 ? " event" : " mutex"));
      if (got == WAIT_OBJECT_0 + 1) ReleaseMutex(mutex);
    }));
  Sleep(10);  // both block, a first
  ReleaseMutex(mutex);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), (DWORD)WAIT_TIMEOUT);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
  for (auto& waiter : waiters) clock().Join(waiter);
  EXPECT_EQ(Notes(), (std::vector<std::string>{"10 a mutex", "10 b event"}));

  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  std::thread other = clock().StartThread("other", [&] {
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
  });
  Sleep(10);
  LeaveCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  LeaveCriticalSection(&section);
  clock().Join(other);
  DeleteCriticalSection(&section);
  CloseHandle(event);
  CloseHandle(mutex);
}

TEST_F(VirtualTime, AnIdleHourCostsAWaitingThreadNoWakeUp) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::thread waiter = clock().StartThread("waiter", [event] {
    WaitForSingleObject(event, INFINITE);
    WaitForSingleObject(event, 1000);
  });
  Sleep(3600 * 1000);
  auto wakeUps = [&](const std::string& name) {
    for (const auto& thread : clock().Threads())
      if (thread.name == name) return thread.wakeUps;
    return uint64_t{999};
  };
  EXPECT_EQ(wakeUps("waiter"), 0u);
  EXPECT_EQ(wakeUps("test"), 1u);  // its own hour
  SetEvent(event);
  clock().Join(waiter);
  EXPECT_EQ(wakeUps("waiter"), 2u);  // the event, then the time-out
  EXPECT_EQ(clock().NowMs(), kHourMs + 1000);
  for (const auto& thread : clock().Threads())
    if (thread.name == "waiter") {
      EXPECT_TRUE(thread.ended);
    }
  CloseHandle(event);
}

// A long run starts thousands of threads: the list keeps the latest ended
// ones, the sum of wake-ups keeps them all.
TEST_F(VirtualTime, EndedThreadsLeaveTheListButNotTheSum) {
  for (int i = 0; i < 100; ++i) {
    std::thread thread = clock().StartThread("short", [] { Sleep(1); });
    clock().Join(thread);
  }
  EXPECT_LE(clock().Threads().size(), 66u);  // 64 ended before the last start, the last, and this one
  EXPECT_EQ(clock().WakeUps(), 200u);        // each thread's sleep, and each join here
}

// While a simulated thread waits for real work outside winsim, time stands still.
TEST_F(VirtualTime, TimeStandsStillWhileAThreadWorksOutside) {
  std::thread sleeper = clock().StartThread("sleeper", [this] {
    Sleep(1);
    Note("sleeper");
  });
  std::atomic<bool> done{false};
  std::thread host([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done = true;
  });
  {
    Clock::Outside outside(clock());
    host.join();
    Note("joined");  // the sleeper has run (the token was free) but its millisecond has not passed
  }
  clock().Join(sleeper);
  EXPECT_EQ(Notes(), (std::vector<std::string>{"0 joined", "1 sleeper"}));
  EXPECT_TRUE(done.load());
}

// A thread outside the simulation may wait too; its deadline counts.
TEST(VirtualTimeOutside, AThreadOutsideTheSimulationWaitsOnSimulatedTime) {
  winsim::ScopedMachine machine(Clock::Kind::kVirtual);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 5000), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(machine->clock().NowMs(), 5000u);
  Sleep(100);
  EXPECT_EQ(machine->clock().NowMs(), 5100u);
  CloseHandle(event);
}

TEST(VirtualTimeOutside, AwaitLooksAgainAfterEveryStep) {
  winsim::ScopedMachine machine(Clock::Kind::kVirtual);
  Clock& clock = machine->clock();
  Clock::Member test(clock, "test");
  std::atomic<int> steps{0};
  std::thread counter = clock.StartThread("counter", [&] {
    for (int i = 0; i < 5; ++i) {
      ++steps;
      Sleep(1000);
    }
  });
  EXPECT_TRUE(clock.Await([&] { return steps.load() == 3; }, kHourMs));
  EXPECT_EQ(clock.NowMs(), 2000u);
  EXPECT_FALSE(clock.Await([] { return false; }, 500));
  EXPECT_EQ(clock.NowMs(), 2500u);
  clock.Join(counter);
  EXPECT_EQ(clock.NowMs(), 5000u);
}

// A pace holds each jump back until real time has caught up; simulated time
// comes out the same.
TEST(VirtualTimePaced, APacedClockReachesTheSameTimes) {
  simkit::VirtualMachine machine({.debugLog = false, .pace = 100});
  Sleep(2000);  // 20 ms of real time at the pace
  EXPECT_EQ(machine->clock().NowMs(), 2000u);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 1500), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(machine->clock().NowMs(), 3500u);
  CloseHandle(event);
}

}  // namespace
