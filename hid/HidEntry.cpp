// Collection entries: which collection of a controller takes which role.
#include "hid/HIDWinGet.h"
#include "hid/VendorIds.h"
#include "log/DbgLog.h"

#include <cstring>
#include <cwchar>

namespace {

const char kOp[] = "CHIDWinGet::SetHidColsEntrySimple";

// What tells the vendor input role from the vendor output role.
struct SVendorRole {
  ERoleFlag flag;
  EInfoSlot info;
  EHandlerSlot handler;
  HIDP_REPORT_TYPE reportType;
  USHORT HIDP_CAPS::*pReportByteLength;
  DWORD dwAccess;
  const char* pszAlreadyFound;
  const char* pszWantedIdName;
  const char* pszOpenFailed;
  const char* pszOpened;
};

const SVendorRole kVendorOutputRole = {
    kRoleVendorOutputFound, kInfoVendorOutput, kHandlerVendorOutput, HidP_Output, &HIDP_CAPS::OutputReportByteLength,
    GENERIC_WRITE, "Found vendor output already.", "m_nOutputReportID", "Can't get output handle",
    "device status: Vendor-Output Write ok"};

const SVendorRole kVendorInputRole = {
    kRoleVendorInputFound, kInfoVendorInput, kHandlerVendorInput, HidP_Input, &HIDP_CAPS::InputReportByteLength,
    GENERIC_READ, "Found vendor input already.", "m_nInputReportID",
    "Can't get asynchronous read handle of Vendor input", "device status: Vendor-Input Read ok"};

// The role a collection is a candidate for (null: none), whether its report
// layout fits that role, and the report ID the role asks for.
struct SRoleChoice {
  const SVendorRole* pRole;
  bool bLayoutFits;
  int nWantedID;
};

bool IsVendorCollection(const HIDP_CAPS& caps) {
  return caps.UsagePage == kVendorUsagePage && caps.Usage == kVendorUsage;
}

void TraceReportLayout(const HIDP_CAPS& caps, int nInputID, int nOutputID, int nFeatureID) {
  DbgLogTrace(kOp, __LINE__, "--------------------------------------------------------------------------------");
  DbgLogTrace(kOp, __LINE__, "Output ReportID=%d, OutputReportByteLength=%d", nOutputID, caps.OutputReportByteLength);
  DbgLogTrace(kOp, __LINE__, "Input ReportID=%d, InputReportByteLength=%d", nInputID, caps.InputReportByteLength);
  DbgLogTrace(kOp, __LINE__, "Feature ReportID=%d, FeatureReportByteLength=%d", nFeatureID,
              caps.FeatureReportByteLength);
  DbgLogTrace(kOp, __LINE__, "UsagePage =%04X, Usage = %02X, Feature ReportID  = %d", caps.UsagePage, caps.Usage,
              nFeatureID);
}

// A kind without value capabilities carries no report ID at all, so it never
// matches the ID asked for, not even 0.
SRoleChoice ChooseVendorRole(const HID_DEVICE_INFO& info, bool bOurVendor, int nInputReportID, int nOutputReportID) {
  const HIDP_CAPS& caps = info.Caps;
  const bool bOutputIdMatches =
      caps.NumberOutputValueCaps != 0 && FirstValueReportID(info, HidP_Output) == nOutputReportID;
  if (IsVendorCollection(caps) && bOurVendor && bOutputIdMatches) {
    // Output only, optionally with the output's feature report beside it.
    const bool bFeatureFits =
        FirstValueReportID(info, HidP_Feature) == kOutputFeatureReportID || caps.FeatureReportByteLength == 0;
    return {&kVendorOutputRole, caps.OutputReportByteLength != 0 && caps.InputReportByteLength == 0 && bFeatureFits,
            nOutputReportID};
  }
  if ((IsVendorCollection(caps) && bOurVendor) ||
      (caps.UsagePage == kAltVendorInputUsagePage && caps.Usage == kVendorUsage)) {
    const bool bInputIdMatches =
        caps.NumberInputValueCaps != 0 && FirstValueReportID(info, HidP_Input) == nInputReportID;
    return {&kVendorInputRole, bInputIdMatches && caps.InputReportByteLength != 0 && caps.OutputReportByteLength == 0,
            nInputReportID};
  }
  return {nullptr, false, 0};
}

// 0 when the entry may take the role; 7, traced, when it has the role
// already or the collection's layout does not fit.
int CheckRoleFree(const CHIDCols& entry, const SRoleChoice& choice) {
  if (entry.RoleFlags[choice.pRole->flag]) {
    DbgLogTrace(kOp, __LINE__, "%s", choice.pRole->pszAlreadyFound);
    return kResultNotTaken;
  }
  if (!choice.bLayoutFits) {
    DbgLogTrace(kOp, __LINE__, "Not Vorn specified report format for Vendor input");
    DbgLogTrace(kOp, __LINE__, "%s = %d", choice.pRole->pszWantedIdName, choice.nWantedID);
    return kResultNotTaken;
  }
  return kResultOk;
}

// The role's handler after its information slot was opened: a copy of the
// slot's handle, the report it carries and a fresh event.
void FillRoleHandler(REPORT_HANDLER& handler, const HID_DEVICE_INFO& slot, ULONG nReportID, ULONG nReportByteLength) {
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

void RecordVendorRole(CHIDCols& entry, const SVendorRole& role, const HID_DEVICE_INFO& info) {
  DbgLogTrace(kOp, __LINE__, "%s", role.pszOpened);
  entry.RoleFlags[role.flag] = TRUE;
  FillRoleHandler(entry.Handlers[role.handler], entry.Infos[role.info], FirstValueReportID(info, role.reportType),
                  info.Caps.*role.pReportByteLength);
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
  TraceReportLayout(caps, nInputID, FirstValueReportID(info, HidP_Output), FirstValueReportID(info, HidP_Feature));
  if (caps.UsagePage == kDigitizerUsagePage && caps.Usage == kTouchScreenUsage) return kResultOk;
  const SRoleChoice choice = ChooseVendorRole(info, entry.wVendorID == kVendorId, m_nInputReportID, m_nOutputReportID);
  if (choice.pRole == nullptr) {
    DbgLogTrace(kOp, __LINE__, "UsagePage =%04X, Usage = %02X, ReportID  = %d", caps.UsagePage, caps.Usage, nInputID);
    return kResultOk;
  }
  const int nFree = CheckRoleFree(entry, choice);
  if (nFree != kResultOk) return nFree;
  if (OpenHidDevice(info.DevicePath, entry.Infos[choice.pRole->info], choice.pRole->dwAccess, TRUE) != kResultOk) {
    DbgLogError(kOp, __LINE__, "%s", choice.pRole->pszOpenFailed);
    return kResultFailed;
  }
  RecordVendorRole(entry, *choice.pRole, info);
  return kResultOk;
}
