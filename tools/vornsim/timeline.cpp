#include "timeline.h"

#include <cwchar>

namespace vornsim {

void Timeline::Print(std::wstring_view channel, const std::wstring& text) {
  std::lock_guard lock(m_mutex);
  m_sink(FormatLine(m_clock.NowMs(), channel, text));
}

void Timeline::PrintAt(uint64_t timeMs, std::wstring_view channel, const std::wstring& text) {
  std::lock_guard lock(m_mutex);
  m_sink(FormatLine(timeMs, channel, text));
}

std::wstring FormatLine(uint64_t timeMs, std::wstring_view channel, const std::wstring& text) {
  wchar_t stamp[32];
  std::swprintf(stamp, 32, L"%llu.%03llu", static_cast<unsigned long long>(timeMs / 1000),
                static_cast<unsigned long long>(timeMs % 1000));
  std::wstring line = stamp;
  line += L' ';
  line += channel;
  line += L' ';
  line += text;
  return line;
}

std::wstring FormatReport(std::span<const uint8_t> bytes) {
  size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == 0) --end;
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (size_t i = 0; i < end; ++i) {
    if (i) text += L' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  if (end < bytes.size()) text += end ? L" ..." : L"...";
  return text;
}

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (char c : text) wide += static_cast<unsigned char>(c) < 0x80 ? static_cast<wchar_t>(c) : L'?';
  return wide;
}

}  // namespace vornsim
