#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace winsim::testing {

ChildProcess::ChildProcess(const std::string& root, const std::vector<std::string>& args, const std::string& program) {
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<std::string> env{"WINSIM_ROOT=" + root, "WINSIM_TIME_SCALE=1000"};
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("WINSIM_", 0) != 0) env.emplace_back(*e);
  std::vector<char*> argv{const_cast<char*>(program.c_str())}, envp;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  m_in = toChild[1];
  m_out = fromChild[0];
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    Wait();
  }
  if (m_out >= 0) ::close(m_out);
}

std::string ChildProcess::ReadLine(int timeoutMs) {
  for (;;) {
    if (auto end = m_buffered.find('\n'); end != std::string::npos) {
      std::string line = m_buffered.substr(0, end);
      m_buffered.erase(0, end + 1);
      return line;
    }
    pollfd fd{m_out, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) <= 0) return {};
    char chunk[256];
    ssize_t n = ::read(m_out, chunk, sizeof chunk);
    if (n <= 0) return {};
    m_buffered.append(chunk, static_cast<size_t>(n));
  }
}

void ChildProcess::Send(const std::string& line) {
  std::string text = line + "\n";
  if (m_in >= 0 && ::write(m_in, text.data(), text.size()) < 0) return;
}

int ChildProcess::Wait() {
  if (m_in >= 0) ::close(m_in);
  m_in = -1;
  if (m_pid <= 0) return -1;
  int status = 0;
  while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace winsim::testing
