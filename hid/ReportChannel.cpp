#include "hid/ReportChannel.h"

#include "log/DbgLog.h"

#include <algorithm>
#include <utility>

namespace {

// A fresh transfer: the handler's event exists and is reset, and the
// transfer's own OVERLAPPED carries it.
void PrepareOverlapped(REPORT_HANDLER& handler, OVERLAPPED& overlapped) {
  if (handler.Overlapped.hEvent == nullptr) handler.Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(handler.Overlapped.hEvent);
  overlapped = OVERLAPPED{};
  overlapped.hEvent = handler.Overlapped.hEvent;
}

// What ReadFile or WriteFile on an overlapped handle said: 0 when the
// transfer completed at once, 4 while it is pending, -6 when it failed.
int TransferStarted(BOOL bDone, DWORD dwDone, DWORD* pdwTransferred, const char* pszOperation, int nLine,
                    const char* pszFailure) {
  if (bDone) {
    *pdwTransferred = dwDone;
    return kResultOk;
  }
  const DWORD dwError = GetLastError();
  *pdwTransferred = 0;
  if (dwError == ERROR_IO_PENDING) return kResultPending;
  return DbgLogSysError(pszOperation, nLine, dwError, "%s", pszFailure);
}

}  // namespace

CReportChannel::CReportChannel(CInterfaceGet& transport)
    : m_rTransport(transport), m_hEndingEvent(nullptr), m_dwEndingGraceMs(0) {}

void CReportChannel::SetEndingEvent(HANDLE hEndingEvent, DWORD dwEndingGraceMs) {
  m_hEndingEvent = hEndingEvent;
  m_dwEndingGraceMs = dwEndingGraceMs;
}

int CReportChannel::Start(REPORT_HANDLER& handler, CReportBuffer& transfer, bool bWrite, DWORD* pdwTransferred) {
  const char* pszOp = bWrite ? "CHIDWinGet::WriteAsync" : "CHIDWinGet::ReadAsync";
  if (!transfer.IsValid())
    return DbgLogError(pszOp, __LINE__, "%s",
                       bWrite ? "Parameters Error: pSendBuf is not valid." : "Parameters Error: pRcvBuf is not valid.");
  if (transfer.Size() < handler.ReportByteLength)
    return DbgLogError(pszOp, __LINE__, "%s",
                       bWrite ? "Parameters Error: nSendLen is too small." : "Parameters Error: nRcvLen is too small.");
  if (m_KeptTransfers.IsFull())
    return DbgLogError(pszOp, __LINE__, "%d transfers given up on are still pending: no new transfer.",
                       CKeptTransfers::kMaxKept);
  OVERLAPPED& overlapped = transfer.Overlapped();
  PrepareOverlapped(handler, overlapped);
  DWORD dwDone = 0;
  const DWORD dwLength = handler.ReportByteLength;
  const BOOL bDone = bWrite ? WriteFile(handler.hHidDevice, transfer.Data(), dwLength, &dwDone, &overlapped)
                            : ReadFile(handler.hHidDevice, transfer.Data(), dwLength, &dwDone, &overlapped);
  return TransferStarted(bDone, dwDone, pdwTransferred, pszOp, __LINE__,
                         bWrite ? "WriteAsync Failue." : "ReadAsync Failue.");
}

int CReportChannel::Wait(REPORT_HANDLER& handler, CReportBuffer& transfer, DWORD dwTimeout, DWORD* pdwTransferred,
                         const char* pszOperation, const char* pszTimeoutMessage) {
  *pdwTransferred = 0;
  OVERLAPPED& overlapped = transfer.Overlapped();
  DWORD dwTransferred = 0;
  bool bEnding = false;
  if (WaitForEnd(overlapped.hEvent, dwTimeout, &bEnding) == WAIT_TIMEOUT) {
    CancelIo(handler.hHidDevice);
    EndCancelled(handler, transfer, pszOperation);
    if (bEnding)
      DbgLogError(pszOperation, __LINE__, "Transfer cancelled: the caller is ending.");
    else
      DbgLogError(pszOperation, __LINE__, "%s", pszTimeoutMessage);
    return kResultTimeout;
  }
  // Signalled, or the wait itself failed: either way the transfer's own
  // result decides, and GetOverlappedResult waits until there is one.
  if (!GetOverlappedResult(handler.hHidDevice, &overlapped, &dwTransferred, TRUE))
    return DbgLogSysError(pszOperation, __LINE__, GetLastError(), "GetOverlappedResult is failure.");
  *pdwTransferred = dwTransferred;
  return kResultOk;
}

// Waits up to dwTimeout for a transfer's event. Once the ending event is
// signalled the transfer gets only m_dwEndingGraceMs more (*pbEnding is then
// set): a device that answers at once still completes it, a held one is given
// up. An ending event that cannot be waited on is left out of the wait.
DWORD CReportChannel::WaitForEnd(HANDLE hTransferEvent, DWORD dwTimeout, bool* pbEnding) {
  *pbEnding = false;
  if (m_hEndingEvent == nullptr) return WaitForSingleObject(hTransferEvent, dwTimeout);
  const HANDLE rgWait[] = {hTransferEvent, m_hEndingEvent};
  const ULONGLONG ullStart = GetTickCount64();
  const DWORD dwWait = WaitForMultipleObjects(2, rgWait, FALSE, dwTimeout);
  if (dwWait == WAIT_FAILED) return WaitForSingleObject(hTransferEvent, dwTimeout);
  if (dwWait != WAIT_OBJECT_0 + 1) return dwWait;
  *pbEnding = true;
  DWORD dwLeft = dwTimeout;
  if (dwTimeout != INFINITE) {
    const ULONGLONG ullElapsed = GetTickCount64() - ullStart;
    dwLeft = ullElapsed >= dwTimeout ? 0 : dwTimeout - static_cast<DWORD>(ullElapsed);
  }
  return WaitForSingleObject(hTransferEvent, std::min(dwLeft, m_dwEndingGraceMs));
}

// After CancelIo the transfer gets CKeptTransfers::kCancelWaitMs to end; until
// it has, the system may still write its buffer and OVERLAPPED. One that has
// not ended by then (a driver that ignores the cancel) is given up on purpose.
void CReportChannel::EndCancelled(REPORT_HANDLER& handler, CReportBuffer& transfer, const char* pszOperation) {
  OVERLAPPED& overlapped = transfer.Overlapped();
  if (WaitForSingleObject(overlapped.hEvent, CKeptTransfers::kCancelWaitMs) == WAIT_OBJECT_0) {
    DWORD dwTransferred = 0;
    GetOverlappedResult(handler.hHidDevice, &overlapped, &dwTransferred, FALSE);
    return;
  }
  DbgLogTrace(pszOperation, __LINE__,
              "The transfer has not ended %lu ms after its cancel: its report buffer is kept until it does.",
              static_cast<unsigned long>(CKeptTransfers::kCancelWaitMs));
  m_KeptTransfers.Keep(std::move(transfer), handler.Overlapped.hEvent);
  handler.Overlapped.hEvent = nullptr;  // the event goes with the transfer
  m_rTransport.Close();
}
