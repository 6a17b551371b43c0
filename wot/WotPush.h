// The push of the wake-on-touch selection to the controller: connect, send,
// disconnect, through the controller facade and one push at a time. The push
// lock is an unnamed kernel mutex, so that a push that waits for it can be
// called off or end with the service (a critical section can be neither).
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
  // attempts are spent, the pause ends them, the caller may not retry or
  // gave its push up, or the service is ending.
  int RetryHidDevWoTCtrl(DWORD dwSel, CWatchPause& pause);
  // One push: kResultOk, the facade's result when it cannot connect, or
  // kResultFailed when the command fails; kResultNotDone, with nothing
  // pushed, when the caller gave it up (a newer run pushes) or the service
  // is ending.
  int HidDevWoTCtrl(DWORD dwSel, CWatchPause& pause);

  // The controller addressed.
  DWORD Vid() const { return m_dwVid; }
  DWORD Pid() const { return m_dwPid; }

 private:
  bool TakePushLock(CWatchPause& pause);
  int PushLocked(DWORD dwSel);
  void LogConnection();
  int SendSelection(DWORD dwSel, WCHAR* pszMessage, size_t nChars);

  CServiceBase& m_Service;  // writes the debug-log and event-log lines
  const DWORD m_dwVid;
  const DWORD m_dwPid;  // 0: no particular product
  // The push lock, held for the whole of one push. An unnamed kernel mutex
  // under its long-standing name: a wait for it can end with the service or
  // when a newer push calls this one off, which a critical section cannot.
  HANDLE m_csPush;
};
