// The push of the wake-on-touch selection to the controller: connect, send,
// disconnect, through the controller facade and one push at a time.
#pragma once

#include "platform/win32.h"

#include <cstddef>

class CServiceBase;
class CWatchPause;

class CWotPush {
 public:
  // Raises the Win32 error code when the push lock cannot be made.
  explicit CWotPush(CServiceBase& service);
  ~CWotPush();
  CWotPush(const CWotPush&) = delete;
  CWotPush& operator=(const CWotPush&) = delete;

  // Pushes until one push succeeds: kResultOk, or kResultNotDone once the
  // attempts are spent, the pause ends them or the service is ending.
  int RetryHidDevWoTCtrl(DWORD dwSel, CWatchPause& pause);
  // One push: kResultOk, the facade's result when it cannot connect, or
  // kResultFailed when the command fails.
  int HidDevWoTCtrl(DWORD dwSel);

  // The controller addressed.
  DWORD Vid() const { return m_dwVid; }
  DWORD Pid() const { return m_dwPid; }

 private:
  void LogConnection();
  int SendSelection(DWORD dwSel, WCHAR* pszMessage, size_t nChars);

  CServiceBase& m_Service;  // writes the debug-log and event-log lines
  const DWORD m_dwVid;
  const DWORD m_dwPid;  // 0: no particular product
  CRITICAL_SECTION m_csPush;  // held for the whole of one push
};
