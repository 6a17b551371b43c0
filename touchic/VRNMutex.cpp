#include "touchic/VRNMutex.h"

#include "log/DbgLog.h"

#include <initializer_list>

namespace {

// A wait that times out or finds the mutex abandoned sets no last error, so
// GetLastError would still hold ERROR_ALREADY_EXISTS from opening the mutex
// another process created: name the wait's own outcome instead.
DWORD WaitFailureCode(DWORD dwWait) {
  if (dwWait == WAIT_TIMEOUT) return WAIT_TIMEOUT;
  if (dwWait == WAIT_ABANDONED) return ERROR_ABANDONED_WAIT_0;
  if (dwWait == WAIT_OBJECT_0 + 1 || dwWait == WAIT_OBJECT_0 + 2) return ERROR_OPERATION_ABORTED;
  return GetLastError();
}

}  // namespace

bool VRNMutex::Lock(int nTimeoutMs, HANDLE hEnding, HANDLE hCancel) {
  m_hMutex = CreateMutexA(nullptr, FALSE, kName);
  const DWORD dwTimeout = nTimeoutMs < 0 ? INFINITE : (DWORD)nTimeoutMs;
  // The mutex comes first: a free mutex is still taken once the caller is
  // ending, so a close can go ahead; only a wait for it ends early.
  HANDLE rgWait[3] = {m_hMutex};
  DWORD nWait = 1;
  for (HANDLE hEvent : {hEnding, hCancel})
    if (hEvent) rgWait[nWait++] = hEvent;
  const DWORD dwWait = m_hMutex ? WaitForMultipleObjects(nWait, rgWait, FALSE, dwTimeout)
                                : WaitForSingleObject(m_hMutex, dwTimeout);
  m_bLocked = (dwWait == WAIT_OBJECT_0);
  if (!m_bLocked)
    DbgLogSysError("VRNMutex::Lock", __LINE__, WaitFailureCode(dwWait), "TouchIC Mutex Lock fail.");
  return m_bLocked;
}

VRNMutex::~VRNMutex() {
  // The release is attempted even when the wait failed: it does nothing on a
  // mutex we do not own, and hands an abandoned one (which the failed wait
  // made ours) back to the others.
  if (m_hMutex != INVALID_HANDLE_VALUE && m_hMutex != nullptr) {
    ReleaseMutex(m_hMutex);
    CloseHandle(m_hMutex);
  }
}
