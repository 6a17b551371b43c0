// Input reports of the touch-screen and active-pen collections decoded with
// the HID parser against the last profile GetDevProfile handed out.
#include "hid/HIDWinGet.h"
#include "hid/ReportParsing.h"
#include "log/DbgLog.h"

#include <algorithm>

namespace {

// The entry a parse step works on: it exists, a profile was handed out, and
// both the profile and the entry hold the kind of collection asked for (the
// profile may describe another entry than the one asked about). Null, with
// the reason logged, otherwise.
CHIDCols* ParseEntry(std::list<CHIDCols>& entries, int nDevIdx, const DEV_PROFILE& profile, bool bProfileValid,
                     bool bFinger, const char* pszOperation) {
  CHIDCols* pEntry = EntryAt(entries, nDevIdx);
  if (pEntry == nullptr) {
    DbgLogError(pszOperation, __LINE__, "Error Parameters - DevIdx is not exist");
    return nullptr;
  }
  if (!bProfileValid) {
    DbgLogError(pszOperation, __LINE__, "Need to call GetProfile() first.");
    return nullptr;
  }
  const bool bSupported = bFinger ? profile.bTouchScreen && pEntry->RoleFlags[kRoleTouchScreen]
                                  : profile.bActivePen && pEntry->RoleFlags[kRoleActivePen];
  if (!bSupported) {
    DbgLogError(pszOperation, __LINE__, bFinger ? "Not support Finger." : "Not support pen.");
    return nullptr;
  }
  return pEntry;
}

}  // namespace

int CHIDWinGet::GetDevParsedError(NTSTATUS status, char* pszText) { return ParserStatusName(status, pszText); }

int CHIDWinGet::GetDevParsedUsageValue(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport,
                                       ULONG nReportLen, ULONG* pnValue, USHORT nLinkCollection) {
  return ReadUsageValue(pPreparsed, desc, pReport, nReportLen, pnValue, nLinkCollection);
}

int CHIDWinGet::GetDevParsedReport(const BYTE* pReport, int nReportLen, void* pParsed, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::GetDevParsedReport";
  if (pReport == nullptr || nReportLen < 1 || pParsed == nullptr)
    return DbgLogError(kOp, __LINE__, "Parameters Error - report or parsed record is not valid.");
  const ULONG nFingers = std::min<ULONG>(m_ProfileCopy.FingerCount, kMaxFingerProfiles);
  for (ULONG i = 0; i < nFingers; ++i) {
    if (m_ProfileCopy.Fingers[i].ReportID == pReport[0])
      return xGetDevFingerParsedReport(pReport, nReportLen, static_cast<FINGER_REPORT*>(pParsed), nDevIdx);
  }
  if (m_ProfileCopy.Pen.ReportID == pReport[0])
    return xGetDevPenParsedReport(pReport, nReportLen, static_cast<PEN_REPORT*>(pParsed), nDevIdx);
  return DbgLogError(kOp, __LINE__, "No Report ID Matched...");
}

int CHIDWinGet::xGetDevFingerParsedReport(const BYTE* pReport, int nReportLen, FINGER_REPORT* pFinger, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::xGetDevFingerParsedReport";
  CHIDCols* pEntry = ParseEntry(m_listHidCols, nDevIdx, m_ProfileCopy, m_bProfileValid, true, kOp);
  if (pEntry == nullptr) return kResultLoggedFailure;
  const ULONG nFingers = std::min<ULONG>(m_ProfileCopy.FingerCount, kMaxFingerProfiles);
  ULONG nFinger = 0;
  while (nFinger < nFingers && m_ProfileCopy.Fingers[nFinger].ReportID != pReport[0]) ++nFinger;
  if (nFinger == nFingers) return DbgLogError(kOp, __LINE__, "Error!! No matched report id in profile list");
  if (nFinger >= pEntry->TouchScreenInfos.size() || nFinger >= pEntry->TouchScreenHandlers.size() ||
      pEntry->TouchScreenInfos[nFinger] == nullptr)
    return DbgLogError(kOp, __LINE__, "Not support Finger.");
  CParsePreparsed preparsed;
  if (preparsed.Acquire(pEntry->TouchScreenHandlers[nFinger], *pEntry->TouchScreenInfos[nFinger], kOp) != kResultOk)
    return kResultLoggedFailure;
  return ParseFingerReport(preparsed.Data(), m_ProfileCopy.Fingers[nFinger], pReport, static_cast<ULONG>(nReportLen),
                           *pFinger);
}

int CHIDWinGet::xGetDevPenParsedReport(const BYTE* pReport, int nReportLen, PEN_REPORT* pPen, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::xGetDevPenParsedReport";
  CHIDCols* pEntry = ParseEntry(m_listHidCols, nDevIdx, m_ProfileCopy, m_bProfileValid, false, kOp);
  if (pEntry == nullptr) return kResultLoggedFailure;
  CParsePreparsed preparsed;
  if (preparsed.Acquire(pEntry->Handlers[kHandlerActivePen], pEntry->Infos[kInfoActivePen], kOp) != kResultOk)
    return kResultLoggedFailure;
  return ParsePenReport(preparsed.Data(), m_ProfileCopy.Pen, pReport, static_cast<ULONG>(nReportLen), *pPen);
}
