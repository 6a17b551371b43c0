// Collection entries: which collection of a controller takes which role.
#include "hid/HIDWinGet.h"
#include "hid/VendorIds.h"
#include "log/DbgLog.h"

#include <cstring>
#include <cwchar>

namespace {

const char kOp[] = "CHIDWinGet::SetHidColsEntrySimple";

bool IsVendorCollection(const HIDP_CAPS& caps) {
  return caps.UsagePage == kVendorUsagePage && caps.Usage == kVendorUsage;
}

const CHIDWinGet::VendorRole kVendorOutputRole = {
    kRoleVendorOutputFound, kInfoVendorOutput, kHandlerVendorOutput, HidP_Output, &HIDP_CAPS::OutputReportByteLength,
    GENERIC_WRITE, "Found vendor output already.", "m_nOutputReportID", "Can't get output handle",
    "device status: Vendor-Output Write ok"};

const CHIDWinGet::VendorRole kVendorInputRole = {
    kRoleVendorInputFound, kInfoVendorInput, kHandlerVendorInput, HidP_Input, &HIDP_CAPS::InputReportByteLength,
    GENERIC_READ, "Found vendor input already.", "m_nInputReportID",
    "Can't get asynchronous read handle of Vendor input", "device status: Vendor-Input Read ok"};

void TraceReportLayout(const HIDP_CAPS& caps, int nInputID, int nOutputID, int nFeatureID) {
  DbgLogTrace(kOp, __LINE__, "--------------------------------------------------------------------------------");
  DbgLogTrace(kOp, __LINE__, "Output ReportID=%d, OutputReportByteLength=%d", nOutputID, caps.OutputReportByteLength);
  DbgLogTrace(kOp, __LINE__, "Input ReportID=%d, InputReportByteLength=%d", nInputID, caps.InputReportByteLength);
  DbgLogTrace(kOp, __LINE__, "Feature ReportID=%d, FeatureReportByteLength=%d", nFeatureID,
              caps.FeatureReportByteLength);
  DbgLogTrace(kOp, __LINE__, "UsagePage =%04X, Usage = %02X, Feature ReportID  = %d", caps.UsagePage, caps.Usage,
              nFeatureID);
}

}  // namespace

int CHIDWinGet::SetHidColsEntrySimple(HID_DEVICE_INFO& info, CHIDCols& entry) {
  WCHAR szPairNum[kPathChars];
  memset(szPairNum, 0, sizeof(szPairNum));
  const int nPairResult = ParsePairNum(info.DevicePath, szPairNum);
  if (nPairResult == kResultPairNumTooLong) return kResultNotTaken;
  entry.wVendorID = info.Attributes.VendorID;
  entry.wProductID = info.Attributes.ProductID;
  entry.wVersion = info.Attributes.VersionNumber;
  // A collection without pair number keeps the entry's.
  if (nPairResult == kResultOk) wmemcpy(entry.PairNum, szPairNum, kPathChars);

  const HIDP_CAPS& caps = info.Caps;
  const int nInputID = FirstValueReportID(info, HidP_Input);
  const int nOutputID = FirstValueReportID(info, HidP_Output);
  const int nFeatureID = FirstValueReportID(info, HidP_Feature);
  TraceReportLayout(caps, nInputID, nOutputID, nFeatureID);
  if (caps.UsagePage == kDigitizerUsagePage && caps.Usage == kTouchScreenUsage) return kResultOk;
  const bool bOurVendor = entry.wVendorID == kVendorId;
  // A kind without value capabilities carries no report ID at all, so it
  // never matches the ID asked for, not even 0.
  const bool bOutputIdMatches = caps.NumberOutputValueCaps != 0 && nOutputID == m_nOutputReportID;
  if (IsVendorCollection(caps) && bOurVendor && bOutputIdMatches) {
    // Output only, optionally with the output's feature report beside it.
    const bool bFeatureFits = nFeatureID == kOutputFeatureReportID || caps.FeatureReportByteLength == 0;
    const bool bFits = caps.OutputReportByteLength != 0 && caps.InputReportByteLength == 0 && bFeatureFits;
    return TakeVendorRole(info, entry, kVendorOutputRole, bFits, m_nOutputReportID);
  }
  if ((IsVendorCollection(caps) && bOurVendor) ||
      (caps.UsagePage == kAltVendorInputUsagePage && caps.Usage == kVendorUsage)) {
    const bool bInputIdMatches = caps.NumberInputValueCaps != 0 && nInputID == m_nInputReportID;
    const bool bFits = bInputIdMatches && caps.InputReportByteLength != 0 && caps.OutputReportByteLength == 0;
    return TakeVendorRole(info, entry, kVendorInputRole, bFits, m_nInputReportID);
  }
  DbgLogTrace(kOp, __LINE__, "UsagePage =%04X, Usage = %02X, ReportID  = %d", caps.UsagePage, caps.Usage, nInputID);
  return kResultOk;
}

int CHIDWinGet::TakeVendorRole(HID_DEVICE_INFO& info, CHIDCols& entry, const VendorRole& role, bool bLayoutFits,
                               int nWantedID) {
  if (entry.RoleFlags[role.flag]) {
    DbgLogTrace(kOp, __LINE__, "%s", role.pszAlreadyFound);
    return kResultNotTaken;
  }
  if (!bLayoutFits) {
    DbgLogTrace(kOp, __LINE__, "Not Vorn specified report format for Vendor input");
    DbgLogTrace(kOp, __LINE__, "%s = %d", role.pszWantedIdName, nWantedID);
    return kResultNotTaken;
  }
  HID_DEVICE_INFO& slot = entry.Infos[role.info];
  if (OpenHidDevice(info.DevicePath, slot, role.dwAccess, TRUE) != kResultOk) {
    DbgLogError(kOp, __LINE__, "%s", role.pszOpenFailed);
    return kResultFailed;
  }
  DbgLogTrace(kOp, __LINE__, "%s", role.pszOpened);
  entry.RoleFlags[role.flag] = TRUE;
  FillRoleHandler(entry.Handlers[role.handler], slot, FirstValueReportID(info, role.reportType),
                  info.Caps.*role.pReportByteLength);
  return kResultOk;
}

void CHIDWinGet::FillRoleHandler(REPORT_HANDLER& handler, const HID_DEVICE_INFO& slot, ULONG nReportID,
                                 ULONG nReportByteLength) {
  if (handler.Overlapped.hEvent != nullptr) CloseHandle(handler.Overlapped.hEvent);
  InitReportHandler(handler);
  handler.bOpened = TRUE;
  handler.hHidDevice = slot.hHidDevice;
  handler.ReportID = nReportID;
  handler.ReportByteLength = nReportByteLength;
  handler.Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // The fixed field holds paths of up to 259 characters; longer ones are cut.
  wcsncpy(handler.szDevicePath, slot.DevicePath, kPathChars - 1);
  handler.szDevicePath[kPathChars - 1] = L'\0';
}
