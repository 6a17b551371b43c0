// The SCM's runtime: starting a service's process, the control dispatcher,
// control delivery with the SCM's wait, status reports and power-setting
// registrations.
#include "service_run.h"
#include "ordered_notifier.h"
#include "service_store.h"

#include <winsim/kernel32.h>
#include <winsim/sim/process_entry.h>
#include <winsim/user32.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace winsim {

namespace {

thread_local std::shared_ptr<ServiceRun> t_run;

// Unwinds a thread of a service process that called ExitProcess: there is no
// ending a thread here, so its work ends by this exception instead.
struct ProcessExit {
  UINT code;
};

// The least real time the SCM's wait lasts on a scaled clock (see
// Clock::SpanAtLeastReal).
constexpr std::chrono::milliseconds kMinRealScmWait{1000};

// The SCM's own status while the process starts (before the service reports).
SERVICE_STATUS StartingStatus(DWORD type) {
  SERVICE_STATUS status{};
  status.dwServiceType = type;
  status.dwCurrentState = SERVICE_START_PENDING;
  status.dwWaitHint = 2000;
  return status;
}

SERVICE_STATUS StoppedStatus(DWORD type, DWORD exitCode) {
  SERVICE_STATUS status{};
  status.dwServiceType = type;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = exitCode;
  return status;
}

// The accept flag a control needs; 0 for those every running service gets.
DWORD AcceptFlagFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP: return SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN: return SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_PARAMCHANGE: return SERVICE_ACCEPT_PARAMCHANGE;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return SERVICE_ACCEPT_NETBINDCHANGE;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE: return SERVICE_ACCEPT_HARDWAREPROFILECHANGE;
    case SERVICE_CONTROL_POWEREVENT: return SERVICE_ACCEPT_POWEREVENT;
    case SERVICE_CONTROL_SESSIONCHANGE: return SERVICE_ACCEPT_SESSIONCHANGE;
    case SERVICE_CONTROL_PRESHUTDOWN: return SERVICE_ACCEPT_PRESHUTDOWN;
    default: return 0;  // interrogate, device events, user-defined controls
  }
}

// The access right ControlService needs for a control; 0 for the codes it
// cannot send (shutdown, power and session events come from the system).
DWORD AccessFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP: return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE: return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return SERVICE_PAUSE_CONTINUE;
    default: return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
  }
}

// The executable's command line as the SCM starts it: the image path split
// into words the way a C runtime does (double quotes group, and are dropped).
std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
  std::vector<std::wstring> words;
  std::wstring word;
  bool quoted = false, inWord = false;
  for (wchar_t ch : line) {
    if (ch == L'"') {
      quoted = !quoted;
      inWord = true;
    } else if ((ch == L' ' || ch == L'\t') && !quoted) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += ch;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  if (words.empty()) words.emplace_back();
  return words;
}

void BuildArgv(std::vector<std::wstring>& store, std::vector<wchar_t*>& argv) {
  argv.clear();
  for (auto& arg : store) argv.push_back(arg.data());
  argv.push_back(nullptr);
}

std::vector<BYTE> PowerSettingRecord(const GUID& setting, const std::vector<BYTE>& value) {
  const size_t header = offsetof(POWERBROADCAST_SETTING, Data);
  std::vector<BYTE> data(std::max(header + value.size(), sizeof(POWERBROADCAST_SETTING)), 0);
  POWERBROADCAST_SETTING record{};
  record.PowerSetting = setting;
  record.DataLength = static_cast<DWORD>(value.size());
  std::memcpy(data.data(), &record, header);
  if (!value.empty()) std::memcpy(data.data() + header, value.data(), value.size());
  return data;
}

}  // namespace

ServiceRun::ServiceRun(Services& owner_, ServiceConfig config_, std::vector<std::wstring> startArgs_)
    : owner(owner_), config(std::move(config_)), startArgs(std::move(startArgs_)) {
  processArgs = SplitCommandLine(config.binaryPath);
  BuildArgv(processArgs, processArgv);
  mainArgs.push_back(config.name);
  mainArgs.insert(mainArgs.end(), startArgs.begin(), startArgs.end());
  BuildArgv(mainArgs, mainArgv);
}

std::shared_ptr<ServiceRun> Services::CurrentRun() { return t_run; }

uint64_t Services::ScmDeadline() const {
  const Clock& clock = m_machine.clock();
  return clock.DeadlineAfter(clock.SpanAtLeastReal(kScmWaitMs, kMinRealScmWait));
}

Services::ServiceState& Services::StateLocked(const std::wstring& name) {
  auto key = FoldServiceName(name);
  auto it = m_states.find(key);
  if (it != m_states.end()) return it->second;
  ServiceState fresh;
  fresh.status = StatusLocked(name);
  return m_states.emplace(key, std::move(fresh)).first->second;
}

const Services::ServiceState* Services::FindStateLocked(const std::wstring& name) const {
  auto it = m_states.find(FoldServiceName(name));
  return it == m_states.end() ? nullptr : &it->second;
}

// ---- Status reports --------------------------------------------------------

void Services::RecordLocked(const std::wstring& name, const SERVICE_STATUS& status, bool bySCM) {
  ServiceState& state = StateLocked(name);
  state.status = status;
  StatusReport report{m_machine.clock().NowMs(), status, bySCM};
  state.reports.push_back(report);
  m_notifier->Push({name, report});
  m_changed.notify_all();
}

void Services::Announce() { m_notifier->Flush(); }

void Services::SetStatusObserver(StatusObserver observer) {
  if (!observer) return m_notifier->SetCallback(nullptr);
  m_notifier->SetCallback([observer = std::move(observer)](const std::pair<std::wstring, StatusReport>& item) {
    observer(item.first, item.second);
  });
}

SERVICE_STATUS Services::Status(const std::wstring& name) const {
  std::lock_guard lock(m_mutex);
  return StatusLocked(name);
}

std::vector<StatusReport> Services::Reports(const std::wstring& name) const {
  std::lock_guard lock(m_mutex);
  const ServiceState* state = FindStateLocked(name);
  return state ? state->reports : std::vector<StatusReport>{};
}

bool Services::WaitForState(const std::wstring& name, DWORD state, uint64_t timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeoutMs, [&] {
    const ServiceState* current = FindStateLocked(name);
    return current && current->status.dwCurrentState == state;
  });
}

bool Services::WaitForReports(const std::wstring& name, size_t count, uint64_t timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeoutMs, [&] {
    const ServiceState* current = FindStateLocked(name);
    return current && current->reports.size() >= count;
  });
}

std::optional<DWORD> Services::ProcessExitCode(const std::wstring& name) const {
  std::lock_guard lock(m_mutex);
  const ServiceState* state = FindStateLocked(name);
  if (!state || !state->run || !state->run->processEnded) return std::nullopt;
  return state->run->exitCode;
}

bool Services::WaitForProcessEnd(const std::wstring& name, uint64_t timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeoutMs, [&] {
    const ServiceState* current = FindStateLocked(name);
    return !current || !current->run || current->run->processEnded;
  });
}

// ---- Starting a service ------------------------------------------------------

DWORD Services::Start(const std::wstring& name, const std::vector<std::wstring>& args) {
  JoinEndedRuns();
  std::unique_lock lock(m_mutex);
  DWORD error = StartLocked(lock, name, args);
  lock.unlock();
  Announce();
  return error;
}

DWORD Services::StartService(SC_HANDLE service, const std::vector<std::wstring>& args) {
  std::wstring name;
  {
    std::lock_guard lock(m_mutex);
    const HandleEntry* entry = nullptr;
    if (DWORD error = ServiceEntryLocked(service, SERVICE_START, entry)) return error;
    name = entry->name;
  }
  return Start(name, args);
}

DWORD Services::StartLocked(std::unique_lock<std::mutex>& lock, const std::wstring& name,
                            const std::vector<std::wstring>& args) {
  auto records = LoadLocked();
  auto it = std::find_if(records.begin(), records.end(),
                         [&](const ServiceConfig& r) { return FoldServiceName(r.name) == FoldServiceName(name); });
  if (it == records.end()) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (it->deletePending) return ERROR_SERVICE_MARKED_FOR_DELETE;
  if (it->startType == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
  ServiceState& state = StateLocked(it->name);
  if (state.status.dwCurrentState != SERVICE_STOPPED && state.run) return ERROR_SERVICE_ALREADY_RUNNING;
  ProcessEntry entry = GetProcessEntry();
  if (!entry) return ERROR_FILE_NOT_FOUND;
  // The product's globals are shared by every run in this address space, so a
  // new process starts only once the last one has left its entry point.
  auto deadline = ScmDeadline();
  if (state.run && !m_changed.wait_until(lock, deadline, [&] { return state.run->processEnded; }))
    return ERROR_SERVICE_ALREADY_RUNNING;
  auto run = std::make_shared<ServiceRun>(*this, *it, args);
  state.run = run;
  state.status = StartingStatus(it->type);
  m_changed.notify_all();
  m_runs.push_back(run);
  run->processThread = m_machine.clock().StartThread("service process", [this, run] { ProcessMain(run); });
  m_changed.wait_until(lock, deadline, [&] { return run->connected || run->processEnded; });
  if (run->connected) return ERROR_SUCCESS;
  run->abandoned = true;
  if (state.run == run && state.status.dwCurrentState == SERVICE_START_PENDING)
    RecordLocked(run->config.name, StoppedStatus(run->config.type, ERROR_SERVICE_REQUEST_TIMEOUT), true);
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

void Services::ProcessMain(std::shared_ptr<ServiceRun> run) {
  t_run = run;
  std::optional<DWORD> returned;
  try {
    returned = static_cast<DWORD>(GetProcessEntry()(static_cast<int>(run->processArgs.size()), run->processArgv.data()));
  } catch (const ProcessExit&) {
    // ExitProcess unwound the entry; ExitRun has kept its code.
  } catch (...) {
    // An exception out of the entry point ends the process, as it would on Windows.
  }
  ProcessEnded(run, returned);
  t_run.reset();
}

// When a service's process ends while the SCM still thinks it runs, the SCM
// marks it stopped with ERROR_PROCESS_ABORTED.
void Services::ProcessEnded(const std::shared_ptr<ServiceRun>& run, std::optional<DWORD> returned) {
  {
    std::lock_guard lock(m_mutex);
    run->processEnded = true;
    if (!run->exitCode) run->exitCode = returned;
    ServiceState& state = StateLocked(run->config.name);
    if (state.run == run && run->connected && state.status.dwCurrentState != SERVICE_STOPPED)
      RecordLocked(run->config.name, StoppedStatus(state.status.dwServiceType, ERROR_PROCESS_ABORTED), true);
    PurgeLocked();
    m_changed.notify_all();
  }
  Announce();
}

void Services::JoinEndedRuns() {
  std::vector<std::shared_ptr<ServiceRun>> ended;
  {
    std::lock_guard lock(m_mutex);
    auto self = std::this_thread::get_id();
    for (auto it = m_runs.begin(); it != m_runs.end();) {
      bool joinable = (*it)->processEnded && (*it)->processThread.get_id() != self;
      if (joinable) {
        ended.push_back(*it);
        it = m_runs.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& run : ended) m_machine.clock().Join(run->processThread);
}

// ---- The dispatcher --------------------------------------------------------

bool Services::SelectEntryLocked(ServiceRun& run, const SERVICE_TABLE_ENTRYW* table,
                                 LPSERVICE_MAIN_FUNCTIONW& main, DWORD& error) const {
  if (!table[0].lpServiceName || !table[0].lpServiceProc) return error = ERROR_INVALID_DATA, false;
  // A service of its own process runs the first entry whatever its name.
  if ((run.config.type & ~SERVICE_INTERACTIVE_PROCESS) != SERVICE_WIN32_SHARE_PROCESS) {
    main = table[0].lpServiceProc;
    return true;
  }
  for (const auto* entry = table; entry->lpServiceName && entry->lpServiceProc; ++entry) {
    if (FoldServiceName(entry->lpServiceName) == FoldServiceName(run.config.name)) {
      main = entry->lpServiceProc;
      return true;
    }
  }
  return error = ERROR_SERVICE_NOT_IN_EXE, false;
}

void Services::StartMainThreadLocked(const std::shared_ptr<ServiceRun>& run, LPSERVICE_MAIN_FUNCTIONW main) {
  run->mainThread = m_machine.clock().StartThread("ServiceMain", [this, run, main] {
    t_run = run;
    try {
      main(static_cast<DWORD>(run->mainArgs.size()), run->mainArgv.data());
    } catch (const ProcessExit&) {
      // The process ends; the dispatcher sees exitRequested.
    } catch (...) {
      std::lock_guard lock(m_mutex);
      run->crashed = true;
      m_changed.notify_all();
    }
    t_run.reset();
  });
}

BOOL Services::RunDispatcher(const SERVICE_TABLE_ENTRYW* table, DWORD& error) {
  auto run = CurrentRun();
  if (!run) return error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, FALSE;
  if (!table) return error = ERROR_INVALID_PARAMETER, FALSE;
  std::unique_lock lock(m_mutex);
  if (run->dispatcherCalled) return error = ERROR_SERVICE_ALREADY_RUNNING, FALSE;
  if (run->abandoned) return error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, FALSE;
  LPSERVICE_MAIN_FUNCTIONW main = nullptr;
  if (!SelectEntryLocked(*run, table, main, error)) return FALSE;
  run->dispatcherCalled = true;
  StartMainThreadLocked(run, main);
  run->connected = true;
  m_changed.notify_all();
  DispatchLocked(lock, run);
  lock.unlock();
  m_machine.clock().Join(run->mainThread);
  lock.lock();
  error = EndDispatcherLocked(run);
  const bool exiting = run->exitRequested;
  lock.unlock();
  Announce();
  if (exiting) throw ProcessExit{0};  // the process's code after the dispatcher never runs (ExitRun kept the code)
  return error == ERROR_SUCCESS ? TRUE : FALSE;
}

void Services::ExitRun(const std::shared_ptr<ServiceRun>& run, UINT exitCode) {
  std::lock_guard lock(m_mutex);
  run->exitRequested = true;
  if (!run->exitCode) run->exitCode = exitCode;
  m_changed.notify_all();
}

// A dispatcher that ends without the service's own SERVICE_STOPPED (a crash,
// or a machine shutdown) leaves the SCM to mark the service stopped.
DWORD Services::EndDispatcherLocked(const std::shared_ptr<ServiceRun>& run) {
  run->dispatcherEnded = true;
  ServiceState& state = StateLocked(run->config.name);
  bool killed = run->crashed || run->terminated || run->exitRequested;
  if (killed && state.run == run && state.status.dwCurrentState != SERVICE_STOPPED)
    RecordLocked(run->config.name, StoppedStatus(state.status.dwServiceType, ERROR_PROCESS_ABORTED), true);
  m_changed.notify_all();
  return run->crashed ? ERROR_PROCESS_ABORTED : ERROR_SUCCESS;
}

// Runs queued controls one at a time on the dispatcher's thread until the
// service reports SERVICE_STOPPED (or its ServiceMain crashed).
void Services::DispatchLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<ServiceRun>& run) {
  ServiceState& state = StateLocked(run->config.name);
  auto stopped = [&] { return state.run == run && state.status.dwCurrentState == SERVICE_STOPPED; };
  for (;;) {
    m_changed.wait(lock, [&] {
      return !run->queue.empty() || stopped() || run->crashed || run->terminated || run->exitRequested;
    });
    if (run->crashed || run->terminated || run->exitRequested || (run->queue.empty() && stopped())) break;
    auto pending = run->queue.front();
    run->queue.pop_front();
    RunHandlerLocked(lock, run, *pending);
    if (stopped()) break;
  }
  for (auto& pending : run->queue) pending->phase = Pending::Phase::kWithdrawn;
  run->queue.clear();
  m_changed.notify_all();
}

// Calls the handler without the lock; an exception out of it ends the process.
void Services::RunHandlerLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<ServiceRun>& run,
                                Pending& pending) {
  pending.phase = Pending::Phase::kRunning;
  auto handler = run->handler;
  auto context = run->context;
  lock.unlock();
  DWORD result = ERROR_CALL_NOT_IMPLEMENTED;
  bool threw = false;
  try {
    if (handler)
      result = handler(pending.control, pending.eventType, pending.data.empty() ? nullptr : pending.data.data(), context);
  } catch (...) {
    threw = true;
  }
  lock.lock();
  run->crashed = run->crashed || threw;
  pending.handlerResult = result;
  pending.phase = Pending::Phase::kDone;
  m_changed.notify_all();
}

SERVICE_STATUS_HANDLE Services::RegisterHandler(const std::wstring& name, LPHANDLER_FUNCTION_EX handler,
                                                LPVOID context, DWORD& error) {
  if (!handler) return error = ERROR_INVALID_PARAMETER, nullptr;
  std::lock_guard lock(m_mutex);
  auto run = CurrentRun();
  if (!run) {
    const ServiceState* state = FindStateLocked(name);
    if (state) run = state->run;
  }
  if (!run || !run->dispatcherCalled || run->dispatcherEnded) return error = ERROR_SERVICE_DOES_NOT_EXIST, nullptr;
  bool ownProcess = (run->config.type & ~SERVICE_INTERACTIVE_PROCESS) != SERVICE_WIN32_SHARE_PROCESS;
  if (!ownProcess && FoldServiceName(name) != FoldServiceName(run->config.name))
    return error = ERROR_SERVICE_NOT_IN_EXE, nullptr;
  run->handler = handler;
  run->context = context;
  if (!run->statusHandle) {
    run->statusHandle = m_nextHandle;
    m_nextHandle += 8;
    m_statusHandles.emplace(run->statusHandle, run);
  }
  error = ERROR_SUCCESS;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(run->statusHandle);
}

std::shared_ptr<ServiceRun> Services::RunOfStatusHandleLocked(SERVICE_STATUS_HANDLE handle) const {
  auto it = m_statusHandles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == m_statusHandles.end()) return nullptr;
  auto run = it->second.lock();
  if (!run || run->dispatcherEnded) return nullptr;
  const ServiceState* state = FindStateLocked(run->config.name);
  return state && state->run == run ? run : nullptr;
}

DWORD Services::SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
  {
    std::lock_guard lock(m_mutex);
    auto run = RunOfStatusHandleLocked(handle);
    if (!run) return ERROR_INVALID_HANDLE;
    if (status.dwCurrentState < SERVICE_STOPPED || status.dwCurrentState > SERVICE_PAUSED) return ERROR_INVALID_DATA;
    RecordLocked(run->config.name, status, false);
    if (status.dwCurrentState == SERVICE_STOPPED) {
      run->deviceRegistrations.clear();  // the system drops them with the service
      PurgeLocked();
    }
  }
  Announce();
  return ERROR_SUCCESS;
}

// ---- Controls ----------------------------------------------------------------

// Which controls reach a service in which state, as ControlService documents:
// none when stopped or stopping; only a stop while starting; in the other
// states a control the service accepts (interrogate and user-defined controls
// always). A power-setting change the service registered for needs no flag.
DWORD Services::AdmitLocked(const ServiceState& state, DWORD control, bool registeredSetting) const {
  DWORD current = state.status.dwCurrentState;
  if (current == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (current == SERVICE_STOP_PENDING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (current == SERVICE_START_PENDING && control != SERVICE_CONTROL_STOP) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  DWORD flag = registeredSetting ? 0 : AcceptFlagFor(control);
  if (flag && !(state.status.dwControlsAccepted & flag)) return ERROR_INVALID_SERVICE_CONTROL;
  return ERROR_SUCCESS;
}

ControlOutcome Services::DeliverLocked(std::unique_lock<std::mutex>& lock, const std::wstring& name, DWORD control,
                                       DWORD eventType, std::vector<BYTE> eventData, bool registeredSetting) {
  ServiceState& state = StateLocked(name);
  ControlOutcome outcome;
  outcome.status = StatusLocked(name);
  if ((outcome.error = AdmitLocked(state, control, registeredSetting))) return outcome;
  auto run = state.run;
  if (!run || !run->connected || run->dispatcherEnded) return outcome.error = ERROR_SERVICE_REQUEST_TIMEOUT, outcome;
  auto pending = std::make_shared<Pending>();
  pending->control = control;
  pending->eventType = eventType;
  pending->data = std::move(eventData);
  run->queue.push_back(pending);
  m_changed.notify_all();
  using Phase = Pending::Phase;
  bool finished = m_changed.wait_until(lock, ScmDeadline(), [&] {
    return pending->phase == Phase::kDone || pending->phase == Phase::kWithdrawn;
  });
  outcome.status = state.status;
  if (pending->phase == Phase::kWithdrawn) return outcome.error = ERROR_SERVICE_NOT_ACTIVE, outcome;
  if (!finished) {
    std::erase(run->queue, pending);  // not yet taken: the service never sees it
    return outcome.error = ERROR_SERVICE_REQUEST_TIMEOUT, outcome;
  }
  outcome.handlerResult = pending->handlerResult;
  return outcome;
}

ControlOutcome Services::Control(const std::wstring& name, DWORD control, DWORD eventType,
                                 std::vector<BYTE> eventData) {
  std::unique_lock lock(m_mutex);
  bool registered = false;
  if (control == SERVICE_CONTROL_POWEREVENT && eventType == PBT_POWERSETTINGCHANGE &&
      eventData.size() >= sizeof(GUID)) {
    GUID setting;
    std::memcpy(&setting, eventData.data(), sizeof(GUID));
    const ServiceState* state = FindStateLocked(name);
    registered = state && state->run &&
                 std::find(state->run->powerSettings.begin(), state->run->powerSettings.end(), setting) !=
                     state->run->powerSettings.end();
  }
  auto outcome = DeliverLocked(lock, name, control, eventType, std::move(eventData), registered);
  lock.unlock();
  Announce();
  return outcome;
}

ControlOutcome Services::PowerEvent(const std::wstring& name, DWORD powerEvent) {
  return Control(name, SERVICE_CONTROL_POWEREVENT, powerEvent);
}

ControlOutcome Services::PowerSettingChange(const std::wstring& name, const GUID& setting,
                                            const std::vector<BYTE>& value) {
  if (!IsRegisteredForPowerSetting(name, setting)) {
    ControlOutcome outcome;
    outcome.error = ERROR_INVALID_SERVICE_CONTROL;
    outcome.status = Status(name);
    return outcome;
  }
  return Control(name, SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, PowerSettingRecord(setting, value));
}

DWORD Services::ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS& status) {
  std::unique_lock lock(m_mutex);
  HandleEntry* entry = EntryLocked(service);
  if (!entry || entry->manager) return ERROR_INVALID_HANDLE;
  DWORD access = AccessFor(control);
  if (!access) return ERROR_INVALID_PARAMETER;
  if (!(entry->access & access)) return ERROR_ACCESS_DENIED;
  const std::wstring name = entry->name;
  auto outcome = DeliverLocked(lock, name, control, 0, {}, false);
  lock.unlock();
  Announce();
  switch (outcome.error) {
    case ERROR_SUCCESS:
    case ERROR_INVALID_SERVICE_CONTROL:
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
    case ERROR_SERVICE_NOT_ACTIVE: status = outcome.status; break;
    default: break;
  }
  return outcome.error;
}

// ---- Power-setting registrations ---------------------------------------------

HPOWERNOTIFY Services::RegisterPowerSetting(SERVICE_STATUS_HANDLE handle, const GUID& setting, DWORD& error) {
  std::lock_guard lock(m_mutex);
  auto run = RunOfStatusHandleLocked(handle);
  if (!run) return error = ERROR_INVALID_HANDLE, nullptr;
  run->powerSettings.push_back(setting);
  error = ERROR_SUCCESS;
  return reinterpret_cast<HPOWERNOTIFY>(NewNotifyIdLocked());
}

uintptr_t Services::NewNotifyIdLocked() {
  const uintptr_t id = m_nextHandle;
  m_nextHandle += 8;
  return id;
}

bool Services::IsRegisteredForPowerSetting(const std::wstring& name, const GUID& setting) const {
  std::lock_guard lock(m_mutex);
  const ServiceState* state = FindStateLocked(name);
  if (!state || !state->run || state->run->dispatcherEnded) return false;
  const auto& settings = state->run->powerSettings;
  return std::find(settings.begin(), settings.end(), setting) != settings.end();
}

// ---- Machine shutdown -----------------------------------------------------------------

// Like Windows at shutdown: services that accept it get SERVICE_CONTROL_SHUTDOWN;
// one that is still running after that (or never accepted it) gets a stop.
// Then every process the SCM started is waited for.
void Services::StopAllForShutdown() {
  std::vector<std::wstring> running;
  {
    std::lock_guard lock(m_mutex);
    for (auto& [key, state] : m_states)
      if (state.run && state.run->connected && state.status.dwCurrentState != SERVICE_STOPPED)
        running.push_back(state.run->config.name);
  }
  for (const auto& name : running) {
    for (DWORD control : {SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_STOP})
      if (Control(name, control).Delivered() && WaitForState(name, SERVICE_STOPPED, kScmWaitMs)) break;
    WaitForProcessEnd(name, kScmWaitMs);
  }
}

// A service that still runs after its shutdown and stop controls is ended
// the way Windows ends its process at shutdown: its dispatcher returns (the
// process's code after it still runs, as there is no killing a thread here).
void Services::Shutdown() {
  StopAllForShutdown();
  std::vector<std::shared_ptr<ServiceRun>> runs;
  {
    std::lock_guard lock(m_mutex);
    runs.swap(m_runs);
    for (auto& run : runs) run->terminated = true;
    m_changed.notify_all();
  }
  auto self = std::this_thread::get_id();
  for (auto& run : runs) {
    if (!run->processThread.joinable()) continue;
    if (run->processThread.get_id() == self)
      run->processThread.detach();  // shut down from inside a service: it is ending anyway
    else
      m_machine.clock().Join(run->processThread);
  }
}

Services::~Services() { Shutdown(); }

}  // namespace winsim

extern "C" void WINAPI ExitProcess(UINT uExitCode) {
  auto run = winsim::Services::CurrentRun();
  if (!run) std::exit(static_cast<int>(uExitCode));
  run->owner.ExitRun(run, uExitCode);
  throw winsim::ProcessExit{uExitCode};
}
