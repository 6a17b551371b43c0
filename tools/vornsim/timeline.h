// vornsim's output: one line per happening,
//   <seconds since boot, 3 decimals> <channel> <text>
// with the channels sim, scm, event, wire and ctl. Lines come from several
// threads (the script player, the service's threads, the device model) and
// are written whole, one at a time.
#pragma once

#include <winsim/sim/clock.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace vornsim {

class Timeline {
 public:
  using Sink = std::function<void(const std::wstring& line)>;

  Timeline(const winsim::Clock& clock, Sink sink) : m_clock(clock), m_sink(std::move(sink)) {}

  void Print(std::wstring_view channel, const std::wstring& text);
  // For happenings that carry their own time stamp.
  void PrintAt(uint64_t timeMs, std::wstring_view channel, const std::wstring& text);

 private:
  const winsim::Clock& m_clock;
  Sink m_sink;
  std::mutex m_mutex;
};

std::wstring FormatLine(uint64_t timeMs, std::wstring_view channel, const std::wstring& text);
// "03 00 04 F0 02 00 01 ...": upper-case hex, a run of trailing zero bytes as "...".
std::wstring FormatReport(std::span<const uint8_t> bytes);
// ASCII text to wide (a script's commands are ASCII); other bytes become '?'.
std::wstring Widen(const std::string& text);

}  // namespace vornsim
