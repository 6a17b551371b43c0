// What the steps of a watcher run ask of the one that runs them: the pause
// between the attempts of a step (the user lookup, the push, the notification
// set-up), which ends early once the service is ending, and the push's terms.
// A run stands aside for a newer one: when a newer run comes to push, an older
// run's push is called off (its waits for the push lock and for the
// controller's mutex end at once), and a run that a newer one replaced makes
// no further attempts.
#pragma once

#include "platform/win32.h"

class CWatchPause {
 public:
  // Waits dwMilliseconds; FALSE when the caller is to stop now instead.
  virtual BOOL WatchPause(DWORD dwMilliseconds) = 0;
  // The service is ending: no further attempt starts.
  virtual bool IsEnding() const = 0;
  // Signalled once the service is ending.
  virtual HANDLE EndingEvent() const = 0;

  // The push. EnterPush comes before each push: false when the caller is to
  // give up without pushing; otherwise older callers' pushes are called off.
  virtual bool EnterPush() { return !IsEnding(); }
  // Signalled once this caller's push is called off (null: it never is).
  virtual HANDLE CallOffEvent() const { return nullptr; }
  // Whether a failed push may be tried again.
  virtual bool MayRetry() const { return true; }

 protected:
  CWatchPause() = default;
  ~CWatchPause() = default;
  CWatchPause(const CWatchPause&) = default;
  CWatchPause& operator=(const CWatchPause&) = default;
};
