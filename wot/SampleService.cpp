#include "wot/SampleService.h"

#include "service/ServiceIdentity.h"

#include <cwchar>
#include <iterator>

CSampleService::CSampleService()
    : CServiceBase(kServiceName),
      m_Setting(*this),
      m_Push(*this),
      m_Arrival(*this, m_Watch, m_Push),
      m_Watch(*this, m_Setting, m_Push) {}

CSampleService::~CSampleService() { LogMessage(L"Service Destroy", DEBUGLOG_ONLY); }

BOOL CSampleService::GetSIDString(LPWSTR* ppszStringSid) { return m_Setting.GetSIDString(ppszStringSid); }

BOOL CSampleService::GetAccountSid(LPCWSTR pszAccountName, PSID* ppSid) {
  return m_Setting.GetAccountSid(pszAccountName, ppSid);
}

int CSampleService::RetryRegGetWotPath(WCHAR (&szRegPath)[MAX_PATH]) {
  return m_Setting.RetryRegGetWotPath(szRegPath, m_Watch);
}

int CSampleService::ReadWoTsetting(const WCHAR (&szRegPath)[MAX_PATH], DWORD* pdwSel) {
  return m_Setting.ReadWoTsetting(szRegPath, pdwSel);
}

void CSampleService::RestartRegWatch(LPCWSTR pszRunningText, LPCWSTR pszEventText) {
  m_Watch.RestartRegWatch(pszRunningText, pszEventText);
}

void CSampleService::StartRegWatchThread() { m_Watch.StartRegWatchThread(); }

BOOL CSampleService::WaitForWatchers(DWORD dwMilliseconds) { return m_Watch.WaitForWatchers(dwMilliseconds); }

LONG CSampleService::WatchRuns() const { return m_Watch.WatchRuns(); }

HANDLE CSampleService::EndingEvent() const { return m_Watch.EndingEvent(); }

int CSampleService::RetryHidDevWoTCtrl(DWORD dwSel) { return m_Push.RetryHidDevWoTCtrl(dwSel, m_Watch); }

int CSampleService::HidDevWoTCtrl(DWORD dwSel) { return m_Push.HidDevWoTCtrl(dwSel, m_Watch); }

void CSampleService::OnStart(DWORD, LPWSTR*) {
  LogMessage(L"CppWindowsService in OnStart", EVENTLOG_INFORMATION_TYPE);
  m_Watch.ForgetSetting();
  RestartRegWatch(L"OnStart - the thread is running", L"OnStart - SetEvent m_hRegWatchEvent");
  StartRegWatchThread();
}

void CSampleService::OnMonitorOn() {
  LogMessage(L"Monitor On - Pass WoT selection to low level touch controller", EVENTLOG_INFORMATION_TYPE);
  RestartRegWatch(L"Monitor On - the thread is running", L"Monitor On - SetEvent m_hRegWatchEvent");
  LogMessage(L"Monitor On - Create new thread", DEBUGLOG_ONLY);
  StartRegWatchThread();
}

void CSampleService::OnMonitorOff() { LogMessage(L"Monitor Off - Do nothing", EVENTLOG_INFORMATION_TYPE); }

void CSampleService::OnSessionEvent(DWORD dwEventType, DWORD dwSessionId) {
  PCWSTR pszWhat = nullptr;
  switch (dwEventType) {
    case WTS_SESSION_LOGON: pszWhat = L"Session Logon"; break;
    case WTS_SESSION_LOGOFF: pszWhat = L"Session Logoff"; break;
    case WTS_CONSOLE_CONNECT: pszWhat = L"Console Connect"; break;
    default: return;  // lock, unlock, disconnects, remote changes
  }
  WCHAR szWhat[64];
  std::swprintf(szWhat, std::size(szWhat), L"%ls %lu", pszWhat, static_cast<unsigned long>(dwSessionId));
  m_Watch.RestartFor(szWhat);
}

void CSampleService::OnDeviceArrival(LPCWSTR pszDevicePath) { m_Arrival.CheckArrival(pszDevicePath); }

void CSampleService::OnShutdown() {
  LogMessage(L"CppWindowsService in OnShutdown", EVENTLOG_INFORMATION_TYPE);
  m_Watch.BeginEnding();
}

// Does not wait for a running watcher: it is woken and ends by itself.
void CSampleService::OnStop() {
  LogMessage(L"CppWindowsService in OnStop", EVENTLOG_INFORMATION_TYPE);
  m_Watch.StopWatching();
  LogMessage(L"OnStop OK.", EVENTLOG_INFORMATION_TYPE);
}
