// The user's wake setting: the user at the console found through the token
// of the user's shell, the key path under HKEY_USERS, and the "Touch" value.
// Holds no state of its own: the key path is the caller's.
#pragma once

#include "platform/win32.h"

class CServiceBase;
class CWatchPause;

class CWotSetting {
 public:
  // The selection whenever the setting cannot be read: wake-on-touch enabled.
  static constexpr DWORD kDefaultSelection = 1;

  explicit CWotSetting(CServiceBase& service) : m_Service(service) {}
  CWotSetting(const CWotSetting&) = delete;
  CWotSetting& operator=(const CWotSetting&) = delete;

  // A string SID (the caller frees it with LocalFree) of the user of the
  // console's "explorer.exe" while a user is logged on at the console, else
  // of the first "explorer.exe".
  BOOL GetSIDString(LPWSTR* ppszStringSid);
  // The user's SID (the caller frees it with LocalFree).
  BOOL GetAccountSid(LPCWSTR pszAccountName, PSID* ppSid);
  // Finds the user's key path into szRegPath: kResultOk, or kResultNotDone
  // once the attempts are spent or the pause ends them.
  int RetryRegGetWotPath(WCHAR (&szRegPath)[MAX_PATH], CWatchPause& pause);
  // Reads "Touch" below the path: kResultOk and the value, or kResultNotDone
  // (no key) or kResultNoValue with the selection 1.
  int ReadWoTsetting(const WCHAR (&szRegPath)[MAX_PATH], DWORD* pdwSel);
  // Whether "Touch" now differs from dwPushed (read quietly).
  bool SettingChangedSince(const WCHAR (&szRegPath)[MAX_PATH], DWORD dwPushed);

 private:
  BOOL ImpersonateUserName(HANDLE hToken, WCHAR* pszUser);
  bool TryRegGetWotPath(WCHAR (&szRegPath)[MAX_PATH]);
  static LSTATUS QueryTouch(HKEY hKey, DWORD* pdwValue);

  CServiceBase& m_Service;  // writes the debug-log and event-log lines
};
