// vorn_bench: runs the benchmarks, prints their table and then the goals,
// each PASS or MISS as measured in this run. With --benchmark_out=FILE in
// JSON the run is quiet instead: the library's results and the goals (under
// "goals") go to that file only, and scripts/bench prints one table of them
// (bench/table.py).
#include "Goals.h"
#include "ParseBench.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

// Passes the runs on to another reporter under the benchmarks' own names
// ("BM_LogLine", "BM_PushSetting/log:0"): the run settings that Google
// Benchmark appends to a name (minimum time, fixed iterations, the kind of
// time measured) are left out of it; the results still say which time they
// hold. Every run is also handed to the goal book, when there is one. A
// display of repeated benchmarks shows each one's median only.
class NamingReporter : public benchmark::BenchmarkReporter {
 public:
  NamingReporter(std::unique_ptr<benchmark::BenchmarkReporter> inner, vornbench::GoalBook* book, bool fMediansOnly)
      : m_inner(std::move(inner)), m_book(book), m_fMediansOnly(fMediansOnly) {}
  bool ReportContext(const Context& context) override {
    m_inner->SetOutputStream(&GetOutputStream());
    m_inner->SetErrorStream(&GetErrorStream());
    return m_inner->ReportContext(context);
  }
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> named;
    for (Run run : runs) {
      run.run_name.min_time.clear();
      run.run_name.iterations.clear();
      run.run_name.time_type.clear();
      if (m_book) m_book->Add(run);
      if (m_fMediansOnly && run.repetitions > 1 && run.aggregate_name != "median") continue;
      named.push_back(std::move(run));
    }
    if (!named.empty()) m_inner->ReportRuns(named);
  }
  void Finalize() override { m_inner->Finalize(); }

 private:
  std::unique_ptr<benchmark::BenchmarkReporter> m_inner;
  vornbench::GoalBook* m_book;
  bool m_fMediansOnly;
};

std::string FlagValue(int argc, char** argv, std::string_view flag) {
  std::string value;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg(argv[i]);
    if (arg.size() > flag.size() && arg.substr(0, flag.size()) == flag && arg[flag.size()] == '=')
      value = std::string(arg.substr(flag.size() + 1));
  }
  return value;
}

// Shows nothing: the results are the file's.
class QuietReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>&) override {}
};

std::unique_ptr<benchmark::BenchmarkReporter> DisplayReporter(const std::string& format, bool fQuiet) {
  if (fQuiet) return std::make_unique<QuietReporter>();
  if (format == "json") return std::make_unique<benchmark::JSONReporter>();
  return std::make_unique<benchmark::ConsoleReporter>(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                                              : benchmark::ConsoleReporter::OO_Tabular);
}

void PrintGoals(const std::vector<vornbench::GoalResult>& goals, bool toStderr) {
  FILE* out = toStderr ? stderr : stdout;
  std::fprintf(out, "\nGoals (ratios of this run):\n");
  for (const auto& goal : goals) {
    const std::string what = goal.benchmark + " " + goal.goal;
    std::fprintf(out, "  %-4s  %-70s %s\n", goal.outcome.c_str(), what.c_str(), goal.detail.c_str());
  }
}

void AddGoalsToJson(const std::string& path, const std::vector<vornbench::GoalResult>& goals) {
  nlohmann::json results;
  {
    std::ifstream in(path);
    if (!in) return;
    results = nlohmann::json::parse(in, nullptr, false);
  }
  if (results.is_discarded()) return;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& goal : goals)
    list.push_back({{"benchmark", goal.benchmark}, {"goal", goal.goal}, {"outcome", goal.outcome}, {"detail", goal.detail}});
  results["goals"] = list;
  std::ofstream(path) << results.dump(2) << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  const std::string format = FlagValue(argc, argv, "--benchmark_format");
  const std::string outFile = FlagValue(argc, argv, "--benchmark_out");
  const std::string outFormat = FlagValue(argc, argv, "--benchmark_out_format");
  vornbench::RegisterDescriptorBenchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const bool fJsonFile = !outFile.empty() && (outFormat.empty() || outFormat == "json");
  vornbench::GoalBook book;
  NamingReporter display(DisplayReporter(format, fJsonFile), &book, format != "json");
  if (fJsonFile) {
    NamingReporter file(std::make_unique<benchmark::JSONReporter>(), nullptr, false);
    benchmark::RunSpecifiedBenchmarks(&display, &file);
  } else {
    benchmark::RunSpecifiedBenchmarks(&display);
  }
  benchmark::Shutdown();
  const auto goals = book.Check();
  if (fJsonFile) {
    AddGoalsToJson(outFile, goals);
  } else {
    // With JSON on standard output the goals go to standard error, so the JSON stays whole.
    PrintGoals(goals, format == "json");
  }
  return 0;
}
