// winmm: timer resolution requests. The simulated clock has no coarser tick to
// refine, so a request only has to be counted and checked.
#include <winsim/sim/timer.h>
#include <winsim/winmm.h>

namespace winsim {

namespace {
bool InRange(UINT periodMs) {
  return periodMs >= TimerResolution::kMinPeriodMs && periodMs <= TimerResolution::kMaxPeriodMs;
}
}  // namespace

bool TimerResolution::Begin(UINT periodMs) {
  if (!InRange(periodMs)) return false;
  std::lock_guard lock(m_mutex);
  ++m_active[periodMs];
  return true;
}

bool TimerResolution::End(UINT periodMs) {
  if (!InRange(periodMs)) return false;
  std::lock_guard lock(m_mutex);
  auto it = m_active.find(periodMs);
  if (it != m_active.end() && --it->second == 0) m_active.erase(it);
  return true;
}

int TimerResolution::Active(UINT periodMs) const {
  std::lock_guard lock(m_mutex);
  auto it = m_active.find(periodMs);
  return it == m_active.end() ? 0 : it->second;
}

}  // namespace winsim

extern "C" {

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod) {
  auto& timer = winsim::CurrentMachine().Part<winsim::TimerResolution>();
  return timer.Begin(uPeriod) ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

MMRESULT WINAPI timeEndPeriod(UINT uPeriod) {
  auto& timer = winsim::CurrentMachine().Part<winsim::TimerResolution>();
  return timer.End(uPeriod) ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

}  // extern "C"
