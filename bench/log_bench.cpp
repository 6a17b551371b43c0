// BM_LogLine: one trace entry through the product's debug log into its hourly
// file, as the product writes every entry (open, append, flush, close).
// BM_RawAppendFsync: the physical limit of that design, the same bytes in the
// same folder with plain open(O_APPEND)/write/fsync/close.
#include "BenchMachine.h"

#include "log/DbgLog.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

using vornbench::BenchMachine;
using vornbench::MachineOptions;

// A trace entry as discovery writes it, with its operation and line.
constexpr char kOperation[] = "CHIDWinGet::OpenHidDevice";
constexpr int kLine = 115;
constexpr char kFormat[] = "m_iOpenHidDevCnt = %d, m_iCloseHidDevCnt = %d";
constexpr int kOpened = 5, kClosed = 3;

void WriteTrace() { DbgLogTrace(kOperation, kLine, kFormat, kOpened, kClosed); }

// The bytes WriteTrace appends: "[MMDD-hh:mm:ss.mmm][PID=n] [operation#line]message\r\n".
std::string TraceLine() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  char szLine[512];
  const int nLen = std::snprintf(szLine, sizeof(szLine), "[%02d%02d-%02d:%02d:%02d.%03d][PID=%lu] [%s#%d]", st.wMonth,
                                 st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds,
                                 static_cast<unsigned long>(GetCurrentProcessId()), kOperation, kLine);
  std::snprintf(szLine + nLen, sizeof(szLine) - static_cast<size_t>(nLen), kFormat, kOpened, kClosed);
  return std::string(szLine) + "\r\n";
}

void BM_LogLine(benchmark::State& state) {
  BenchMachine machine(MachineOptions{.log = true, .scale = 1});
  vornbench::LogEntryCounter entries(machine.LogDirectory());
  const size_t nBefore = entries.Count();
  for (auto _ : state) WriteTrace();
  if (entries.Count() - nBefore != static_cast<size_t>(state.iterations()))
    state.SkipWithError("the debug log did not write one entry per call");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TraceLine().size()));
}
BENCHMARK(BM_LogLine)->UseRealTime()->MinTime(2.0);

void BM_RawAppendFsync(benchmark::State& state) {
  BenchMachine machine(MachineOptions{.log = true, .scale = 1});
  const std::string line = TraceLine();
  const std::string path = (machine.LogDirectory() / "raw-append.log").string();
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::fsync(fd) != 0) {
      state.SkipWithError(std::strerror(errno));
      if (fd >= 0) ::close(fd);
      break;
    }
    ::close(fd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_RawAppendFsync)->UseRealTime()->MinTime(2.0);

}  // namespace
