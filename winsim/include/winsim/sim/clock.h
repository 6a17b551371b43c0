// The simulated machine's clock: real time, sped up by a scale factor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace winsim {

class Clock {
 public:
  using RealClock = std::chrono::steady_clock;

  // scale: simulated milliseconds per real millisecond. wallOriginMs: the
  // simulated local wall-clock time at boot, in ms since 1970-01-01.
  Clock(double scale, int64_t wallOriginMs);

  double scale() const { return m_scale; }
  uint64_t NowMs() const;   // simulated ms since boot
  int64_t WallMs() const;   // simulated local wall clock, ms since 1970-01-01
  void SetWallMs(int64_t wallMs);  // from now on WallMs() continues from wallMs

  // Real time that `simMs` simulated milliseconds take; never rounds a
  // non-zero span down to zero.
  std::chrono::nanoseconds RealSpan(uint64_t simMs) const;
  RealClock::time_point RealDeadline(uint64_t simMs) const;
  void Sleep(uint64_t simMs) const;

  static double ScaleFromEnvironment();  // WINSIM_TIME_SCALE, default 1

 private:
  double m_scale;
  RealClock::time_point m_realBoot;
  std::atomic<int64_t> m_wallAtBootMs;
};

}  // namespace winsim
