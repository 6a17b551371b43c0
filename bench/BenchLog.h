// A simulated machine for one benchmark: its own folder, a clock, the debug
// log on or off, and the HID bus the benchmark fills.
#pragma once

#include <winsim/sim/machine.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vornbench {

struct MachineOptions {
  bool log = false;               // the debug log directory exists when the log starts
  // Virtual time (simulated time stands still while a simulated thread runs)
  // or a scaled clock (simulated ms per real ms: `scale`).
  bool virtualTime = false;
  double scale = 1000;            // scaled clock: simulated ms per real ms; virtual: the pace, 0 for none
  std::string controller = "none";  // WINSIM_CONTROLLER syntax; "" = one default controller
};

// Installs a fresh machine and starts the product's debug log on it; the log
// is shut down and the folder removed on destruction. Machine folders go
// below WINSIM_ROOT when it is set (scripts/bench points it into the build
// folder, so log files land on a real disk), else below the temporary folder.
class BenchMachine {
 public:
  explicit BenchMachine(const MachineOptions& options);
  ~BenchMachine();
  BenchMachine(const BenchMachine&) = delete;
  BenchMachine& operator=(const BenchMachine&) = delete;

  winsim::Machine& operator*() { return **m_machine; }
  winsim::Machine* operator->() { return &**m_machine; }
  // Host path of C:\VornPalmix\VrnDbgLog (present only with the log on).
  std::filesystem::path LogDirectory();

 private:
  std::filesystem::path m_root;
  std::optional<winsim::ScopedMachine> m_machine;
};

// The physical limit of a log line: `line` appended to the file at `path`
// with plain open(O_APPEND)/write/fsync/close. The disk of a shared machine
// changes its flush time many times over within minutes, so the benchmarks
// that write log lines also append raw lines in turn with their own, untimed,
// and report what those cost in the same stretch of time.
class RawAppender {
 public:
  RawAppender(std::filesystem::path path, std::string line) : m_path(std::move(path)), m_line(std::move(line)) {}
  // Seconds the append took; negative when it failed (errno says why).
  double Append() const;
  const std::string& Line() const { return m_line; }

 private:
  std::filesystem::path m_path;
  std::string m_line;
};

// The debug log's entries so far, counted from what its hourly .log files
// hold: each entry carries one "][PID=" stamp. Only what was appended since the last
// call is read.
class LogEntryCounter {
 public:
  explicit LogEntryCounter(std::filesystem::path directory) : m_directory(std::move(directory)) {}
  size_t Count();

 private:
  std::filesystem::path m_directory;
  struct File {
    std::filesystem::path path;
    uintmax_t read = 0;
  };
  std::vector<File> m_files;
  size_t m_entries = 0;
};

}  // namespace vornbench
