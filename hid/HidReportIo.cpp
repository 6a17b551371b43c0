// Report I/O: one whole report of ReportByteLength bytes per transfer,
// overlapped, waited for with the caller's timeout.
#include "hid/HIDWinGet.h"
#include "log/DbgLog.h"

#include <algorithm>
#include <cstring>

namespace {

// Command frames longer than this are refused; raw frames have no such bound.
constexpr LONGLONG kMaxCommandReportLength = 2048;
// A handler asked for this report ID sends commands as feature reports.
constexpr ULONG kFeatureRouteReportID = 0x80;
constexpr BYTE kFixedCommandLength = 6;
constexpr BYTE kEepromCommand = 0x17;
// Header bytes of the frames built here.
constexpr LONGLONG kCommandHeader = 3;
constexpr LONGLONG kFeatureHeader = 2;
constexpr LONGLONG kEepromHeader = 4;
constexpr size_t kStrippedHeader = 2;

// Internal report buffers always hold the frame headers, even for a role
// that was never opened (report length 0): the transfer then fails cleanly.
// The buffer is empty when there was no memory for it (see NoReportMemory).
CReportBuffer NewReport(const REPORT_HANDLER& handler) {
  return CReportBuffer(std::max<size_t>(handler.ReportByteLength, static_cast<size_t>(kEepromHeader)));
}

int NoReportMemory(const char* pszOperation, int nLine) {
  return DbgLogError(pszOperation, nLine, "No memory for the report.");
}

int NotConnected(const char* pszOperation, int nLine) {
  DbgLogError(pszOperation, nLine, "Device is not connected.");
  return kResultNotConnected;
}

// The handler of a role, or the bidirectional one that replaces both vendor roles.
PREPORT_HANDLER RoleHandler(CHIDCols& entry, EHandlerSlot slot) {
  if (entry.RoleFlags[kRoleBidirectionalA]) return &entry.Handlers[kHandlerBidirectionalA];
  if (entry.RoleFlags[kRoleBidirectionalB]) return &entry.Handlers[kHandlerBidirectionalB];
  return &entry.Handlers[slot];
}

// A fresh transfer: the handler's event exists and is reset, and the
// transfer's own OVERLAPPED (which travels with its report buffer) carries it.
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

// The vendor output handler (writes) or vendor input handler (reads) of the
// entry at nDevIdx; an index outside the list is logged and gives null.
PREPORT_HANDLER CHIDWinGet::LookUpHandler(int nDevIdx, EHandlerSlot slot, const char* pszOperation, int nLine) {
  CHIDCols* pEntry = EntryAt(nDevIdx);
  if (pEntry != nullptr) return RoleHandler(*pEntry, slot);
  DbgLogError(pszOperation, nLine, "%s",
              slot == kHandlerVendorOutput ? "No valid PREPORT_HANDLER" : "Parameters Error - nDevIdx is not exist.");
  return nullptr;
}

int CHIDWinGet::ReadAsync(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD* pdwRead) {
  return StartTransfer(pHandler, report, false, pdwRead);
}

int CHIDWinGet::WriteAsync(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD* pdwWritten) {
  return StartTransfer(pHandler, report, true, pdwWritten);
}

int CHIDWinGet::StartTransfer(PREPORT_HANDLER pHandler, CReportBuffer& report, bool bWrite, DWORD* pdwTransferred) {
  const char* pszOp = bWrite ? "CHIDWinGet::WriteAsync" : "CHIDWinGet::ReadAsync";
  if (!report.IsValid())
    return DbgLogError(pszOp, __LINE__, "%s",
                       bWrite ? "Parameters Error: pSendBuf is not valid." : "Parameters Error: pRcvBuf is not valid.");
  if (report.Size() < pHandler->ReportByteLength)
    return DbgLogError(pszOp, __LINE__, "%s",
                       bWrite ? "Parameters Error: nSendLen is too small." : "Parameters Error: nRcvLen is too small.");
  if (m_KeptTransfers.IsFull())
    return DbgLogError(pszOp, __LINE__, "%d transfers given up on are still pending: no new transfer.",
                       CKeptTransfers::kMaxKept);
  OVERLAPPED& overlapped = report.Overlapped();
  PrepareOverlapped(*pHandler, overlapped);
  DWORD dwDone = 0;
  const BOOL bDone = bWrite ? WriteFile(pHandler->hHidDevice, report.Data(), pHandler->ReportByteLength, &dwDone, &overlapped)
                            : ReadFile(pHandler->hHidDevice, report.Data(), pHandler->ReportByteLength, &dwDone, &overlapped);
  return TransferStarted(bDone, dwDone, pdwTransferred, pszOp, __LINE__,
                         bWrite ? "WriteAsync Failue." : "ReadAsync Failue.");
}

int CHIDWinGet::ReadAsyncWaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout,
                                      DWORD* pdwRead) {
  return WaitComplete(pHandler, report, dwTimeout, pdwRead, "CHIDWinGet::ReadAsyncWaitComplete",
                      "Read Data Wait timeout.");
}

int CHIDWinGet::WriteAsyncWaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout,
                                       DWORD* pdwWritten) {
  return WaitComplete(pHandler, report, dwTimeout, pdwWritten, "CHIDWinGet::WriteAsyncWaitComplete",
                      "Write Data Wait timeout.");
}

// Waits up to dwTimeout for a transfer's event. Once the ending event is
// signalled the transfer gets only m_dwEndingGraceMs more (*pbEnding is then
// set): a device that answers at once still completes it, a held one is given
// up. An ending event that cannot be waited on is left out of the wait.
DWORD CHIDWinGet::WaitTransfer(HANDLE hTransferEvent, DWORD dwTimeout, bool* pbEnding) {
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

// After CancelIo the transfer gets CKeptTransfers::kCancelWaitMs to end; until it has, the
// system may still write its buffer and OVERLAPPED. One that has not ended by
// then (a driver that ignores the cancel) is given up on purpose: its buffer,
// OVERLAPPED and event are kept until it ends, and the connection is dropped
// so that a wedged handle is not used again.
void CHIDWinGet::EndCancelled(PREPORT_HANDLER pHandler, CReportBuffer& report, const char* pszOperation) {
  OVERLAPPED& overlapped = report.Overlapped();
  if (WaitForSingleObject(overlapped.hEvent, CKeptTransfers::kCancelWaitMs) == WAIT_OBJECT_0) {
    DWORD dwTransferred = 0;
    GetOverlappedResult(pHandler->hHidDevice, &overlapped, &dwTransferred, FALSE);
    return;
  }
  DbgLogTrace(pszOperation, __LINE__,
              "The transfer has not ended %lu ms after its cancel: its report buffer is kept until it does.",
              static_cast<unsigned long>(CKeptTransfers::kCancelWaitMs));
  m_KeptTransfers.Keep(std::move(report), pHandler->Overlapped.hEvent);
  pHandler->Overlapped.hEvent = nullptr;  // the event goes with the transfer
  Close();
}

int CHIDWinGet::WaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout,
                             DWORD* pdwTransferred, const char* pszOperation, const char* pszTimeoutMessage) {
  *pdwTransferred = 0;
  OVERLAPPED& overlapped = report.Overlapped();
  DWORD dwTransferred = 0;
  bool bEnding = false;
  if (WaitTransfer(overlapped.hEvent, dwTimeout, &bEnding) == WAIT_TIMEOUT) {
    CancelIo(pHandler->hHidDevice);
    EndCancelled(pHandler, report, pszOperation);
    if (bEnding)
      DbgLogError(pszOperation, __LINE__, "Transfer cancelled: the caller is ending.");
    else
      DbgLogError(pszOperation, __LINE__, "%s", pszTimeoutMessage);
    return kResultTimeout;
  }
  // Signalled, or the wait itself failed: either way the transfer's own
  // result decides, and GetOverlappedResult waits until there is one.
  if (!GetOverlappedResult(pHandler->hHidDevice, &overlapped, &dwTransferred, TRUE))
    return DbgLogSysError(pszOperation, __LINE__, GetLastError(), "GetOverlappedResult is failure.");
  *pdwTransferred = dwTransferred;
  return kResultOk;
}

int CHIDWinGet::SendReport(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout) {
  DWORD dwWritten = 0;
  int nResult = WriteAsync(pHandler, report, &dwWritten);
  if (nResult == kResultPending) nResult = WriteAsyncWaitComplete(pHandler, report, dwTimeout, &dwWritten);
  if (nResult == kResultOk && m_pfnSendHook != nullptr) m_pfnSendHook(report.Data(), pHandler->ReportByteLength);
  return nResult;
}

// Reads one whole report carrying the handler's report ID.
int CHIDWinGet::ReceiveReport(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout,
                              const char* pszOperation) {
  DWORD dwRead = 0;
  int nResult = ReadAsync(pHandler, report, &dwRead);
  if (nResult == kResultPending) nResult = ReadAsyncWaitComplete(pHandler, report, dwTimeout, &dwRead);
  if (nResult != kResultOk) return nResult;
  if (dwRead < pHandler->ReportByteLength)
    return DbgLogError(pszOperation, __LINE__, "Only %d bytes return. Total should be %d bytes.",
                       static_cast<int>(dwRead), static_cast<int>(pHandler->ReportByteLength));
  if (report[0] != static_cast<BYTE>(pHandler->ReportID))
    return DbgLogError(pszOperation, __LINE__, "Got Wrong Report. Discare or do something...");
  return kResultOk;
}

// Refuses a receive buffer that is missing; nRcvLen is how many bytes it holds.
int CHIDWinGet::CheckReceiveBuffer(const BYTE* pRcvBuf, int nRcvLen, const char* pszOperation, int nLine) {
  if (pRcvBuf == nullptr) return DbgLogError(pszOperation, nLine, "Parameters Error: pRcvBuf is not valid.");
  if (nRcvLen < 0) return DbgLogError(pszOperation, nLine, "Parameters Error: nRcvLen is too small.");
  return kResultOk;
}

// Copies out up to nRcvLen bytes of the report from nOffset on, then hands the
// whole report to the receive hook.
void CHIDWinGet::DeliverReport(const PREPORT_HANDLER pHandler, const CReportBuffer& report, size_t nOffset,
                               BYTE* pRcvBuf, int nRcvLen) {
  const size_t nLength = pHandler->ReportByteLength;
  const size_t nAvailable = nLength > nOffset ? nLength - nOffset : 0;
  memcpy(pRcvBuf, report.Data() + nOffset, std::min(nAvailable, static_cast<size_t>(nRcvLen)));
  if (m_pfnRecvHook != nullptr) m_pfnRecvHook(report.Data(), pHandler->ReportByteLength);
}

int CHIDWinGet::WriteCommand(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwTimeout, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::WriteCommand";
  if (!IsConnected()) return NotConnected(kOp, __LINE__);
  if (pszCommandBuf == nullptr) return DbgLogError(kOp, __LINE__, "Parameters Error : pszCommandBuf = NULL");
  PREPORT_HANDLER pHandler = LookUpHandler(nDevIdx, kHandlerVendorOutput, kOp, __LINE__);
  if (pHandler == nullptr) return kResultLoggedFailure;
  const bool bFeature = pHandler->ReportID == kFeatureRouteReportID;
  const LONGLONG nLength = pHandler->ReportByteLength;
  const LONGLONG nRoom = nLength - (bFeature ? kFeatureHeader : kCommandHeader);
  if (nLength > kMaxCommandReportLength || nCommandLen < 0 || nCommandLen > nRoom)
    return DbgLogError(kOp, __LINE__, "Parameters Error : nCommandLen = %d, ReportByteLength = %d", nCommandLen,
                       static_cast<int>(nLength));
  CReportBuffer report = NewReport(*pHandler);
  if (!report.IsValid()) return NoReportMemory(kOp, __LINE__);
  report[0] = static_cast<BYTE>(pHandler->ReportID);
  report[1] = 0x00;
  if (bFeature) {
    memcpy(&report[kFeatureHeader], pszCommandBuf, static_cast<size_t>(nCommandLen));
    return FeatureWrite(pHandler, report);
  }
  report[2] = m_bFixedCmdLen ? kFixedCommandLength : static_cast<BYTE>(nCommandLen);
  memcpy(&report[kCommandHeader], pszCommandBuf, static_cast<size_t>(nCommandLen));
  return SendReport(pHandler, report, dwTimeout);
}

// The feature route completes synchronously; a refused request is 3, unlogged.
int CHIDWinGet::FeatureWrite(PREPORT_HANDLER pHandler, CReportBuffer& report) {
  if (!HidD_SetFeature(pHandler->hHidDevice, report.Data(), pHandler->ReportByteLength)) return kResultTimeout;
  if (m_pfnSendHook != nullptr) m_pfnSendHook(report.Data(), pHandler->ReportByteLength);
  return kResultOk;
}

int CHIDWinGet::ReadData(BYTE* pRcvBuf, int nRcvLen, DWORD dwTimeout, int nDevIdx, bool bStripHeader) {
  static const char kOp[] = "CHIDWinGet::ReadData";
  PREPORT_HANDLER pHandler = LookUpHandler(nDevIdx, kHandlerVendorInput, kOp, __LINE__);
  if (pHandler == nullptr) return kResultLoggedFailure;
  const int nCheck = CheckReceiveBuffer(pRcvBuf, nRcvLen, kOp, __LINE__);
  if (nCheck != kResultOk) return nCheck;
  CReportBuffer report = NewReport(*pHandler);
  if (!report.IsValid()) return NoReportMemory(kOp, __LINE__);
  if (pHandler->ReportID == kFeatureRouteReportID) {
    report[0] = static_cast<BYTE>(kFeatureRouteReportID);
    if (!HidD_GetFeature(pHandler->hHidDevice, report.Data(), pHandler->ReportByteLength)) return kResultTimeout;
    if (report[0] != static_cast<BYTE>(pHandler->ReportID))
      return DbgLogError(kOp, __LINE__, "Got Wrong Report. Discare or do something...");
    DeliverReport(pHandler, report, kStrippedHeader, pRcvBuf, nRcvLen);
    return kResultOk;
  }
  const int nResult = ReceiveReport(pHandler, report, dwTimeout, kOp);
  if (nResult != kResultOk) return nResult;
  DeliverReport(pHandler, report, bStripHeader ? kStrippedHeader : 0, pRcvBuf, nRcvLen);
  return kResultOk;
}

int CHIDWinGet::WriteRawBytes(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwTimeout, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::WriteRawBytes";
  if (!IsConnected()) return NotConnected(kOp, __LINE__);
  if (pszCommandBuf == nullptr) return DbgLogError(kOp, __LINE__, "Parameters Error : pszCommandBuf = NULL");
  PREPORT_HANDLER pHandler = LookUpHandler(nDevIdx, kHandlerVendorOutput, kOp, __LINE__);
  if (pHandler == nullptr) return kResultLoggedFailure;
  if (nCommandLen < 0 || static_cast<ULONG>(nCommandLen) > pHandler->ReportByteLength)
    return DbgLogError(kOp, __LINE__, "Parameters Error : nCommandLen = %d, ReportByteLength = %d", nCommandLen,
                       static_cast<int>(pHandler->ReportByteLength));
  CReportBuffer report = NewReport(*pHandler);
  if (!report.IsValid()) return NoReportMemory(kOp, __LINE__);
  memcpy(report.Data(), pszCommandBuf, static_cast<size_t>(nCommandLen));
  // The first byte on the wire is always the handler's report ID.
  report[0] = static_cast<BYTE>(pHandler->ReportID);
  return SendReport(pHandler, report, dwTimeout);
}

int CHIDWinGet::ReadRawBytes(BYTE* pRcvBuf, int nRcvLen, DWORD dwTimeout, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::ReadRawBytes";
  PREPORT_HANDLER pHandler = LookUpHandler(nDevIdx, kHandlerVendorInput, kOp, __LINE__);
  if (pHandler == nullptr) return kResultLoggedFailure;
  const int nCheck = CheckReceiveBuffer(pRcvBuf, nRcvLen, kOp, __LINE__);
  if (nCheck != kResultOk) return nCheck;
  if (static_cast<ULONG>(nRcvLen) > pHandler->ReportByteLength)
    return DbgLogError(kOp, __LINE__, "Parameters Error : nRcvLen = %d, ReportByteLength = %d", nRcvLen,
                       static_cast<int>(pHandler->ReportByteLength));
  CReportBuffer report = NewReport(*pHandler);
  if (!report.IsValid()) return NoReportMemory(kOp, __LINE__);
  const int nResult = ReceiveReport(pHandler, report, dwTimeout, kOp);
  if (nResult != kResultOk) return nResult;
  DeliverReport(pHandler, report, 0, pRcvBuf, nRcvLen);
  return kResultOk;
}

int CHIDWinGet::WriteEEPROMCommand(int nMode, const BYTE* pszBuf, int Size, DWORD dwTimeout, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::WriteEEPROMCommand";
  if (!IsConnected()) return NotConnected(kOp, __LINE__);
  if (nMode == 0 && pszBuf == nullptr) return DbgLogError(kOp, __LINE__, "Parameters Error : pszBuf = NULL");
  PREPORT_HANDLER pHandler = LookUpHandler(nDevIdx, kHandlerVendorOutput, kOp, __LINE__);
  if (pHandler == nullptr) return kResultLoggedFailure;
  const LONGLONG nLength = pHandler->ReportByteLength;
  if (nLength > kMaxCommandReportLength || Size < 0 || Size > nLength - kEepromHeader)
    return DbgLogError(kOp, __LINE__, "Parameters Error : Size = %d, ReportByteLength = %d", Size,
                       static_cast<int>(nLength));
  CReportBuffer report = NewReport(*pHandler);
  if (!report.IsValid()) return NoReportMemory(kOp, __LINE__);
  report[0] = static_cast<BYTE>(pHandler->ReportID);
  report[1] = kEepromCommand;
  report[2] = nMode == 1 ? 0x01 : 0x00;
  report[3] = nMode == 0 || nMode == 1 ? static_cast<BYTE>(Size) : 0x00;
  if (nMode == 0) memcpy(&report[kEepromHeader], pszBuf, static_cast<size_t>(Size));
  return SendReport(pHandler, report, dwTimeout);
}
