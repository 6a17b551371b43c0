#include "Goals.h"

#include <cstdio>

namespace vornbench {

namespace {

// Each log line opens, writes, flushes and closes its file by design: the
// disk sets the floor, and the product may add a fifth on top of it.
constexpr double kLogOverDisk = 1.2;
constexpr double kPushBudgetSeconds = 200e-6;
// Ten times the interfaces may cost at most twelve times the time (linear, with room).
constexpr double kDiscoveryGrowth = 12;

std::string Micro(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f us", seconds * 1e6);
  return text;
}

GoalResult Compare(std::string name, double value, double limit, bool strict, std::string detail) {
  const bool pass = strict ? value < limit : value <= limit;
  return {std::move(name), pass ? "PASS" : "MISS", std::move(detail)};
}

GoalResult Skipped(std::string name) { return {std::move(name), "SKIP", "not run"}; }

// The counter of raw appends made in turn with the measured work, in us.
const char kPairedRaw[] = "raw_append_us";

// The raw append that `measured` is held against: its own paired one, else BM_RawAppendFsync.
double RawSeconds(const Measured& measured, const std::optional<Measured>& raw) {
  if (auto it = measured.counters.find(kPairedRaw); it != measured.counters.end()) return it->second * 1e-6;
  return raw->seconds;
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
  std::vector<GoalResult> goals;
  const auto log = Find("BM_LogLine");
  const auto raw = Find("BM_RawAppendFsync");
  const auto push0 = Find("BM_PushSetting/log:0");
  const auto push1 = Find("BM_PushSetting/log:1");
  const auto discovery100 = Find("BM_Discovery/100");
  const auto discovery1000 = Find("BM_Discovery/1000");

  // A log line is compared with raw appends made in turn with it (the disk's
  // flush time drifts too much between benchmarks to compare across them);
  // BM_RawAppendFsync stands in where a run has no such counter.
  std::string name = "BM_LogLine <= 1.2 x BM_RawAppendFsync";
  if (log && (raw || log->counters.count(kPairedRaw))) {
    const double limit = kLogOverDisk * RawSeconds(*log, raw);
    char detail[160];
    std::snprintf(detail, sizeof(detail), "%s vs %s (%.2f x the raw append beside it)", Micro(log->seconds).c_str(),
                  Micro(limit).c_str(), log->seconds / RawSeconds(*log, raw));
    goals.push_back(Compare(name, log->seconds, limit, false, detail));
  } else {
    goals.push_back(Skipped(name));
  }

  name = "BM_PushSetting/log:0 < 200 us";
  if (push0)
    goals.push_back(Compare(name, push0->seconds, kPushBudgetSeconds, true, Micro(push0->seconds)));
  else
    goals.push_back(Skipped(name));

  name = "BM_PushSetting/log:1 <= /log:0 + log_lines x 1.2 x BM_RawAppendFsync";
  if (push0 && push1 && push1->counters.count("log_lines") && (raw || push1->counters.count(kPairedRaw))) {
    const double lines = push1->counters.at("log_lines");
    const double limit = push0->seconds + lines * kLogOverDisk * RawSeconds(*push1, raw);
    char detail[160];
    std::snprintf(detail, sizeof(detail), "%s vs %s (%.1f lines, raw append beside them %s)",
                  Micro(push1->seconds).c_str(), Micro(limit).c_str(), lines, Micro(RawSeconds(*push1, raw)).c_str());
    goals.push_back(Compare(name, push1->seconds, limit, false, detail));
  } else {
    goals.push_back(Skipped(name));
  }

  name = "BM_Discovery/1000 <= 12 x BM_Discovery/100";
  if (discovery100 && discovery1000) {
    const double value = discovery1000->cpuSeconds, limit = kDiscoveryGrowth * discovery100->cpuSeconds;
    char detail[128];
    std::snprintf(detail, sizeof(detail), "%s vs %s CPU (%.1f x)", Micro(value).c_str(), Micro(limit).c_str(),
                  discovery1000->cpuSeconds / discovery100->cpuSeconds);
    goals.push_back(Compare(name, value, limit, false, detail));
  } else {
    goals.push_back(Skipped(name));
  }
  return goals;
}

}  // namespace vornbench
