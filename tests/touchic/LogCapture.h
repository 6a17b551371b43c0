// A fresh simulated machine with the debug log switched on, and the traces of
// the process collected through the echo hook.
#pragma once

#include <winsim/sim/machine.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "log/DbgLog.h"

class LogCapture {
 public:
  LogCapture() {
    std::filesystem::create_directories(LogDir());
    DbgLogInit();  // decides afresh, on this machine, that logging is on
    Traces().clear();
    DbgLogSetEcho(&LogCapture::Collect);
  }
  ~LogCapture() {
    DbgLogSetEcho(nullptr);
    DbgLogShutdown();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  winsim::Machine& machine() { return *m_machine; }

  std::filesystem::path LogDir() { return m_machine->DriveC() / "VornPalmix" / "VrnDbgLog"; }

  // Every log file of the machine, oldest first, as one text.
  std::string LogText() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(LogDir())) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
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

  winsim::ScopedMachine m_machine;
};

// Position of `needle` in `text`, or npos; for order checks between entries.
inline size_t Find(const std::string& text, const std::string& needle) { return text.find(needle); }
