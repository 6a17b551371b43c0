#include <winsim/sim/clock.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace winsim {

Clock::Clock(double scale, int64_t wallOriginMs)
    : m_scale(scale > 0 ? scale : 1.0), m_realBoot(RealClock::now()), m_wallAtBootMs(wallOriginMs) {}

uint64_t Clock::NowMs() const {
  auto real = std::chrono::duration<double, std::milli>(RealClock::now() - m_realBoot).count();
  return static_cast<uint64_t>(real * m_scale);
}

int64_t Clock::WallMs() const { return m_wallAtBootMs.load() + static_cast<int64_t>(NowMs()); }

void Clock::SetWallMs(int64_t wallMs) { m_wallAtBootMs.store(wallMs - static_cast<int64_t>(NowMs())); }

std::chrono::nanoseconds Clock::RealSpan(uint64_t simMs) const {
  if (simMs == 0) return std::chrono::nanoseconds(0);
  auto ns = static_cast<int64_t>(static_cast<double>(simMs) * 1e6 / m_scale);
  return std::chrono::nanoseconds(ns > 0 ? ns : 1);
}

Clock::RealClock::time_point Clock::RealDeadline(uint64_t simMs) const {
  return RealClock::now() + RealSpan(simMs);
}

void Clock::Sleep(uint64_t simMs) const {
  if (simMs == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(RealSpan(simMs));
}

double Clock::ScaleFromEnvironment() {
  const char* text = std::getenv("WINSIM_TIME_SCALE");
  if (!text || !*text) return 1.0;
  try {
    double scale = std::stod(text);
    return scale > 0 ? scale : 1.0;
  } catch (...) {
    return 1.0;
  }
}

}  // namespace winsim
