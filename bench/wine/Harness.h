// The Windows benchmarks' small harness: a QueryPerformanceCounter clock,
// samples and their medians, and the one JSON object each benchmark prints on
// standard output.
#pragma once

#include "platform/win32.h"

#include <handles/win32.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace winbench {

// A benchmark that cannot measure what it was asked to (no controller, no
// log folder, no answer) fails with this; main prints it and exits with 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Seconds on the performance counter, the clock the virtual controller's
// driver stamps its wire record with (KeQueryPerformanceCounter).
double Now();

// Seconds of `ticks` of a clock running at `frequency` ticks a second.
double Seconds(uint64_t ticks, uint64_t frequency);

double Median(std::vector<double> samples);

// "what: Windows' text for `error`".
std::string Describe(const std::string& what, DWORD error);

// A flat JSON object: names to numbers, written in insertion order.
class Result {
 public:
  void Set(const std::string& name, double value);
  std::string Json() const;

 private:
  std::vector<std::pair<std::string, double>> m_values;
};

// The command line's "--name value" options after the benchmark's name.
class Options {
 public:
  Options(int argc, wchar_t** argv, int first);
  // The option's value as a whole number in [minimum, maximum], else `fallback`
  // when it is absent; a value that is not such a number is a Failure.
  long Number(const std::wstring& name, long fallback, long minimum, long maximum) const;
  bool Flag(const std::wstring& name) const { return m_values.count(name) != 0; }
  std::wstring Text(const std::wstring& name, const std::wstring& fallback) const;

 private:
  std::map<std::wstring, std::wstring> m_values;
};

}  // namespace winbench
