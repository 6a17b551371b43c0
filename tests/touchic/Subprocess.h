// Runs a program of the build as a process of its own, with extra environment
// variables, its standard input and output on pipes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
    int inPipe[2], outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    std::vector<std::string> env = extraEnv;
    for (char** p = environ; *p; ++p)
      if (!Overridden(*p, extraEnv)) env.emplace_back(*p);
    std::vector<char*> argv = Pointers(args), envp = Pointers(env);
    if (posix_spawn(&m_pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    m_stdin = inPipe[1];
    m_stdout = outPipe[0];
  }
  ~ChildProcess() {
    CloseStdin();
    Wait();
    if (m_stdout >= 0) close(m_stdout);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return m_pid > 0; }

  void CloseStdin() {
    if (m_stdin >= 0) close(m_stdin);
    m_stdin = -1;
  }

  // Reads until `marker` has arrived, the output ends or `limit` passes.
  bool ReadUntil(const std::string& marker, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_output.find(marker) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome((int)left.count())) return false;
    }
    return true;
  }

  // Reads the rest of the output and waits for the process; its exit status.
  int Finish() {
    while (ReadSome(60000)) {
    }
    return Wait();
  }

  const std::string& output() const { return m_output; }

 private:
  static bool Overridden(const char* entry, const std::vector<std::string>& extraEnv) {
    for (const std::string& e : extraEnv) {
      size_t n = e.find('=');
      if (n != std::string::npos && std::strncmp(entry, e.c_str(), n + 1) == 0) return true;
    }
    return false;
  }
  static std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
  }
  bool ReadSome(int nTimeoutMs) {
    if (m_stdout < 0) return false;
    pollfd fd{m_stdout, POLLIN, 0};
    if (poll(&fd, 1, nTimeoutMs) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(m_stdout, buffer, sizeof(buffer));
    if (n <= 0) return false;
    m_output.append(buffer, (size_t)n);
    return true;
  }
  int Wait() {
    if (m_pid <= 0) return m_status;
    int status = 0;
    if (waitpid(m_pid, &status, 0) == m_pid) m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_pid = -1;
    return m_status;
  }

  pid_t m_pid = -1;
  int m_stdin = -1;
  int m_stdout = -1;
  int m_status = -1;
  std::string m_output;
};
