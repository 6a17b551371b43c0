// The debug log of a simulated machine switched on for a test, and read back
// two ways: the entries of its files, and the traces echoed by the process.
#pragma once

#include "log/DbgLog.h"

#include <winsim/sim/machine.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vorntest {

class LogCapture {
 public:
  // On a fresh machine of its own, made from the environment.
  LogCapture() : m_owned(std::in_place), m_machine(&**m_owned) { Start(); }
  // On the caller's machine.
  explicit LogCapture(winsim::Machine& machine) : m_machine(&machine) { Start(); }
  ~LogCapture() {
    DbgLogSetEcho(nullptr);
    DbgLogShutdown();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  winsim::Machine& machine() { return *m_machine; }
  std::filesystem::path LogDir() const { return m_machine->DriveC() / "VornPalmix" / "VrnDbgLog"; }

  // Every log file of the machine, oldest first, as one text.
  std::string LogText() const {
    std::string text;
    for (const auto& file : LogFiles()) {
      std::ifstream in(file, std::ios::binary);
      text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
  }

  // Each entry as "operation: message" for a trace, "ERR: message" for an
  // error entry and "ERROR: message" for a system error (line numbers, time
  // stamps, process ids, banner lines and line breaks dropped).
  std::vector<std::string> Entries() const {
    std::vector<std::string> entries;
    const std::string text = LogText();
    for (size_t nStart = 0; nStart < text.size();) {
      size_t nEnd = text.find("\r\n", nStart);
      if (nEnd == std::string::npos) nEnd = text.size();
      std::string entry = Normalise(text.substr(nStart, nEnd - nStart));
      if (!entry.empty()) entries.push_back(std::move(entry));
      nStart = nEnd + 2;
    }
    return entries;
  }

  // Entries written since the last Mark().
  std::vector<std::string> Since() const {
    std::vector<std::string> entries = Entries();
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(std::min(m_nMark, entries.size())));
    return entries;
  }
  void Mark() { m_nMark = Entries().size(); }
  // The last entry written since the last Mark(); empty when there is none.
  std::string LastSince() const {
    const std::vector<std::string> entries = Since();
    return entries.empty() ? std::string() : entries.back();
  }

  static std::vector<std::string> EchoedTraces() {
    std::lock_guard lock(Mutex());
    return Traces();
  }
  static bool Echoed(const std::string& message) {
    auto traces = EchoedTraces();
    return std::find(traces.begin(), traces.end(), message) != traces.end();
  }

 private:
  void Start() {
    std::filesystem::create_directories(LogDir());
    DbgLogInit();  // decides afresh, on this machine, that logging is on
    {
      std::lock_guard lock(Mutex());
      Traces().clear();
    }
    DbgLogSetEcho(&LogCapture::Collect);
  }

  std::vector<std::filesystem::path> LogFiles() const {
    std::vector<std::filesystem::path> files;
    for (const auto& item : std::filesystem::directory_iterator(LogDir()))
      if (item.path().extension() == ".log") files.push_back(item.path());
    std::sort(files.begin(), files.end());  // hourly names sort by time
    return files;
  }

  // "[stamp][PID=n] text" -> the entry as Entries() gives it; empty for banner
  // lines and the blank lines that follow entries ending in a break.
  static std::string Normalise(const std::string& line) {
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

  static void Collect(const char* pszMessage, unsigned long long) {
    std::lock_guard lock(Mutex());
    Traces().emplace_back(pszMessage);
  }
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::string>& Traces() {
    static std::vector<std::string> traces;
    return traces;
  }

  std::optional<winsim::ScopedMachine> m_owned;
  winsim::Machine* m_machine;
  size_t m_nMark = 0;
};

// Position of `needle` in `text`, or npos; for order checks between entries.
inline size_t Find(const std::string& text, const std::string& needle) { return text.find(needle); }

}  // namespace vorntest
