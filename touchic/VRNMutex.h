// Scoped lock on the named mutex that makes opening, closing and the firmware
// query of the touch controller exclusive between the processes of one logon
// session.
#pragma once

#include "platform/win32.h"

class VRNMutex {
 public:
  // Without a namespace prefix the name is local to the logon session: the
  // service and an interactive diagnostic call do not share it.
  static constexpr const char* kName = "GMutexTouchIC";

  VRNMutex() = default;
  ~VRNMutex();
  VRNMutex(const VRNMutex&) = delete;
  VRNMutex& operator=(const VRNMutex&) = delete;

  // Waits up to nTimeoutMs for the mutex (a negative value waits without
  // limit), or until hEnding or hCancel (each when given) is signalled. True
  // only when the mutex wait gave WAIT_OBJECT_0; every other outcome, an
  // abandoned mutex and an ending included, is logged and counts as not
  // obtained.
  bool Lock(int nTimeoutMs, HANDLE hEnding = nullptr, HANDLE hCancel = nullptr);
  bool IsLocked() const { return m_bLocked; }

 private:
  HANDLE m_hMutex = INVALID_HANDLE_VALUE;
  bool m_bLocked = false;
};
