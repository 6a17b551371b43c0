// Feature reports of the pen-feature collection. Unlike the report I/O of
// the vendor roles these add no framing: the caller's buffer is the whole
// report, report ID byte included, and the class driver completes the
// request before the call returns.
#include "hid/HIDWinGet.h"
#include "log/DbgLog.h"

#include <cstring>

namespace {

constexpr int kMaxFeatureReportLength = 2048;

bool FeatureLengthValid(int nLength) { return nLength >= 1 && nLength <= kMaxFeatureReportLength; }

// The pen-feature handler of an entry after the connection, buffer and role
// checks, in this order; null, with *pnResult set, when one fails.
PREPORT_HANDLER PenFeatureHandler(bool bConnected, std::list<CHIDCols>& entries, const void* pBuffer, int nDevIdx,
                                  const char* pszOperation, int* pnResult) {
  if (!bConnected) {
    *pnResult = kResultNotConnected;
    DbgLogError(pszOperation, __LINE__, "Device is not connected.");
    return nullptr;
  }
  *pnResult = kResultLoggedFailure;
  if (pBuffer == nullptr) {
    DbgLogError(pszOperation, __LINE__, "Parameters Error : pszCommandBuf = NULL");
    return nullptr;
  }
  CHIDCols* pEntry = EntryAt(entries, nDevIdx);
  if (pEntry == nullptr || !pEntry->RoleFlags[kRolePenFeature]) {
    DbgLogError(pszOperation, __LINE__, "No valid PREPORT_HANDLER");
    return nullptr;
  }
  *pnResult = kResultOk;
  return &pEntry->Handlers[kHandlerPenFeature];
}

}  // namespace

int CHIDWinGet::SetPenFeature(const BYTE* pszCommandBuf, int nCommandLen, DWORD /*dwUnused*/, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::SetPenFeature";
  int nResult = kResultOk;
  PREPORT_HANDLER pHandler = PenFeatureHandler(IsConnected(), m_listHidCols, pszCommandBuf, nDevIdx, kOp, &nResult);
  if (pHandler == nullptr) return nResult;
  if (!FeatureLengthValid(nCommandLen))
    return DbgLogError(kOp, __LINE__, "Parameters Error : nCommandLen = %d", nCommandLen);
  // The class driver may write into the buffer it is given; the caller's stays read only.
  BYTE report[kMaxFeatureReportLength];
  memcpy(report, pszCommandBuf, static_cast<size_t>(nCommandLen));
  if (!HidD_SetFeature(pHandler->hHidDevice, report, static_cast<ULONG>(nCommandLen))) return kResultTimeout;
  if (m_pfnSendHook != nullptr) m_pfnSendHook(report, static_cast<ULONG>(nCommandLen));
  return kResultOk;
}

int CHIDWinGet::GetPenFeature(BYTE* pRcvBuf, int nRcvDataLen, DWORD /*dwUnused*/, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::GetPenFeature";
  int nResult = kResultOk;
  PREPORT_HANDLER pHandler = PenFeatureHandler(IsConnected(), m_listHidCols, pRcvBuf, nDevIdx, kOp, &nResult);
  if (pHandler == nullptr) return nResult;
  if (!FeatureLengthValid(nRcvDataLen))
    return DbgLogError(kOp, __LINE__, "Parameters Error : nRcvDataLen = %d", nRcvDataLen);
  // The request goes out with report ID 0, whatever the caller left in byte 0.
  memset(pRcvBuf, 0, static_cast<size_t>(nRcvDataLen));
  if (!HidD_GetFeature(pHandler->hHidDevice, pRcvBuf, static_cast<ULONG>(nRcvDataLen))) return kResultTimeout;
  if (m_pfnRecvHook != nullptr) m_pfnRecvHook(pRcvBuf, static_cast<ULONG>(nRcvDataLen));
  return kResultOk;
}
