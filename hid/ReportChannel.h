// How one report travels over a handler: an overlapped read or write of the
// handler's report length, waited for with the caller's time-out and
// cancelled when that runs out. A transfer's memory (its report bytes and
// OVERLAPPED, CReportBuffer) is its own; the handler lends it its event. A
// cancelled transfer that the driver does not end is given up: its memory
// and the event go to CKeptTransfers until it ends, and the transport's
// connection is dropped so that a wedged handle is not used again.
#pragma once

#include "hid/HidRecords.h"
#include "hid/InterfaceGet.h"
#include "hid/KeptTransfers.h"
#include "hid/ReportBuffer.h"

class CReportChannel {
 public:
  // transport: whose connection (Close) a given-up transfer drops.
  explicit CReportChannel(CInterfaceGet& transport);
  CReportChannel(const CReportChannel&) = delete;
  CReportChannel& operator=(const CReportChannel&) = delete;

  // Once hEndingEvent is signalled, a transfer still pending gets at most
  // dwEndingGraceMs more before it is cancelled (null: every transfer waits
  // out its time-out).
  void SetEndingEvent(HANDLE hEndingEvent, DWORD dwEndingGraceMs);
  // Transfers given up on and not yet ended.
  int KeptCount() const { return m_KeptTransfers.Count(); }
  // Frees the given-up transfers that have ended (at a new connection).
  void Sweep() { m_KeptTransfers.Sweep(); }

  // Starts reading into (or writing from) `transfer`: 0 when the transfer
  // completed at once (*pdwTransferred set), 4 while it is pending, -6 when it
  // failed (logged as CHIDWinGet::ReadAsync or CHIDWinGet::WriteAsync).
  int Start(REPORT_HANDLER& handler, CReportBuffer& transfer, bool bWrite, DWORD* pdwTransferred);
  // Waits up to dwTimeout for a pending transfer: 0 with the byte count, 3
  // when it timed out and was cancelled (pszTimeoutMessage logged), -6 when
  // it failed. Logged under pszOperation.
  int Wait(REPORT_HANDLER& handler, CReportBuffer& transfer, DWORD dwTimeout, DWORD* pdwTransferred,
           const char* pszOperation, const char* pszTimeoutMessage);

 private:
  DWORD WaitForEnd(HANDLE hTransferEvent, DWORD dwTimeout, bool* pbEnding);
  void EndCancelled(REPORT_HANDLER& handler, CReportBuffer& transfer, const char* pszOperation);

  CInterfaceGet& m_rTransport;
  HANDLE m_hEndingEvent;
  DWORD m_dwEndingGraceMs;
  CKeptTransfers m_KeptTransfers;
};
