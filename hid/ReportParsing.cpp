#include "hid/ReportParsing.h"

#include "log/DbgLog.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>

namespace {

const char kFingerOp[] = "CHIDWinGet::xGetDevFingerParsedReport";
const char kPenOp[] = "CHIDWinGet::xGetDevPenParsedReport";
constexpr USHORT kTipSwitchUsage = 0x42;
// Room the parse gives one HidP_GetUsages answer.
constexpr ULONG kUsageListLength = 10;

const struct {
  NTSTATUS status;
  const char* pszName;
} kParserStatusNames[] = {
    {HIDP_STATUS_SUCCESS, "HIDP_STATUS_SUCCESS"},
    {HIDP_STATUS_NULL, "HIDP_STATUS_NULL"},
    {HIDP_STATUS_INVALID_PREPARSED_DATA, "HIDP_STATUS_INVALID_PREPARSED_DATA"},
    {HIDP_STATUS_INVALID_REPORT_TYPE, "HIDP_STATUS_INVALID_REPORT_TYPE"},
    {HIDP_STATUS_INVALID_REPORT_LENGTH, "HIDP_STATUS_INVALID_REPORT_LENGTH"},
    {HIDP_STATUS_USAGE_NOT_FOUND, "HIDP_STATUS_USAGE_NOT_FOUND"},
    {HIDP_STATUS_VALUE_OUT_OF_RANGE, "HIDP_STATUS_VALUE_OUT_OF_RANGE"},
    {HIDP_STATUS_BAD_LOG_PHY_VALUES, "HIDP_STATUS_BAD_LOG_PHY_VALUES"},
    {HIDP_STATUS_BUFFER_TOO_SMALL, "HIDP_STATUS_BUFFER_TOO_SMALL"},
    {HIDP_STATUS_INTERNAL_ERROR, "HIDP_STATUS_INTERNAL_ERROR"},
    {HIDP_STATUS_I8042_TRANS_UNKNOWN, "HIDP_STATUS_I8042_TRANS_UNKNOWN"},
    {HIDP_STATUS_INCOMPATIBLE_REPORT_ID, "HIDP_STATUS_INCOMPATIBLE_REPORT_ID"},
    {HIDP_STATUS_NOT_VALUE_ARRAY, "HIDP_STATUS_NOT_VALUE_ARRAY"},
    {HIDP_STATUS_IS_VALUE_ARRAY, "HIDP_STATUS_IS_VALUE_ARRAY"},
    {HIDP_STATUS_DATA_INDEX_NOT_FOUND, "HIDP_STATUS_DATA_INDEX_NOT_FOUND"},
    {HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE, "HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE"},
    {HIDP_STATUS_BUTTON_NOT_PRESSED, "HIDP_STATUS_BUTTON_NOT_PRESSED"},
    {HIDP_STATUS_REPORT_DOES_NOT_EXIST, "HIDP_STATUS_REPORT_DOES_NOT_EXIST"},
    {HIDP_STATUS_NOT_IMPLEMENTED, "HIDP_STATUS_NOT_IMPLEMENTED"},
};

// The HID parser takes the report as a mutable buffer but only reads it.
PCHAR ReportBytes(const BYTE* pReport) { return reinterpret_cast<PCHAR>(const_cast<BYTE*>(pReport)); }

// One value: a plain field through HidP_GetUsageValue, a value array packed
// into at most four bytes. 0 when nothing was read.
NTSTATUS ReadValue(PHIDP_PREPARSED_DATA pPreparsed, USHORT nPage, USHORT nUsage, ULONG nReportCount,
                   USHORT nLinkCollection, const BYTE* pReport, ULONG nReportLen, ULONG* pnValue) {
  *pnValue = 0;
  if (nReportCount == 1)
    return HidP_GetUsageValue(HidP_Input, nPage, nLinkCollection, nUsage, pnValue, pPreparsed, ReportBytes(pReport),
                              nReportLen);
  BYTE value[4] = {};
  const NTSTATUS status = HidP_GetUsageValueArray(HidP_Input, nPage, nLinkCollection, nUsage,
                                                  reinterpret_cast<PCHAR>(value), sizeof(value), pPreparsed,
                                                  ReportBytes(pReport), nReportLen);
  if (status == HIDP_STATUS_SUCCESS)
    *pnValue = value[0] | (ULONG{value[1]} << 8) | (ULONG{value[2]} << 16) | (ULONG{value[3]} << 24);
  return status;
}

bool UsageListed(const USAGE* pUsages, ULONG nUsages, ULONG nUsage) {
  return nUsage != 0 && std::find(pUsages, pUsages + nUsages, static_cast<USAGE>(nUsage)) != pUsages + nUsages;
}

int LogParserStatus(NTSTATUS status, const char* pszOperation, int nLine) {
  char szText[kStatusTextLength];
  ParserStatusName(status, szText);
  return DbgLogError(pszOperation, nLine, "%s", szText);
}

// The whole report first: a list long enough for every usage of the page,
// since a ten-finger screen with in-range bits reports twenty of them. The
// descriptor sets that length, so it is bounded, and the list may fail to
// come like any allocation. 0, or -6 logged.
int CheckReportUsages(PHIDP_PREPARSED_DATA pPreparsed, const BYTE* pReport, ULONG nReportLen) {
  const ULONG nListLength = std::max<ULONG>(HidP_MaxUsageListLength(HidP_Input, kDigitizerUsagePage, pPreparsed), 1);
  if (nListLength > kMaxUsageListLength)
    return DbgLogError(kFingerOp, __LINE__, "Usage list too long (%lu usages).",
                       static_cast<unsigned long>(nListLength));
  std::unique_ptr<USAGE[]> pAllUsages(new (std::nothrow) USAGE[nListLength]());
  if (!pAllUsages) return DbgLogError(kFingerOp, __LINE__, "Allocate memory for the usage list failure");
  ULONG nAllUsages = nListLength;
  if (HidP_GetUsages(HidP_Input, kDigitizerUsagePage, 0, pAllUsages.get(), &nAllUsages, pPreparsed,
                     ReportBytes(pReport), nReportLen) != HIDP_STATUS_SUCCESS)
    return DbgLogError(kFingerOp, __LINE__, "HidP_GetUsages error.");
  return kResultOk;
}

// The tip switch of the contact in link collection nLink: 1 when its usages
// list it. A contact without pressed buttons has none (not an error).
int ReadTipSwitch(PHIDP_PREPARSED_DATA pPreparsed, const BYTE* pReport, ULONG nReportLen, USHORT nLink,
                  BYTE* pbTipSwitch) {
  USAGE usages[kUsageListLength] = {};
  ULONG nUsages = kUsageListLength;
  const NTSTATUS status = HidP_GetUsages(HidP_Input, kDigitizerUsagePage, nLink, usages, &nUsages, pPreparsed,
                                         ReportBytes(pReport), nReportLen);
  if (status != HIDP_STATUS_SUCCESS && status != HIDP_STATUS_USAGE_NOT_FOUND)
    return DbgLogError(kFingerOp, __LINE__, "HidP_GetUsages error.");
  *pbTipSwitch = status == HIDP_STATUS_SUCCESS && UsageListed(usages, nUsages, kTipSwitchUsage) ? 1 : 0;
  return kResultOk;
}

int ParseContact(PHIDP_PREPARSED_DATA pPreparsed, const FINGER_PROFILE& finger, const BYTE* pReport, ULONG nReportLen,
                 USHORT nLink, CONTACT_REPORT& contact, int nResult) {
  ULONG nValue = 0;
  if (finger.ContactId.bPresent) {
    nResult = ReadUsageValue(pPreparsed, finger.ContactId, pReport, nReportLen, &nValue, nLink);
    contact.ContactId = nValue;
  }
  if (finger.X.bPresent) {
    nResult = ReadUsageValue(pPreparsed, finger.X, pReport, nReportLen, &nValue, nLink);
    contact.X = contact.X2 = static_cast<USHORT>(nValue);
  }
  if (finger.Y.bPresent) {
    nResult = ReadUsageValue(pPreparsed, finger.Y, pReport, nReportLen, &nValue, nLink);
    contact.Y = contact.Y2 = static_cast<USHORT>(nValue);
  }
  return nResult;
}

// The descriptor's read when it is present, then a direct read by its usage,
// present or not; only a successful direct read changes the field.
int ReadPenValue(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport, ULONG nReportLen,
                 ULONG* pnValue) {
  if (desc.bPresent) ReadUsageValue(pPreparsed, desc, pReport, nReportLen, pnValue, 0);
  ULONG nValue = 0;
  const NTSTATUS status = ReadValue(pPreparsed, static_cast<USHORT>(desc.UsagePage), static_cast<USHORT>(desc.Usage),
                                    desc.ReportCount, 0, pReport, nReportLen, &nValue);
  if (status != HIDP_STATUS_SUCCESS) return LogParserStatus(status, kPenOp, __LINE__);
  *pnValue = nValue;
  return kResultOk;
}

int ReadPenAngle(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport, ULONG nReportLen,
                 LONG* pnAngle, int nResult) {
  if (desc.Usage == 0) return nResult;
  ULONG nValue = 0;
  nResult = ReadUsageValue(pPreparsed, desc, pReport, nReportLen, &nValue, 0);
  *pnAngle = static_cast<SHORT>(static_cast<USHORT>(nValue));
  return nResult;
}


int ParsePenValues(PHIDP_PREPARSED_DATA pPreparsed, const PEN_PROFILE& pen, const BYTE* pReport, ULONG nReportLen,
                   PEN_REPORT& report) {
  int nResult = kResultOk;
  if (pen.X.bPresent) nResult = ReadUsageValue(pPreparsed, pen.X, pReport, nReportLen, &report.X, 0);
  if (pen.Y.bPresent) nResult = ReadUsageValue(pPreparsed, pen.Y, pReport, nReportLen, &report.Y, 0);
  ReadPenValue(pPreparsed, pen.BatteryStrength, pReport, nReportLen, &report.BatteryStrength);
  nResult = ReadPenValue(pPreparsed, pen.TipPressure, pReport, nReportLen, &report.TipPressure);
  nResult = ReadPenAngle(pPreparsed, pen.XTilt, pReport, nReportLen, &report.XTilt, nResult);
  nResult = ReadPenAngle(pPreparsed, pen.YTilt, pReport, nReportLen, &report.YTilt, nResult);
  nResult = ReadPenAngle(pPreparsed, pen.Azimuth, pReport, nReportLen, &report.Azimuth, nResult);
  if (pen.Vendor01.bPresent) {
    ULONG nBits = 0;
    nResult = ReadUsageValue(pPreparsed, pen.Vendor01, pReport, nReportLen, &nBits, 0);
    report.bVendorBit0 = (nBits & 1) ? 1 : 0;
    report.bVendorBit1 = (nBits & 2) ? 1 : 0;
  }
  return nResult;
}

}  // namespace

int ParserStatusName(NTSTATUS status, char* pszText) {
  for (const auto& entry : kParserStatusNames) {
    if (entry.status != status) continue;
    snprintf(pszText, kStatusTextLength, "%s", entry.pszName);
    return kResultOk;
  }
  snprintf(pszText, kStatusTextLength, "HID parser status 0x%08lx", static_cast<unsigned long>(status));
  return DbgLogError("CHIDWinGet::GetDevParsedError", __LINE__, "GetDevParsedError unknow");
}

int ReadUsageValue(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport, ULONG nReportLen,
                   ULONG* pnValue, USHORT nLinkCollection) {
  const NTSTATUS status = ReadValue(pPreparsed, static_cast<USHORT>(desc.UsagePage), static_cast<USHORT>(desc.Usage),
                                    desc.ReportCount, nLinkCollection, pReport, nReportLen, pnValue);
  if (status == HIDP_STATUS_SUCCESS) return kResultOk;
  return LogParserStatus(status, "CHIDWinGet::GetDevParsedUsageValue", __LINE__);
}

// Contact j of the report is the j-th logical collection of the touch
// screen, link collection j, so every read names it: the parser would
// otherwise answer each contact with the first finger's fields.
int ParseFingerReport(PHIDP_PREPARSED_DATA pPreparsed, const FINGER_PROFILE& finger, const BYTE* pReport,
                      ULONG nReportLen, FINGER_REPORT& report) {
  int nResult = kResultOk;
  ULONG nCount = 0;
  if (finger.ContactCount.bPresent)
    nResult = ReadUsageValue(pPreparsed, finger.ContactCount, pReport, nReportLen, &nCount, 0);
  const int nUsages = CheckReportUsages(pPreparsed, pReport, nReportLen);
  if (nUsages != kResultOk) return nUsages;
  // The record holds ten contacts; a report claiming more gives the first ten.
  nCount = std::min<ULONG>(nCount, kMaxContactReports);
  report.ContactCount = nCount;
  for (ULONG j = 1; j <= static_cast<ULONG>(kMaxContactReports); ++j) {
    CONTACT_REPORT& contact = report.Contacts[j - 1];
    contact.ContactId = 0;
    contact.bTipSwitch = 0;
    contact.X = contact.Y = contact.X2 = contact.Y2 = 0;
    if (j > nCount) continue;
    if (ReadTipSwitch(pPreparsed, pReport, nReportLen, static_cast<USHORT>(j), &contact.bTipSwitch) != kResultOk)
      return kResultLoggedFailure;
    nResult = ParseContact(pPreparsed, finger, pReport, nReportLen, static_cast<USHORT>(j), contact, nResult);
  }
  return nResult;
}

int ParsePenReport(PHIDP_PREPARSED_DATA pPreparsed, const PEN_PROFILE& pen, const BYTE* pReport, ULONG nReportLen,
                   PEN_REPORT& report) {
  USAGE usages[kUsageListLength] = {};
  ULONG nUsages = kUsageListLength;
  if (HidP_GetUsages(HidP_Input, kDigitizerUsagePage, 0, usages, &nUsages, pPreparsed, ReportBytes(pReport),
                     nReportLen) != HIDP_STATUS_SUCCESS)
    return DbgLogError(kPenOp, __LINE__, "HidP_GetUsages error.");
  report.bInRange = UsageListed(usages, nUsages, pen.InRange.Usage) ? 1 : 0;
  report.bTipSwitch = UsageListed(usages, nUsages, pen.TipSwitch.Usage) ? 1 : 0;
  report.bBarrelSwitch = UsageListed(usages, nUsages, pen.BarrelSwitch.Usage) ? 1 : 0;
  report.bInvert = UsageListed(usages, nUsages, pen.Invert.Usage) ? 1 : 0;
  report.bEraser = UsageListed(usages, nUsages, pen.Eraser.Usage) ? 1 : 0;
  return ParsePenValues(pPreparsed, pen, pReport, nReportLen, report);
}

CParsePreparsed::~CParsePreparsed() {
  if (m_pFetched != nullptr) HidD_FreePreparsedData(m_pFetched);
  if (m_hOpened != INVALID_HANDLE_VALUE) CloseHandle(m_hOpened);
}

int CParsePreparsed::Acquire(const REPORT_HANDLER& handler, const HID_DEVICE_INFO& info, const char* pszOperation) {
  m_pData = handler.pPreparsedData != nullptr ? handler.pPreparsedData : info.pPreparsedData;
  if (m_pData != nullptr) return kResultOk;
  HANDLE hDevice = handler.hHidDevice;
  if (hDevice == INVALID_HANDLE_VALUE || hDevice == nullptr) {
    // The handler's path is a fixed array; never let CreateFileW read past it.
    WCHAR szPath[kPathChars];
    wmemcpy(szPath, handler.szDevicePath, kPathChars);
    szPath[kPathChars - 1] = L'\0';
    m_hOpened = CreateFileW(szPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_hOpened == INVALID_HANDLE_VALUE) return DbgLogError(pszOperation, __LINE__, "Can't get valid device handle");
    DbgLogTrace(pszOperation, __LINE__, "CreateFile Success");
    hDevice = m_hOpened;
  }
  if (!HidD_GetPreparsedData(hDevice, &m_pFetched)) {
    m_pFetched = nullptr;
    return DbgLogError(pszOperation, __LINE__, "Can't Get Preparsed Data");
  }
  m_pData = m_pFetched;
  return kResultOk;
}
