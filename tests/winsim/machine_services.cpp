// The simulated SCM's runtime through its control API: a service process run
// on an SCM thread, the dispatcher, which controls reach a handler in which
// state, the SCM's wait, power-setting registrations, the session changes of
// logons and the device events of devices coming and going, deletion of a
// running service, and the database on disk (persistence, damaged files, rights).
#include "simkit/Folder.h"

#include <gtest/gtest.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/mouse.h>
#include <winsim/sim/process_entry.h>
#include <winsim/sim/services.h>
#include <winsim/sim/touch_controller.h>
#include <winsim/windows.h>

#include <cwctype>

#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

namespace {

using winsim::ControlOutcome;
using winsim::Services;

const wchar_t kName[] = L"SimTestSvc";
const GUID kAwayMode = {0x98A7F580, 0x01F7, 0x48AA, {0x9C, 0x0F, 0x44, 0x35, 0x2C, 0x29, 0xE5, 0xC0}};

struct Received {
  DWORD control, eventType;
  std::vector<BYTE> data;
  DWORD console = 0;  // the console's session while the handler ran
};

// A small service program: what its ServiceMain and handler do is set by the
// test before the SCM starts it.
struct TestProgram {
  DWORD accepted = SERVICE_ACCEPT_STOP;
  bool registerMonitorPower = false;
  // Device-interface notifications ServiceMain registers for: none, one class, every class.
  enum class Devices { kNone, kHid, kOtherClass, kAll } devices = Devices::kNone;
  std::atomic<HDEVNOTIFY> deviceNotify{nullptr};
  bool throwInMain = false;
  UINT exitInMain = 0;           // non-zero: ServiceMain calls ExitProcess with it instead of registering
  UINT exitAfterDispatcher = 0;  // non-zero: the entry calls ExitProcess with it once the dispatcher returned
  std::atomic<bool> entryReturned{false};
  bool stayStartPending = false;
  std::shared_future<void> stopGate;  // when valid, the stop handler blocks on it
  bool ignoreStop = false;            // the stop handler reports STOP_PENDING and never more
  std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};
  std::atomic<DWORD> dispatcherError{0};
  std::atomic<int> inHandler{0};
  std::atomic<bool> overlapped{false};
  std::mutex mutex;
  std::vector<Received> received;
  std::vector<std::wstring> mainArgs;

  void Report(DWORD state, DWORD accepted_) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted_, 0, 0, 0, 0};
    SetServiceStatus(statusHandle, &status);
  }
};

TestProgram* g_program = nullptr;

DWORD WINAPI TestHandler(DWORD control, DWORD eventType, LPVOID data, LPVOID context) {
  auto* program = static_cast<TestProgram*>(context);
  if (program->inHandler.fetch_add(1) != 0) program->overlapped = true;
  {
    std::lock_guard lock(program->mutex);
    Received item{control, eventType, {}};
    if (control == SERVICE_CONTROL_POWEREVENT && eventType == PBT_POWERSETTINGCHANGE && data) {
      auto* setting = static_cast<POWERBROADCAST_SETTING*>(data);
      auto* bytes = static_cast<BYTE*>(data);
      item.data.assign(bytes, bytes + offsetof(POWERBROADCAST_SETTING, Data) + setting->DataLength);
    } else if (control == SERVICE_CONTROL_SESSIONCHANGE && data) {
      auto* bytes = static_cast<BYTE*>(data);
      item.data.assign(bytes, bytes + sizeof(WTSSESSION_NOTIFICATION));
      item.console = WTSGetActiveConsoleSessionId();
    } else if (control == SERVICE_CONTROL_DEVICEEVENT && data) {
      auto* bytes = static_cast<BYTE*>(data);  // valid only during the call
      item.data.assign(bytes, bytes + static_cast<DEV_BROADCAST_HDR*>(data)->dbch_size);
    }
    program->received.push_back(std::move(item));
  }
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    if (program->stopGate.valid()) program->stopGate.wait();
    program->Report(program->ignoreStop ? SERVICE_STOP_PENDING : SERVICE_STOPPED, 0);
  }
  program->inHandler.fetch_sub(1);
  return NO_ERROR;
}

void WINAPI TestServiceMain(DWORD argc, LPWSTR* argv) {
  TestProgram& program = *g_program;
  for (DWORD i = 0; i < argc; ++i) program.mainArgs.emplace_back(argv[i]);
  if (program.throwInMain) throw 42u;
  if (program.exitInMain) ExitProcess(program.exitInMain);
  program.statusHandle = RegisterServiceCtrlHandlerExW(kName, TestHandler, &program);
  if (program.registerMonitorPower)
    RegisterPowerSettingNotification(program.statusHandle, &GUID_MONITOR_POWER_ON, DEVICE_NOTIFY_SERVICE_HANDLE);
  if (program.devices != TestProgram::Devices::kNone) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    if (program.devices == TestProgram::Devices::kOtherClass) filter.dbcc_classguid = GUID_MONITOR_POWER_ON;
    DWORD flags = DEVICE_NOTIFY_SERVICE_HANDLE;
    if (program.devices == TestProgram::Devices::kAll) flags |= DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;
    program.deviceNotify = RegisterDeviceNotificationW(program.statusHandle, &filter, flags);
  }
  program.Report(SERVICE_START_PENDING, program.accepted);
  if (!program.stayStartPending) program.Report(SERVICE_RUNNING, program.accepted);
}

int TestEntry(int, wchar_t**) {
  static WCHAR name[] = L"SimTestSvc";
  SERVICE_TABLE_ENTRYW table[] = {{name, TestServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) g_program->dispatcherError = GetLastError();
  if (g_program->exitAfterDispatcher) ExitProcess(g_program->exitAfterDispatcher);
  g_program->entryReturned = true;
  return 0;
}

int EntryWithoutDispatcher(int, wchar_t**) { return 0; }

std::vector<std::wstring> g_entryArgs;
int RecordingEntry(int argc, wchar_t** argv) {
  g_entryArgs.assign(argv, argv + argc);
  return 0;
}

class ScmTest : public testing::Test {
 protected:
  explicit ScmTest(winsim::Clock::Kind clock = winsim::Clock::Kind::kVirtual) : m_machine(clock) {}
  void SetUp() override {
    g_program = &m_program;
    winsim::SetProcessEntry(TestEntry);
    winsim::ServiceConfig config;
    config.name = kName;
    config.binaryPath = L"C:\\Sim\\SimTestSvc.exe";
    ASSERT_EQ(Scm().Install(config), (DWORD)ERROR_SUCCESS);
  }
  void TearDown() override {
    m_release.set_value();
    Scm().Shutdown();
    winsim::SetProcessEntry(nullptr);
    g_program = nullptr;
  }
  Services& Scm() { return m_machine->Part<Services>(); }
  void StartRunning() {
    ASSERT_EQ(Scm().Start(kName), (DWORD)ERROR_SUCCESS);
    ASSERT_TRUE(Scm().WaitForState(kName, SERVICE_RUNNING, 60000));
  }
  std::vector<DWORD> States() {
    std::vector<DWORD> states;
    for (const auto& report : Scm().Reports(kName)) states.push_back(report.status.dwCurrentState);
    return states;
  }
  std::vector<DWORD> ControlsReceived() {
    std::lock_guard lock(m_program.mutex);
    std::vector<DWORD> controls;
    for (const auto& item : m_program.received) controls.push_back(item.control);
    return controls;
  }

  winsim::ScopedMachine m_machine;
  TestProgram m_program;
  std::promise<void> m_release;
};

TEST_F(ScmTest, StartRunsTheEntryAndStopGoesThroughTheHandler) {
  StartRunning();
  {
    std::lock_guard lock(m_program.mutex);
    EXPECT_EQ(m_program.mainArgs, std::vector<std::wstring>{kName});
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, kName, SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_TRUE(Scm().WaitForProcessEnd(kName, 60000));
  EXPECT_EQ(m_program.dispatcherError.load(), 0u);
  EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

TEST_F(ScmTest, StartArgumentsFollowTheServiceName) {
  ASSERT_EQ(Scm().Start(kName, {L"one", L"two"}), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForState(kName, SERVICE_RUNNING, 60000));
  std::lock_guard lock(m_program.mutex);
  EXPECT_EQ(m_program.mainArgs, (std::vector<std::wstring>{kName, L"one", L"two"}));
}

TEST_F(ScmTest, TheEntryGetsTheImagePathAsItsCommandLine) {
  winsim::ServiceConfig config;
  config.name = L"QuotedSvc";
  config.binaryPath = L"\"C:\\Program Files\\Q\\q.exe\" -service  two";
  ASSERT_EQ(Scm().Install(config), (DWORD)ERROR_SUCCESS);
  winsim::SetProcessEntry(RecordingEntry);
  EXPECT_EQ(Scm().Start(L"QuotedSvc"), (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
  ASSERT_TRUE(Scm().WaitForProcessEnd(L"QuotedSvc", 60000));
  EXPECT_EQ(g_entryArgs, (std::vector<std::wstring>{L"C:\\Program Files\\Q\\q.exe", L"-service", L"two"}));
}

TEST_F(ScmTest, StartRefusals) {
  StartRunning();
  EXPECT_EQ(Scm().Start(kName), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_EQ(Scm().Start(L"NoSuchSvc"), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
  winsim::ServiceConfig disabled;
  disabled.name = L"DisabledSvc";
  disabled.binaryPath = L"C:\\x.exe";
  disabled.startType = SERVICE_DISABLED;
  ASSERT_EQ(Scm().Install(disabled), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(Scm().Start(L"DisabledSvc"), (DWORD)ERROR_SERVICE_DISABLED);
}

TEST_F(ScmTest, ProcessThatNeverConnectsTimesOutTheStart) {
  winsim::SetProcessEntry(EntryWithoutDispatcher);
  EXPECT_EQ(Scm().Start(kName), (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(Scm().Status(kName).dwCurrentState, (DWORD)SERVICE_STOPPED);
}

TEST_F(ScmTest, ServiceMainThatThrowsEndsTheProcessAsAborted) {
  m_program.throwInMain = true;
  ASSERT_EQ(Scm().Start(kName), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForProcessEnd(kName, 60000));
  EXPECT_EQ(m_program.dispatcherError.load(), (DWORD)ERROR_PROCESS_ABORTED);
  SERVICE_STATUS status = Scm().Status(kName);
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);
}

// The process's exit code: what the entry returned, or what ExitProcess was
// given, on the main thread after the dispatcher returned (the service has
// reported its own stop) or in ServiceMain (the first code is kept, whatever
// the unwinding dispatcher does after it).
TEST_F(ScmTest, ProcessExitCodeIsTheEntrysResultOrTheFirstExitProcessCode) {
  StartRunning();
  EXPECT_EQ(Scm().ProcessExitCode(kName), std::nullopt);
  ASSERT_TRUE(Scm().Stop(kName).Delivered());
  ASSERT_TRUE(Scm().WaitForProcessEnd(kName, 60000));
  EXPECT_EQ(Scm().ProcessExitCode(kName), std::optional<DWORD>(0));
  EXPECT_TRUE(m_program.entryReturned.load());

  m_program.entryReturned = false;
  m_program.exitAfterDispatcher = ERROR_TIMEOUT;
  StartRunning();
  ASSERT_TRUE(Scm().Stop(kName).Delivered());
  ASSERT_TRUE(Scm().WaitForProcessEnd(kName, 60000));
  EXPECT_EQ(Scm().ProcessExitCode(kName), std::optional<DWORD>(ERROR_TIMEOUT));
  EXPECT_FALSE(m_program.entryReturned.load());
  SERVICE_STATUS status = Scm().Status(kName);
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, (DWORD)NO_ERROR);  // the service's own report stands
  EXPECT_FALSE(Scm().Reports(kName).back().bySCM);

  m_program.exitAfterDispatcher = 0;
  m_program.exitInMain = ERROR_INVALID_NAME;
  ASSERT_EQ(Scm().Start(kName), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForProcessEnd(kName, 60000));
  EXPECT_EQ(Scm().ProcessExitCode(kName), std::optional<DWORD>(ERROR_INVALID_NAME));
  EXPECT_FALSE(m_program.entryReturned.load());
  status = Scm().Status(kName);
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);
}

TEST_F(ScmTest, UnacceptedControlsAreNotDelivered) {
  StartRunning();
  EXPECT_EQ(Scm().PowerEvent(kName, PBT_APMSUSPEND).error, (DWORD)ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(Scm().SessionChange(kName, WTS_SESSION_LOGON, 1).error, (DWORD)ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(Scm().Shutdown(kName).error, (DWORD)ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(Scm().Control(kName, SERVICE_CONTROL_PAUSE).error, (DWORD)ERROR_INVALID_SERVICE_CONTROL);
  // Interrogate and user-defined controls reach every running service.
  EXPECT_TRUE(Scm().Control(kName, SERVICE_CONTROL_INTERROGATE).Delivered());
  EXPECT_TRUE(Scm().Control(kName, 200).Delivered());
  EXPECT_EQ(ControlsReceived(), (std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, 200}));
}

TEST_F(ScmTest, AcceptedPowerAndSessionEventsArriveWithTheirData) {
  m_program.accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;
  StartRunning();
  ASSERT_TRUE(Scm().PowerEvent(kName, PBT_APMRESUMEAUTOMATIC).Delivered());
  ASSERT_TRUE(Scm().SessionChange(kName, WTS_SESSION_UNLOCK, 7).Delivered());
  std::lock_guard lock(m_program.mutex);
  ASSERT_EQ(m_program.received.size(), 2u);
  EXPECT_EQ(m_program.received[0].eventType, (DWORD)PBT_APMRESUMEAUTOMATIC);
  EXPECT_EQ(m_program.received[1].eventType, (DWORD)WTS_SESSION_UNLOCK);
  WTSSESSION_NOTIFICATION notification;
  std::memcpy(&notification, m_program.received[1].data.data(), sizeof(notification));
  EXPECT_EQ(notification.cbSize, (DWORD)sizeof(notification));
  EXPECT_EQ(notification.dwSessionId, 7u);
}

// The session changes Windows sends for each logon, switch and logoff, in
// its order; the console has no session between a disconnect and a connect.
TEST_F(ScmTest, SessionChangesFollowLogonsSwitchesAndLogoffsInWindowsOrder) {
  auto& identity = m_machine->Part<winsim::Identity>();
  StartRunning();
  identity.LogOn(L"Robin");  // not accepted: not delivered
  EXPECT_TRUE(ControlsReceived().empty());
  ASSERT_TRUE(Scm().Stop(kName).Delivered());
  ASSERT_TRUE(Scm().WaitForProcessEnd(kName, 60000));

  m_program.accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE;
  StartRunning();
  m_program.received.clear();
  std::vector<std::wstring> observed;
  Scm().SetSystemControlObserver([&](const winsim::SystemControl& control) {
    observed.push_back(control.service + L" " + std::to_wstring(control.eventType) + L" " +
                       std::to_wstring(control.sessionId) + L" " + std::to_wstring(control.error));
  });
  identity.LogOn(L"Sam");       // from Robin's session 2: a new session 3
  identity.SwitchTo(L"Dana");   // to session 1
  identity.LogOff(L"Dana");     // the console's: the logon screen comes in session 4
  identity.LogOn(L"Kim");       // takes the logon screen's session
  identity.LogOff(L"Robin");    // disconnected: its logoff alone
  Scm().SetSystemControlObserver(nullptr);
  struct Notice {
    DWORD type, session, console;
  };
  const Notice expected[] = {
      {WTS_CONSOLE_DISCONNECT, 2, winsim::kNoSession}, {WTS_CONSOLE_CONNECT, 3, 3}, {WTS_SESSION_LOGON, 3, 3},
      {WTS_CONSOLE_DISCONNECT, 3, winsim::kNoSession}, {WTS_CONSOLE_CONNECT, 1, 1},
      {WTS_SESSION_LOGOFF, 1, 1},  {WTS_CONSOLE_DISCONNECT, 1, winsim::kNoSession}, {WTS_CONSOLE_CONNECT, 4, 4},
      {WTS_SESSION_LOGON, 4, 4},   {WTS_SESSION_LOGOFF, 2, 4},
  };
  std::lock_guard lock(m_program.mutex);
  ASSERT_EQ(m_program.received.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const auto& got = m_program.received[i];
    WTSSESSION_NOTIFICATION notification;
    std::memcpy(&notification, got.data.data(), sizeof(notification));
    EXPECT_EQ(got.control, (DWORD)SERVICE_CONTROL_SESSIONCHANGE) << i;
    EXPECT_EQ(got.eventType, expected[i].type) << i;
    EXPECT_EQ(notification.cbSize, (DWORD)sizeof(notification)) << i;
    EXPECT_EQ(notification.dwSessionId, expected[i].session) << i;
    EXPECT_EQ(got.console, expected[i].console) << i;
    EXPECT_EQ(observed.at(i), std::wstring(kName) + L" " + std::to_wstring(expected[i].type) + L" " +
                                   std::to_wstring(expected[i].session) + L" 0")
        << i;
  }
}

std::wstring Upper(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// The device's interfaces, case aside: each collection of a device that comes
// or goes is an interface of its own.
std::vector<std::wstring> UpperPaths(const winsim::HidDevicePort& device) {
  std::vector<std::wstring> paths;
  for (size_t i = 0; i < device.CollectionCount(); ++i) paths.push_back(Upper(device.Path(i)));
  return paths;
}

// The interfaces named by the device events of that type taken so far, case
// aside; the event names the device ID in upper case, as Windows does.
std::vector<std::wstring> DeviceEvents(TestProgram& program, DWORD type) {
  std::lock_guard lock(program.mutex);
  std::vector<std::wstring> names;
  for (const auto& item : program.received) {
    if (item.control != SERVICE_CONTROL_DEVICEEVENT || item.eventType != type) continue;
    const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(item.data.data());
    EXPECT_EQ(record->dbcc_devicetype, (DWORD)DBT_DEVTYP_DEVICEINTERFACE);
    EXPECT_TRUE(record->dbcc_classguid == winsim::kHidInterfaceClassGuid);
    const std::wstring name = record->dbcc_name;
    const std::wstring deviceId = name.substr(0, name.find(L'#', name.find(L'#') + 1));
    EXPECT_EQ(deviceId, Upper(deviceId));
    names.push_back(Upper(name));
  }
  program.received.clear();
  return names;
}

TEST_F(ScmTest, DeviceEventsReachTheServicesRegisteredForTheirClass) {
  m_program.devices = TestProgram::Devices::kHid;  // no accept flag needed
  StartRunning();
  ASSERT_NE(m_program.deviceNotify.load(), nullptr);
  auto mouse = winsim::AttachMouse(*m_machine);
  EXPECT_EQ(DeviceEvents(m_program, DBT_DEVICEARRIVAL), UpperPaths(*mouse));

  auto controller = winsim::TouchControllers(*m_machine).at(0);
  controller->Detach();
  auto device = m_machine->Part<winsim::HidBus>().Devices().at(0);
  EXPECT_EQ(DeviceEvents(m_program, DBT_DEVICEREMOVECOMPLETE), UpperPaths(*device));
  controller->Attach();
  EXPECT_EQ(DeviceEvents(m_program, DBT_DEVICEARRIVAL), UpperPaths(*device));

  ASSERT_TRUE(UnregisterDeviceNotification(m_program.deviceNotify));
  SetLastError(0);
  EXPECT_FALSE(UnregisterDeviceNotification(m_program.deviceNotify));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  mouse->Unplug();
  EXPECT_TRUE(ControlsReceived().empty());
}

TEST_F(ScmTest, DeviceEventsFollowTheRegisteredClassAndEndWithTheService) {
  m_program.devices = TestProgram::Devices::kOtherClass;
  StartRunning();
  auto mouse = winsim::AttachMouse(*m_machine);
  EXPECT_TRUE(ControlsReceived().empty());
  ASSERT_TRUE(Scm().Stop(kName).Delivered());
  ASSERT_TRUE(Scm().WaitForProcessEnd(kName, 60000));

  m_program.devices = TestProgram::Devices::kAll;
  m_program.received.clear();
  StartRunning();
  mouse->Unplug();
  EXPECT_EQ(DeviceEvents(m_program, DBT_DEVICEREMOVECOMPLETE).size(), 1u);
  // Still registered when it stops: the registration goes with the service.
  ASSERT_TRUE(Scm().Stop(kName).Delivered());
  SetLastError(0);
  EXPECT_FALSE(UnregisterDeviceNotification(m_program.deviceNotify));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  mouse->Replug();
  EXPECT_EQ(ControlsReceived(), std::vector<DWORD>{SERVICE_CONTROL_STOP});
  ASSERT_TRUE(Scm().WaitForProcessEnd(kName, 60000));

  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  SetLastError(0);
  EXPECT_EQ(RegisterDeviceNotificationW(m_program.statusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE) << "the status handle of a service that stopped";
}

TEST_F(ScmTest, PowerSettingChangeReachesOnlyARegisteredService) {
  StartRunning();
  EXPECT_EQ(Scm().PowerSettingChange(kName, GUID_MONITOR_POWER_ON, {1}).error, (DWORD)ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_TRUE(ControlsReceived().empty());
}

TEST_F(ScmTest, RegisteredPowerSettingArrivesAsPowerBroadcastSetting) {
  m_program.registerMonitorPower = true;
  StartRunning();
  EXPECT_TRUE(Scm().IsRegisteredForPowerSetting(kName, GUID_MONITOR_POWER_ON));
  ASSERT_TRUE(Scm().PowerSettingChange(kName, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  EXPECT_EQ(Scm().PowerSettingChange(kName, kAwayMode, {1}).error, (DWORD)ERROR_INVALID_SERVICE_CONTROL);
  std::lock_guard lock(m_program.mutex);
  ASSERT_EQ(m_program.received.size(), 1u);
  const auto& data = m_program.received[0].data;
  ASSERT_EQ(data.size(), offsetof(POWERBROADCAST_SETTING, Data) + 4);
  POWERBROADCAST_SETTING header;
  std::memcpy(&header, data.data(), offsetof(POWERBROADCAST_SETTING, Data));
  EXPECT_TRUE(header.PowerSetting == GUID_MONITOR_POWER_ON);
  EXPECT_EQ(header.DataLength, 4u);
  EXPECT_EQ(data[offsetof(POWERBROADCAST_SETTING, Data)], 1);
}

TEST_F(ScmTest, StartPendingServiceTakesOnlyAStop) {
  m_program.stayStartPending = true;
  ASSERT_EQ(Scm().Start(kName), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForReports(kName, 1, 60000));
  EXPECT_EQ(Scm().Control(kName, SERVICE_CONTROL_INTERROGATE).error, (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_TRUE(Scm().Stop(kName).Delivered());
  EXPECT_EQ(Scm().Status(kName).dwCurrentState, (DWORD)SERVICE_STOPPED);
}

// The handler hangs by host means (a promise) while the SCM's time-out runs:
// real concurrency, on the scaled clock.
class ScmHangingHandlerTest : public ScmTest {
 protected:
  ScmHangingHandlerTest() : ScmTest(winsim::Clock::Kind::kScaled) {}
};

TEST_F(ScmHangingHandlerTest, TimesOutTheControlButNotTheMachine) {
  std::promise<void> gate;
  m_program.stopGate = gate.get_future().share();
  StartRunning();
  ControlOutcome outcome = Scm().Stop(kName);
  EXPECT_EQ(outcome.error, (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(outcome.status.dwCurrentState, (DWORD)SERVICE_RUNNING);
  gate.set_value();
  EXPECT_TRUE(Scm().WaitForState(kName, SERVICE_STOPPED, 60000));
}

TEST_F(ScmTest, ControlsFromManyThreadsRunOneAtATime) {
  StartRunning();
  std::vector<std::thread> senders;
  for (int i = 0; i < 4; ++i)
    senders.emplace_back([&] {
      for (int k = 0; k < 10; ++k) EXPECT_TRUE(Scm().Control(kName, SERVICE_CONTROL_INTERROGATE).Delivered());
    });
  for (auto& sender : senders) sender.join();
  EXPECT_FALSE(m_program.overlapped.load());
  EXPECT_EQ(ControlsReceived().size(), 40u);
}

TEST_F(ScmTest, DeletingARunningServiceWaitsForItsStop) {
  StartRunning();
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceW(manager, kName, DELETE | SERVICE_STOP);
  ASSERT_TRUE(DeleteService(service));
  CloseServiceHandle(service);
  ASSERT_TRUE(Scm().Find(kName).has_value());
  EXPECT_TRUE(Scm().Find(kName)->deletePending);
  EXPECT_EQ(Scm().Start(kName), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(CreateServiceW(manager, kName, nullptr, 0, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, 0,
                           L"C:\\x.exe", nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
  ASSERT_TRUE(Scm().Stop(kName).Delivered());
  EXPECT_FALSE(Scm().Find(kName).has_value());
  CloseServiceHandle(manager);
}

TEST_F(ScmTest, ObserverSeesEveryReportInOrder) {
  std::mutex mutex;
  std::vector<DWORD> seen;
  Scm().SetStatusObserver([&](const std::wstring& name, const winsim::StatusReport& report) {
    EXPECT_EQ(name, kName);
    std::lock_guard lock(mutex);
    seen.push_back(report.status.dwCurrentState);
  });
  StartRunning();
  ASSERT_TRUE(Scm().Stop(kName).Delivered());
  Scm().SetStatusObserver(nullptr);
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, States());
}

TEST_F(ScmTest, StatusReportsAreChecked) {
  StartRunning();
  SERVICE_STATUS bad{SERVICE_WIN32_OWN_PROCESS, 9, 0, 0, 0, 0, 0};
  SetLastError(0);
  EXPECT_FALSE(SetServiceStatus(m_program.statusHandle, &bad));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
  SERVICE_STATUS good{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(nullptr, &good));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetServiceStatus(m_program.statusHandle, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);
}

TEST_F(ScmTest, MachineShutdownStopsRunningServices) {
  StartRunning();
  Scm().Shutdown();
  EXPECT_EQ(Scm().Status(kName).dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_EQ(ControlsReceived(), std::vector<DWORD>{SERVICE_CONTROL_STOP});
}

TEST_F(ScmTest, MachineShutdownEndsAServiceThatNeverStops) {
  m_program.ignoreStop = true;
  StartRunning();
  Scm().Shutdown();
  EXPECT_TRUE(Scm().WaitForProcessEnd(kName, 0));
  SERVICE_STATUS status = Scm().Status(kName);
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_PROCESS_ABORTED);
  EXPECT_EQ(m_program.dispatcherError.load(), 0u);
}

// ---- The database on disk ------------------------------------------------------

winsim::MachineConfig ConfigAt(const std::filesystem::path& root) {
  winsim::MachineConfig config;
  config.root = root;
  return config;
}

class ScmDatabaseTest : public testing::Test {
 protected:
  simkit::FreshFolder m_folder;
  const std::filesystem::path& m_root = m_folder.Path();
};

TEST_F(ScmDatabaseTest, InstallAndDeleteLastAcrossMachines) {
  {
    winsim::ScopedMachine machine(ConfigAt(m_root));
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    SC_HANDLE service = CreateServiceW(manager, L"Persisted Svc", L"Persisted \u00e9 display", SERVICE_QUERY_STATUS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       L"C:\\Program Files\\p=1%.exe", nullptr, nullptr, L"Dep1\0Dep2\0", nullptr,
                                       nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  {
    winsim::ScopedMachine machine(ConfigAt(m_root));
    auto found = machine->Part<Services>().Find(L"PERSISTED SVC");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->displayName, L"Persisted \u00e9 display");
    EXPECT_EQ(found->binaryPath, L"C:\\Program Files\\p=1%.exe");
    EXPECT_EQ(found->startType, (DWORD)SERVICE_AUTO_START);
    EXPECT_EQ(found->dependencies, (std::vector<std::wstring>{L"Dep1", L"Dep2"}));
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"Persisted Svc", DELETE);
    ASSERT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  winsim::ScopedMachine machine(ConfigAt(m_root));
  EXPECT_TRUE(machine->Part<Services>().List().empty());
}

TEST_F(ScmDatabaseTest, DamagedLinesAreSkippedAndTheRestServes) {
  {
    std::ofstream out(m_root / "services.db", std::ios::binary);
    out << "garbage line\n"
        << "service name=Good path=C:%5Cgood.exe type=16 start=3 error=1\n"
        << "service name=NoPath type=16 start=3 error=1\n"
        << "service name=BadNumber path=x type=sixteen start=3 error=1\n"
        << "service name=Bad%ZZescape path=x type=16 start=3 error=1\n"
        << "service name=Bad%C3utf8 path=x type=16 start=3 error=1\n"
        << "service name=good path=C:%5Cduplicate.exe type=16 start=3 error=1\n"
        << std::string("\0\xff\xfe service name=", 17) << "\n"
        << "service name=Trunc";
  }
  winsim::ScopedMachine machine(ConfigAt(m_root));
  auto& scm = machine->Part<Services>();
  auto list = scm.List();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, L"Good");
  EXPECT_EQ(list[0].binaryPath, L"C:\\good.exe");
  winsim::ServiceConfig config;
  config.name = L"Added";
  config.binaryPath = L"C:\\added.exe";
  EXPECT_EQ(scm.Install(config), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(scm.List().size(), 2u);
}

TEST_F(ScmDatabaseTest, NonAdministratorMayOnlyConnectAndQuery) {
  winsim::ScopedMachine machine(ConfigAt(m_root));
  winsim::ServiceConfig config;
  config.name = L"Guarded";
  config.binaryPath = L"C:\\g.exe";
  ASSERT_EQ(machine->Part<Services>().Install(config), (DWORD)ERROR_SUCCESS);
  machine->Part<Services>().SetAdministrator(false);
  SetLastError(0);
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(OpenServiceW(manager, L"Guarded", DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  SC_HANDLE query = OpenServiceW(manager, L"Guarded", GENERIC_READ);
  EXPECT_NE(query, nullptr);
  SERVICE_STATUS status{};
  EXPECT_TRUE(QueryServiceStatus(query, &status));
  EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_SERVICE_NEVER_STARTED);
  CloseServiceHandle(query);
  CloseServiceHandle(manager);
}

}  // namespace
