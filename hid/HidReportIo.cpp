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

// The vendor output handler (writes) or vendor input handler (reads) of the
// entry at nDevIdx; an index outside the list is logged and gives null.
PREPORT_HANDLER LookUpHandler(std::list<CHIDCols>& entries, int nDevIdx, EHandlerSlot slot, const char* pszOperation,
                              int nLine) {
  CHIDCols* pEntry = EntryAt(entries, nDevIdx);
  if (pEntry != nullptr) return RoleHandler(*pEntry, slot);
  DbgLogError(pszOperation, nLine, "%s",
              slot == kHandlerVendorOutput ? "No valid PREPORT_HANDLER" : "Parameters Error - nDevIdx is not exist.");
  return nullptr;
}

// Refuses a receive buffer that is missing; nRcvLen is how many bytes it holds.
int CheckReceiveBuffer(const BYTE* pRcvBuf, int nRcvLen, const char* pszOperation, int nLine) {
  if (pRcvBuf == nullptr) return DbgLogError(pszOperation, nLine, "Parameters Error: pRcvBuf is not valid.");
  if (nRcvLen < 0) return DbgLogError(pszOperation, nLine, "Parameters Error: nRcvLen is too small.");
  return kResultOk;
}

// Copies out up to nRcvLen bytes of the report from nOffset on, then hands the
// whole report to the receive hook.
void DeliverReport(const REPORT_HANDLER& handler, const CReportBuffer& report, size_t nOffset, BYTE* pRcvBuf,
                   int nRcvLen, pfnReportHook pfnRecvHook) {
  const size_t nLength = handler.ReportByteLength;
  const size_t nAvailable = nLength > nOffset ? nLength - nOffset : 0;
  memcpy(pRcvBuf, report.Data() + nOffset, std::min(nAvailable, static_cast<size_t>(nRcvLen)));
  if (pfnRecvHook != nullptr) pfnRecvHook(report.Data(), handler.ReportByteLength);
}

// The feature route completes synchronously; a refused request is 3, unlogged.
int FeatureWrite(const REPORT_HANDLER& handler, CReportBuffer& report, pfnReportHook pfnSendHook) {
  if (!HidD_SetFeature(handler.hHidDevice, report.Data(), handler.ReportByteLength)) return kResultTimeout;
  if (pfnSendHook != nullptr) pfnSendHook(report.Data(), handler.ReportByteLength);
  return kResultOk;
}

}  // namespace

int CHIDWinGet::ReadAsync(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD* pdwRead) {
  return m_ReportChannel.Start(*pHandler, report, false, pdwRead);
}

int CHIDWinGet::WriteAsync(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD* pdwWritten) {
  return m_ReportChannel.Start(*pHandler, report, true, pdwWritten);
}

int CHIDWinGet::ReadAsyncWaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout,
                                      DWORD* pdwRead) {
  return m_ReportChannel.Wait(*pHandler, report, dwTimeout, pdwRead, "CHIDWinGet::ReadAsyncWaitComplete",
                              "Read Data Wait timeout.");
}

int CHIDWinGet::WriteAsyncWaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout,
                                       DWORD* pdwWritten) {
  return m_ReportChannel.Wait(*pHandler, report, dwTimeout, pdwWritten, "CHIDWinGet::WriteAsyncWaitComplete",
                              "Write Data Wait timeout.");
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

int CHIDWinGet::WriteCommand(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwTimeout, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::WriteCommand";
  if (!IsConnected()) return NotConnected(kOp, __LINE__);
  if (pszCommandBuf == nullptr) return DbgLogError(kOp, __LINE__, "Parameters Error : pszCommandBuf = NULL");
  PREPORT_HANDLER pHandler = LookUpHandler(m_listHidCols, nDevIdx, kHandlerVendorOutput, kOp, __LINE__);
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
    return FeatureWrite(*pHandler, report, m_pfnSendHook);
  }
  report[2] = m_bFixedCmdLen ? kFixedCommandLength : static_cast<BYTE>(nCommandLen);
  memcpy(&report[kCommandHeader], pszCommandBuf, static_cast<size_t>(nCommandLen));
  return SendReport(pHandler, report, dwTimeout);
}

int CHIDWinGet::ReadData(BYTE* pRcvBuf, int nRcvLen, DWORD dwTimeout, int nDevIdx, bool bStripHeader) {
  static const char kOp[] = "CHIDWinGet::ReadData";
  PREPORT_HANDLER pHandler = LookUpHandler(m_listHidCols, nDevIdx, kHandlerVendorInput, kOp, __LINE__);
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
    DeliverReport(*pHandler, report, kStrippedHeader, pRcvBuf, nRcvLen, m_pfnRecvHook);
    return kResultOk;
  }
  const int nResult = ReceiveReport(pHandler, report, dwTimeout, kOp);
  if (nResult != kResultOk) return nResult;
  DeliverReport(*pHandler, report, bStripHeader ? kStrippedHeader : 0, pRcvBuf, nRcvLen, m_pfnRecvHook);
  return kResultOk;
}

int CHIDWinGet::WriteRawBytes(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwTimeout, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::WriteRawBytes";
  if (!IsConnected()) return NotConnected(kOp, __LINE__);
  if (pszCommandBuf == nullptr) return DbgLogError(kOp, __LINE__, "Parameters Error : pszCommandBuf = NULL");
  PREPORT_HANDLER pHandler = LookUpHandler(m_listHidCols, nDevIdx, kHandlerVendorOutput, kOp, __LINE__);
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
  PREPORT_HANDLER pHandler = LookUpHandler(m_listHidCols, nDevIdx, kHandlerVendorInput, kOp, __LINE__);
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
  DeliverReport(*pHandler, report, 0, pRcvBuf, nRcvLen, m_pfnRecvHook);
  return kResultOk;
}

int CHIDWinGet::WriteEEPROMCommand(int nMode, const BYTE* pszBuf, int Size, DWORD dwTimeout, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::WriteEEPROMCommand";
  if (!IsConnected()) return NotConnected(kOp, __LINE__);
  if (nMode == 0 && pszBuf == nullptr) return DbgLogError(kOp, __LINE__, "Parameters Error : pszBuf = NULL");
  PREPORT_HANDLER pHandler = LookUpHandler(m_listHidCols, nDevIdx, kHandlerVendorOutput, kOp, __LINE__);
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
