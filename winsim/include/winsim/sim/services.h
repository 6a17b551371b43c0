// The service control manager of the simulated machine: the service database
// (kept on disk under the machine folder, so that installing and removing last
// across processes), the SC_HANDLEs that advapi32 hands out, and the services'
// runtime: a started service runs the process entry (winsim::GetProcessEntry)
// on a thread marked as started by the SCM; its dispatcher, control handler,
// status reports and power-setting registrations live here too.
//
// Tests and tools drive the SCM through the control API below (Start, Control,
// PowerSettingChange, ...) and read back every status report in order.
#pragma once

#include <winsim/sim/machine.h>
#include <winsim/winsvc.h>

#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

// What the SCM does when the service's process ends without reporting
// SERVICE_STOPPED: the actions, in order, for the first, second, ... failure
// (the last repeats); the count goes back to zero after resetPeriodS without one.
struct FailureActions {
  DWORD resetPeriodS = 0;
  std::wstring rebootMessage;
  std::wstring command;
  std::vector<SC_ACTION> actions;
};

// One installed service as the database keeps it.
struct ServiceConfig {
  std::wstring name;
  std::wstring displayName;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::wstring binaryPath;
  std::vector<std::wstring> dependencies;
  std::wstring account;        // empty: LocalSystem
  std::wstring description;    // empty: none
  FailureActions failureActions;
  bool deletePending = false;  // DeleteService was called; goes once stopped and unreferenced
};

// A control the system sends of its own accord (a session change, a device
// event), as it goes to one service: told on the sending thread before the
// service's handler runs, or instead of it when the control is not delivered.
struct SystemControl {
  std::wstring service;
  DWORD control = 0;        // SERVICE_CONTROL_SESSIONCHANGE or SERVICE_CONTROL_DEVICEEVENT
  DWORD eventType = 0;      // WTS_* or DBT_*
  DWORD sessionId = 0;      // session changes
  std::wstring devicePath;  // device events: the interface as the event names it
  DWORD error = ERROR_SUCCESS;  // why it is not delivered, as ControlOutcome::error
};

// One SetServiceStatus call as the SCM received it (or, with bySCM, a state the
// SCM set itself, such as STOPPED after the service's process ended).
struct StatusReport {
  uint64_t timeMs = 0;  // simulated ms since boot
  SERVICE_STATUS status{};
  bool bySCM = false;
};

// What became of one control sent to a service.
struct ControlOutcome {
  DWORD error = ERROR_SUCCESS;  // as ControlService would report it
  SERVICE_STATUS status{};      // the latest status the service reported
  DWORD handlerResult = 0;      // the control handler's return value, when it ran
  bool Delivered() const { return error == ERROR_SUCCESS; }
};

class ServiceRun;
class ServiceStore;
template <class Item>
class OrderedNotifier;

class Services : public MachinePart {
 public:
  // How long the SCM waits for a control handler to return, or for a started
  // process to connect its dispatcher, in simulated ms.
  static constexpr uint64_t kScmWaitMs = 30000;

  explicit Services(Machine& machine);
  ~Services() override;
  // Shuts running services down and waits for their processes (machine teardown).
  void Shutdown() override;
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;

  // --- Machine knobs -------------------------------------------------------
  // A caller that is not an administrator may connect and query, but not
  // create, change, start, stop or delete services.
  void SetAdministrator(bool isAdministrator);

  // --- Database --------------------------------------------------------------
  std::optional<ServiceConfig> Find(const std::wstring& name) const;
  std::vector<ServiceConfig> List() const;
  // Installs a service as CreateServiceW would (for tests setting up a machine).
  DWORD Install(const ServiceConfig& config);

  // --- Runtime (control API) -------------------------------------------------
  // Starts the service as StartServiceW does; returns the Win32 error code.
  DWORD Start(const std::wstring& name, const std::vector<std::wstring>& args = {});
  // Sends any control, including those that only the system sends (shutdown,
  // power events, session changes). Returns once the handler has returned or
  // the SCM's wait has run out. A control the service does not accept is not
  // delivered (ERROR_INVALID_SERVICE_CONTROL), as on Windows.
  ControlOutcome Control(const std::wstring& name, DWORD control, DWORD eventType = 0,
                         std::vector<BYTE> eventData = {});
  ControlOutcome Stop(const std::wstring& name) { return Control(name, SERVICE_CONTROL_STOP); }
  ControlOutcome Shutdown(const std::wstring& name) { return Control(name, SERVICE_CONTROL_SHUTDOWN); }
  ControlOutcome PowerEvent(const std::wstring& name, DWORD powerEvent);
  // A power-setting change (PBT_POWERSETTINGCHANGE with a POWERBROADCAST_SETTING
  // record) reaches the service only if it registered for that setting; then
  // it is delivered whatever controls the service accepts.
  ControlOutcome PowerSettingChange(const std::wstring& name, const GUID& setting,
                                    const std::vector<BYTE>& value);
  // SERVICE_CONTROL_SESSIONCHANGE with a WTSSESSION_NOTIFICATION record.
  ControlOutcome SessionChange(const std::wstring& name, DWORD sessionEvent, DWORD sessionId);

  // What the system sends every service: a session change to each installed
  // service (delivered to those that run and accept it); a device-interface
  // event (SERVICE_CONTROL_DEVICEEVENT with a DEV_BROADCAST_DEVICEINTERFACE_W
  // naming `path`, valid only during the handler's call) once for each
  // registration of a running service that covers `interfaceClass`; it needs
  // no accept flag. Each is told to the observer; the outcomes are returned
  // by service, in the order sent.
  using Deliveries = std::vector<std::pair<std::wstring, ControlOutcome>>;
  Deliveries BroadcastSessionChange(DWORD sessionEvent, DWORD sessionId);
  Deliveries BroadcastDeviceInterface(DWORD deviceEvent, const GUID& interfaceClass, const std::wstring& path);
  using SystemControlObserver = std::function<void(const SystemControl&)>;
  void SetSystemControlObserver(SystemControlObserver observer);

  SERVICE_STATUS Status(const std::wstring& name) const;
  std::vector<StatusReport> Reports(const std::wstring& name) const;
  // Waits (simulated ms) until the service's current state is `state`.
  bool WaitForState(const std::wstring& name, DWORD state, uint64_t timeoutMs) const;
  // Waits (simulated ms) until the service has made at least `count` reports.
  bool WaitForReports(const std::wstring& name, size_t count, uint64_t timeoutMs) const;
  // Waits (simulated ms) until the process the SCM started for the service
  // has returned from its entry point (true at once if none runs).
  bool WaitForProcessEnd(const std::wstring& name, uint64_t timeoutMs) const;
  // The exit code of the process the SCM last started for the service, once
  // that process has ended: the code of the first ExitProcess call made on one
  // of its threads, or else what its entry returned. None while it runs, when
  // none ran, or when an exception out of the entry ended it.
  std::optional<DWORD> ProcessExitCode(const std::wstring& name) const;
  bool IsRegisteredForPowerSetting(const std::wstring& name, const GUID& setting) const;

  // Called for every status report, in order, on the reporting thread.
  using StatusObserver = std::function<void(const std::wstring& name, const StatusReport& report)>;
  void SetStatusObserver(StatusObserver observer);

  // --- advapi32's side: SC_HANDLEs ---------------------------------------------
  struct CreateRequest {
    ServiceConfig config;
    DWORD access = 0;
  };
  SC_HANDLE OpenManager(const wchar_t* machineName, const wchar_t* databaseName, DWORD access,
                        DWORD& error);
  SC_HANDLE CreateService(SC_HANDLE manager, const CreateRequest& request, DWORD& error);
  SC_HANDLE OpenService(SC_HANDLE manager, const std::wstring& name, DWORD access, DWORD& error);
  DWORD CloseHandle(SC_HANDLE handle);
  DWORD DeleteService(SC_HANDLE service);
  DWORD QueryStatus(SC_HANDLE service, SERVICE_STATUS& status);
  // Fills `status` when the result is 0 or one of the codes for which Windows does.
  DWORD ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS& status);
  // ChangeServiceConfig2W's changes: a field left empty keeps what is stored;
  // an empty text removes the stored one.
  struct ConfigChange {
    std::optional<std::wstring> description;
    std::optional<DWORD> resetPeriodS;  // with actions only
    std::optional<std::wstring> rebootMessage;
    std::optional<std::wstring> command;
    std::optional<std::vector<SC_ACTION>> actions;
  };
  DWORD ChangeConfig(SC_HANDLE service, const ConfigChange& change);
  // The stored configuration, for a handle with SERVICE_QUERY_CONFIG.
  DWORD QueryConfig(SC_HANDLE service, ServiceConfig& config);
  DWORD StartService(SC_HANDLE service, const std::vector<std::wstring>& args);
  // Validates the manager handle alone (for argument checks that come after it).
  bool IsManagerHandle(SC_HANDLE handle) const;
  bool IsServiceHandle(SC_HANDLE handle) const;

  // --- advapi32's side: the service process --------------------------------------
  // The run of the SCM-started process the calling thread belongs to, if any.
  static std::shared_ptr<ServiceRun> CurrentRun();
  // ExitProcess on a thread of a service process: the dispatcher ends and the
  // process entry is unwound; the SCM marks the service stopped and keeps the
  // exit code (the first call's, when several threads call it).
  void ExitRun(const std::shared_ptr<ServiceRun>& run, UINT exitCode);
  BOOL RunDispatcher(const SERVICE_TABLE_ENTRYW* table, DWORD& error);
  SERVICE_STATUS_HANDLE RegisterHandler(const std::wstring& name, LPHANDLER_FUNCTION_EX handler,
                                        LPVOID context, DWORD& error);
  DWORD SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status);
  HPOWERNOTIFY RegisterPowerSetting(SERVICE_STATUS_HANDLE handle, const GUID& setting, DWORD& error);
  // Device-interface notifications of one class (or, with allClasses, of
  // every class) for the service of `handle`; dropped when it stops.
  HDEVNOTIFY RegisterDeviceInterface(SERVICE_STATUS_HANDLE handle, const GUID& interfaceClass, bool allClasses,
                                     DWORD& error);
  DWORD UnregisterDeviceInterface(HDEVNOTIFY notify);

 private:
  struct HandleEntry;
  struct ServiceState;
  struct Pending;

  Machine& m_machine;
  std::unique_ptr<ServiceStore> m_store;
  mutable std::mutex m_mutex;               // guards everything below
  Condition m_changed;  // any state, queue or report change
  bool m_isAdministrator = true;
  std::map<uintptr_t, HandleEntry> m_handles;
  uintptr_t m_nextHandle = 0x5C000;
  std::map<std::wstring, ServiceState> m_states;  // by folded name
  std::map<uintptr_t, std::weak_ptr<ServiceRun>> m_statusHandles;
  std::vector<std::shared_ptr<ServiceRun>> m_runs;  // every run whose process thread exists
  std::unique_ptr<OrderedNotifier<std::pair<std::wstring, StatusReport>>> m_notifier;
  SystemControlObserver m_systemObserver;

  friend class ServiceRun;
  // Helpers (implemented in services.cpp and service_runtime.cpp).
  std::vector<ServiceConfig> LoadLocked() const;
  DWORD MutateLocked(const std::function<DWORD(std::vector<ServiceConfig>&)>& change) const;
  // Changes the stored record of a service that is not marked for deletion.
  DWORD MutateServiceLocked(const std::wstring& name, const std::function<void(ServiceConfig&)>& change) const;
  ServiceState& StateLocked(const std::wstring& name);
  const ServiceState* FindStateLocked(const std::wstring& name) const;
  SERVICE_STATUS StatusLocked(const std::wstring& name) const;
  HandleEntry* EntryLocked(SC_HANDLE handle);
  // The entry of a service handle that grants `access`, or the error why not.
  DWORD ServiceEntryLocked(SC_HANDLE handle, DWORD access, const HandleEntry*& entry);
  size_t OpenHandlesLocked(const std::wstring& name) const;
  bool IsActiveLocked(const std::wstring& name) const;
  void PurgeDeletedLocked(std::vector<ServiceConfig>& records) const;
  void PurgeLocked() const;
  SC_HANDLE NewHandleLocked(bool manager, const std::wstring& name, DWORD access);
  DWORD StartLocked(std::unique_lock<std::mutex>& lock, const std::wstring& name,
                    const std::vector<std::wstring>& args);
  ControlOutcome DeliverLocked(std::unique_lock<std::mutex>& lock, const std::wstring& name,
                               DWORD control, DWORD eventType, std::vector<BYTE> eventData,
                               bool registeredSetting);
  DWORD AdmitLocked(const ServiceState& state, DWORD control, bool registeredSetting) const;
  void RecordLocked(const std::wstring& name, const SERVICE_STATUS& status, bool bySCM);
  void Announce();
  void ProcessMain(std::shared_ptr<ServiceRun> run);
  void ProcessEnded(const std::shared_ptr<ServiceRun>& run, std::optional<DWORD> returned);
  void DispatchLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<ServiceRun>& run);
  void RunHandlerLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<ServiceRun>& run, Pending& pending);
  DWORD EndDispatcherLocked(const std::shared_ptr<ServiceRun>& run);
  bool SelectEntryLocked(ServiceRun& run, const SERVICE_TABLE_ENTRYW* table, LPSERVICE_MAIN_FUNCTIONW& main,
                         DWORD& error) const;
  void StartMainThreadLocked(const std::shared_ptr<ServiceRun>& run, LPSERVICE_MAIN_FUNCTIONW main);
  std::shared_ptr<ServiceRun> RunOfStatusHandleLocked(SERVICE_STATUS_HANDLE handle) const;
  void JoinEndedRuns();
  void StopAllForShutdown();
  uint64_t ScmDeadline() const;  // simulated ms
  uintptr_t NewNotifyIdLocked();
  // Tells the observer, then delivers unless refused already.
  ControlOutcome SendSystemControl(SystemControl control, std::vector<BYTE> data);
};

}  // namespace winsim
