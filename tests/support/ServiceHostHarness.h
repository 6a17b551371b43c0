// A simulated machine set up to host the service: VornPalmixSvc installed,
// the debug log directory present and the log started on it, and a process
// entry for the SCM to run. Gives the status reports, event-log texts and
// debug-log messages back for assertions, and stops whatever still runs.
#pragma once

#include "app/ServiceProcess.h"
#include "log/DbgLog.h"
#include "tests/support/CaptureWide.h"
#include "tests/support/InstalledService.h"
#include "service/ServiceBase.h"

#include <winsim/sim/eventlog.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/process_entry.h>
#include <winsim/sim/services.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vorntest {

inline constexpr wchar_t kServiceNameW[] = L"VornPalmixSvc";
// Generous simulated bounds: a scaled clock runs 1000 times faster than real time.
inline constexpr uint64_t kWaitMs = 600000;

// What the executable's entry does without a switch, less the usage text
// (the SCM's process has no console): the service start.
inline int RunServiceProcess(int, wchar_t**) {
  RunService();
  return 0;
}

struct StateReport {
  DWORD state, checkPoint, exitCode;
  bool operator==(const StateReport&) const = default;
};

class ServiceHostHarness {
 public:
  // installService false: the test installs it (with the product's installer).
  // On a virtual clock the calling thread is a simulated thread for the
  // harness's life.
  explicit ServiceHostHarness(winsim::ProcessEntry entry, bool installService = true,
                              winsim::Clock::Kind clock = winsim::Clock::Kind::kScaled)
      : m_machine(clock), m_driver(m_machine->clock(), "test") {
    std::filesystem::create_directories(LogDirectory());
    DbgLogInit();
    winsim::SetProcessEntry(entry);
    g_dwCheckPoint = 1;
    if (!installService) return;
    Scm().Install(InstalledServiceConfig());
  }
  ~ServiceHostHarness() {
    Scm().Shutdown();
    winsim::SetProcessEntry(nullptr);
    g_pService = nullptr;
    DbgLogShutdown();
  }
  ServiceHostHarness(const ServiceHostHarness&) = delete;
  ServiceHostHarness& operator=(const ServiceHostHarness&) = delete;

  winsim::Services& Scm() { return m_machine->Part<winsim::Services>(); }
  winsim::EventLog& Events() { return m_machine->Part<winsim::EventLog>(); }
  std::filesystem::path LogDirectory() { return m_machine->DriveC() / "VornPalmix" / "VrnDbgLog"; }

  std::vector<StateReport> Reports() {
    std::vector<StateReport> reports;
    for (const auto& report : Scm().Reports(kServiceNameW))
      if (!report.bySCM)
        reports.push_back({report.status.dwCurrentState, report.status.dwCheckPoint, report.status.dwWin32ExitCode});
    return reports;
  }

  // The text of each entry (its second insertion string), checking that each
  // entry is the service's own with the service name first.
  std::vector<std::wstring> EventTexts() {
    std::vector<std::wstring> texts;
    for (const auto& entry : Events().Entries()) {
      if (entry.source != kServiceNameW || entry.type != EVENTLOG_INFORMATION_TYPE || entry.strings.size() != 2 ||
          entry.strings[0] != kServiceNameW)
        texts.push_back(L"<malformed entry>");
      else
        texts.push_back(entry.strings[1]);
    }
    return texts;
  }

  // The messages of the debug log, without their "[stamp][PID=n] " prefix.
  std::vector<std::string> DebugMessages() {
    std::vector<std::string> messages;
    std::vector<std::filesystem::path> files;
    for (const auto& item : std::filesystem::directory_iterator(LogDirectory())) files.push_back(item.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto pid = line.find("][PID=");
        auto end = pid == std::string::npos ? pid : line.find("] ", pid);
        messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
      }
    }
    return messages;
  }
  bool DebugLogHas(const std::string& message) {
    for (const auto& line : DebugMessages())
      if (line == message) return true;
    return false;
  }

 private:
  winsim::ScopedMachine m_machine;
  winsim::Clock::Member m_driver;
};

}  // namespace vorntest
