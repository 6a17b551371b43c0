#include "simulator.h"

#include <handles/win32.h>
#include <winsim/dbt.h>
#include <winsim/sim/eventlog.h>
#include <winsim/sim/hidbus.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/mouse.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>

#include <thread>

namespace vornsim {

namespace {

constexpr const wchar_t* kServiceName = L"VornPalmixSvc";
// How long the end of a script waits for the service to stop and its process
// to return, in simulated ms: a push in progress may hold the controller's
// mutex up to 15 s.
constexpr uint64_t kStopWaitMs = 60000;

std::wstring StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return L"STOPPED";
    case SERVICE_START_PENDING: return L"START_PENDING";
    case SERVICE_STOP_PENDING: return L"STOP_PENDING";
    case SERVICE_RUNNING: return L"RUNNING";
    case SERVICE_CONTINUE_PENDING: return L"CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return L"PAUSE_PENDING";
    case SERVICE_PAUSED: return L"PAUSED";
    default: return L"state " + std::to_wstring(state);
  }
}

std::wstring Refusal(DWORD error) {
  switch (error) {
    case ERROR_SERVICE_NOT_ACTIVE: return L"not delivered: the service is not running";
    case ERROR_INVALID_SERVICE_CONTROL: return L"not delivered: the service does not accept it";
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL: return L"not delivered: the service cannot accept controls now";
    case ERROR_SERVICE_ALREADY_RUNNING: return L"refused: the service is already running";
    case ERROR_SERVICE_REQUEST_TIMEOUT: return L"the service did not answer in time";
    default: return L"failed with error " + std::to_wstring(error);
  }
}

std::wstring EventText(const winsim::EventRecord& record) {
  std::wstring text;
  for (size_t i = 0; i < record.strings.size(); ++i) {
    // The service's entries carry its name as the first insertion string.
    if (i == 0 && record.strings.size() > 1 && record.strings[0] == record.source) continue;
    if (!text.empty()) text += L' ';
    text += record.strings[i];
  }
  // One line per happening: an entry's closing line break (the controller's
  // error texts end in one) is not printed.
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return record.source + L": " + text;
}

}  // namespace

namespace {
// The kit's machine for `config`, on virtual time (its time scale is the
// pace), with the making thread as its player.
simkit::MachineOptions OptionsFor(const winsim::MachineConfig& config, bool debugLog) {
  return {.controller = config.controller,
          .userLoggedOn = config.defaultUserLoggedOn,
          .debugLog = debugLog,
          .wallOriginMs = config.wallOriginMs,
          .pace = config.timeScale,
          .root = config.root,
          .member = "player"};
}
}  // namespace

// Waits for the mutex as any process would (a push may hold it for a moment)
// and keeps it until the holder goes.
class Simulator::MutexHolder {
 public:
  explicit MutexHolder(winsim::Clock& clock) : m_clock(clock) {
    m_thread = clock.StartThread("mutex holder", [letGo = m_letGo.Get()] {
      const handles::ObjectHandle mutex(CreateMutexA(nullptr, FALSE, "GMutexTouchIC"));
      const DWORD dwWait = WaitForSingleObject(mutex.Get(), INFINITE);
      WaitForSingleObject(letGo, INFINITE);
      if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED) ReleaseMutex(mutex.Get());
    });
  }
  ~MutexHolder() {
    SetEvent(m_letGo.Get());
    m_clock.Join(m_thread);
  }
  MutexHolder(const MutexHolder&) = delete;
  MutexHolder& operator=(const MutexHolder&) = delete;

 private:
  winsim::Clock& m_clock;
  const handles::ObjectHandle m_letGo{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::thread m_thread;
};

Simulator::Simulator(const winsim::MachineConfig& config, Timeline::Sink sink, bool debugLog)
    : m_machine(OptionsFor(config, debugLog)) {
  m_timeline = std::make_unique<Timeline>(m_machine->clock(), std::move(sink));
  auto& scm = m_machine.Scm();
  scm.SetStatusObserver([this](const std::wstring& name, const winsim::StatusReport& report) {
    if (name == kServiceName) OnStatus(report.status.dwCurrentState, report.bySCM, report.timeMs);
  });
  scm.SetSystemControlObserver([this](const winsim::SystemControl& control) {
    if (control.service == kServiceName) Sent(control);
  });
  m_machine->Part<winsim::EventLog>().SetObserver(
      [this](const winsim::EventRecord& record) { m_timeline->PrintAt(record.timeMs, L"event", EventText(record)); });
  m_machine->Part<winsim::HidBus>();  // plugs the machine's controllers
  for (const auto& controller : winsim::TouchControllers(*m_machine)) Watch(controller);
  m_machine->Part<winsim::Registry>();
  SampleBoot();
}

// The machine boots with its display on and the service stopped.
void Simulator::SampleBoot() {
  const uint64_t now = m_machine->clock().NowMs();
  m_bands.Set(now, L"service", ServiceStateText(m_machine->Part<winsim::Services>().Status(kServiceName).dwCurrentState));
  m_bands.Set(now, L"display", L"on");
  Sample();
  const auto controllers = winsim::TouchControllers(*m_machine);
  m_bands.Set(now, L"wake-on-touch", controllers.empty() ? L"unknown" : controllers.back()->State().wakeOnTouch ? L"on" : L"off");
}

Simulator::~Simulator() {
  Finish();
  LetGoOfMutex(false);
  m_machine->Part<winsim::Services>().SetStatusObserver(nullptr);
  m_machine->Part<winsim::Services>().SetSystemControlObserver(nullptr);
  m_machine->Part<winsim::EventLog>().SetObserver(nullptr);
  for (const auto& controller : winsim::TouchControllers(*m_machine)) controller->SetObserver(nullptr);
}

void Simulator::OnStatus(DWORD state, bool bySCM, uint64_t timeMs) {
  // The SCM records STOPPED itself when the process ends; the service's own
  // report has been shown already.
  if (bySCM && state == m_lastState) return;
  m_lastState = state;
  m_timeline->PrintAt(timeMs, L"scm", std::wstring(kServiceName) + L" " + StateName(state));
  m_bands.Set(timeMs, L"service", ServiceStateText(state));
}

void Simulator::Watch(const std::shared_ptr<winsim::TouchController>& controller) {
  controller->SetObserver([this](const winsim::ControllerEvent& event) {
    using Kind = winsim::ControllerEvent::Kind;
    switch (event.kind) {
      case Kind::kReportOut: m_timeline->Print(L"wire", L"out " + FormatReport(event.bytes)); break;
      case Kind::kReportIn: m_timeline->Print(L"wire", L"in " + FormatReport(event.bytes)); break;
      case Kind::kWriteFailed:
        m_timeline->Print(L"wire", L"out " + FormatReport(event.bytes) + L" (write failed)");
        break;
      case Kind::kWriteHung:
        m_timeline->Print(L"wire", L"out " + FormatReport(event.bytes) + L" (write hangs)");
        break;
      case Kind::kAction: Acted(event.action); break;
    }
  });
}

void Simulator::Acted(winsim::ControllerAction action) {
  const std::wstring name = Widen(winsim::ActionName(action));
  m_timeline->Print(L"ctl", name);
  if (name == L"wake-on-touch on" || name == L"wake-on-touch off")
    m_bands.Set(m_machine->clock().NowMs(), L"wake-on-touch", name.substr(name.rfind(L' ') + 1));
}

void Simulator::Play(const Command& command) {
  m_timeline->Print(L"sim", Widen(command.text));
  switch (command.kind) {
    case CommandKind::kStart: Start(); break;
    case CommandKind::kStop: Stop(); break;
    case CommandKind::kDisplayOn: Display(true); break;
    case CommandKind::kDisplayOff: Display(false); break;
    case CommandKind::kPowerSuspend: Power(PBT_APMSUSPEND); break;
    case CommandKind::kPowerResume: Power(PBT_APMRESUMEAUTOMATIC); break;
    case CommandKind::kSessionChange: SessionChange(command.sessionEvent); break;
    case CommandKind::kTouchSet:
    case CommandKind::kTouchDelete: Touch(command); break;
    case CommandKind::kLogOn: LogOn(command.name); break;
    case CommandKind::kSwitch: SwitchTo(command.name); break;
    case CommandKind::kLogOff: LogOff(command.name); break;
    case CommandKind::kMouseAttach: AttachMouse(); break;
    case CommandKind::kMouseDetach: DetachMice(); break;
    case CommandKind::kControllerAttach: AttachController(command); break;
    case CommandKind::kControllerDetach: DetachControllers(); break;
    case CommandKind::kControllerFault: SetFault(command.name); break;
    case CommandKind::kMutexHold: HoldMutex(); break;
    case CommandKind::kMutexRelease: LetGoOfMutex(true); break;
    case CommandKind::kWait: m_machine->clock().Sleep(command.waitMs); return;
  }
  Sample();
}

void Simulator::Control(const std::wstring& what, DWORD error) {
  if (error != ERROR_SUCCESS) m_timeline->Print(L"sim", what + L" " + Refusal(error));
}

void Simulator::Start() { Control(L"start", m_machine->Part<winsim::Services>().Start(kServiceName)); }

void Simulator::Stop() {
  auto& scm = m_machine->Part<winsim::Services>();
  auto outcome = scm.Stop(kServiceName);
  Control(L"stop", outcome.error);
  if (outcome.Delivered()) scm.WaitForState(kServiceName, SERVICE_STOPPED, kStopWaitMs);
}

void Simulator::Display(bool on) {
  std::vector<BYTE> value{static_cast<BYTE>(on ? 1 : 0)};
  auto outcome = m_machine->Part<winsim::Services>().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, value);
  m_bands.Set(m_machine->clock().NowMs(), L"display", on ? L"on" : L"off");
  Control(on ? L"display on" : L"display off", outcome.error);
}

void Simulator::Power(DWORD event) {
  auto outcome = m_machine->Part<winsim::Services>().PowerEvent(kServiceName, event);
  Control(event == PBT_APMSUSPEND ? L"power suspend" : L"power resume", outcome.error);
}

// A change of the console's session, sent to the service alone.
void Simulator::SessionChange(DWORD sessionEvent) {
  const DWORD console = m_machine->Part<winsim::Identity>().ConsoleSession();
  auto outcome = m_machine->Part<winsim::Services>().SessionChange(kServiceName, sessionEvent, console);
  Control(L"session change", outcome.error);
}

void Simulator::Sent(const winsim::SystemControl& control) {
  std::wstring text;
  if (control.control == SERVICE_CONTROL_SESSIONCHANGE)
    text = L"session change " + Widen(SessionEventName(control.eventType)) + L" " + std::to_wstring(control.sessionId);
  else
    text = std::wstring(control.eventType == DBT_DEVICEARRIVAL ? L"device arrival " : L"device removal ") +
           control.devicePath;
  if (control.error != ERROR_SUCCESS) text += L" " + Refusal(control.error);
  m_timeline->Print(L"sim", text);
}

std::wstring Simulator::WakeKeyOf(const std::string& name) {
  auto& identity = m_machine->Part<winsim::Identity>();
  std::wstring sid;
  if (!name.empty()) {
    sid = identity.LoggedOnSid(Widen(name));
    if (sid.empty()) {
      m_timeline->Print(L"sim", Widen(name) + L" is not logged on: no setting to change");
      return {};
    }
  } else {
    sid = identity.ConsoleUserSid();
    if (sid.empty()) {
      m_timeline->Print(L"sim", identity.LoggedOnUserSids().empty() ? L"nobody is logged on: no setting to change"
                                                                    : L"nobody is at the console: no setting to change");
      return {};
    }
  }
  return simkit::WakeKey(sid);
}

void Simulator::Touch(const Command& command) {
  const std::wstring key = WakeKeyOf(command.name);
  if (key.empty()) return;
  auto& registry = m_machine->Part<winsim::Registry>();
  if (command.kind == CommandKind::kTouchSet)
    registry.SetDword(key, L"Touch", command.touchValue);
  else if (!registry.DeleteValue(key, L"Touch"))
    m_timeline->Print(L"sim", L"the user has no \"Touch\" value");
}

// The session changes the logon sends are printed as they go (Sent).
void Simulator::LogOn(const std::string& name) {
  auto& identity = m_machine->Part<winsim::Identity>();
  const std::wstring wide = Widen(name);
  if (!identity.LoggedOnSid(wide).empty()) {
    m_timeline->Print(L"sim", wide + L" is logged on already");
    return;
  }
  m_timeline->Print(L"sim", wide + L" is logged on as " + identity.AddUser(wide) + L" (explorer.exe starts " +
                                std::to_wstring(winsim::Identity::kShellStartDelayMs / 1000) + L" s later)");
  identity.LogOn(wide);
}

void Simulator::SwitchTo(const std::string& name) {
  auto& identity = m_machine->Part<winsim::Identity>();
  const std::wstring wide = Widen(name);
  const std::wstring sid = identity.LoggedOnSid(wide);
  if (sid.empty()) return m_timeline->Print(L"sim", wide + L" is not logged on: the console stays");
  if (sid == identity.ConsoleUserSid()) return m_timeline->Print(L"sim", wide + L" has the console already");
  identity.SwitchTo(wide);
}

void Simulator::LogOff(const std::string& name) {
  auto& identity = m_machine->Part<winsim::Identity>();
  if (name.empty()) return identity.LogOffAll();
  if (!identity.LogOff(Widen(name))) m_timeline->Print(L"sim", Widen(name) + L" is not logged on");
}

void Simulator::AttachMouse() {
  const auto mice = winsim::Mice(*m_machine);
  if (!mice.empty() && mice.back()->Plugged()) return m_timeline->Print(L"sim", L"a mouse is attached already");
  if (mice.empty())
    winsim::AttachMouse(*m_machine);
  else
    mice.back()->Replug();
}

void Simulator::DetachMice() {
  bool any = false;
  for (const auto& mouse : winsim::Mice(*m_machine)) {
    any = any || mouse->Plugged();
    mouse->Unplug();
  }
  if (!any) m_timeline->Print(L"sim", L"no mouse is attached");
}

void Simulator::AttachController(const Command& command) {
  for (const auto& controller : winsim::TouchControllers(*m_machine)) {
    if (controller->Attached()) {
      m_timeline->Print(L"sim", L"a controller is attached already");
      return;
    }
  }
  // The controller unplugged before comes back, unless another one is asked for.
  auto controllers = winsim::TouchControllers(*m_machine);
  if (!controllers.empty() && (!command.productId || *command.productId == controllers.back()->State().productId)) {
    auto& controller = controllers.back();
    if (command.firmware) controller->SetFirmwareVersion(*command.firmware);
    ApplyFault(*controller);
    controller->Attach();
    return;
  }
  winsim::TouchControllerConfig config;
  if (command.firmware) config.firmwareVersion = *command.firmware;
  if (command.productId) config.productId = *command.productId;
  auto controller = winsim::AttachTouchController(*m_machine, config);
  ApplyFault(*controller);
  Watch(controller);
}

void Simulator::DetachControllers() {
  bool any = false;
  for (const auto& controller : winsim::TouchControllers(*m_machine)) {
    if (!controller->Attached()) continue;
    controller->Detach();
    any = true;
  }
  if (!any) m_timeline->Print(L"sim", L"no controller is attached");
}

// One fault at a time: "hang" is the device's driver hanging on every write
// (its writes held so far end when another fault replaces it), any other
// name a fault of the controller model.
void Simulator::SetFault(const std::string& name) {
  m_bands.SetFault(name);
  m_hang = name == "hang";
  m_fault = winsim::ControllerFault::kNone;
  if (!m_hang) winsim::ParseFault(name, m_fault);
  for (const auto& controller : winsim::TouchControllers(*m_machine)) ApplyFault(*controller);
}

void Simulator::ApplyFault(winsim::TouchController& controller) {
  controller.SetFault(m_fault);
  controller.SetHang(m_hang);
}

void Simulator::HoldMutex() {
  if (m_mutexHolder) {
    m_timeline->Print(L"sim", L"the mutex is held already");
    return;
  }
  m_mutexHolder = std::make_unique<MutexHolder>(m_machine->clock());
  m_bands.Set(m_machine->clock().NowMs(), L"mutex", L"held");
}

void Simulator::LetGoOfMutex(bool fSay) {
  if (!m_mutexHolder) {
    if (fSay) m_timeline->Print(L"sim", L"nobody holds the mutex");
    return;
  }
  m_mutexHolder.reset();
  m_bands.Set(m_machine->clock().NowMs(), L"mutex", L"free");
}

bool Simulator::ServiceActive() {
  return m_machine->Part<winsim::Services>().Status(kServiceName).dwCurrentState != SERVICE_STOPPED;
}

void Simulator::Finish() {
  auto& scm = m_machine->Part<winsim::Services>();
  if (ServiceActive()) {
    m_timeline->Print(L"sim", L"stop (end of script)");
    Stop();
  }
  if (!scm.WaitForProcessEnd(kServiceName, kStopWaitMs))
    m_timeline->Print(L"sim", L"the service's process has not ended");
}

}  // namespace vornsim
