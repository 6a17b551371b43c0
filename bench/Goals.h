// The goals of the service's cost, checked as ratios of one benchmark run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vornbench {

// What one benchmark measured: real and CPU time per iteration, and its counters.
struct Measured {
  double seconds = 0;
  double cpuSeconds = 0;
  std::map<std::string, double> counters;
};

struct GoalResult {
  std::string benchmark;  // the benchmark the goal holds, e.g. "BM_Discovery/1000"
  std::string goal;       // what it is held to, e.g. "<= 12 x BM_Discovery/100 (CPU time)"
  std::string outcome;    // "PASS", "MISS" or "SKIP"
  std::string detail;     // the numbers compared
};

// Collects the runs of the benchmarks by name (a run's median when it was
// repeated) and checks the goals against them.
class GoalBook {
 public:
  void Add(const benchmark::BenchmarkReporter::Run& run);
  std::vector<GoalResult> Check() const;

 private:
  std::optional<Measured> Find(const std::string& name) const;
  std::map<std::string, Measured> m_iterations;  // the last run of each name
  std::map<std::string, Measured> m_medians;
};

}  // namespace vornbench
