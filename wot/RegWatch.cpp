// The watcher: the hooks that start it, one run of it (delay, lookup, first
// push, then a wait for changes under the user's key), and the push of the
// selection to the controller.
#include "log/DbgLog.h"
#include "touchic/TouchIC.h"
#include "touchic/VornApi.h"
#include "wot/SampleService.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

namespace {

constexpr int kPushAttempts = 15;
constexpr DWORD kPushRetryMs = 2000;
constexpr int kNotifyAttempts = 10;
constexpr DWORD kNotifyRetryMs = 2000;
constexpr size_t kTextChars = MAX_PATH;

// The facade's last error text as one line of a wide message (its trailing
// line break dropped; a text too long for the buffer is cut).
void LastFacadeError(WCHAR* pszText, size_t nChars) {
  pszText[0] = L'\0';
  const char* pszError = DbgLogLastError();
  if (!pszError) return;
  size_t nBytes = std::strlen(pszError);
  while (nBytes > 0 && (pszError[nBytes - 1] == '\n' || pszError[nBytes - 1] == '\r')) --nBytes;
  nBytes = std::min(nBytes, nChars - 1);
  int nWritten = MultiByteToWideChar(CP_UTF8, 0, pszError, static_cast<int>(nBytes), pszText, static_cast<int>(nChars - 1));
  pszText[nWritten > 0 ? nWritten : 0] = L'\0';
}

}  // namespace

// ---- The hooks ----------------------------------------------------------------------

void CSampleService::OnStart(DWORD, LPWSTR*) {
  LogMessage(L"CppWindowsService in OnStart", EVENTLOG_INFORMATION_TYPE);
  fRegExist = FALSE;
  RestartRegWatch(L"OnStart - the thread is running", L"OnStart - SetEvent m_hRegWatchEvent");
  StartRegWatchThread();
}

void CSampleService::OnMonitorOn() {
  LogMessage(L"Monitor On - Pass WoT selection to low level touch controller", EVENTLOG_INFORMATION_TYPE);
  RestartRegWatch(L"Monitor On - the thread is running", L"Monitor On - SetEvent m_hRegWatchEvent");
  LogMessage(L"Monitor On - Create new thread", DEBUGLOG_ONLY);
  StartRegWatchThread();
}

// Asks a running watcher to end: it wakes, pushes once more and ends.
void CSampleService::RestartRegWatch(LPCWSTR pszRunningText, LPCWSTR pszEventText) {
  if (!m_fThreadRunning.load()) return;
  LogMessage(pszRunningText, DEBUGLOG_ONLY);
  if (m_fStopWatch.exchange(TRUE)) return;
  if (m_hRegWatchEvent) {
    SetEvent(m_hRegWatchEvent);
    LogMessage(pszEventText, DEBUGLOG_ONLY);
  }
}

// ---- One run of the watcher ---------------------------------------------------------

void CSampleService::RegWatchThread(CSampleService* pService, DWORD dwGeneration) {
  pService->m_fThreadRunning = true;
  if (pService->WatchPause(pService->m_dwStartDelay)) pService->WatchRun(dwGeneration);
  // A newer run may be queued or running already: the flag stays set for it.
  pService->m_fThreadRunning = pService->WatchRuns() > 1;
}

void CSampleService::WatchRun(DWORD dwGeneration) {
  const DWORD dwSel = FindSetting();
  if (IsReplaced(dwGeneration)) return;  // its lookup was cut short: the newer run reads the setting
  if (!FirstPush(dwSel, dwGeneration)) return;
  if (IsReplaced(dwGeneration)) {
    LogMessage(L"A newer watcher runs - this one does not watch", DEBUGLOG_ONLY);
    return;
  }
  HKEY hKey = OpenNotifyKey(dwGeneration);
  if (!hKey) return;
  WatchChanges(hKey, dwGeneration, dwSel);
  RegCloseKey(hKey);
}

// Finds the user's key path and reads "Touch" into the selection; 1 when
// either cannot be done. Returns the selection.
DWORD CSampleService::FindSetting() {
  if (RetryRegGetWotPath() != 0) {
    LogMessage(L"RetryRegGetWotPath fail.", DEBUGLOG_ONLY);
    fRegExist = FALSE;
    m_dwWotSel = 1;
    return 1;
  }
  DWORD dwSel = 1;
  const bool fRead = ReadWoTsetting(&dwSel) == 0;
  m_dwWotSel = dwSel;
  fRegExist = fRead ? TRUE : FALSE;
  if (!fRead) LogMessage(L"ReadWoTsetting fail.", DEBUGLOG_ONLY);
  return dwSel;
}

// Pushes the selection; false when the run ends here (no controller, no
// setting to watch, or the service is ending).
bool CSampleService::FirstPush(DWORD dwSel, DWORD dwGeneration) {
  if (RetryHidDevWoTCtrl(dwSel) != 0) {
    if (IsEnding() || IsReplaced(dwGeneration)) return false;
    LogMessage(L"RetryHidDevWoTCtrl fail.", EVENTLOG_INFORMATION_TYPE);
    m_fStopWatch = TRUE;
    LogMessage(L"m_fDevExist is FALSE. Can't detect device.", DEBUGLOG_ONLY);
    return false;
  }
  if (!fRegExist.load()) {
    m_fStopWatch = TRUE;
    LogMessage(L"fRegExist is FALSE. Can't find register. Alwyas enable the wot", DEBUGLOG_ONLY);
    return false;
  }
  return true;
}

HKEY CSampleService::OpenNotifyKey(DWORD dwGeneration) {
  for (int nAttempt = 0; nAttempt < kNotifyAttempts; ++nAttempt) {
    WCHAR szPath[MAX_PATH];
    CopyRegPath(szPath);
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, szPath, 0, KEY_NOTIFY, &hKey) == ERROR_SUCCESS) {
      LogMessage(L"RegSetNotify success.", DEBUGLOG_ONLY);
      LogMessage(L"RegSetNotify Success. The thread of waitting register changed is running.", DEBUGLOG_ONLY);
      if (IsReplaced(dwGeneration) || IsEnding()) {
        RegCloseKey(hKey);
        return nullptr;
      }
      m_fStopWatch = FALSE;
      return hKey;
    }
    LogMessage(L"RegOpenKeyEx KEY_NOTIFY fail.", EVENTLOG_INFORMATION_TYPE);
    LogMessage(L"RegSetNotify fail", DEBUGLOG_ONLY);
    if (!WatchPause(kNotifyRetryMs)) return nullptr;
  }
  LogMessage(L"RegSetNotify fail.", EVENTLOG_INFORMATION_TYPE);
  LogMessage(L"RegSetNotify fail. Can't run registry changing detection.", DEBUGLOG_ONLY);
  m_fStopWatch = TRUE;
  return nullptr;
}

// Waits for changes below the key and pushes the new value after each, until
// a stop or restart request, a newer run or the end of the service.
void CSampleService::WatchChanges(HKEY hKey, DWORD dwGeneration, DWORD dwPushed) {
  for (bool fFirst = true;; fFirst = false) {
    if (!ArmNotification(hKey)) {
      if (!IsEnding()) LogMessage(L"RegNotifyChangeKeyValue fail.", EVENTLOG_INFORMATION_TYPE);
      m_fStopWatch = TRUE;
      return;
    }
    LogMessage(L"RegNotifyChangeKeyValue success.", EVENTLOG_INFORMATION_TYPE);
    // A change between the read of the setting and the first arm raised no
    // notification; it is taken up as if it had.
    if (fFirst && SettingChangedSince(dwPushed)) SetEvent(m_hRegWatchEvent);
    // Arming resets the event: a request that came before it is seen here.
    const DWORD dwWait = StopRequested(dwGeneration) ? WAIT_OBJECT_0 : WaitForSingleObject(m_hRegWatchEvent, INFINITE);
    if (dwWait == WAIT_OBJECT_0) {
      LogMessage(L"WAIT_OBJECT_0", EVENTLOG_INFORMATION_TYPE);
      if (IsEnding()) return;
      PushChangedSetting();
    } else if (dwWait == WAIT_FAILED) {
      LogMessage(L"WAIT_FAILED", EVENTLOG_INFORMATION_TYPE);
    }
    if (StopRequested(dwGeneration)) return;
  }
}

bool CSampleService::ArmNotification(HKEY hKey) {
  for (int nAttempt = 0; nAttempt < kNotifyAttempts; ++nAttempt) {
    if (IsEnding()) return false;
    if (RegNotifyChangeKeyValue(hKey, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_hRegWatchEvent, TRUE) == ERROR_SUCCESS)
      return true;
    if (!WatchPause(kNotifyRetryMs)) return false;
  }
  return false;
}

// Whether "Touch" now differs from the selection pushed (read quietly: the
// loop's own read reports what it finds).
bool CSampleService::SettingChangedSince(DWORD dwPushed) {
  WCHAR szPath[MAX_PATH];
  CopyRegPath(szPath);
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, szPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return true;
  DWORD dwValue = 0;
  const LSTATUS lResult = QueryTouch(hKey, &dwValue);
  RegCloseKey(hKey);
  return lResult != ERROR_SUCCESS || dwValue != dwPushed;
}

void CSampleService::PushChangedSetting() {
  DWORD dwSel = 1;
  const bool fRead = ReadWoTsetting(&dwSel) == 0;
  m_dwWotSel = dwSel;
  if (fRead && RetryHidDevWoTCtrl(dwSel) != 0 && !IsEnding())
    LogMessage(L"Can not send wot-sel command to device", EVENTLOG_INFORMATION_TYPE);
}

bool CSampleService::IsEnding() const { return m_fServiceEnding.load() != FALSE; }

bool CSampleService::IsReplaced(DWORD dwGeneration) const { return dwGeneration != m_dwRunGeneration.load(); }

bool CSampleService::StopRequested(DWORD dwGeneration) const {
  return m_fStopWatch.load() || IsEnding() || IsReplaced(dwGeneration);
}

// ---- The push -----------------------------------------------------------------------

int CSampleService::RetryHidDevWoTCtrl(DWORD dwSel) {
  for (int nAttempt = 0; nAttempt < kPushAttempts; ++nAttempt) {
    if (IsEnding()) return kResultNotDone;
    if (HidDevWoTCtrl(dwSel) == 0) {
      LogMessage(L"Init HidDevWoTCtrl success", DEBUGLOG_ONLY);
      return 0;
    }
    LogMessage(L"Init HidDevWoTCtrl fail", DEBUGLOG_ONLY);
    if (!WatchPause(kPushRetryMs)) return kResultNotDone;
  }
  LogMessage(L"Init HidDevWoTCtrl fail.", EVENTLOG_INFORMATION_TYPE);
  return kResultNotDone;
}

// One push: connect, send the selection, disconnect, all under the push lock.
int CSampleService::HidDevWoTCtrl(DWORD dwSel) {
  EnterCriticalSection(&m_csPush);
  LogMessage(L"---> VORNAPI::Connect", DEBUGLOG_ONLY);
  WCHAR szMessage[kTextChars * 2];
  WCHAR szError[kTextChars];
  int nResult = VORNAPI::Connect(static_cast<int>(m_dwVid), static_cast<int>(m_dwPid));
  if (nResult != 0) {
    LastFacadeError(szError, std::size(szError));
    std::swprintf(szMessage, std::size(szMessage), L"Connect fail. %ls", szError);
  } else {
    LogConnection();
    nResult = SendSelection(dwSel, szMessage, std::size(szMessage));
  }
  LogMessage(szMessage, EVENTLOG_INFORMATION_TYPE);
  VORNAPI::Disconnect();
  LogMessage(L"<--- VORNAPI::Disconnect", DEBUGLOG_ONLY);
  LeaveCriticalSection(&m_csPush);
  return nResult;
}

void CSampleService::LogConnection() {
  WCHAR szText[kTextChars + 32];
  std::swprintf(szText, std::size(szText), L"Connect device count = %d", g_TouchIC.GetDeviceCount());
  LogMessage(szText, DEBUGLOG_ONLY);
  WCHAR szPath[kTextChars] = {};
  g_TouchIC.GetDevPath(0, szPath, static_cast<int>(kTextChars));
  szPath[kTextChars - 1] = L'\0';
  std::swprintf(szText, std::size(szText), L"Connect device path = %ls", szPath);
  LogMessage(szText, DEBUGLOG_ONLY);
}

// The command carries the selection's low byte; the message says what that
// byte tells the controller: 1 switches wake-on-touch on, any other byte off.
int CSampleService::SendSelection(DWORD dwSel, WCHAR* pszMessage, size_t nChars) {
  if (g_TouchIC.SWSetSystemInfo(static_cast<int>(dwSel)) == 0) {
    const bool fEnabling = (dwSel & 0xFF) == 1;
    std::swprintf(pszMessage, nChars, L"%ls", fEnabling ? L"Enable Wake-on-touch" : L"Disable Wake-on-touch");
    return 0;
  }
  WCHAR szError[kTextChars];
  LastFacadeError(szError, std::size(szError));
  std::swprintf(pszMessage, nChars, L"SWSetSystemInfo fail. %ls", szError);
  return kResultFailed;
}
