// The watcher: runs on the thread pool that find the user's setting, push it
// and then follow its changes, and their ending when the service goes. A run
// (wot/WatchRun.h) is the record queued as a long work item; runs can overlap
// after a restart, and a run replaced by a newer one leaves the pause it is
// in at once and stops at its next.
//
// Ending: BeginEnding sets the flags, ends every pause and wakes a waiting
// run; it never waits. The destructor ends the runs, waits for them and only
// then releases the events: a run never outlives what it uses.
//
// Pushes: of the runs alive, the newest that has come to push goes first.
// When a run comes to push it calls every older run's push off (their waits
// for the push lock and for the controller's mutex end at once), so at most
// one run waits for the push lock and the newest value is the one pushed.
#pragma once

#include "platform/win32.h"
#include "wot/WatchPause.h"

#include <atomic>

class CServiceBase;
class CWotPush;
class CWotSetting;

class CRegWatch final : public CWatchPause {
 public:
  // How long a new run waits before it does anything.
  static constexpr DWORD kStartDelayMs = 5000;

  // Raises a Win32 error code when an event cannot be created.
  CRegWatch(CServiceBase& service, CWotSetting& setting, CWotPush& push);
  ~CRegWatch();
  CRegWatch(const CRegWatch&) = delete;
  CRegWatch& operator=(const CRegWatch&) = delete;

  // Asks a running run to end: it wakes, pushes once more and ends.
  void RestartRegWatch(LPCWSTR pszRunningText, LPCWSTR pszEventText);
  // A push opportunity other than the display's (a logon, a logoff, another
  // user at the console, the controller's arrival): the watcher restarts as
  // for a display-on, and says so in the debug log only, each line led by
  // pszWhat. Raises the Win32 error code when the run cannot be queued.
  void RestartFor(LPCWSTR pszWhat);
  // Queues one run; raises the Win32 error code when it cannot be queued.
  // Does nothing once the service is ending.
  void StartRegWatchThread();
  // A service start: the setting is looked for again.
  void ForgetSetting() { fRegExist = FALSE; }

  // Once the service is ending: no new run, every pause ends, a waiting run
  // wakes. StopWatching also releases the watch event and the key when no
  // run is left that could be waiting on them (else the destructor does).
  void BeginEnding();
  void StopWatching();
  BOOL WaitForWatchers(DWORD dwMilliseconds);  // TRUE when no run or other work is queued or running
  LONG WatchRuns() const { return m_nWatchRuns.load(); }
  // Work queued beside the runs that may restart the watcher (the check of
  // an arrived device): counted like a run, so that the teardown waits for
  // it too. EnterWork is false once the service is ending; each true is
  // paired with one LeaveWork, the work's very last touch of the object.
  bool EnterWork();
  void LeaveWork();
  HANDLE EndingEvent() const override { return m_hEndingEvent; }

  // The pause of a caller outside the runs: it ends only with the service.
  BOOL WatchPause(DWORD dwMilliseconds) override;
  bool IsEnding() const override { return m_fServiceEnding.load() != FALSE; }

  // What the runs found and asked.
  DWORD StartDelay() const { return m_dwStartDelay; }
  bool IsThreadRunning() const { return m_fThreadRunning.load(); }
  DWORD WotSel() const { return m_dwWotSel.load(); }
  BOOL RegExist() const { return fRegExist.load(); }
  BOOL StopWatch() const { return m_fStopWatch.load(); }

 private:
  class CWatchRun;

  static DWORD WINAPI WatchTrampoline(LPVOID pContext);
  void Enlist(CWatchRun& run);
  void Delist(CWatchRun& run);
  void CallOffOlderPushes(DWORD dwGeneration);
  void EndWatchRun();
  bool IsReplaced(DWORD dwGeneration) const { return dwGeneration != m_dwRunGeneration.load(); }
  void ReleaseWatchResources(bool fFromStop);
  void CloseNotifyKey(bool fLogFailure);

  CServiceBase& m_Service;  // writes the debug-log and event-log lines
  CWotSetting& m_Setting;
  CWotPush& m_Push;

  const DWORD m_dwStartDelay;
  std::atomic<bool> m_fThreadRunning;  // a run is in progress
  std::atomic<DWORD> m_dwWotSel;       // the selection last read, 1 when it could not be
  std::atomic<BOOL> fRegExist;         // the latest run found the key path and read the value
  std::atomic<BOOL> m_fStopWatch;      // asks the watching run to end after its current wait
  HANDLE m_hStoppedEvent;              // set each time a run ends
  HANDLE m_hRegWatchEvent;             // the change notification's event; also wakes a waiting run
  HKEY m_hNotifyKey;                   // stays empty: each run opens and closes its own key
  std::atomic<BOOL> m_fServiceEnding;  // set once, by a stop, a shutdown or the destructor
  std::atomic<LONG> m_nWatchRuns;      // queued or running runs
  std::atomic<LONG> m_nOtherWork;      // queued or running work beside the runs
  HANDLE m_hEndingEvent;               // signalled with m_fServiceEnding; ends every pause
  std::atomic<DWORD> m_dwRunGeneration;  // the generation of the latest queued run, given under m_csRuns
  CRITICAL_SECTION m_csRuns;             // guards the list of runs alive
  CWatchRun* m_pRuns;                    // the runs alive, newest first
};
