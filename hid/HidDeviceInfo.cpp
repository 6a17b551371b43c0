// FillDeviceInfo: the report buffers, capability arrays and usage tables of
// one opened collection.
#include "hid/HIDWinGet.h"
#include "log/DbgLog.h"

#include <cstdint>
#include <cstdlib>

namespace {

// The fields of one report kind inside a HID_DEVICE_INFO.
struct ReportKind {
  HIDP_REPORT_TYPE type;
  USHORT nReportLength;
  USHORT nButtonCaps;
  USHORT nValueCaps;
  PCHAR* ppReportBuf;
  HID_USAGE_DATA** ppUsageData;
  ULONG* pnUsageDataCount;
  PHIDP_BUTTON_CAPS* ppButtonCaps;
  PHIDP_VALUE_CAPS* ppValueCaps;
};

ReportKind KindOf(HID_DEVICE_INFO& info, HIDP_REPORT_TYPE type) {
  const HIDP_CAPS& caps = info.Caps;
  switch (type) {
    case HidP_Input:
      return {type,           caps.InputReportByteLength, caps.NumberInputButtonCaps, caps.NumberInputValueCaps,
              &info.pInReportBuf, &info.pInUsageData,     &info.nInUsageDataCount,    &info.pInButtonCaps,
              &info.pInValueCaps};
    case HidP_Output:
      return {type,            caps.OutputReportByteLength, caps.NumberOutputButtonCaps, caps.NumberOutputValueCaps,
              &info.pOutReportBuf, &info.pOutUsageData,     &info.nOutUsageDataCount,    &info.pOutButtonCaps,
              &info.pOutValueCaps};
    default:
      return {type,             caps.FeatureReportByteLength, caps.NumberFeatureButtonCaps,
              caps.NumberFeatureValueCaps, &info.pFeatReportBuf, &info.pFeatUsageData,
              &info.nFeatUsageDataCount,   &info.pFeatButtonCaps, &info.pFeatValueCaps};
  }
}

// Zeroed storage for n elements; a null pointer for none. False when it could not be had.
template <class T>
bool AllocZeroed(T*& pStorage, size_t n) {
  pStorage = nullptr;
  if (n == 0) return true;
  pStorage = static_cast<T*>(calloc(n, sizeof(T)));
  return pStorage != nullptr;
}

uint64_t UsagesOf(const HIDP_VALUE_CAPS& cap) {
  if (!cap.IsRange) return 1;
  return cap.Range.UsageMax >= cap.Range.UsageMin ? uint64_t{cap.Range.UsageMax} - cap.Range.UsageMin + 1 : 0;
}

const char* KindName(HIDP_REPORT_TYPE type) {
  return type == HidP_Input ? "input" : type == HidP_Output ? "output" : "feature";
}

// A collection whose descriptor asks for more than the records may hold is
// refused; the trace says what was too large.
bool Refuse(HIDP_REPORT_TYPE type, const char* pszWhat, uint64_t nAsked, uint64_t nLimit) {
  DbgLogTrace("CHIDWinGet::FillDeviceInfo", __LINE__, "Descriptor refused: %llu %s %s (at most %llu)",
              static_cast<unsigned long long>(nAsked), KindName(type), pszWhat,
              static_cast<unsigned long long>(nLimit));
  return false;
}

// The list of an earlier button row on the same usage page, or null.
const HID_USAGE_DATA* PageListOwner(const HID_USAGE_DATA* pRows, USHORT nRow, USAGE nPage) {
  for (USHORT i = 0; i < nRow; ++i)
    if (pRows[i].UsagePage == nPage && pRows[i].pUsages != nullptr) return &pRows[i];
  return nullptr;
}

bool FillButtonRows(HID_DEVICE_INFO& info, HIDP_REPORT_TYPE type, USHORT nButtons) {
  const ReportKind kind = KindOf(info, type);
  const PHIDP_VALUE_CAPS pOutValues = info.pOutValueCaps;
  uint64_t nListed = 0;  // usages of the lists allocated so far
  for (USHORT i = 0; i < nButtons; ++i) {
    const HIDP_BUTTON_CAPS& cap = (*kind.ppButtonCaps)[i];
    if (type == HidP_Output && info.Caps.NumberInputValueCaps != 0 && info.Caps.NumberOutputValueCaps != 0 &&
        pOutValues[0].IsRange && ULONG{pOutValues[0].Range.UsageMin} == ULONG{pOutValues[0].Range.UsageMax} + nButtons)
      return false;
    HID_USAGE_DATA& row = (*kind.ppUsageData)[i];
    row.bIsButton = TRUE;
    row.Status = HIDP_STATUS_SUCCESS;
    row.UsagePage = cap.UsagePage;
    row.ReportID = cap.ReportID;
    row.UsageMin = cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage;
    row.UsageMax = cap.IsRange ? cap.Range.UsageMax : row.UsageMin;
    // The list holds every usage of the page, so one per page serves all its rows.
    if (const HID_USAGE_DATA* pOwner = PageListOwner(*kind.ppUsageData, i, cap.UsagePage)) {
      row.MaxUsageListLength = pOwner->MaxUsageListLength;
      row.pUsages = pOwner->pUsages;
      continue;
    }
    row.MaxUsageListLength = HidP_MaxUsageListLength(type, cap.UsagePage, info.pPreparsedData);
    nListed += row.MaxUsageListLength;
    if (nListed > kMaxUsageListLength) return Refuse(type, "usage list entries", nListed, kMaxUsageListLength);
    if (!AllocZeroed(row.pUsages, row.MaxUsageListLength)) return false;
  }
  return true;
}

bool FillValueRows(HID_DEVICE_INFO& info, HIDP_REPORT_TYPE type, USHORT nFirstRow, USHORT nValues) {
  const ReportKind kind = KindOf(info, type);
  ULONG nRow = nFirstRow;
  for (USHORT i = 0; i < nValues; ++i) {
    const HIDP_VALUE_CAPS& cap = (*kind.ppValueCaps)[i];
    const ULONG nFirst = cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage;
    const ULONG nLast = cap.IsRange ? cap.Range.UsageMax : nFirst;
    for (ULONG nUsage = nFirst; nUsage <= nLast; ++nUsage) {
      if (nRow >= *kind.pnUsageDataCount) return false;
      HID_USAGE_DATA& row = (*kind.ppUsageData)[nRow++];
      row.bIsButton = FALSE;
      row.Status = HIDP_STATUS_SUCCESS;
      row.UsagePage = cap.UsagePage;
      row.Usage = static_cast<USAGE>(nUsage);
      row.ReportID = cap.ReportID;
    }
  }
  return true;
}

bool FillReportKind(HID_DEVICE_INFO& info, HIDP_REPORT_TYPE type) {
  const ReportKind kind = KindOf(info, type);
  if (kind.nButtonCaps > kMaxCapsPerKind) return Refuse(type, "button caps", kind.nButtonCaps, kMaxCapsPerKind);
  if (kind.nValueCaps > kMaxCapsPerKind) return Refuse(type, "value caps", kind.nValueCaps, kMaxCapsPerKind);
  if (!AllocZeroed(*kind.ppReportBuf, kind.nReportLength) || !AllocZeroed(*kind.ppButtonCaps, kind.nButtonCaps) ||
      !AllocZeroed(*kind.ppValueCaps, kind.nValueCaps))
    return false;
  USHORT nButtons = kind.nButtonCaps;
  USHORT nValues = kind.nValueCaps;
  if (nButtons != 0 && HidP_GetButtonCaps(type, *kind.ppButtonCaps, &nButtons, info.pPreparsedData) !=
                           HIDP_STATUS_SUCCESS)
    return false;
  if (nValues != 0 &&
      HidP_GetValueCaps(type, *kind.ppValueCaps, &nValues, info.pPreparsedData) != HIDP_STATUS_SUCCESS)
    return false;
  // The parser reports how many it filled; never trust more than the array holds.
  if (nButtons > kind.nButtonCaps) nButtons = kind.nButtonCaps;
  if (nValues > kind.nValueCaps) nValues = kind.nValueCaps;
  const PHIDP_VALUE_CAPS pValues = *kind.ppValueCaps;
  uint64_t nRows = nButtons;
  for (USHORT i = 0; i < nValues; ++i) {
    if (type == HidP_Input && pValues[i].IsRange &&
        ULONG{pValues[i].Range.UsageMin} >= ULONG{pValues[i].Range.UsageMax} + kind.nButtonCaps)
      return false;
    nRows += UsagesOf(pValues[i]);
  }
  if (nRows > kMaxUsageRows) return Refuse(type, "usage rows", nRows, kMaxUsageRows);
  const size_t nAlloc = nRows == 0 && type != HidP_Feature ? 1 : static_cast<size_t>(nRows);
  if (!AllocZeroed(*kind.ppUsageData, nAlloc)) return false;
  *kind.pnUsageDataCount = static_cast<ULONG>(nRows);
  return FillButtonRows(info, kind.type, nButtons) && FillValueRows(info, kind.type, nButtons, nValues);
}

}  // namespace

bool CHIDWinGet::FillDeviceInfo(HID_DEVICE_INFO& info) {
  return FillReportKind(info, HidP_Input) && FillReportKind(info, HidP_Output) &&
         FillReportKind(info, HidP_Feature);
}
