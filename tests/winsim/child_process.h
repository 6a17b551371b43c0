// A helper process on the same machine folder, driven through its standard
// input and output, for tests of what is shared between processes.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace winsim::testing {

class ChildProcess {
 public:
  // Runs `program` (by default the helper) with `args` and WINSIM_ROOT=`root`.
  ChildProcess(const std::string& root, const std::vector<std::string>& args,
               const std::string& program = WINSIM_HELPER_PATH);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line the helper prints (without the line break); empty on end
  // of output or when nothing arrives within `timeoutMs` real milliseconds.
  std::string ReadLine(int timeoutMs = 10000);
  void Send(const std::string& line);
  // Closes the helper's input and waits for its exit status.
  int Wait();

 private:
  pid_t m_pid = -1;
  int m_in = -1;
  int m_out = -1;
  std::string m_buffered;
};

}  // namespace winsim::testing
