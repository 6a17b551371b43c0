#include "Goals.h"

#include <cstdio>

namespace vornbench {

namespace {

// Ten times the interfaces may cost at most twelve times the time (linear, with room).
constexpr double kDiscoveryGrowth = 12;

std::string Micro(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f us", seconds * 1e6);
  return text;
}

GoalResult Compare(std::string benchmark, std::string goal, double value, double limit, std::string detail) {
  const bool pass = value <= limit;
  return {std::move(benchmark), std::move(goal), pass ? "PASS" : "MISS", std::move(detail)};
}

GoalResult Skipped(std::string benchmark, std::string goal) {
  return {std::move(benchmark), std::move(goal), "SKIP", "not run"};
}

}  // namespace

void GoalBook::Add(const benchmark::BenchmarkReporter::Run& run) {
  if (run.error_occurred) return;
  Measured measured;
  measured.seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
  measured.cpuSeconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
  for (const auto& [key, counter] : run.counters) measured.counters[key] = counter.value;
  const std::string name = run.run_name.str();
  if (run.run_type == benchmark::BenchmarkReporter::Run::RT_Iteration)
    m_iterations[name] = measured;
  else if (run.aggregate_name == "median")
    m_medians[name] = measured;
}

std::optional<Measured> GoalBook::Find(const std::string& name) const {
  if (auto it = m_medians.find(name); it != m_medians.end()) return it->second;
  if (auto it = m_iterations.find(name); it != m_iterations.end()) return it->second;
  return std::nullopt;
}

std::vector<GoalResult> GoalBook::Check() const {
  // The log line's and the push's goals on winsim are the product's own
  // instructions (bench/instructions.py): their time here is mostly winsim's.
  std::vector<GoalResult> goals;
  const auto discovery100 = Find("BM_Discovery/100");
  const auto discovery1000 = Find("BM_Discovery/1000");

  const std::string benchmark = "BM_Discovery/1000", goal = "<= 12 x BM_Discovery/100 (CPU time)";
  if (discovery100 && discovery1000) {
    const double value = discovery1000->cpuSeconds, limit = kDiscoveryGrowth * discovery100->cpuSeconds;
    char detail[128];
    std::snprintf(detail, sizeof(detail), "%s vs %s CPU (%.1f x)", Micro(value).c_str(), Micro(limit).c_str(),
                  discovery1000->cpuSeconds / discovery100->cpuSeconds);
    goals.push_back(Compare(benchmark, goal, value, limit, detail));
  } else {
    goals.push_back(Skipped(benchmark, goal));
  }
  return goals;
}

}  // namespace vornbench
