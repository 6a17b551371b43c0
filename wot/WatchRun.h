// One run of the watcher: the start delay, the user lookup, the first push,
// then a wait for changes under the user's key with a push after each, until
// a stop or restart request, a newer run or the end of the service. The run
// owns the key path it found and the key it watches.
#pragma once

#include "wot/RegWatch.h"

class CRegWatch::CWatchRun final : public CWatchPause {
 public:
  explicit CWatchRun(CRegWatch& watch) : m_Watch(watch), m_dwGeneration(0), m_szRegPath{} {}
  CWatchRun(const CWatchRun&) = delete;
  CWatchRun& operator=(const CWatchRun&) = delete;

  void SetGeneration(DWORD dwGeneration) { m_dwGeneration = dwGeneration; }
  CRegWatch& Watch() const { return m_Watch; }

  // The work item's body.
  void RegWatchThread();

  // A run that a newer one replaced stops at its next pause, before and after
  // the wait: after a burst of display events only the newest run keeps
  // retrying, instead of every replaced run going on with its lookups and pushes.
  BOOL WatchPause(DWORD dwMilliseconds) override;
  bool IsEnding() const override { return m_Watch.IsEnding(); }

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

  CRegWatch& m_Watch;
  DWORD m_dwGeneration;         // tells this run apart from the runs queued after it
  WCHAR m_szRegPath[MAX_PATH];  // the user's key path, as this run's lookup found it
};
