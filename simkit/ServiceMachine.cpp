#include "simkit/ServiceMachine.h"

#include "app/ServiceProcess.h"
#include "service/ServiceBase.h"
#include "service/ServiceIdentity.h"
#include "touchic/VornApi.h"

#include <winsim/sim/eventlog.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/threadpool.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <chrono>

namespace simkit {

int RunServiceProcess(int, wchar_t**) {
  RunService();
  return 0;
}

winsim::ServiceConfig InstalledServiceConfig() {
  winsim::ServiceConfig config;
  config.name = kServiceName;
  config.displayName = kServiceDisplayName;
  config.type = SERVICE_WIN32_OWN_PROCESS;
  config.startType = SERVICE_AUTO_START;
  config.binaryPath = L"C:\\VornPalmix\\VornPalmixSvc.exe";
  return config;
}

ServiceHost::ServiceHost(VirtualMachine& machine, const ServiceOptions& options) : m_machine(machine) {
  g_dwCheckPoint = 1;
  winsim::SetProcessEntry(options.entry);
  // A folder used before keeps its installation.
  if (options.install) m_machine.Scm().Install(InstalledServiceConfig());
}

ServiceHost::~ServiceHost() {
  m_machine.Scm().Shutdown();
  m_machine.Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs);
  winsim::SetProcessEntry(nullptr);
  // The product's globals outlive the machine: a service process that ended
  // through ExitProcess left its ending event with the controller.
  VORNAPI::SetEndingEvent(nullptr);
  g_pService = nullptr;
}

bool ServiceHost::Start() { return m_machine.Scm().Start(kServiceName) == ERROR_SUCCESS; }

bool ServiceHost::StartRunning() {
  return Start() && m_machine.Scm().WaitForState(kServiceName, SERVICE_RUNNING, kWaitBoundMs);
}

bool ServiceHost::Stop() {
  auto& scm = m_machine.Scm();
  return scm.Stop(kServiceName).Delivered() && scm.WaitForState(kServiceName, SERVICE_STOPPED, kWaitBoundMs) &&
         scm.WaitForProcessEnd(kServiceName, kWaitBoundMs);
}

bool ServiceHost::DisplayOn() {
  return m_machine.Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {1}).Delivered();
}

std::vector<StateReport> ServiceHost::Reports() {
  std::vector<StateReport> reports;
  for (const auto& report : m_machine.Scm().Reports(kServiceName))
    if (!report.bySCM)
      reports.push_back({report.status.dwCurrentState, report.status.dwCheckPoint, report.status.dwWin32ExitCode});
  return reports;
}

std::vector<std::wstring> ServiceHost::EventTexts() {
  std::vector<std::wstring> texts;
  for (const auto& entry : m_machine.Events().Entries()) {
    const bool ours = entry.source == kServiceName && entry.type == EVENTLOG_INFORMATION_TYPE &&
                      entry.strings.size() == 2 && entry.strings[0] == kServiceName;
    texts.push_back(ours ? entry.strings[1] : L"<other entry>");
  }
  return texts;
}

size_t ServiceHost::EventCount(const std::wstring& text) {
  const auto texts = EventTexts();
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

size_t ServiceHost::EventsStartingWith(const std::wstring& prefix) {
  const auto texts = EventTexts();
  return static_cast<size_t>(
      std::count_if(texts.begin(), texts.end(), [&](const std::wstring& text) { return text.rfind(prefix, 0) == 0; }));
}

std::vector<uint8_t> ServiceHost::PushedFlags() {
  std::vector<uint8_t> flags;
  for (const auto& report : m_machine.Controller()->Received())
    if (report.size() >= 7 && report[3] == 0xF0 && report[4] == 0x02) flags.push_back(report[6]);
  return flags;
}

bool ServiceHost::WaitForEvents(const std::wstring& text, size_t count) {
  return m_machine.WaitUntil([&] { return EventCount(text) >= count; });
}

bool ServiceHost::WaitForDebug(const std::string& message, size_t count) {
  return m_machine.WaitUntil([&] { return m_machine.Log().Count(message) >= count; });
}

bool ServiceHost::WaitForWatching(size_t count) {
  auto armed = [&] {
    for (const auto& sid : m_machine.Identity().LoggedOnUserSids())
      if (m_machine.Registry().ArmedNotifications(WakeKey(sid)) >= 1) return true;
    return false;
  };
  return m_machine.WaitUntil([&] { return armed() && EventCount(L"RegNotifyChangeKeyValue success.") >= count; });
}

bool ServiceHost::WaitForNoWatcher() {
  return m_machine->Part<winsim::ThreadPool>().WaitIdle(std::chrono::milliseconds(kWaitBoundMs));
}

}  // namespace simkit
