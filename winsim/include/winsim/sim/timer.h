// The machine's record of the timer resolution requests made with
// timeBeginPeriod and not yet ended with timeEndPeriod.
#pragma once

#include <winsim/sim/machine.h>

#include <map>
#include <mutex>

namespace winsim {

class TimerResolution : public MachinePart {
 public:
  // The range timeGetDevCaps reports on Windows.
  static constexpr UINT kMinPeriodMs = 1;
  static constexpr UINT kMaxPeriodMs = 1000000;

  explicit TimerResolution(Machine&) {}

  bool Begin(UINT periodMs);
  // Ends one request of that period; false when the period is out of range.
  // Windows accepts an end without a matching begin, and so do we.
  bool End(UINT periodMs);
  // Requests of this period still in force.
  int Active(UINT periodMs) const;

 private:
  mutable std::mutex m_mutex;
  std::map<UINT, int> m_active;
};

}  // namespace winsim
