#include "HidTestSupport.h"

#include "log/DbgLog.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace hidtest {

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// "[stamp][PID=n] text" -> the entry in the form LogCapture documents; empty
// for banner lines and the blank lines that follow entries ending in a break.
std::string Normalise(const std::string& line) {
  const size_t nText = line.find("] ");
  if (line.empty() || line[0] != '[' || nText == std::string::npos) return {};
  std::string text = line.substr(nText + 2);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.rfind("[ERR]", 0) == 0) return "ERR: " + text.substr(5);
  if (text.rfind("[ERROR]", 0) == 0) return "ERROR: " + text.substr(7);
  const size_t nHash = text.find('#');
  const size_t nClose = text.find(']');
  if (text.empty() || text[0] != '[' || nHash == std::string::npos || nClose == std::string::npos || nHash > nClose)
    return {};
  return text.substr(1, nHash - 1) + ": " + text.substr(nClose + 1);
}

}  // namespace

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

LogCapture::LogCapture(winsim::Machine& machine) {
  const fs::path dir = machine.DriveC() / "VornPalmix" / "VrnDbgLog";
  fs::create_directories(dir);
  m_dir = dir.string();
  DbgLogInit();
}

LogCapture::~LogCapture() { DbgLogShutdown(); }

std::vector<std::string> LogCapture::Entries() const {
  std::vector<fs::path> files;
  for (const auto& item : fs::directory_iterator(m_dir))
    if (item.path().extension() == ".log") files.push_back(item.path());
  std::sort(files.begin(), files.end());  // hourly names sort by time
  std::vector<std::string> entries;
  for (const fs::path& file : files) {
    std::string text = ReadAll(file);
    for (size_t nStart = 0; nStart < text.size();) {
      size_t nEnd = text.find("\r\n", nStart);
      if (nEnd == std::string::npos) nEnd = text.size();
      std::string entry = Normalise(text.substr(nStart, nEnd - nStart));
      if (!entry.empty()) entries.push_back(std::move(entry));
      nStart = nEnd + 2;
    }
  }
  return entries;
}

std::vector<std::string> LogCapture::Since() const {
  std::vector<std::string> entries = Entries();
  entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(std::min(m_nMark, entries.size())));
  return entries;
}

void LogCapture::Mark() { m_nMark = Entries().size(); }

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
