#include "service/ServiceBase.h"

#include "log/DbgLog.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

CServiceBase* g_pService = nullptr;
DWORD g_dwCheckPoint = 1;

namespace {

// Power settings answered by HandlePowerEvent, compared as 16-byte values.
const GUID kGuidConsoleDisplayState = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
const GUID kGuidVideoAdaptiveDisplayBrightness = {
    0xFBD9AA66, 0x9553, 0x4097, {0xBA, 0x44, 0xED, 0x6E, 0x9D, 0x65, 0xEA, 0xB8}};
const GUID kGuidBatteryPercentageRemaining = {
    0xA7AD8041, 0xB45A, 0x4CAE, {0x87, 0xA3, 0xEE, 0xCB, 0xB4, 0x68, 0xA9, 0xE1}};
const GUID kGuidSystemAwayMode = {0x98A7F580, 0x01F7, 0x48AA, {0x9C, 0x0F, 0x44, 0x35, 0x2C, 0x29, 0xE5, 0xC0}};

// Room for one formatted event-log text, terminator included.
constexpr size_t kMessageChars = 260;

// The longest device interface path a device event may name: the longest
// path Windows has, in wide characters. A record that claims more is malformed.
constexpr size_t kMaxDevicePathChars = 32767;

// Serialises the status reports of the process, so that check points go out
// in order when ServiceMain's thread (Start) and the dispatcher's thread (a
// stop accepted while starting) report at the same time. Process-wide rather
// than a member: the report of SERVICE_STOPPED may let the dispatcher return
// and the object be destroyed before the reporting call has unwound.
std::mutex& StatusLock() {
  static std::mutex lock;
  return lock;
}

// ServiceMain calls still running in this process.
std::atomic<int> g_nServiceMainsRunning{0};
constexpr DWORD kServiceMainPollMs = 10;

struct SServiceMainScope {
  SServiceMainScope() { g_nServiceMainsRunning.fetch_add(1); }
  ~SServiceMainScope() { g_nServiceMainsRunning.fetch_sub(1); }  // ServiceMain's last touch of anything
};

bool IsSameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// Formats into a buffer of kMessageChars; a text that does not fit is cut.
template <class... Args>
void FormatMessageText(WCHAR (&szBuffer)[kMessageChars], const WCHAR* pszFormat, Args... args) {
  if (std::swprintf(szBuffer, kMessageChars, pszFormat, args...) < 0) szBuffer[kMessageChars - 1] = L'\0';
}

// Lone surrogates and other unpaired units become U+FFFD: the line is still
// written, and conversion never fails the calling thread.
std::string ToUtf8(PCWSTR pszText) {
  int nBytes = WideCharToMultiByte(CP_UTF8, 0, pszText, -1, nullptr, 0, nullptr, nullptr);
  if (nBytes <= 0) return std::string();
  std::string text(static_cast<size_t>(nBytes), '\0');
  nBytes = WideCharToMultiByte(CP_UTF8, 0, pszText, -1, text.data(), nBytes, nullptr, nullptr);
  text.resize(nBytes > 0 ? static_cast<size_t>(nBytes) - 1 : 0);
  return text;
}

}  // namespace

CServiceBase::CServiceBase(PCWSTR pszServiceName)
    : m_pszServiceName(pszServiceName ? pszServiceName : L""),
      m_ServiceStatus{},
      m_hServiceStatus(nullptr),
      m_fStoppedReported(false),
      m_hDevNotify(nullptr) {
  m_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  m_ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
  // Session changes are push opportunities: a logon, a logoff or another
  // user at the console brings another user's setting.
  m_ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;
}

CServiceBase::~CServiceBase() = default;

void WINAPI CServiceBase::ServiceMain(DWORD dwArgc, LPWSTR* pszArgv) {
  SServiceMainScope scope;
  CServiceBase* pService = g_pService;
  if (!pService) return;
  try {
    pService->RegisterAndStart(dwArgc, pszArgv);
  } catch (DWORD dwError) {
    // Without a status handle nothing can be reported, and the dispatcher
    // would wait for this service's end for ever. The process ends instead,
    // which the SCM sees as the service stopping; only the debug log learns why.
    char szLine[96];
    std::snprintf(szLine, sizeof(szLine), "RegisterServiceCtrlHandlerEx failed w/err 0x%08lx",
                  static_cast<unsigned long>(dwError));
    DbgLogWrite(szLine);
    ExitProcess(dwError);
  }
}

BOOL CServiceBase::WaitForServiceMain(DWORD dwMilliseconds) {
  const ULONGLONG ullStart = GetTickCount64();
  while (g_nServiceMainsRunning.load() > 0) {
    if (dwMilliseconds != INFINITE && GetTickCount64() - ullStart >= dwMilliseconds) return FALSE;
    Sleep(kServiceMainPollMs);
  }
  return TRUE;
}

void CServiceBase::RegisterAndStart(DWORD dwArgc, LPWSTR* pszArgv) {
  m_hServiceStatus = RegisterServiceCtrlHandlerExW(m_pszServiceName, ServiceControlHandler, nullptr);
  if (!m_hServiceStatus) throw static_cast<DWORD>(GetLastError());
  // Never unregistered: the registration ends with the service.
  RegisterPowerSettingNotification(m_hServiceStatus, &GUID_MONITOR_POWER_ON, DEVICE_NOTIFY_SERVICE_HANDLE);
  RegisterDeviceArrivals();
  Start(dwArgc, pszArgv);
}

// HID interfaces, so that a controller that comes back is seen. Without the
// registration the service still runs; only the arrivals go unseen.
void CServiceBase::RegisterDeviceArrivals() {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HidD_GetHidGuid(&filter.dbcc_classguid);
  m_hDevNotify = RegisterDeviceNotificationW(m_hServiceStatus, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
  if (m_hDevNotify) return;
  char szLine[96];
  std::snprintf(szLine, sizeof(szLine), "RegisterDeviceNotification fail, Code : %lu",
                static_cast<unsigned long>(GetLastError()));
  DbgLogWrite(szLine);
}

// Called with the status lock held, just before SERVICE_STOPPED goes out.
void CServiceBase::UnregisterDeviceArrivals() {
  if (!m_hDevNotify) return;
  if (!UnregisterDeviceNotification(m_hDevNotify)) {
    char szLine[96];
    std::snprintf(szLine, sizeof(szLine), "UnregisterDeviceNotification fail, Code : %lu",
                  static_cast<unsigned long>(GetLastError()));
    DbgLogWrite(szLine);
  }
  m_hDevNotify = nullptr;
}

DWORD WINAPI CServiceBase::ServiceControlHandler(DWORD dwCtrl, DWORD dwEventType, LPVOID pEventData, LPVOID) {
  CServiceBase* pService = g_pService;
  if (!pService) return NO_ERROR;
  switch (dwCtrl) {
    case SERVICE_CONTROL_STOP: pService->Stop(); break;
    case SERVICE_CONTROL_PAUSE: pService->Pause(); break;
    case SERVICE_CONTROL_CONTINUE: pService->Continue(); break;
    case SERVICE_CONTROL_SHUTDOWN: pService->Shutdown(); break;
    case SERVICE_CONTROL_POWEREVENT: pService->HandlePowerEvent(dwEventType, pEventData); break;
    case SERVICE_CONTROL_SESSIONCHANGE: pService->HandleSessionChange(dwEventType, pEventData); break;
    case SERVICE_CONTROL_DEVICEEVENT: pService->HandleDeviceEvent(dwEventType, pEventData); break;
    default: break;  // interrogate and anything else: no report
  }
  return NO_ERROR;
}

// ---- Control sequences --------------------------------------------------------

void CServiceBase::Start(DWORD dwArgc, LPWSTR* pszArgv) {
  try {
    ReportStatus(SERVICE_START_PENDING);
    OnStart(dwArgc, pszArgv);
    ReportStatus(SERVICE_RUNNING);
  } catch (DWORD dwError) {
    LogFailure(L"Service Start", dwError);
    ReportStatus(SERVICE_STOPPED, dwError);
  } catch (...) {
    LogEvent(L"Service failed to start.", EVENTLOG_INFORMATION_TYPE);
    ReportStatus(SERVICE_STOPPED);
  }
}

void CServiceBase::Stop() {
  const DWORD dwOriginalState = CurrentState();
  try {
    ReportStatus(SERVICE_STOP_PENDING);
    OnStop();
    ReportStatus(SERVICE_STOPPED);
  } catch (DWORD dwError) {
    LogFailure(L"Service Stop", dwError);
    ReportStatus(dwOriginalState);
  } catch (...) {
    LogEvent(L"Service failed to stop.", EVENTLOG_INFORMATION_TYPE);
    ReportStatus(dwOriginalState);
  }
}

void CServiceBase::Pause() {
  try {
    ReportStatus(SERVICE_PAUSE_PENDING);
    OnPause();
    ReportStatus(SERVICE_PAUSED);
  } catch (DWORD dwError) {
    LogFailure(L"Service Pause", dwError);
    ReportStatus(SERVICE_RUNNING);
  } catch (...) {
    LogEvent(L"Service failed to pause.", EVENTLOG_INFORMATION_TYPE);
    ReportStatus(SERVICE_RUNNING);
  }
}

void CServiceBase::Continue() {
  try {
    ReportStatus(SERVICE_CONTINUE_PENDING);
    OnContinue();
    ReportStatus(SERVICE_RUNNING);
  } catch (DWORD dwError) {
    LogFailure(L"Service Continue", dwError);
    ReportStatus(SERVICE_PAUSED);
  } catch (...) {
    LogEvent(L"Service failed to resume.", EVENTLOG_INFORMATION_TYPE);
    ReportStatus(SERVICE_PAUSED);
  }
}

void CServiceBase::Shutdown() {
  try {
    OnShutdown();
    ReportStatus(SERVICE_STOPPED);
  } catch (DWORD dwError) {
    LogFailure(L"Service Shutdown", dwError);
  } catch (...) {
    LogEvent(L"Service failed to shut down.", EVENTLOG_INFORMATION_TYPE);
  }
}

// ---- Power, display and session events --------------------------------------------

void CServiceBase::HandlePowerEvent(DWORD dwEventType, LPVOID pEventData) {
  try {
    if (dwEventType == PBT_POWERSETTINGCHANGE)
      HandlePowerSetting(pEventData);
    else
      LogPowerEvent(dwEventType);
    OnPowerEvent();
  } catch (DWORD dwError) {
    LogFailure(L"Service handle power event", dwError);
  } catch (...) {
    LogEvent(L"Service failed to handle power event.", EVENTLOG_INFORMATION_TYPE);
  }
}

void CServiceBase::LogPowerEvent(DWORD dwEventType) {
  static const struct {
    DWORD dwEventType;
    PCWSTR pszMessage;
  } kRows[] = {
      {PBT_APMRESUMEAUTOMATIC, L"Service receive PBT_APMRESUMEAUTOMATIC"},
      {PBT_APMQUERYSTANDBY, L"Service receive PBT_APMQUERYSTANDBY"},
      {PBT_APMQUERYSUSPEND, L"Service receive PBT_APMQUERYSUSPEND"},
      {PBT_APMSUSPEND, L"Service receive PBT_APMSUSPEND"},
      {PBT_APMRESUMESUSPEND, L"Service receive PBT_APMRESUMESUSPEND"},
      {PBT_APMRESUMECRITICAL, L"Service receive PBT_APMRESUMECRITICAL"},
      {PBT_APMPOWERSTATUSCHANGE, L"Service receive PBT_APMPOWERSTATUSCHANGE"},
  };
  for (const auto& row : kRows) {
    if (row.dwEventType != dwEventType) continue;
    LogEvent(row.pszMessage, EVENTLOG_INFORMATION_TYPE);
    return;
  }
  WCHAR szMessage[kMessageChars];
  FormatMessageText(szMessage, L"Service receivePowerEvent 0x%08x", static_cast<unsigned>(dwEventType));
  LogEvent(szMessage, EVENTLOG_INFORMATION_TYPE);
}

// The record is a POWERBROADCAST_SETTING: the GUID, a 32-bit data length, the
// data. It is copied out rather than cast, since nothing promises alignment;
// a missing record, or a display record without its data byte, changes nothing.
void CServiceBase::HandlePowerSetting(LPCVOID pEventData) {
  if (!pEventData) return;
  const auto* pBytes = static_cast<const BYTE*>(pEventData);
  GUID setting;
  DWORD dwDataLength = 0;
  std::memcpy(&setting, pBytes, sizeof(setting));
  std::memcpy(&dwDataLength, pBytes + sizeof(GUID), sizeof(dwDataLength));
  if (IsSameGuid(setting, kGuidConsoleDisplayState)) {
    LogEvent(L"GUID_CONSOLE_DISPLAY_STATE-Receive monitor's display change.", EVENTLOG_INFORMATION_TYPE);
  } else if (IsSameGuid(setting, kGuidVideoAdaptiveDisplayBrightness)) {
    LogEvent(L"GUID_VIDEO_ADAPTIVE_DISPLAY_BRIGHTNESS-Receive monitor's display brightness change.",
             EVENTLOG_INFORMATION_TYPE);
  } else if (IsSameGuid(setting, kGuidBatteryPercentageRemaining)) {
    LogEvent(L"GUID_BATTERY_PERCENTAGE_REMAINING-The power source for the system.", EVENTLOG_INFORMATION_TYPE);
  } else if (IsSameGuid(setting, GUID_MONITOR_POWER_ON)) {
    if (dwDataLength < 1) return;
    if (pBytes[sizeof(GUID) + sizeof(DWORD)] == 1)
      OnMonitorOn();
    else
      OnMonitorOff();
  } else if (IsSameGuid(setting, kGuidSystemAwayMode)) {
    LogEvent(L"GUID_SYSTEM_AWAYMODE-Exiting or Entering away mode.", EVENTLOG_INFORMATION_TYPE);
  }
}

// The record is a WTSSESSION_NOTIFICATION (its size, then the session id),
// copied out rather than cast.
void CServiceBase::HandleSessionChange(DWORD dwEventType, LPVOID pEventData) {
  WTSSESSION_NOTIFICATION notification{0, kUnknownSession};
  if (pEventData) std::memcpy(&notification.cbSize, pEventData, sizeof(notification.cbSize));
  if (notification.cbSize >= sizeof(notification)) std::memcpy(&notification, pEventData, sizeof(notification));
  const DWORD dwSessionId = notification.cbSize >= sizeof(notification) ? notification.dwSessionId : kUnknownSession;
  try {
    LogEvent(L"Service receive session change", EVENTLOG_INFORMATION_TYPE);
    OnSessionChange();
    OnSessionEvent(dwEventType, dwSessionId);
  } catch (DWORD dwError) {
    LogFailure(L"Service handle session change", dwError);
  } catch (...) {
    LogEvent(L"Service failed to handle session change.", EVENTLOG_INFORMATION_TYPE);
  }
}

namespace {

// The path of a DEV_BROADCAST_DEVICEINTERFACE_W record, checked to end
// within the size the record gives (the header and the name with its
// terminator); null for a missing or malformed record, an empty name or
// another kind of device. It points into the record: valid only as long as
// the device event.
LPCWSTR DeviceInterfacePath(LPCVOID pEventData) {
  if (!pEventData) return nullptr;
  DEV_BROADCAST_HDR header;
  std::memcpy(&header, pEventData, sizeof(header));
  const size_t nNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header.dbch_size <= nNameOffset) return nullptr;
  const size_t nMaxChars = std::min<size_t>((header.dbch_size - nNameOffset) / sizeof(WCHAR), kMaxDevicePathChars);
  const auto* pszName = reinterpret_cast<const WCHAR*>(static_cast<const BYTE*>(pEventData) + nNameOffset);
  size_t nChars = 0;
  while (nChars < nMaxChars && pszName[nChars] != L'\0') ++nChars;
  if (nChars == 0 || nChars == nMaxChars) return nullptr;  // empty, or no terminator within the record
  return pszName;
}

}  // namespace

// Only arrivals are acted on. The name in the record is valid only during
// this call: the hook copies what it keeps, inside the guard below, so that
// nothing this handler allocates can escape it. The hooks' failures, like
// everything this adds, reach the debug log only.
void CServiceBase::HandleDeviceEvent(DWORD dwEventType, LPVOID pEventData) {
  if (dwEventType != DBT_DEVICEARRIVAL) return;
  const LPCWSTR pszPath = DeviceInterfacePath(pEventData);
  if (!pszPath) {
    LogMessage(L"Device arrival without a device interface path", DEBUGLOG_ONLY);
    return;
  }
  try {
    OnDeviceArrival(pszPath);
  } catch (DWORD dwError) {
    WCHAR szMessage[kMessageChars];
    FormatMessageText(szMessage, L"Service handle device event failed w/err 0x%08lx",
                      static_cast<unsigned long>(dwError));
    LogMessage(szMessage, DEBUGLOG_ONLY);
  } catch (...) {
    LogMessage(L"Service failed to handle device event.", DEBUGLOG_ONLY);
  }
}

// ---- Status and logging ---------------------------------------------------------

DWORD CServiceBase::CurrentState() {
  std::lock_guard lock(StatusLock());
  return m_ServiceStatus.dwCurrentState;
}

// Pending and paused reports carry the next check point; RUNNING and STOPPED
// carry 0 and leave the counter alone. Nothing of the object is touched after
// SetServiceStatus: a STOPPED report may end its life.
void CServiceBase::ReportStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode) {
  std::lock_guard lock(StatusLock());
  if (m_fStoppedReported) return;
  m_fStoppedReported = dwCurrentState == SERVICE_STOPPED;
  if (m_fStoppedReported) UnregisterDeviceArrivals();
  m_ServiceStatus.dwCurrentState = dwCurrentState;
  m_ServiceStatus.dwWin32ExitCode = dwWin32ExitCode;
  m_ServiceStatus.dwWaitHint = 0;
  const bool fFinal = dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED;
  m_ServiceStatus.dwCheckPoint = fFinal ? 0 : g_dwCheckPoint++;
  SERVICE_STATUS status = m_ServiceStatus;
  SetServiceStatus(m_hServiceStatus, &status);
}

void CServiceBase::LogEvent(PCWSTR pszMessage, WORD wType) {
  HANDLE hEventSource = RegisterEventSourceW(nullptr, m_pszServiceName);
  if (!hEventSource) return;
  LPCWSTR rgszStrings[2] = {m_pszServiceName, pszMessage};
  ReportEventW(hEventSource, wType, 0, 0, nullptr, 2, 0, rgszStrings, nullptr);
  DeregisterEventSource(hEventSource);
}

void CServiceBase::LogFailure(PCWSTR pszOperation, DWORD dwError) {
  WCHAR szMessage[kMessageChars];
  FormatMessageText(szMessage, L"%ls failed w/err 0x%08lx", pszOperation, static_cast<unsigned long>(dwError));
  LogEvent(szMessage, EVENTLOG_INFORMATION_TYPE);
}

void CServiceBase::LogMessage(PCWSTR pszMessage, WORD wLevel) {
  if (!pszMessage) pszMessage = L"";
  DbgLogWrite(ToUtf8(pszMessage).c_str());
  if (wLevel != DEBUGLOG_ONLY) LogEvent(pszMessage, wLevel);
}

// ---- Hooks: nothing in the base ---------------------------------------------------

void CServiceBase::OnStart(DWORD, LPWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
void CServiceBase::OnSessionChange() {}
void CServiceBase::OnMonitorOn() {}
void CServiceBase::OnMonitorOff() {}
void CServiceBase::OnPowerEvent() {}
void CServiceBase::OnSessionEvent(DWORD, DWORD) {}
void CServiceBase::OnDeviceArrival(LPCWSTR) {}
