// The pause between the attempts of a watcher's steps (the user lookup, the
// push, the notification set-up): it ends early once the service is ending.
#pragma once

#include "platform/win32.h"

class CWatchPause {
 public:
  // Waits dwMilliseconds; FALSE when the caller is to stop now instead.
  virtual BOOL WatchPause(DWORD dwMilliseconds) = 0;
  // The service is ending: no further attempt starts.
  virtual bool IsEnding() const = 0;

 protected:
  CWatchPause() = default;
  ~CWatchPause() = default;
  CWatchPause(const CWatchPause&) = default;
  CWatchPause& operator=(const CWatchPause&) = default;
};
