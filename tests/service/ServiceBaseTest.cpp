// CServiceBase under the simulated SCM: the reports and check points of each
// control sequence with its failure rows, the control handler's routing, the
// power, display and session rows, and the three logging calls.
#include "service/ServiceBase.h"
#include "service/ServiceIdentity.h"
#include "simkit/ServiceMachine.h"

#include <gtest/gtest.h>
#include <winsim/sim/faults.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>

namespace {

using simkit::kWaitBoundMs;
using simkit::StateReport;

enum class Fail { kNone, kCode, kOther };

struct HookPlan {
  Fail fail = Fail::kNone;
  DWORD code = 0;
  void Run() const {
    if (fail == Fail::kCode) throw code;
    if (fail == Fail::kOther) throw std::runtime_error("hook failed");
  }
};

class CTestService : public CServiceBase {
 public:
  CTestService() : CServiceBase(kServiceName) {}
  void AcceptPauseContinue() { m_ServiceStatus.dwControlsAccepted |= SERVICE_ACCEPT_PAUSE_CONTINUE; }
  DWORD Accepted() const { return m_ServiceStatus.dwControlsAccepted; }

  HookPlan start, stop, pause, resume, shutdown, monitor, session, arrival;
  std::function<void()> duringStart;
  std::atomic<int> monitorOn{0}, monitorOff{0}, powerEvents{0}, sessionChanges{0};
  // Read once the control has returned; the dispatcher delivers one at a time.
  std::vector<std::pair<DWORD, DWORD>> sessionEvents;  // type, session
  std::vector<std::wstring> arrivals;

 protected:
  void OnStart(DWORD, LPWSTR*) override {
    if (duringStart) duringStart();
    start.Run();
  }
  void OnStop() override { stop.Run(); }
  void OnPause() override { pause.Run(); }
  void OnContinue() override { resume.Run(); }
  void OnShutdown() override { shutdown.Run(); }
  void OnSessionChange() override {
    ++sessionChanges;
    session.Run();
  }
  void OnMonitorOn() override {
    ++monitorOn;
    monitor.Run();
  }
  void OnMonitorOff() override { ++monitorOff; }
  void OnPowerEvent() override { ++powerEvents; }
  void OnSessionEvent(DWORD type, DWORD session) override { sessionEvents.emplace_back(type, session); }
  void OnDeviceArrival(LPCWSTR path) override {
    arrivals.emplace_back(path);
    arrival.Run();
  }
};

int ServiceBaseEntry(int, wchar_t**) {
  WCHAR szName[] = L"VornPalmixSvc";
  SERVICE_TABLE_ENTRYW table[] = {{szName, CServiceBase::ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}

const GUID kConsoleDisplayState = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
const GUID kAdaptiveBrightness = {0xFBD9AA66, 0x9553, 0x4097, {0xBA, 0x44, 0xED, 0x6E, 0x9D, 0x65, 0xEA, 0xB8}};
const GUID kBatteryRemaining = {0xA7AD8041, 0xB45A, 0x4CAE, {0x87, 0xA3, 0xEE, 0xCB, 0xB4, 0x68, 0xA9, 0xE1}};
const GUID kAwayMode = {0x98A7F580, 0x01F7, 0x48AA, {0x9C, 0x0F, 0x44, 0x35, 0x2C, 0x29, 0xE5, 0xC0}};
const GUID kAcDcSource = {0x5D3E9A59, 0xE9D5, 0x4B00, {0xA6, 0xBD, 0xFF, 0x34, 0xFF, 0x51, 0x65, 0x48}};

std::vector<BYTE> SettingRecord(const GUID& setting, std::vector<BYTE> value) {
  std::vector<BYTE> record(sizeof(GUID) + sizeof(DWORD) + std::max<size_t>(value.size(), 1));
  DWORD length = static_cast<DWORD>(value.size());
  std::memcpy(record.data(), &setting, sizeof(GUID));
  std::memcpy(record.data() + sizeof(GUID), &length, sizeof(length));
  if (!value.empty()) std::memcpy(record.data() + sizeof(GUID) + sizeof(DWORD), value.data(), value.size());
  return record;
}

const wchar_t kHidPath[] = LR"(\\?\HID#VID_2C1A&PID_0001&COL01#5&1#{4d1e55b2-f16f-11cf-88cb-001111000030})";

// A DEV_BROADCAST_DEVICEINTERFACE_W naming `path`; `size` overrides the
// record's own size field.
std::vector<BYTE> InterfaceRecord(const std::wstring& path, DWORD type = DBT_DEVTYP_DEVICEINTERFACE,
                                  std::optional<DWORD> size = std::nullopt) {
  const size_t header = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  std::vector<BYTE> record(header + (path.size() + 1) * sizeof(WCHAR), 0);
  DEV_BROADCAST_HDR head{size.value_or(static_cast<DWORD>(record.size())), type, 0};
  std::memcpy(record.data(), &head, sizeof(head));
  std::memcpy(record.data() + header, path.c_str(), path.size() * sizeof(WCHAR));
  return record;
}

GUID HidGuid() {
  GUID guid;
  HidD_GetHidGuid(&guid);
  return guid;
}

class ServiceBaseTest : public testing::Test {
 protected:
  ServiceBaseTest() { g_pService = &m_service; }

  winsim::Services& Scm() { return m_host.Scm(); }
  DWORD Send(DWORD control) { return Scm().Control(kServiceName, control).error; }
  DWORD Handle(DWORD control, DWORD eventType = 0, LPVOID data = nullptr) {
    return CServiceBase::ServiceControlHandler(control, eventType, data, nullptr);
  }

  CTestService m_service;  // outlives the harness, which stops what still runs
  simkit::ServiceMachine m_host{{}, {.entry = ServiceBaseEntry}};
};

constexpr DWORD kStartPending = SERVICE_START_PENDING, kRunning = SERVICE_RUNNING, kStopped = SERVICE_STOPPED,
                kStopPending = SERVICE_STOP_PENDING, kPaused = SERVICE_PAUSED;

TEST_F(ServiceBaseTest, StartAndStopReportWithCheckPoints) {
  ASSERT_TRUE(m_host.StartRunning());
  SERVICE_STATUS status = Scm().Status(kServiceName);
  EXPECT_EQ(status.dwServiceType, (DWORD)(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS));
  EXPECT_EQ(status.dwControlsAccepted, 0x85u) << "stop, shutdown and session changes";
  EXPECT_EQ(status.dwWaitHint, 0u);
  ASSERT_EQ(Send(SERVICE_CONTROL_STOP), (DWORD)ERROR_SUCCESS);
  EXPECT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{
                                  {kStartPending, 1, 0}, {kRunning, 0, 0}, {kStopPending, 2, 0}, {kStopped, 0, 0}}));
  EXPECT_TRUE(m_host.EventTexts().empty());
}

TEST_F(ServiceBaseTest, CheckPointsGrowAcrossEveryPendingAndPausedReport) {
  m_service.AcceptPauseContinue();
  ASSERT_TRUE(m_host.StartRunning());
  ASSERT_EQ(Send(SERVICE_CONTROL_PAUSE), (DWORD)ERROR_SUCCESS);
  ASSERT_EQ(Send(SERVICE_CONTROL_CONTINUE), (DWORD)ERROR_SUCCESS);
  ASSERT_EQ(Send(SERVICE_CONTROL_STOP), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(m_host.Reports(),
            (std::vector<StateReport>{{kStartPending, 1, 0},
                                      {kRunning, 0, 0},
                                      {SERVICE_PAUSE_PENDING, 2, 0},
                                      {kPaused, 3, 0},
                                      {SERVICE_CONTINUE_PENDING, 4, 0},
                                      {kRunning, 0, 0},
                                      {kStopPending, 5, 0},
                                      {kStopped, 0, 0}}));
}

TEST_F(ServiceBaseTest, StartHookRaisingACodeStopsWithThatCode) {
  m_service.start = {Fail::kCode, 2};
  ASSERT_EQ(Scm().Start(kServiceName), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{{kStartPending, 1, 0}, {kStopped, 0, 2}}));
  EXPECT_EQ(m_host.EventTexts(), std::vector<std::wstring>{L"Service Start failed w/err 0x00000002"});
}

TEST_F(ServiceBaseTest, AFailedHandlerRegistrationEndsTheProcess) {
  winsim::FaultPlan plan;
  plan.error = ERROR_INVALID_NAME;
  winsim::CurrentMachine().Part<winsim::Faults>().Arm(winsim::FaultPoint::kRegisterServiceCtrlHandler, plan);
  ASSERT_EQ(Scm().Start(kServiceName), (DWORD)ERROR_SUCCESS);
  // Nothing to report with: the process ends, and the SCM marks the service stopped.
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_TRUE(m_host.Reports().empty());
  const SERVICE_STATUS status = Scm().Status(kServiceName);
  EXPECT_EQ(status.dwCurrentState, kStopped);
  EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);
  EXPECT_EQ(Scm().ProcessExitCode(kServiceName), std::optional<DWORD>(ERROR_INVALID_NAME)) << "ended by ExitProcess";
  EXPECT_TRUE(m_host.Log().Has("RegisterServiceCtrlHandlerEx failed w/err 0x0000007b"));
}

TEST_F(ServiceBaseTest, StartHookRaisingAnythingElseStopsWithZero) {
  m_service.start = {Fail::kOther};
  ASSERT_EQ(Scm().Start(kServiceName), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{{kStartPending, 1, 0}, {kStopped, 0, 0}}));
  EXPECT_EQ(m_host.EventTexts(), std::vector<std::wstring>{L"Service failed to start."});
}

TEST_F(ServiceBaseTest, FailedStopReturnsToTheRememberedState) {
  ASSERT_TRUE(m_host.StartRunning());
  m_service.stop = {Fail::kCode, 0x1234ABCD};
  ASSERT_EQ(Send(SERVICE_CONTROL_STOP), (DWORD)ERROR_SUCCESS);
  m_service.stop = {Fail::kOther};
  ASSERT_EQ(Send(SERVICE_CONTROL_STOP), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{{kStartPending, 1, 0},
                                                        {kRunning, 0, 0},
                                                        {kStopPending, 2, 0},
                                                        {kRunning, 0, 0},
                                                        {kStopPending, 3, 0},
                                                        {kRunning, 0, 0}}));
  EXPECT_EQ(m_host.EventTexts(),
            (std::vector<std::wstring>{L"Service Stop failed w/err 0x1234abcd", L"Service failed to stop."}));
  m_service.stop = {};
  ASSERT_EQ(Send(SERVICE_CONTROL_STOP), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(Scm().Status(kServiceName).dwCurrentState, kStopped);
}

TEST_F(ServiceBaseTest, FailedPauseGoesBackToRunningAndFailedContinueToPaused) {
  m_service.AcceptPauseContinue();
  ASSERT_TRUE(m_host.StartRunning());
  m_service.pause = {Fail::kCode, 5};
  ASSERT_EQ(Send(SERVICE_CONTROL_PAUSE), (DWORD)ERROR_SUCCESS);
  m_service.pause = {Fail::kOther};
  ASSERT_EQ(Send(SERVICE_CONTROL_PAUSE), (DWORD)ERROR_SUCCESS);
  m_service.pause = {};
  ASSERT_EQ(Send(SERVICE_CONTROL_PAUSE), (DWORD)ERROR_SUCCESS);
  m_service.resume = {Fail::kCode, 6};
  ASSERT_EQ(Send(SERVICE_CONTROL_CONTINUE), (DWORD)ERROR_SUCCESS);
  m_service.resume = {Fail::kOther};
  ASSERT_EQ(Send(SERVICE_CONTROL_CONTINUE), (DWORD)ERROR_SUCCESS);
  auto reports = m_host.Reports();
  std::vector<StateReport> tail(reports.begin() + 2, reports.end());
  EXPECT_EQ(tail, (std::vector<StateReport>{{SERVICE_PAUSE_PENDING, 2, 0},
                                            {kRunning, 0, 0},
                                            {SERVICE_PAUSE_PENDING, 3, 0},
                                            {kRunning, 0, 0},
                                            {SERVICE_PAUSE_PENDING, 4, 0},
                                            {kPaused, 5, 0},
                                            {SERVICE_CONTINUE_PENDING, 6, 0},
                                            {kPaused, 7, 0},
                                            {SERVICE_CONTINUE_PENDING, 8, 0},
                                            {kPaused, 9, 0}}));
  EXPECT_EQ(m_host.EventTexts(),
            (std::vector<std::wstring>{L"Service Pause failed w/err 0x00000005", L"Service failed to pause.",
                                       L"Service Continue failed w/err 0x00000006", L"Service failed to resume."}));
}

TEST_F(ServiceBaseTest, ShutdownReportsStoppedWithoutPending) {
  ASSERT_TRUE(m_host.StartRunning());
  ASSERT_EQ(Send(SERVICE_CONTROL_SHUTDOWN), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{{kStartPending, 1, 0}, {kRunning, 0, 0}, {kStopped, 0, 0}}));
}

TEST_F(ServiceBaseTest, FailedShutdownOnlyLogs) {
  ASSERT_TRUE(m_host.StartRunning());
  m_service.shutdown = {Fail::kCode, 0x57};
  ASSERT_EQ(Send(SERVICE_CONTROL_SHUTDOWN), (DWORD)ERROR_SUCCESS);
  m_service.shutdown = {Fail::kOther};
  ASSERT_EQ(Send(SERVICE_CONTROL_SHUTDOWN), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(m_host.Reports().size(), 2u);
  EXPECT_EQ(m_host.EventTexts(),
            (std::vector<std::wstring>{L"Service Shutdown failed w/err 0x00000057", L"Service failed to shut down."}));
  m_service.shutdown = {};
}

TEST_F(ServiceBaseTest, InterrogateAndUnknownControlsReportNothing) {
  ASSERT_TRUE(m_host.StartRunning());
  EXPECT_EQ(Send(SERVICE_CONTROL_INTERROGATE), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(Send(200), (DWORD)ERROR_SUCCESS);
  for (DWORD control : {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PARAMCHANGE, 0x40u, 200u})
    EXPECT_EQ(Handle(control), (DWORD)NO_ERROR) << control;
  EXPECT_EQ(m_host.Reports().size(), 2u);
  EXPECT_TRUE(m_host.EventTexts().empty());
}

TEST_F(ServiceBaseTest, StopAcceptedWhileStartingIsFinal) {
  std::promise<void> stopped;
  auto stoppedFuture = stopped.get_future().share();
  m_service.duringStart = [stoppedFuture] {
    winsim::Clock::Outside outside(winsim::CurrentMachine().clock());  // held by the test, not by the machine
    stoppedFuture.wait();
  };
  ASSERT_EQ(Scm().Start(kServiceName), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForReports(kServiceName, 1, kWaitBoundMs));
  ASSERT_EQ(Send(SERVICE_CONTROL_STOP), (DWORD)ERROR_SUCCESS);
  stopped.set_value();
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(m_host.Reports(),
            (std::vector<StateReport>{{kStartPending, 1, 0}, {kStopPending, 2, 0}, {kStopped, 0, 0}}));
}

// ---- Power, display and session events ----------------------------------------------

TEST_F(ServiceBaseTest, EveryPowerEventRowWritesItsEntryAndCallsOnPowerEvent) {
  const std::pair<DWORD, const wchar_t*> rows[] = {
      {PBT_APMRESUMEAUTOMATIC, L"Service receive PBT_APMRESUMEAUTOMATIC"},
      {PBT_APMQUERYSTANDBY, L"Service receive PBT_APMQUERYSTANDBY"},
      {PBT_APMQUERYSUSPEND, L"Service receive PBT_APMQUERYSUSPEND"},
      {PBT_APMSUSPEND, L"Service receive PBT_APMSUSPEND"},
      {PBT_APMRESUMESUSPEND, L"Service receive PBT_APMRESUMESUSPEND"},
      {PBT_APMRESUMECRITICAL, L"Service receive PBT_APMRESUMECRITICAL"},
      {PBT_APMPOWERSTATUSCHANGE, L"Service receive PBT_APMPOWERSTATUSCHANGE"},
      {PBT_APMBATTERYLOW, L"Service receivePowerEvent 0x00000009"},
      {0xABCD1234u, L"Service receivePowerEvent 0xabcd1234"},
  };
  std::vector<std::wstring> expected;
  for (const auto& [type, text] : rows) {
    EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, type), (DWORD)NO_ERROR);
    expected.push_back(text);
  }
  EXPECT_EQ(m_host.EventTexts(), expected);
  EXPECT_EQ(m_service.powerEvents.load(), 9);
  EXPECT_EQ(m_service.monitorOn.load() + m_service.monitorOff.load(), 0);
}

TEST_F(ServiceBaseTest, EveryPowerSettingRowByGuid) {
  const std::pair<GUID, const wchar_t*> rows[] = {
      {kConsoleDisplayState, L"GUID_CONSOLE_DISPLAY_STATE-Receive monitor's display change."},
      {kAdaptiveBrightness, L"GUID_VIDEO_ADAPTIVE_DISPLAY_BRIGHTNESS-Receive monitor's display brightness change."},
      {kBatteryRemaining, L"GUID_BATTERY_PERCENTAGE_REMAINING-The power source for the system."},
      {kAwayMode, L"GUID_SYSTEM_AWAYMODE-Exiting or Entering away mode."},
  };
  std::vector<std::wstring> expected;
  for (const auto& [guid, text] : rows) {
    auto record = SettingRecord(guid, {1, 0, 0, 0});
    Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, record.data());
    expected.push_back(text);
  }
  auto unknown = SettingRecord(kAcDcSource, {1, 0, 0, 0});
  Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, unknown.data());
  Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, nullptr);
  EXPECT_EQ(m_host.EventTexts(), expected);
  EXPECT_EQ(m_service.powerEvents.load(), 6);
}

TEST_F(ServiceBaseTest, MonitorPowerOnByItsFirstDataByte) {
  for (BYTE value : {1, 0, 2, 1}) {
    auto record = SettingRecord(GUID_MONITOR_POWER_ON, {value, 0, 0, 0});
    Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, record.data());
  }
  auto empty = SettingRecord(GUID_MONITOR_POWER_ON, {});
  Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, empty.data());
  EXPECT_EQ(m_service.monitorOn.load(), 2);
  EXPECT_EQ(m_service.monitorOff.load(), 2);
  EXPECT_EQ(m_service.powerEvents.load(), 5);
  EXPECT_TRUE(m_host.EventTexts().empty());
}

TEST_F(ServiceBaseTest, DisplayEventsReachTheServiceThroughItsRegistration) {
  ASSERT_TRUE(m_host.StartRunning());
  EXPECT_TRUE(Scm().IsRegisteredForPowerSetting(kServiceName, GUID_MONITOR_POWER_ON));
  EXPECT_TRUE(Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  EXPECT_TRUE(Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {0, 0, 0, 0}).Delivered());
  // Plain power events are not accepted, so not delivered; session changes are.
  EXPECT_FALSE(Scm().PowerEvent(kServiceName, PBT_APMSUSPEND).Delivered());
  EXPECT_TRUE(Scm().SessionChange(kServiceName, WTS_SESSION_LOGON, 1).Delivered());
  EXPECT_FALSE(Scm().PowerSettingChange(kServiceName, kAwayMode, {1}).Delivered());
  EXPECT_EQ(m_service.monitorOn.load(), 1);
  EXPECT_EQ(m_service.monitorOff.load(), 1);
  EXPECT_EQ(m_service.sessionEvents, (std::vector<std::pair<DWORD, DWORD>>{{WTS_SESSION_LOGON, 1}}));
  EXPECT_EQ(m_host.Reports().size(), 2u);
}

TEST_F(ServiceBaseTest, FailingDisplayHookIsLoggedAndNothingReported) {
  auto record = SettingRecord(GUID_MONITOR_POWER_ON, {1, 0, 0, 0});
  m_service.monitor = {Fail::kCode, 8};
  EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, record.data()), (DWORD)NO_ERROR);
  m_service.monitor = {Fail::kOther};
  EXPECT_EQ(Handle(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, record.data()), (DWORD)NO_ERROR);
  EXPECT_EQ(m_host.EventTexts(), (std::vector<std::wstring>{L"Service handle power event failed w/err 0x00000008",
                                                            L"Service failed to handle power event."}));
}

// Every type writes the entry; the new hook then gets the type and the
// session of the record (none when the record is missing or too short).
TEST_F(ServiceBaseTest, SessionChangeWritesItsEntryWhateverItsType) {
  WTSSESSION_NOTIFICATION notification{sizeof(WTSSESSION_NOTIFICATION), 3};
  WTSSESSION_NOTIFICATION cut{sizeof(DWORD), 4};
  EXPECT_EQ(Handle(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, &notification), (DWORD)NO_ERROR);
  EXPECT_EQ(Handle(SERVICE_CONTROL_SESSIONCHANGE, 0x77), (DWORD)NO_ERROR);
  Handle(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, &cut);
  EXPECT_EQ(m_service.sessionEvents, (std::vector<std::pair<DWORD, DWORD>>{
                                         {WTS_SESSION_LOCK, 3}, {0x77, 0xFFFFFFFF}, {WTS_CONSOLE_CONNECT, 0xFFFFFFFF}}));
  m_service.session = {Fail::kCode, 0x32};
  Handle(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF);
  m_service.session = {Fail::kOther};
  Handle(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF);
  EXPECT_EQ(m_host.EventTexts(),
            (std::vector<std::wstring>{L"Service receive session change", L"Service receive session change",
                                       L"Service receive session change", L"Service receive session change",
                                       L"Service handle session change failed w/err 0x00000032",
                                       L"Service receive session change", L"Service failed to handle session change."}));
  EXPECT_EQ(m_service.sessionChanges.load(), 5);
  EXPECT_EQ(m_service.sessionEvents.size(), 3u) << "a failed OnSessionChange ends the handling";
}

// Only an arrival of a device interface reaches the hook, with its path read
// within the record's size; anything else changes nothing, and the hook's
// failures reach the debug log only.
TEST_F(ServiceBaseTest, DeviceArrivalsReachTheHookWithTheirPath) {
  const std::wstring path = kHidPath;
  auto arrival = InterfaceRecord(path);
  EXPECT_EQ(Handle(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, arrival.data()), (DWORD)NO_ERROR);
  Handle(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, arrival.data());
  auto handle = InterfaceRecord(path, DBT_DEVTYP_HANDLE);
  auto unterminated = InterfaceRecord(path, DBT_DEVTYP_DEVICEINTERFACE, static_cast<DWORD>(arrival.size() - 2));
  auto headerOnly = InterfaceRecord(L"", DBT_DEVTYP_DEVICEINTERFACE, sizeof(DEV_BROADCAST_HDR));
  for (auto* record : {handle.data(), unterminated.data(), headerOnly.data(), static_cast<BYTE*>(nullptr)})
    EXPECT_EQ(Handle(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, record), (DWORD)NO_ERROR);
  m_service.arrival = {Fail::kCode, 8};
  Handle(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, arrival.data());
  m_service.arrival = {Fail::kOther};
  Handle(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, arrival.data());
  EXPECT_EQ(m_service.arrivals, (std::vector<std::wstring>{path, path, path}));
  EXPECT_EQ(m_host.Log().Count("Device arrival without a device interface path"), 4u);
  EXPECT_TRUE(m_host.Log().Has("Service handle device event failed w/err 0x00000008"));
  EXPECT_TRUE(m_host.Log().Has("Service failed to handle device event."));
  EXPECT_TRUE(m_host.EventTexts().empty());
}

// HID arrivals reach the running service through its registration, which is
// undone before SERVICE_STOPPED goes out on every way there (after that
// report the system has dropped it, and an unregister would fail).
enum class End { kStop, kShutdown, kFailedStart };
class DeviceRegistration : public ServiceBaseTest, public testing::WithParamInterface<End> {};

TEST_P(DeviceRegistration, LastsFromTheStartToJustBeforeStopped) {
  if (GetParam() == End::kFailedStart) m_service.start = {Fail::kCode, 2};
  ASSERT_EQ(Scm().Start(kServiceName), (DWORD)ERROR_SUCCESS);
  if (GetParam() != End::kFailedStart) {
    ASSERT_TRUE(Scm().WaitForState(kServiceName, kRunning, kWaitBoundMs));
    const auto deliveries = Scm().BroadcastDeviceInterface(DBT_DEVICEARRIVAL, HidGuid(), kHidPath);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_TRUE(deliveries[0].second.Delivered());
    EXPECT_EQ(m_service.arrivals, std::vector<std::wstring>{kHidPath});
    Send(GetParam() == End::kStop ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_SHUTDOWN);
  }
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(Scm().Status(kServiceName).dwCurrentState, kStopped);
  EXPECT_TRUE(Scm().BroadcastDeviceInterface(DBT_DEVICEARRIVAL, HidGuid(), kHidPath).empty());
  for (const auto& message : m_host.Log().Messages())
    EXPECT_EQ(message.find("UnregisterDeviceNotification fail"), std::string::npos) << "unregistered after STOPPED";
}
INSTANTIATE_TEST_SUITE_P(EveryWayToStopped, DeviceRegistration,
                         testing::Values(End::kStop, End::kShutdown, End::kFailedStart));

// A registration that fails costs the arrivals only.
TEST_F(ServiceBaseTest, ARefusedDeviceRegistrationCostsOnlyTheArrivals) {
  winsim::FaultPlan refused;
  refused.error = ERROR_SERVICE_SPECIFIC_ERROR;
  winsim::CurrentMachine().Part<winsim::Faults>().Arm(winsim::FaultPoint::kRegisterDeviceNotification, refused);
  ASSERT_EQ(Scm().Start(kServiceName), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForState(kServiceName, kRunning, kWaitBoundMs));
  EXPECT_TRUE(m_host.Log().Has("RegisterDeviceNotification fail, Code : 1066"));
  EXPECT_TRUE(Scm().BroadcastDeviceInterface(DBT_DEVICEARRIVAL, HidGuid(), kHidPath).empty());
  EXPECT_TRUE(m_host.EventTexts().empty());
}

// ---- Logging -----------------------------------------------------------------------

TEST_F(ServiceBaseTest, LogMessageWritesTheDebugLogAndUnlessDebugOnlyTheEventLog) {
  m_service.LogMessage(L"to both", EVENTLOG_INFORMATION_TYPE);
  m_service.LogMessage(L"debug only", DEBUGLOG_ONLY);
  m_service.LogMessage(L"Gr\u00fc\u00dfe \u6f22", EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(m_host.EventTexts(), (std::vector<std::wstring>{L"to both", L"Gr\u00fc\u00dfe \u6f22"}));
  EXPECT_TRUE(m_host.Log().Has("to both"));
  EXPECT_TRUE(m_host.Log().Has("debug only"));
  EXPECT_TRUE(m_host.Log().Has("Gr\xc3\xbc\xc3\x9f" "e \xe6\xbc\xa2"));
}

TEST_F(ServiceBaseTest, UnregistrableSourceDropsOnlyTheEventLogHalf) {
  m_host.Events().SetRegistrationFailure(ERROR_ACCESS_DENIED);
  m_service.LogMessage(L"kept in the debug log", EVENTLOG_INFORMATION_TYPE);
  m_service.LogFailure(L"Service Start", 2);
  EXPECT_EQ(m_host.Events().Count(), 0u);
  EXPECT_TRUE(m_host.Log().Has("kept in the debug log"));
  EXPECT_EQ(m_host.Events().OpenSources(), 0u);
}

TEST_F(ServiceBaseTest, TextThatIsNotUtf16StillReachesTheDebugLog) {
  const wchar_t broken[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
  m_service.LogMessage(broken, DEBUGLOG_ONLY);
  EXPECT_TRUE(m_host.Log().Has("a\xef\xbf\xbd" "b"));
}

}  // namespace
