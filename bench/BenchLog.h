// The debug log of a benchmark's machine: what its lines cost against the
// disk's own limit, and how many entries it holds.
#pragma once

#include "simkit/Machine.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vornbench {

// The options of a benchmark's machine: virtual time without joining it (the
// benchmark times the machine's work from outside), the debug log as asked,
// and its folder below WINSIM_ROOT when that is set (scripts/bench points it
// into the build folder, so log files land on a real disk), else below the
// temporary folder.
simkit::MachineOptions MachineOptions(bool debugLog, const std::string& controller = "none");

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
