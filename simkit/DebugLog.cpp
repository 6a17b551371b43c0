#include "simkit/DebugLog.h"

#include "log/DbgLog.h"
#include "simkit/Folder.h"

#include <algorithm>
#include <fstream>
#include <mutex>

namespace simkit {

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> HourlyFiles(const fs::path& directory) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& item : fs::directory_iterator(directory, error))
    if (item.path().extension() == ".log") files.push_back(item.path());
  std::sort(files.begin(), files.end());  // hourly names sort by time
  return files;
}

// "[stamp][PID=n] text" -> "text"; a line without the prefix as it is.
std::string MessageOf(const std::string& line) {
  const size_t pid = line.find("][PID=");
  const size_t end = pid == std::string::npos ? pid : line.find("] ", pid);
  return end == std::string::npos ? line : line.substr(end + 2);
}

// "[stamp][PID=n] [operation#line]message" and the error forms -> the entry
// as Entries() gives it; empty for every other line.
std::string EntryOf(const std::string& line) {
  const size_t textAt = line.find("] ");
  if (line.empty() || line[0] != '[' || textAt == std::string::npos) return {};
  std::string text = line.substr(textAt + 2);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.rfind("[ERR]", 0) == 0) return "ERR: " + text.substr(5);
  if (text.rfind("[ERROR]", 0) == 0) return "ERROR: " + text.substr(7);
  const size_t hash = text.find('#');
  const size_t close = text.find(']');
  if (text.empty() || text[0] != '[' || hash == std::string::npos || close == std::string::npos || hash > close)
    return {};
  return text.substr(1, hash - 1) + ": " + text.substr(close + 1);
}

std::mutex g_echoMutex;
std::vector<std::string> g_echoed;

void Collect(const char* message, unsigned long long) {
  std::lock_guard lock(g_echoMutex);
  g_echoed.emplace_back(message);
}

}  // namespace

std::string DebugLog::Text() const {
  std::string text;
  for (const auto& file : HourlyFiles(m_directory)) text += FileText(file);
  return text;
}

std::vector<std::string> DebugLog::Messages() const {
  std::vector<std::string> messages;
  for (const auto& file : HourlyFiles(m_directory)) {
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      messages.push_back(MessageOf(line));
    }
  }
  return messages;
}

size_t DebugLog::Count(const std::string& message) const {
  const auto messages = Messages();
  return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

std::vector<std::string> DebugLog::Entries() const {
  std::vector<std::string> entries;
  const std::string text = Text();
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string entry = EntryOf(text.substr(start, end - start));
    if (!entry.empty()) entries.push_back(std::move(entry));
    start = end + 2;
  }
  return entries;
}

std::vector<std::string> DebugLog::Since() const {
  std::vector<std::string> entries = Entries();
  entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(std::min(m_mark, entries.size())));
  return entries;
}

std::string DebugLog::LastSince() const {
  const std::vector<std::string> entries = Since();
  return entries.empty() ? std::string() : entries.back();
}

EchoCapture::EchoCapture() {
  {
    std::lock_guard lock(g_echoMutex);
    g_echoed.clear();
  }
  DbgLogSetEcho(&Collect);
}

EchoCapture::~EchoCapture() { DbgLogSetEcho(nullptr); }

std::vector<std::string> EchoCapture::Traces() const {
  std::lock_guard lock(g_echoMutex);
  return g_echoed;
}

bool EchoCapture::Has(const std::string& message) const {
  const auto traces = Traces();
  return std::find(traces.begin(), traces.end(), message) != traces.end();
}

}  // namespace simkit
