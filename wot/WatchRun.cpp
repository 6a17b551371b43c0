#include "wot/WatchRun.h"

#include "platform/results.h"
#include "service/ServiceBase.h"
#include "wot/WotPush.h"
#include "wot/WotSetting.h"

namespace {

constexpr int kNotifyAttempts = 10;
constexpr DWORD kNotifyRetryMs = 2000;

}  // namespace

CRegWatch::CWatchRun::CWatchRun(CRegWatch& watch)
    : m_Watch(watch),
      m_dwGeneration(0),
      m_szRegPath{},
      m_hCalledOff(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_hReplaced(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (m_hCalledOff && m_hReplaced) return;
  const DWORD dwError = GetLastError();
  for (HANDLE hEvent : {m_hCalledOff, m_hReplaced})
    if (hEvent) CloseHandle(hEvent);
  throw dwError;
}

CRegWatch::CWatchRun::~CWatchRun() {
  CloseHandle(m_hCalledOff);
  CloseHandle(m_hReplaced);
}

void CRegWatch::CWatchRun::RegWatchThread() {
  m_Watch.m_fThreadRunning = true;
  if (WatchPause(m_Watch.m_dwStartDelay)) WatchRun();
  // A newer run may be queued or running already: the flag stays set for it.
  m_Watch.m_fThreadRunning = m_Watch.WatchRuns() > 1;
}

BOOL CRegWatch::CWatchRun::WatchPause(DWORD dwMilliseconds) {
  if (IsReplaced()) return FALSE;
  HANDLE rgWait[2] = {m_Watch.m_hEndingEvent, m_hReplaced};
  if (WaitForMultipleObjects(2, rgWait, FALSE, dwMilliseconds) != WAIT_TIMEOUT) return FALSE;
  return !IsReplaced();
}

bool CRegWatch::CWatchRun::EnterPush() {
  if (IsEnding() || IsCalledOff()) return false;
  m_Watch.CallOffOlderPushes(m_dwGeneration);
  return true;
}

void CRegWatch::CWatchRun::LogMessage(PCWSTR pszMessage, WORD wLevel) {
  m_Watch.m_Service.LogMessage(pszMessage, wLevel);
}

void CRegWatch::CWatchRun::WatchRun() {
  const DWORD dwSel = FindSetting();
  if (IsReplaced()) return;  // its lookup was cut short: the newer run reads the setting
  if (!FirstPush(dwSel)) return;
  if (IsReplaced()) {
    LogMessage(L"A newer watcher runs - this one does not watch", DEBUGLOG_ONLY);
    return;
  }
  HKEY hKey = OpenNotifyKey();
  if (!hKey) return;
  WatchChanges(hKey, dwSel);
  RegCloseKey(hKey);
}

// Finds the user's key path and reads "Touch" into the selection; 1 when
// either cannot be done. Returns the selection. A run replaced meanwhile
// leaves the shared selection to the newer run, which reads it again.
DWORD CRegWatch::CWatchRun::FindSetting() {
  const bool fFound = m_Watch.m_Setting.RetryRegGetWotPath(m_szRegPath, *this) == kResultOk;
  if (IsReplaced()) return CWotSetting::kDefaultSelection;
  if (!fFound) {
    LogMessage(L"RetryRegGetWotPath fail.", DEBUGLOG_ONLY);
    m_Watch.fRegExist = FALSE;
    m_Watch.m_dwWotSel = CWotSetting::kDefaultSelection;
    return CWotSetting::kDefaultSelection;
  }
  DWORD dwSel = CWotSetting::kDefaultSelection;
  const bool fRead = m_Watch.m_Setting.ReadWoTsetting(m_szRegPath, &dwSel) == kResultOk;
  m_Watch.m_dwWotSel = dwSel;
  m_Watch.fRegExist = fRead ? TRUE : FALSE;
  if (!fRead) LogMessage(L"ReadWoTsetting fail.", DEBUGLOG_ONLY);
  return dwSel;
}

// Pushes the selection; false when the run ends here (no controller, no
// setting to watch, or the service is ending).
bool CRegWatch::CWatchRun::FirstPush(DWORD dwSel) {
  if (m_Watch.m_Push.RetryHidDevWoTCtrl(dwSel, *this) != kResultOk) {
    if (IsEnding() || IsReplaced()) return false;
    LogMessage(L"RetryHidDevWoTCtrl fail.", EVENTLOG_INFORMATION_TYPE);
    m_Watch.m_fStopWatch = TRUE;
    LogMessage(L"m_fDevExist is FALSE. Can't detect device.", DEBUGLOG_ONLY);
    return false;
  }
  if (!m_Watch.fRegExist.load()) {
    m_Watch.m_fStopWatch = TRUE;
    LogMessage(L"fRegExist is FALSE. Can't find register. Alwyas enable the wot", DEBUGLOG_ONLY);
    return false;
  }
  return true;
}

HKEY CRegWatch::CWatchRun::OpenNotifyKey() {
  for (int nAttempt = 0; nAttempt < kNotifyAttempts; ++nAttempt) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, m_szRegPath, 0, KEY_NOTIFY, &hKey) == ERROR_SUCCESS) {
      LogMessage(L"RegSetNotify success.", DEBUGLOG_ONLY);
      LogMessage(L"RegSetNotify Success. The thread of waitting register changed is running.", DEBUGLOG_ONLY);
      if (IsReplaced() || IsEnding()) {
        RegCloseKey(hKey);
        return nullptr;
      }
      m_Watch.m_fStopWatch = FALSE;
      return hKey;
    }
    LogMessage(L"RegOpenKeyEx KEY_NOTIFY fail.", EVENTLOG_INFORMATION_TYPE);
    LogMessage(L"RegSetNotify fail", DEBUGLOG_ONLY);
    if (!WatchPause(kNotifyRetryMs)) return nullptr;
  }
  LogMessage(L"RegSetNotify fail.", EVENTLOG_INFORMATION_TYPE);
  LogMessage(L"RegSetNotify fail. Can't run registry changing detection.", DEBUGLOG_ONLY);
  m_Watch.m_fStopWatch = TRUE;
  return nullptr;
}

// Waits for changes below the key and pushes the new value after each, until
// a stop or restart request, a newer run or the end of the service.
void CRegWatch::CWatchRun::WatchChanges(HKEY hKey, DWORD dwPushed) {
  for (bool fFirst = true;; fFirst = false) {
    if (!ArmNotification(hKey)) {
      if (!IsEnding()) LogMessage(L"RegNotifyChangeKeyValue fail.", EVENTLOG_INFORMATION_TYPE);
      m_Watch.m_fStopWatch = TRUE;
      return;
    }
    LogMessage(L"RegNotifyChangeKeyValue success.", EVENTLOG_INFORMATION_TYPE);
    // A change between the read of the setting and the first arm raised no
    // notification; it is taken up as if it had.
    if (fFirst && m_Watch.m_Setting.SettingChangedSince(m_szRegPath, dwPushed)) SetEvent(m_Watch.m_hRegWatchEvent);
    // Arming resets the event: a request that came before it is seen here.
    const DWORD dwWait = StopRequested() ? WAIT_OBJECT_0 : WaitForSingleObject(m_Watch.m_hRegWatchEvent, INFINITE);
    if (dwWait == WAIT_OBJECT_0) {
      LogMessage(L"WAIT_OBJECT_0", EVENTLOG_INFORMATION_TYPE);
      if (IsEnding()) return;
      PushChangedSetting();
    } else if (dwWait == WAIT_FAILED) {
      LogMessage(L"WAIT_FAILED", EVENTLOG_INFORMATION_TYPE);
    }
    if (StopRequested()) return;
  }
}

bool CRegWatch::CWatchRun::ArmNotification(HKEY hKey) {
  for (int nAttempt = 0; nAttempt < kNotifyAttempts; ++nAttempt) {
    if (IsEnding()) return false;
    if (RegNotifyChangeKeyValue(hKey, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_Watch.m_hRegWatchEvent, TRUE) ==
        ERROR_SUCCESS)
      return true;
    if (!WatchPause(kNotifyRetryMs)) return false;
  }
  return false;
}

// A push that a replaced run gave up (called off, or failed once and not
// retried because the newer run pushes) did not fail to reach the
// controller: the debug log alone says so, as after a first push.
void CRegWatch::CWatchRun::PushChangedSetting() {
  DWORD dwSel = CWotSetting::kDefaultSelection;
  const bool fRead = m_Watch.m_Setting.ReadWoTsetting(m_szRegPath, &dwSel) == kResultOk;
  m_Watch.m_dwWotSel = dwSel;
  if (!fRead || m_Watch.m_Push.RetryHidDevWoTCtrl(dwSel, *this) == kResultOk || IsEnding()) return;
  LogMessage(L"Can not send wot-sel command to device", IsReplaced() ? DEBUGLOG_ONLY : EVENTLOG_INFORMATION_TYPE);
}
