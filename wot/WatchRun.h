// One run of the watcher: the start delay, the user lookup, the first push,
// then a wait for changes under the user's key with a push after each, until
// a stop or restart request, a newer run or the end of the service. The run
// owns the key path it found and the key it watches.
#pragma once

#include "wot/RegWatch.h"

class CRegWatch::CWatchRun final : public CWatchPause {
 public:
  // Raises the Win32 error code when its events cannot be made.
  explicit CWatchRun(CRegWatch& watch);
  ~CWatchRun();
  CWatchRun(const CWatchRun&) = delete;
  CWatchRun& operator=(const CWatchRun&) = delete;

  void SetGeneration(DWORD dwGeneration) { m_dwGeneration = dwGeneration; }
  DWORD Generation() const { return m_dwGeneration; }
  CRegWatch& Watch() const { return m_Watch; }
  // A newer run has come to push: this run's push is called off.
  void CallOff() { SetEvent(m_hCalledOff); }
  // A newer run has been queued: this run's pauses end.
  void Replace() { SetEvent(m_hReplaced); }

  // The work item's body.
  void RegWatchThread();

  // A run that a newer one replaced stops at its next pause, and a pause it
  // is in ends at once: after a burst of display events only the newest run
  // keeps its thread and retries, instead of every replaced run waiting out
  // its start delay or going on with its lookups and pushes.
  BOOL WatchPause(DWORD dwMilliseconds) override;
  bool IsEnding() const override { return m_Watch.IsEnding(); }
  HANDLE EndingEvent() const override { return m_Watch.m_hEndingEvent; }

  // A run pushes only while no newer run has come to push, and calls the
  // pushes of older runs off when it comes itself. A replaced run's push is
  // its last attempt: it makes no retries.
  bool EnterPush() override;
  HANDLE CallOffEvent() const override { return m_hCalledOff; }
  bool MayRetry() const override { return !IsReplaced(); }

  // The list of runs alive (CRegWatch::m_csRuns).
  CWatchRun* m_pNext = nullptr;
  CWatchRun* m_pPrev = nullptr;

 private:
  void WatchRun();
  DWORD FindSetting();
  bool FirstPush(DWORD dwSel);
  HKEY OpenNotifyKey();
  void WatchChanges(HKEY hKey, DWORD dwPushed);
  bool ArmNotification(HKEY hKey);
  void PushChangedSetting();
  bool IsReplaced() const { return m_Watch.IsReplaced(m_dwGeneration); }
  bool StopRequested() const { return m_Watch.m_fStopWatch.load() || IsEnding() || IsReplaced(); }
  void LogMessage(PCWSTR pszMessage, WORD wLevel);

  bool IsCalledOff() const { return WaitForSingleObject(m_hCalledOff, 0) == WAIT_OBJECT_0; }

  CRegWatch& m_Watch;
  DWORD m_dwGeneration;         // tells this run apart from the runs queued after it
  WCHAR m_szRegPath[MAX_PATH];  // the user's key path, as this run's lookup found it
  HANDLE m_hCalledOff;          // set once a newer run has come to push
  HANDLE m_hReplaced;           // set once a newer run has been queued
};
