// CServiceBase: the frame of the Windows service. It registers the control
// handler, turns each control into a call of a virtual hook, reports every
// state transition with its check point, and writes event-log entries.
//
// A hook fails by raising a Win32 error code (a DWORD) or any other exception;
// the base catches both, logs them and reports the state the failure leads to.
#pragma once

#include "platform/win32.h"

// LogMessage level: the debug log only, no event-log entry.
constexpr WORD DEBUGLOG_ONLY = 0xFFFF;

class CServiceBase {
 public:
  // The dispatcher's entry for the service and the control handler that
  // ServiceMain registers. Both reach the object through g_pService.
  static void WINAPI ServiceMain(DWORD dwArgc, LPWSTR* pszArgv);
  static DWORD WINAPI ServiceControlHandler(DWORD dwCtrl, DWORD dwEventType, LPVOID pEventData, LPVOID pContext);
  // Waits until no ServiceMain of this process is still running. A stop
  // accepted while the service starts can end the dispatcher while
  // ServiceMain is still inside OnStart; the object must outlive it.
  static BOOL WaitForServiceMain(DWORD dwMilliseconds);

  explicit CServiceBase(PCWSTR pszServiceName);
  virtual ~CServiceBase();
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  // The control sequences: a report before the hook, the hook, and the
  // report its outcome calls for.
  void Start(DWORD dwArgc, LPWSTR* pszArgv);
  void Stop();
  void Pause();
  void Continue();
  void Shutdown();
  void HandlePowerEvent(DWORD dwEventType, LPVOID pEventData);
  // The entry of every session change, OnSessionChange, then OnSessionEvent
  // with the change's type and session.
  void HandleSessionChange(DWORD dwEventType, LPVOID pEventData);
  // A device interface that arrived: its path, checked to end within the
  // record, to OnDeviceArrival (which copies what it keeps).
  // Other device events and malformed records change nothing.
  void HandleDeviceEvent(DWORD dwEventType, LPVOID pEventData);

  void ReportStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode = NO_ERROR);
  void LogEvent(PCWSTR pszMessage, WORD wType);
  void LogFailure(PCWSTR pszOperation, DWORD dwError);
  void LogMessage(PCWSTR pszMessage, WORD wLevel);

  PCWSTR GetServiceName() const { return m_pszServiceName; }

 protected:
  virtual void OnStart(DWORD dwArgc, LPWSTR* pszArgv);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual void OnSessionChange();
  virtual void OnMonitorOn();
  virtual void OnMonitorOff();
  virtual void OnPowerEvent();
  // After OnSessionChange: the change's event type (WTS_SESSION_LOGON, ...)
  // and session id (kUnknownSession when the record carries none).
  virtual void OnSessionEvent(DWORD dwEventType, DWORD dwSessionId);
  // A HID interface arrived; the path is valid only during the call.
  virtual void OnDeviceArrival(LPCWSTR pszDevicePath);

  static constexpr DWORD kUnknownSession = 0xFFFFFFFF;

  PCWSTR m_pszServiceName;  // not owned
  SERVICE_STATUS m_ServiceStatus;
  SERVICE_STATUS_HANDLE m_hServiceStatus;

 private:
  void RegisterAndStart(DWORD dwArgc, LPWSTR* pszArgv);
  void HandlePowerSetting(LPCVOID pEventData);
  void LogPowerEvent(DWORD dwEventType);
  DWORD CurrentState();
  void RegisterDeviceArrivals();
  void UnregisterDeviceArrivals();

  // Once SERVICE_STOPPED has gone out nothing more is reported: a start that
  // a stop overtook must not bring the service back to RUNNING.
  bool m_fStoppedReported;
  // The HID interface arrivals' registration on the status handle. Windows
  // drops it when SERVICE_STOPPED is reported, after which an unregister
  // fails: it is undone just before that report.
  HDEVNOTIFY m_hDevNotify;
};

// The one service object of the process; set by the service start before the
// dispatcher runs.
extern CServiceBase* g_pService;

// Check point of the next pending or paused report; starts at 1 and only
// grows. Reports are serialised by the base class, which guards it.
extern DWORD g_dwCheckPoint;
