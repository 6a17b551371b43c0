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

}  // namespace

int CHIDWinGet::SetHidColsEntrySimple(HID_DEVICE_INFO& info, CHIDCols& entry) {
  WCHAR szPairNum[kPathChars];
  memset(szPairNum, 0, sizeof(szPairNum));
  const int nPairResult = ParsePairNum(info.DevicePath, szPairNum);
  if (nPairResult == kPairNumTooLong) return kHidNotTaken;
  entry.wVendorID = info.Attributes.VendorID;
  entry.wProductID = info.Attributes.ProductID;
  entry.wVersion = info.Attributes.VersionNumber;
  // A collection without pair number keeps the entry's.
  if (nPairResult == kHidOk) wmemcpy(entry.PairNum, szPairNum, kPathChars);

  const HIDP_CAPS& caps = info.Caps;
  const int nInputID = FirstValueReportID(info, HidP_Input);
  const int nOutputID = FirstValueReportID(info, HidP_Output);
  const int nFeatureID = FirstValueReportID(info, HidP_Feature);
  DbgLogTrace(kOp, __LINE__, "--------------------------------------------------------------------------------");
  DbgLogTrace(kOp, __LINE__, "Output ReportID=%d, OutputReportByteLength=%d", nOutputID, caps.OutputReportByteLength);
  DbgLogTrace(kOp, __LINE__, "Input ReportID=%d, InputReportByteLength=%d", nInputID, caps.InputReportByteLength);
  DbgLogTrace(kOp, __LINE__, "Feature ReportID=%d, FeatureReportByteLength=%d", nFeatureID,
              caps.FeatureReportByteLength);
  DbgLogTrace(kOp, __LINE__, "UsagePage =%04X, Usage = %02X, Feature ReportID  = %d", caps.UsagePage, caps.Usage,
              nFeatureID);

  if (caps.UsagePage == kDigitizerUsagePage && caps.Usage == kTouchScreenUsage) return kHidOk;
  const bool bOurVendor = entry.wVendorID == kVendorId;
  // A kind without value capabilities carries no report ID at all, so it
  // never matches the ID asked for, not even 0.
  const bool bOutputIdMatches = caps.NumberOutputValueCaps != 0 && nOutputID == m_nOutputReportID;
  if (IsVendorCollection(caps) && bOurVendor && bOutputIdMatches)
    return TakeVendorOutput(info, entry);
  if ((IsVendorCollection(caps) && bOurVendor) ||
      (caps.UsagePage == kAltVendorInputUsagePage && caps.Usage == kVendorUsage))
    return TakeVendorInput(info, entry);
  DbgLogTrace(kOp, __LINE__, "UsagePage =%04X, Usage = %02X, ReportID  = %d", caps.UsagePage, caps.Usage, nInputID);
  return kHidOk;
}

// An output-only collection, optionally with the output's feature report beside it.
int CHIDWinGet::TakeVendorOutput(HID_DEVICE_INFO& info, CHIDCols& entry) {
  if (entry.RoleFlags[kRoleVendorOutputFound]) {
    DbgLogTrace(kOp, __LINE__, "Found vendor output already.");
    return kHidNotTaken;
  }
  const HIDP_CAPS& caps = info.Caps;
  const bool bFeatureFits =
      FirstValueReportID(info, HidP_Feature) == kOutputFeatureReportID || caps.FeatureReportByteLength == 0;
  if (caps.OutputReportByteLength == 0 || caps.InputReportByteLength != 0 || !bFeatureFits) {
    DbgLogTrace(kOp, __LINE__, "Not Vorn specified report format for Vendor input");
    DbgLogTrace(kOp, __LINE__, "m_nOutputReportID = %d", m_nOutputReportID);
    return kHidNotTaken;
  }
  HID_DEVICE_INFO& slot = entry.Infos[kInfoVendorOutput];
  if (OpenHidDevice(info.DevicePath, slot, GENERIC_WRITE, TRUE) != kHidOk) {
    DbgLogError(kOp, __LINE__, "Can't get output handle");
    return kHidBuildFailed;
  }
  DbgLogTrace(kOp, __LINE__, "device status: Vendor-Output Write ok");
  entry.RoleFlags[kRoleVendorOutputFound] = TRUE;
  FillRoleHandler(entry.Handlers[kHandlerVendorOutput], slot, FirstValueReportID(info, HidP_Output),
                  caps.OutputReportByteLength);
  return kHidOk;
}

// An input-only collection carrying the input report ID asked for.
int CHIDWinGet::TakeVendorInput(HID_DEVICE_INFO& info, CHIDCols& entry) {
  if (entry.RoleFlags[kRoleVendorInputFound]) {
    DbgLogTrace(kOp, __LINE__, "Found vendor input already.");
    return kHidNotTaken;
  }
  const HIDP_CAPS& caps = info.Caps;
  const int nInputID = FirstValueReportID(info, HidP_Input);
  const bool bInputIdMatches = caps.NumberInputValueCaps != 0 && nInputID == m_nInputReportID;
  if (!bInputIdMatches || caps.InputReportByteLength == 0 || caps.OutputReportByteLength != 0) {
    DbgLogTrace(kOp, __LINE__, "Not Vorn specified report format for Vendor input");
    DbgLogTrace(kOp, __LINE__, "m_nInputReportID = %d", m_nInputReportID);
    return kHidNotTaken;
  }
  HID_DEVICE_INFO& slot = entry.Infos[kInfoVendorInput];
  if (OpenHidDevice(info.DevicePath, slot, GENERIC_READ, TRUE) != kHidOk) {
    DbgLogError(kOp, __LINE__, "Can't get asynchronous read handle of Vendor input");
    return kHidBuildFailed;
  }
  DbgLogTrace(kOp, __LINE__, "device status: Vendor-Input Read ok");
  entry.RoleFlags[kRoleVendorInputFound] = TRUE;
  FillRoleHandler(entry.Handlers[kHandlerVendorInput], slot, static_cast<ULONG>(nInputID),
                  caps.InputReportByteLength);
  return kHidOk;
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
