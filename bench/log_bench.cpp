// BM_LogLine: one trace entry through the product's debug log into its hourly
// file, as the product writes every entry (open, append, flush, close).
// BM_RawAppendFsync: the physical limit of that design, the same bytes in the
// same folder with plain open(O_APPEND)/write/fsync/close.
#include "BenchLog.h"
#include "TraceEntry.h"

#include "log/DbgLog.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {



// The raw appends go to a file of their own beside the log's.
vornbench::RawAppender Appender(simkit::VirtualMachine& machine) {
  return vornbench::RawAppender(machine.LogDirectory() / "raw-append.txt", vornbench::TraceLine());
}

// Each log line is followed by a raw append of the same bytes, untimed: its
// cost in the same stretch is the counter raw_append_us, the limit the goal
// compares the line with.
void BM_LogLine(benchmark::State& state) {
  simkit::VirtualMachine machine(vornbench::MachineOptions(true));
  const vornbench::RawAppender raw = Appender(machine);
  vornbench::LogEntryCounter entries(machine.LogDirectory());
  const size_t nBefore = entries.Count();
  double rawSeconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    vornbench::WriteTrace();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    const double seconds = raw.Append();
    if (seconds < 0) {
      state.SkipWithError(std::strerror(errno));
      break;
    }
    rawSeconds += seconds;
  }
  if (entries.Count() - nBefore != static_cast<size_t>(state.iterations()))
    state.SkipWithError("the debug log did not write one entry per call");
  state.counters["raw_append_us"] = rawSeconds * 1e6 / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.Line().size()));
}
BENCHMARK(BM_LogLine)->UseManualTime()->MinTime(1.0);

void BM_RawAppendFsync(benchmark::State& state) {
  simkit::VirtualMachine machine(vornbench::MachineOptions(true));
  const vornbench::RawAppender raw = Appender(machine);
  for (auto _ : state) {
    const double seconds = raw.Append();
    if (seconds < 0) {
      state.SkipWithError(std::strerror(errno));
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.Line().size()));
}
BENCHMARK(BM_RawAppendFsync)->UseManualTime()->MinTime(1.0);

}  // namespace
