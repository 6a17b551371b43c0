// The user's wake setting: the interactive user found through the token of
// the user's shell, the key path under HKEY_USERS, and the "Touch" value.
#include "wot/WotSetting.h"

#include "log/DbgLog.h"
#include "platform/results.h"
#include "service/ServiceBase.h"
#include "wot/WatchPause.h"

#include <cwchar>
#include <iterator>

namespace {

constexpr WCHAR kShellExe[] = L"explorer.exe";
constexpr WCHAR kWakeKeySuffix[] = L"\\Software\\Microsoft\\Input\\WakeableInputTypes";
constexpr WCHAR kTouchValue[] = L"Touch";
// The user is looked up again this many times, this far apart: at boot the
// shell may not run yet.
constexpr int kLookupAttempts = 15;
constexpr DWORD kLookupRetryMs = 3000;
// Buffers of the wide texts: a path, a name, a message.
constexpr size_t kTextChars = MAX_PATH;
// The step number the revert failure has always been reported with.
constexpr int kRevertStep = 4;

// The session whose shell decides: the console's while a user is logged on
// at it, else none (kAnySession) and the first shell of any session does.
// At the logon screen, and while no session has the console, nobody sits at
// it. A console user whose shell does not run yet (it starts a moment after
// the logon) has no shell to find, and the lookup is tried again.
constexpr DWORD kAnySession = 0xFFFFFFFF;

DWORD ShellSession() {
  const DWORD dwConsole = WTSGetActiveConsoleSessionId();
  if (dwConsole == kAnySession) return kAnySession;
  LPWSTR pszUser = nullptr;
  DWORD cbUser = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, dwConsole, WTSUserName, &pszUser, &cbUser))
    return kAnySession;
  const bool fUser = pszUser && cbUser >= sizeof(WCHAR) && pszUser[0] != L'\0';
  WTSFreeMemory(pszUser);
  return fUser ? dwConsole : kAnySession;
}

bool InSession(DWORD dwPid, DWORD dwSession) {
  if (dwSession == kAnySession) return true;
  DWORD dwPidSession = 0;
  return ProcessIdToSessionId(dwPid, &dwPidSession) && dwPidSession == dwSession;
}

// The process id of the first "explorer.exe" of a snapshot (the exact name,
// letter case included) in the session whose shell decides; 0 when there is
// none. FALSE when the walk cannot start.
BOOL FindShellProcess(DWORD* pdwPid) {
  *pdwPid = 0;
  const DWORD dwSession = ShellSession();
  HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof(pe);
  if (hSnapshot == INVALID_HANDLE_VALUE) return FALSE;
  if (!Process32FirstW(hSnapshot, &pe)) {
    CloseHandle(hSnapshot);
    return FALSE;
  }
  do {
    if (std::wcscmp(pe.szExeFile, kShellExe) == 0 && InSession(pe.th32ProcessID, dwSession)) {
      *pdwPid = pe.th32ProcessID;
      break;
    }
  } while (Process32NextW(hSnapshot, &pe));
  CloseHandle(hSnapshot);
  return TRUE;
}

// One LookupAccountNameW with its size query: the SID (LocalAlloc, the
// caller frees it) and the referenced domain, or null.
PSID LookupSid(LPCWSTR pszName, WCHAR* pszDomain, size_t nDomainChars, SID_NAME_USE* peUse) {
  DWORD cbSid = 0, cchDomain = 0;
  LookupAccountNameW(nullptr, pszName, nullptr, &cbSid, nullptr, &cchDomain, peUse);
  if (cbSid == 0 || cchDomain == 0 || cchDomain > nDomainChars) return nullptr;
  PSID pSid = LocalAlloc(LPTR, cbSid);
  if (!pSid) return nullptr;
  if (!LookupAccountNameW(nullptr, pszName, pSid, &cbSid, pszDomain, &cchDomain, peUse)) {
    LocalFree(pSid);
    return nullptr;
  }
  return pSid;
}

// The path as the registry is handed it: terminated within its array.
void CopyPath(const WCHAR (&szFrom)[MAX_PATH], WCHAR (&szTo)[MAX_PATH]) {
  std::wmemcpy(szTo, szFrom, MAX_PATH);
  szTo[MAX_PATH - 1] = L'\0';
}

}  // namespace

BOOL CWotSetting::GetSIDString(LPWSTR* ppszStringSid) {
  *ppszStringSid = nullptr;
  DWORD dwPid = 0;
  if (!FindShellProcess(&dwPid)) return FALSE;
  HANDLE hProcess = dwPid ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, dwPid) : nullptr;

  m_Service.LogMessage(L"Start to OpenProcessToken", DEBUGLOG_ONLY);
  HANDLE hToken = nullptr;
  if (!hProcess || !OpenProcessToken(hProcess, TOKEN_DUPLICATE | TOKEN_QUERY, &hToken)) {
    if (hProcess) CloseHandle(hProcess);
    m_Service.LogMessage(L"Fail to OpenProcessToken", EVENTLOG_INFORMATION_TYPE);
    return FALSE;
  }
  CloseHandle(hProcess);

  WCHAR szUser[kTextChars] = {};
  if (!ImpersonateUserName(hToken, szUser)) return FALSE;
  PSID pSid = nullptr;
  if (!GetAccountSid(szUser, &pSid)) return FALSE;
  BOOL fResult = ConvertSidToStringSidW(pSid, ppszStringSid);
  LocalFree(pSid);
  return fResult;
}

// Takes the user's name under the user's identity and returns to the
// service's own. The thread is a pool thread: it must never be handed back
// still impersonating, so a failed RevertToSelf drops the token another way.
BOOL CWotSetting::ImpersonateUserName(HANDLE hToken, WCHAR* pszUser) {
  m_Service.LogMessage(L"ImpersonateLoggedOnUser", DEBUGLOG_ONLY);
  if (!ImpersonateLoggedOnUser(hToken)) {
    m_Service.LogMessage(L"ImpersonateLoggedOnUser Fail", EVENTLOG_INFORMATION_TYPE);
    CloseHandle(hToken);
    return FALSE;
  }
  CloseHandle(hToken);

  DWORD dwSize = kTextChars;
  GetUserNameW(pszUser, &dwSize);
  pszUser[kTextChars - 1] = L'\0';
  WCHAR szText[kTextChars + 16];
  std::swprintf(szText, std::size(szText), L"User Name : %ls", pszUser);
  m_Service.LogMessage(szText, DEBUGLOG_ONLY);

  if (!RevertToSelf()) {
    std::swprintf(szText, std::size(szText), L"RevertToSelf Fail:%d", kRevertStep);
    m_Service.LogMessage(szText, EVENTLOG_INFORMATION_TYPE);
    SetThreadToken(nullptr, nullptr);
    return FALSE;
  }
  return TRUE;
}

BOOL CWotSetting::GetAccountSid(LPCWSTR pszAccountName, PSID* ppSid) {
  *ppSid = nullptr;
  WCHAR szDomain[kTextChars] = {};
  SID_NAME_USE eUse = SidTypeUnknown;
  PSID pSid = LookupSid(pszAccountName, szDomain, kTextChars, &eUse);
  if (!pSid) return FALSE;
  if (eUse == SidTypeDomain) {
    // The bare name named the computer's domain: the user shares the
    // computer's name. The qualified name finds the user.
    LocalFree(pSid);
    pSid = nullptr;
    if (std::wcslen(szDomain) + 1 + std::wcslen(pszAccountName) >= kTextChars) return FALSE;
    WCHAR szQualified[kTextChars];
    std::swprintf(szQualified, kTextChars, L"%ls\\%ls", szDomain, pszAccountName);
    pSid = LookupSid(szQualified, szDomain, kTextChars, &eUse);
    if (!pSid) return FALSE;
  }
  if (eUse != SidTypeUser) {
    LocalFree(pSid);
    return FALSE;
  }
  *ppSid = pSid;
  return TRUE;
}

int CWotSetting::RetryRegGetWotPath(WCHAR (&szRegPath)[MAX_PATH], CWatchPause& pause) {
  for (int nAttempt = 0; nAttempt < kLookupAttempts; ++nAttempt) {
    if (TryRegGetWotPath(szRegPath)) return kResultOk;
    DbgLogWrite("RegGetCurrentWotPath fail.");
    if (!pause.WatchPause(kLookupRetryMs)) break;
  }
  return kResultNotDone;
}

bool CWotSetting::TryRegGetWotPath(WCHAR (&szRegPath)[MAX_PATH]) {
  LPWSTR pszSid = nullptr;
  if (!GetSIDString(&pszSid)) {
    m_Service.LogMessage(L"GetSIDString Fail", EVENTLOG_INFORMATION_TYPE);
    return false;
  }
  const bool fFits = std::wcslen(pszSid) + std::size(kWakeKeySuffix) <= std::size(szRegPath);
  if (fFits) std::swprintf(szRegPath, std::size(szRegPath), L"%ls%ls", pszSid, kWakeKeySuffix);
  LocalFree(pszSid);
  if (!fFits) {
    m_Service.LogMessage(L"Memory is too small.", EVENTLOG_INFORMATION_TYPE);
    return false;
  }
  WCHAR szText[kTextChars + 32];
  std::swprintf(szText, std::size(szText), L"Reg Key Path = %ls \n", szRegPath);
  m_Service.LogMessage(szText, DEBUGLOG_ONLY);
  return true;
}

// The registry functions return their error code (the thread's last error is
// not theirs), so the code printed is the one returned.
int CWotSetting::ReadWoTsetting(const WCHAR (&szRegPath)[MAX_PATH], DWORD* pdwSel) {
  WCHAR szPath[MAX_PATH];
  CopyPath(szRegPath, szPath);
  WCHAR szText[kTextChars + 64];
  HKEY hKey = nullptr;
  LSTATUS lResult = RegOpenKeyExW(HKEY_USERS, szPath, 0, KEY_READ, &hKey);
  if (lResult != ERROR_SUCCESS) {
    std::swprintf(szText, std::size(szText), L"Open Register Key, Code : %d", static_cast<int>(lResult));
    m_Service.LogMessage(szText, EVENTLOG_INFORMATION_TYPE);
    *pdwSel = kDefaultSelection;
    return kResultNotDone;
  }
  DWORD dwValue = 0;
  lResult = QueryTouch(hKey, &dwValue);
  RegCloseKey(hKey);
  if (lResult != ERROR_SUCCESS) {
    std::swprintf(szText, std::size(szText), L"RegQueryValueEx, Code : %d", static_cast<int>(lResult));
    m_Service.LogMessage(szText, EVENTLOG_INFORMATION_TYPE);
    *pdwSel = kDefaultSelection;
    return kResultNoValue;
  }
  std::swprintf(szText, std::size(szText), L"read %ls is %x", szPath, static_cast<unsigned>(dwValue));
  m_Service.LogMessage(szText, EVENTLOG_INFORMATION_TYPE);
  *pdwSel = dwValue;
  return 0;
}

bool CWotSetting::SettingChangedSince(const WCHAR (&szRegPath)[MAX_PATH], DWORD dwPushed) {
  WCHAR szPath[MAX_PATH];
  CopyPath(szRegPath, szPath);
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, szPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return true;
  DWORD dwValue = 0;
  const LSTATUS lResult = QueryTouch(hKey, &dwValue);
  RegCloseKey(hKey);
  return lResult != ERROR_SUCCESS || dwValue != dwPushed;
}

// "Touch" as 32-bit data. Data of any other length is not a wake setting
// (ERROR_MORE_DATA when longer, ERROR_INVALID_DATA when shorter), and a value
// that vanishes between the size query and the read is a failed read.
LSTATUS CWotSetting::QueryTouch(HKEY hKey, DWORD* pdwValue) {
  DWORD dwSize = 0;
  LSTATUS lResult = RegQueryValueExW(hKey, kTouchValue, nullptr, nullptr, nullptr, &dwSize);
  if (lResult != ERROR_SUCCESS) return lResult;
  if (dwSize != sizeof(DWORD)) return dwSize > sizeof(DWORD) ? ERROR_MORE_DATA : ERROR_INVALID_DATA;
  DWORD dwValue = sizeof(DWORD);
  dwSize = sizeof(DWORD);
  lResult = RegQueryValueExW(hKey, kTouchValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&dwValue), &dwSize);
  if (lResult != ERROR_SUCCESS) return lResult;
  if (dwSize != sizeof(DWORD)) return ERROR_INVALID_DATA;
  *pdwValue = dwValue;
  return ERROR_SUCCESS;
}
