// CSampleService: the one service object of the process. It carries the
// wake-on-touch policy's state (which controller, where the user's setting
// lives, the selection, the watcher's flags and events, the push lock) and the
// service start that hands the process to the dispatcher.
//
// Watcher runs are long work items on the thread pool (StartRegWatchThread).
// Teardown is ordered so that no run outlives what it uses:
//  1. OnStop/OnShutdown (dispatcher thread, inside the SCM's wait) set
//     m_fStopWatch and m_fServiceEnding, signal m_hEndingEvent and wake a
//     waiting run through m_hRegWatchEvent. They release the watch event and
//     the notification key only when no run is queued or running; once
//     m_fServiceEnding is set no new run can be queued, so none can appear
//     later. They never wait.
//  2. After the dispatcher returns, RunService waits, bounded by
//     kWatcherEndWaitMs, for the runs to end (m_hStoppedEvent). Every pause of
//     a run and every wait of a push for the controller's mutex waits on
//     m_hEndingEvent, and once it is signalled a device write of the push
//     gets only a short grace, so a run ends within those graces of one push
//     once the service ends; the bound covers them. The SCM has seen
//     SERVICE_STOPPED before this, so the stop itself never waits for it.
//  3. Only then is the object destroyed: the events, the key and m_csPush go
//     last. Should the bound expire (a device call hung past its time-outs,
//     e.g. a driver that never completes a cancelled transfer), the object is
//     left undestroyed and the process ends at once with ExitProcess
//     (ERROR_TIMEOUT) instead of returning from main: ExitProcess ends every
//     other thread first, so no watcher can be inside the service object or
//     the controller object when the process's static objects go.
//
// Contract for the watcher (RegWatchThread and its helpers):
//  - it pauses only through WatchPause(), and ends when that returns FALSE
//    (the service is ending, or a newer run has replaced this one);
//  - it clears m_fStopWatch only while m_fServiceEnding is clear, and never
//    arms a notification or pushes once m_fServiceEnding is set;
//  - it leaves the events and m_csPush open; the key it opens for the
//    notification is its own (runs can overlap) and it closes it before it
//    ends, so m_hNotifyKey stays empty.
#pragma once

#include "service/ServiceBase.h"
#include "touchic/TouchIC.h"

#include <atomic>
#include <cstdio>

struct SWatchRecord;

class CSampleService : public CServiceBase {
 public:
  // How long a new watcher waits before it does anything.
  static constexpr DWORD kStartDelayMs = 5000;
  // Bound of the wait for running watchers after the dispatcher has returned.
  // Once the service ends, the pauses of a run and the push's waits for the
  // controller's mutex end at once and its device writes get only a short
  // grace (the ending event is handed to the controller), so what is left is
  // the one push under way: those graces, with room to spare for the facade's
  // settle pause, the enumeration and the logging.
  static constexpr DWORD kWatcherEndMarginMs = 4000;
  static constexpr DWORD kWatcherEndWaitMs = CTouchIC::kPushEndingWaitMs + kWatcherEndMarginMs;

  CSampleService();  // raises a Win32 error code when an event or the lock cannot be created
  ~CSampleService() override;

  // Wake-on-touch policy: the user's setting and the watcher.
  BOOL GetSIDString(LPWSTR* ppszStringSid);
  BOOL GetAccountSid(LPCWSTR pszAccountName, PSID* ppSid);
  int RetryRegGetWotPath();
  int ReadWoTsetting(DWORD* pdwSel);
  void RestartRegWatch(LPCWSTR pszRunningText, LPCWSTR pszEventText);
  void StartRegWatchThread();
  // One watcher run; dwGeneration tells it apart from the runs queued after it.
  static void RegWatchThread(CSampleService* pService, DWORD dwGeneration);
  int RetryHidDevWoTCtrl(DWORD dwSel);
  int HidDevWoTCtrl(DWORD dwSel);

  // Teardown (see above).
  BOOL WatchPause(DWORD dwMilliseconds);  // FALSE: the service is ending, stop now
  BOOL WaitForWatchers(DWORD dwMilliseconds);  // TRUE when no run is queued or running
  LONG WatchRuns() const { return m_nWatchRuns.load(); }
  HANDLE EndingEvent() const { return m_hEndingEvent; }

 protected:
  // Queues one run of pfnRoutine as a long work item, counted for teardown;
  // raises the Win32 error code when it cannot be queued. Does nothing once
  // the service is ending.
  void QueueWatchRun(void (*pfnRoutine)(CSampleService*));
  // The same for a routine that is handed its run's generation: each queued
  // run gets the next one, and a run whose generation is no longer the
  // latest has been replaced.
  void QueueWatchRun(void (*pfnRoutine)(CSampleService*, DWORD));

  void OnStart(DWORD dwArgc, LPWSTR* pszArgv) override;
  void OnStop() override;
  void OnShutdown() override;
  void OnMonitorOn() override;
  void OnMonitorOff() override;

 public:
  DWORD m_dwVid;
  DWORD m_dwPid;
  DWORD m_dwStartDelay;
  std::atomic<bool> m_fThreadRunning;
  std::atomic<DWORD> m_dwWotSel;
  WCHAR m_szRegPath[MAX_PATH];
  CRITICAL_SECTION m_csPush;
  std::atomic<BOOL> fRegExist;
  std::atomic<BOOL> m_fStopWatch;
  HANDLE m_hStoppedEvent;
  HANDLE m_hRegWatchEvent;
  HKEY m_hNotifyKey;

 private:
  static DWORD WINAPI WatchTrampoline(LPVOID pContext);
  void QueueRecord(SWatchRecord* pRecord);

  // The user's setting (wot/WotSetting.cpp).
  BOOL ImpersonateUserName(HANDLE hToken, WCHAR* pszUser);
  bool TryRegGetWotPath();
  void SetRegPath(LPCWSTR pszPath);
  void CopyRegPath(WCHAR* pszPath);
  static LSTATUS QueryTouch(HKEY hKey, DWORD* pdwValue);

  // One watcher run (wot/RegWatch.cpp).
  void WatchRun(DWORD dwGeneration);
  DWORD FindSetting();
  bool FirstPush(DWORD dwSel, DWORD dwGeneration);
  HKEY OpenNotifyKey(DWORD dwGeneration);
  void WatchChanges(HKEY hKey, DWORD dwGeneration, DWORD dwPushed);
  bool SettingChangedSince(DWORD dwPushed);
  bool ArmNotification(HKEY hKey);
  void PushChangedSetting();
  bool IsEnding() const;
  bool IsReplaced(DWORD dwGeneration) const;
  bool StopRequested(DWORD dwGeneration) const;
  void LogConnection();
  int SendSelection(DWORD dwSel, WCHAR* pszMessage, size_t nChars);
  void BeginEnding();
  void ReleaseWatchResources(bool fFromStop);
  void CloseNotifyKey(bool fLogFailure);
  void EndWatchRun();

  std::atomic<BOOL> m_fServiceEnding;  // set once, by a stop, a shutdown or the destructor
  std::atomic<LONG> m_nWatchRuns;      // queued or running watcher runs
  HANDLE m_hEndingEvent;               // signalled with m_fServiceEnding; ends a run's pauses
  std::atomic<DWORD> m_dwRunGeneration;  // the generation of the latest queued run
  // Guards m_szRegPath: a run that looks the user up may overlap an ending
  // run that reads the setting.
  CRITICAL_SECTION m_csRegPath;
  bool m_fCsPushReady;
};
