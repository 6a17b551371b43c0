// Work at simulated times, run on one simulated thread of its own: the HID
// bus's late answers, the shell a logon starts a moment later. Work due at the
// same time runs in the order it was scheduled.
#pragma once

#include <winsim/sim/clock.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace winsim {

class Scheduler {
 public:
  // `name` is the thread's, as Clock::Threads lists it.
  Scheduler(Clock& clock, std::string name) : m_clock(clock), m_wake(clock), m_name(std::move(name)) {}
  ~Scheduler() { Stop(); }
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  void Schedule(uint64_t delayMs, std::function<void()> work);
  // Drops the work not yet run and waits for the thread (unless called on it).
  void Stop();

 private:
  void Loop();

  Clock& m_clock;
  std::mutex m_mutex;
  Condition m_wake;
  const std::string m_name;
  std::multimap<uint64_t, std::function<void()>> m_work;  // by simulated due time
  std::thread m_thread;
  bool m_stopped = false;
};

}  // namespace winsim
