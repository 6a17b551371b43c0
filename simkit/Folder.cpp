#include "simkit/Folder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <sys/wait.h>
#include <unistd.h>

namespace simkit {

namespace fs = std::filesystem;

fs::path LogDirectoryOf(const fs::path& root) { return root / "drive_c" / "VornPalmix" / "VrnDbgLog"; }

FreshFolder::FreshFolder(const fs::path& parent, const std::string& prefix) {
  const fs::path base = parent.empty() ? fs::temp_directory_path() : parent;
  std::error_code error;
  fs::create_directories(base, error);
  std::string pattern = (base / (prefix + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a machine folder in " + base.string());
  m_path = pattern;
}

FreshFolder::~FreshFolder() {
  std::error_code error;
  fs::remove_all(m_path, error);
}

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

SharedFolder::SharedFolder(bool debugLog) : m_folder({}, "simkit-shared") {
  if (debugLog) fs::create_directories(LogDirectory());
}

std::vector<std::string> MachineEnvironment(const fs::path& root, const std::string& controller, double timeScale) {
  std::ostringstream scale;
  scale << timeScale;
  std::vector<std::string> environment = {"WINSIM_ROOT=" + root.string(), "WINSIM_TIME_SCALE=" + scale.str()};
  if (!controller.empty()) environment.push_back("WINSIM_CONTROLLER=" + controller);
  return environment;
}

std::string SharedFolder::ShellPrefix(const std::string& controller, double timeScale) const {
  std::string prefix;
  for (const std::string& variable : Environment(controller, timeScale)) {
    const size_t equals = variable.find('=');
    prefix += variable.substr(0, equals + 1) + "'" + variable.substr(equals + 1) + "' ";
  }
  return prefix;
}

CommandRun RunCommand(const std::string& commandLine) {
  CommandRun run;
  FILE* pipe = ::popen(commandLine.c_str(), "r");
  if (!pipe) return run;
  char buffer[256];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

}  // namespace simkit
