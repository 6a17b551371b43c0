#include "HidTestSupport.h"

#include "log/DbgLog.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace hidtest {

namespace fs = std::filesystem;

BareMachine::BareMachine() {
  std::string pattern = (fs::temp_directory_path() / "hidtest-XXXXXX").string();
  m_root = ::mkdtemp(pattern.data());
  winsim::MachineConfig config;
  config.root = m_root;
  config.timeScale = 1000;
  config.controller = "none";
  m_machine.emplace(config);
}

BareMachine::~BareMachine() {
  m_machine.reset();
  std::error_code error;
  fs::remove_all(m_root, error);
}

bool InOrder(const std::vector<std::string>& entries, std::initializer_list<std::string> expected) {
  auto it = entries.begin();
  for (const std::string& want : expected) {
    it = std::find(it, entries.end(), want);
    if (it == entries.end()) return false;
    ++it;
  }
  return true;
}

bool Contains(const std::vector<std::string>& entries, const std::string& entry) {
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

std::string Dump(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += "  " + entry + "\n";
  return text;
}

}  // namespace hidtest
