// Transfers given up on. A transfer whose cancel the driver does not honour
// stays pending, and the system still writes its OVERLAPPED (and, for a read,
// its buffer) and signals its event when it ends, whenever that is. Its
// report buffer, OVERLAPPED and event are therefore kept alive here on
// purpose, and freed once the transfer has ended.
#pragma once

#include "hid/ReportBuffer.h"
#include "platform/win32.h"

class CKeptTransfers {
 public:
  // How long a cancelled transfer is waited for before it is given up: a
  // driver that honours the cancel ends it at once; one that does not may
  // never end it.
  static constexpr DWORD kCancelWaitMs = 1000;
  // A transport keeps at most this many; past that no new transfer starts,
  // so that a driver that never ends its transfers cannot take the memory.
  static constexpr int kMaxKept = 16;

  CKeptTransfers() = default;
  // Those still pending are left to the process's end: freeing them could
  // hand memory the system still writes to someone else.
  ~CKeptTransfers();
  CKeptTransfers(const CKeptTransfers&) = delete;
  CKeptTransfers& operator=(const CKeptTransfers&) = delete;

  bool IsFull() const { return m_nCount >= kMaxKept; }
  int Count() const { return m_nCount; }
  // Takes the buffer (with its OVERLAPPED) and the event of a pending transfer.
  void Keep(CReportBuffer&& buffer, HANDLE hEvent);
  // Frees those that have ended.
  void Sweep();

 private:
  struct SKept {
    CReportBuffer buffer;
    HANDLE hEvent = nullptr;
  };

  SKept m_rgKept[kMaxKept];
  int m_nCount = 0;
};
