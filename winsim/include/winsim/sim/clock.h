// The simulated machine's clock, and the scheduler of the threads that run on it.
//
// A clock is one of two kinds:
//   - virtual: simulated time stands still while any simulated thread can run,
//     and jumps to the earliest pending deadline (a timed wait, a Sleep, a
//     device's late answer, ...) once every simulated thread is blocked in a
//     winsim wait or has ended. Simulated threads run one at a time: a run
//     token passes from thread to thread, each keeps it until it blocks in
//     winsim, and threads due at the same instant wake in the order in which
//     they began to wait. The same story therefore gives the same timeline on
//     an idle or a loaded host. A pace (scale > 0) holds each jump back until
//     real time, sped up by the scale, has caught up with it.
//   - scaled: simulated time is real time multiplied by the scale, and threads
//     run freely. For a machine whose folder other OS processes share (the
//     product's command-line runs): the host's clock is the only one they share.
//
// Simulated threads are those the machine starts (StartThread: the service's
// process and ServiceMain threads, the thread pool, the HID bus) and those
// that join the simulation (Member: vornsim's player, a scenario test's
// driver). Any other thread may still use the machine; it never holds the run
// token, and its timed waits count as pending deadlines.
//
// Every wait takes the kernel lock (KernelLock() in object.h) for its
// bookkeeping; a wait's own mutex, if another, is always taken before it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace winsim {

class Clock {
 public:
  using RealClock = std::chrono::steady_clock;
  enum class Kind { kScaled, kVirtual };
  static constexpr uint64_t kNever = UINT64_MAX;  // a deadline that never comes

  // scaled: simulated ms per real ms. virtual: the pace, 0 for none (as fast
  // as the host allows). wallOriginMs: the local wall clock at boot, in ms
  // since 1970-01-01.
  Clock(Kind kind, double scale, int64_t wallOriginMs);
  ~Clock();
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  Kind kind() const;
  double scale() const;
  uint64_t NowMs() const;   // simulated ms since boot
  int64_t WallMs() const;   // simulated local wall clock, ms since 1970-01-01
  void SetWallMs(int64_t wallMs);  // from now on WallMs() continues from wallMs
  // NowMs() + spanMs; kNever for a span of kNever.
  uint64_t DeadlineAfter(uint64_t spanMs) const;
  // simMs, or on a scaled clock at least what `realFloor` of real time is in
  // simulated ms: a clock running thousands of times faster than real time
  // would otherwise give work that is merely slow on a loaded host only
  // milliseconds. (On a virtual clock work takes no simulated time.)
  uint64_t SpanAtLeastReal(uint64_t simMs, std::chrono::milliseconds realFloor) const;

  // Lets `simMs` of simulated time pass; 0 gives way to the other runnable
  // simulated threads.
  void Sleep(uint64_t simMs);

  // Waits until pred() holds or simulated time reaches deadlineMs; returns
  // pred(). `lock` holds the mutex that guards what pred() reads (it may be
  // the kernel lock itself); it is released while the thread is blocked.
  // Notify(channel) wakes the waits on `channel` to look again.
  template <class Pred>
  bool WaitUntil(std::unique_lock<std::mutex>& lock, const void* channel, uint64_t deadlineMs, Pred pred);
  void Notify(const void* channel);        // kernel lock not held
  void NotifyLocked(const void* channel);  // kernel lock held

  // Waits until done() holds, looking again after every step of the other
  // simulated threads (each time one of them blocks or ends) and at every
  // jump of time; false when `timeoutMs` of simulated time pass first. For
  // tests and tools that wait for what the machine shows.
  bool Await(const std::function<bool()>& done, uint64_t timeoutMs);

  // Starts a simulated thread: runnable from this call on, it runs when the
  // run token reaches it. `name` shows in Threads().
  std::thread StartThread(std::string name, std::function<void()> body);
  // Joins a thread; a simulated caller gives up the run token meanwhile.
  void Join(std::thread& thread);

  struct ThreadStats {
    uint32_t threadId = 0;  // GetCurrentThreadId() of the thread; 0 before it first ran
    std::string name;
    uint64_t wakeUps = 0;   // blocking waits it returned from after it had blocked
    bool ended = false;
  };
  // The simulated threads, in the order they were started: every live one
  // and the latest that ended. Names: "service process" (the executable's
  // entry and the control dispatcher), "ServiceMain", "pool worker", "pool
  // long function", "hid bus" (late answers), and those of Members
  // ("player" in vornsim, "test" in tests).
  std::vector<ThreadStats> Threads() const;
  // The sum of the wake-ups of every simulated thread the clock has had.
  uint64_t WakeUps() const;

  struct Impl;
  class Wait;

  // The calling thread joins the simulation (virtual clocks; nothing on a
  // scaled one) for the life of the object: it waits for the run token, and
  // from then on runs only while no other simulated thread does. It must not
  // then block by host means on anything another simulated thread does.
  class Member {
   public:
    Member(Clock& clock, std::string name);
    ~Member();
    Member(const Member&) = delete;
    Member& operator=(const Member&) = delete;

   private:
    std::shared_ptr<Impl> m_impl;
    void* m_thread = nullptr;
  };

  // A simulated thread that blocks by host means on something that is
  // really working (another OS process, a host thread) gives up the run token
  // for the life of the object; time stands still meanwhile.
  class Outside {
   public:
    explicit Outside(Clock& clock);
    ~Outside();
    Outside(const Outside&) = delete;
    Outside& operator=(const Outside&) = delete;

   private:
    Impl* m_impl;
    void* m_thread;
  };

  std::shared_ptr<Impl> Shared() const { return m_impl; }

 private:
  std::shared_ptr<Impl> m_impl;
};

// One blocking wait of one thread. Block() returns false once the deadline has
// passed, else blocks until woken (by Notify on the channel or the deadline)
// and returns true; the caller then looks at its condition again.
class Clock::Wait {
 public:
  Wait(Clock& clock, const void* channel, uint64_t deadlineMs);
  Wait(std::shared_ptr<Impl> impl, const void* channel, uint64_t deadlineMs);
  ~Wait();
  Wait(const Wait&) = delete;
  Wait& operator=(const Wait&) = delete;

  // `lock` holds the kernel lock or a mutex taken before it.
  bool Block(std::unique_lock<std::mutex>& lock);
  // For an object that changes in another OS process: waits up to `interval`
  // of real time (or until notified). On a virtual clock the thread counts as
  // working meanwhile and the deadline is measured in real time at the pace
  // (1:1 without one). `lock` is the kernel lock.
  bool Poll(std::unique_lock<std::mutex>& lock, std::chrono::microseconds interval);

  struct State;

 private:
  std::shared_ptr<Impl> m_impl;
  std::unique_ptr<State> m_state;
};

template <class Pred>
bool Clock::WaitUntil(std::unique_lock<std::mutex>& lock, const void* channel, uint64_t deadlineMs, Pred pred) {
  Wait wait(*this, channel, deadlineMs);
  while (!pred())
    if (!wait.Block(lock)) return pred();
  return true;
}

// A condition variable whose waits count simulated time and take part in the
// scheduling of simulated threads. Its mutex is a std::mutex taken before the
// kernel lock.
class Condition {
 public:
  explicit Condition(Clock& clock) : m_clock(clock.Shared()) {}
  void notify_all() const;
  template <class Pred>
  void wait(std::unique_lock<std::mutex>& lock, Pred pred) const {
    wait_until(lock, Clock::kNever, pred);
  }
  // deadlineMs: simulated ms since boot.
  template <class Pred>
  bool wait_until(std::unique_lock<std::mutex>& lock, uint64_t deadlineMs, Pred pred) const {
    Clock::Wait wait(m_clock, this, deadlineMs);
    while (!pred())
      if (!wait.Block(lock)) return pred();
    return true;
  }
  template <class Pred>
  bool wait_for(std::unique_lock<std::mutex>& lock, uint64_t simMs, Pred pred) const {
    return wait_until(lock, DeadlineAfter(simMs), pred);
  }

 private:
  uint64_t DeadlineAfter(uint64_t simMs) const;
  std::shared_ptr<Clock::Impl> m_clock;
};

// The fastest pace a clock may be given: a million times real time already
// runs a simulated day in a tenth of a real second.
constexpr double kMaxTimeScale = 1e6;
// The slowest: a thousandth of real time already takes a quarter of an hour
// for a simulated second, and the longest timed wait (49 days) still fits
// the host clock's count of nanoseconds.
constexpr double kMinTimeScale = 1e-3;

// Reads a pace: a finite number from kMinTimeScale to kMaxTimeScale, written
// whole (no blanks or trailing characters); false for anything else.
bool ParseTimeScale(std::string_view text, double& scale);

// WINSIM_TIME_SCALE: 0 when unset or empty, else the pace it holds. Any other
// value throws std::invalid_argument with a message naming the variable.
double ScaleFromEnvironment();

}  // namespace winsim
