#include "simkit/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace simkit {

namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The test's environment without winsim's variables, then `given`.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& given) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry)
    if (std::string(*entry).rfind("WINSIM_", 0) != 0) environment.emplace_back(*entry);
  environment.insert(environment.end(), given.begin(), given.end());
  return environment;
}

// A pipe's two ends; the child's are closed here once it has them.
struct Pipe {
  handles::UniqueFd read, write;
};

bool OpenPipe(Pipe& pipe) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  pipe.read.Reset(ends[0]);
  pipe.write.Reset(ends[1]);
  return true;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
  Pipe toChild, fromChild;
  if (!OpenPipe(toChild) || !OpenPipe(fromChild)) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild.read.Get(), 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild.write.Get(), 1);
  std::vector<std::string> argv = args, envp = ChildEnvironment(environment);
  if (argv.empty() || posix_spawn(&m_pid, argv[0].c_str(), &actions, nullptr, Pointers(argv).data(),
                                  Pointers(envp).data()) != 0)
    m_pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  m_in = std::move(toChild.write);
  m_out = std::move(fromChild.read);
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0) ::kill(m_pid, SIGKILL);
  CloseStdin();
  Wait();
}

void ChildProcess::Send(const std::string& line) {
  const std::string text = line + "\n";
  if (m_in && ::write(m_in.Get(), text.data(), text.size()) < 0) return;
}

void ChildProcess::CloseStdin() { m_in.Reset(); }

bool ChildProcess::ReadSome(std::chrono::milliseconds timeout) {
  if (!m_out) return false;
  pollfd fd{m_out.Get(), POLLIN, 0};
  if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t n = ::read(m_out.Get(), chunk, sizeof chunk);
  if (n <= 0) return false;
  m_output.append(chunk, static_cast<size_t>(n));
  return true;
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const size_t end = m_output.find('\n', m_lineStart); end != std::string::npos) {
      std::string line = m_output.substr(m_lineStart, end - m_lineStart);
      m_lineStart = end + 1;
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(left)) return {};
  }
}

bool ChildProcess::ReadUntil(const std::string& marker, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (m_output.find(marker) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(left)) return false;
  }
  return true;
}

int ChildProcess::Finish() {
  CloseStdin();
  while (ReadSome(std::chrono::seconds(60))) {
  }
  return Wait();
}

int ChildProcess::Wait() {
  if (m_pid <= 0) return m_status;
  int status = 0;
  while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
  m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return m_status;
}

}  // namespace simkit
