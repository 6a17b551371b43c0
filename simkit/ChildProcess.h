// A program run as an OS process of its own beside a test: its standard
// input and output on pipes, its environment the test's, less winsim's
// variables, plus the ones given (MachineEnvironment: a shared machine's).
#pragma once

#include <handles/fd.h>

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

namespace simkit {

class ChildProcess {
 public:
  // Runs args[0] with the arguments `args`; `environment` holds NAME=value entries.
  ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment);
  // One still running is killed.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return m_pid > 0; }
  // One line to its standard input.
  void Send(const std::string& line);
  void CloseStdin();
  // The next line it prints (without the line break); empty at the end of
  // its output or when none arrives within `timeout` (real time).
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // False when its output ends, or `timeout` passes, before `marker` arrives.
  bool ReadUntil(const std::string& marker, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Closes its input, reads the rest of its output and waits for it: its
  // exit status (128 + the signal's number when a signal ended it).
  int Finish();
  // All it has printed so far.
  const std::string& Output() const { return m_output; }

 private:
  bool ReadSome(std::chrono::milliseconds timeout);
  int Wait();

  pid_t m_pid = -1;
  handles::UniqueFd m_in;   // its standard input
  handles::UniqueFd m_out;  // its standard output
  int m_status = -1;
  std::string m_output;
  size_t m_lineStart = 0;  // where ReadLine goes on in m_output
};

}  // namespace simkit
