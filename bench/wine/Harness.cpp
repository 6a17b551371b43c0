#include "Harness.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace winbench {

double Now() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return Seconds(static_cast<uint64_t>(counter.QuadPart), static_cast<uint64_t>(frequency.QuadPart));
}

double Seconds(uint64_t ticks, uint64_t frequency) {
  // Whole seconds apart from the rest, so that a large count keeps its precision.
  return static_cast<double>(ticks / frequency) + static_cast<double>(ticks % frequency) / static_cast<double>(frequency);
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  const size_t middle = samples.size() / 2;
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(middle), samples.end());
  const double upper = samples[middle];
  if (samples.size() % 2 != 0) return upper;
  return (*std::max_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(middle)) + upper) / 2;
}

std::string Describe(const std::string& what, DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                      text, sizeof(text), nullptr);
  std::string message(text, std::min<size_t>(length, sizeof(text) - 1));
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return what + ": error " + std::to_string(error) + (message.empty() ? "" : " (" + message + ")");
}

void Result::Set(const std::string& name, double value) { m_values.emplace_back(name, value); }

std::string Result::Json() const {
  std::string json = "{";
  for (const auto& [name, value] : m_values) {
    char number[64];
    std::snprintf(number, sizeof(number), "%.9g", value);
    json += (json.size() > 1 ? ", \"" : "\"") + name + "\": " + number;
  }
  return json + "}";
}

Options::Options(int argc, wchar_t** argv, int first) {
  for (int i = first; i < argc; ++i) {
    const std::wstring name = argv[i];
    if (name.rfind(L"--", 0) != 0) throw Failure("unexpected argument (options are --name [value])");
    const bool fHasValue = i + 1 < argc && std::wcsncmp(argv[i + 1], L"--", 2) != 0;
    m_values[name.substr(2)] = fHasValue ? argv[++i] : L"";
  }
}

long Options::Number(const std::wstring& name, long fallback, long minimum, long maximum) const {
  const auto it = m_values.find(name);
  if (it == m_values.end()) return fallback;
  wchar_t* end = nullptr;
  const long value = std::wcstol(it->second.c_str(), &end, 10);
  if (it->second.empty() || *end != L'\0' || value < minimum || value > maximum)
    throw Failure("--" + std::string(name.begin(), name.end()) + " needs a whole number from " +
                  std::to_string(minimum) + " to " + std::to_string(maximum));
  return value;
}

std::wstring Options::Text(const std::wstring& name, const std::wstring& fallback) const {
  const auto it = m_values.find(name);
  return it == m_values.end() || it->second.empty() ? fallback : it->second;
}

}  // namespace winbench
