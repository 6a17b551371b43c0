// Report profiles of an entry's touch-screen, active-pen and vendor-defined
// collections, built from the HID parser's capability data.
#include "hid/HIDWinGet.h"
#include "log/DbgLog.h"

#include <cstring>

namespace {

constexpr USHORT kDesktopPage = 0x01;
constexpr USHORT kUsageX = 0x30;
constexpr USHORT kUsageY = 0x31;
constexpr USHORT kUsageTipSwitch = 0x42;
constexpr USHORT kUsageBarrelSwitch = 0x44;
constexpr USHORT kUsageEraser = 0x45;
constexpr USHORT kUsageInvert = 0x3C;
constexpr USHORT kUsageInRange = 0x32;
constexpr USHORT kUsageTipPressure = 0x30;
constexpr USHORT kUsageBattery = 0x3B;
constexpr USHORT kUsageXTilt = 0x3D;
constexpr USHORT kUsageYTilt = 0x3E;
constexpr USHORT kUsageAzimuth = 0x3F;
constexpr USHORT kUsageWidth = 0x48;
constexpr USHORT kUsageHeight = 0x49;
constexpr USHORT kUsageContactId = 0x51;
constexpr USHORT kUsageContactCount = 0x54;
constexpr USHORT kUsageContactMax = 0x55;
constexpr USHORT kUsageScanTime = 0x56;
constexpr USHORT kUsageVendorBits = 0x01;
constexpr USHORT kUsageVendor80 = 0x80;
constexpr USHORT kUsageLineTest = 0x05;
// Every contact of a finger report takes this many bytes on the wire.
constexpr ULONG kBytesPerContact = 11;

// The data index of `usage` in a capability, or false when the capability
// does not carry it. Ranges count their data indices along their usages.
template <class Caps>
bool CapCarries(const Caps& cap, USHORT nPage, USHORT nUsage, ULONG* pnDataIndex) {
  if (cap.UsagePage != nPage) return false;
  if (!cap.IsRange) {
    *pnDataIndex = cap.NotRange.DataIndex;
    return cap.NotRange.Usage == nUsage;
  }
  if (nUsage < cap.Range.UsageMin || nUsage > cap.Range.UsageMax) return false;
  *pnDataIndex = static_cast<ULONG>(cap.Range.DataIndexMin + (nUsage - cap.Range.UsageMin));
  return true;
}

// Fills `desc` from the last value capability carrying the usage; false when none does.
bool ScanValue(const HIDP_VALUE_CAPS* pCaps, USHORT nCount, USHORT nPage, USHORT nUsage, VALUE_DESC& desc,
               bool bMarkPresent) {
  bool bFound = false;
  for (USHORT i = 0; pCaps != nullptr && i < nCount; ++i) {
    ULONG nDataIndex = 0;
    if (!CapCarries(pCaps[i], nPage, nUsage, &nDataIndex)) continue;
    desc.bPresent = bMarkPresent ? 1 : desc.bPresent;
    desc.LogicalMax = pCaps[i].LogicalMax;
    desc.DataIndex = nDataIndex;
    desc.Usage = nUsage;
    desc.UsagePage = nPage;
    desc.ReportCount = pCaps[i].ReportCount;
    desc.BitSize = pCaps[i].BitSize;
    bFound = true;
  }
  return bFound;
}

bool ScanButton(const HIDP_BUTTON_CAPS* pCaps, USHORT nCount, USHORT nPage, USHORT nUsage, BUTTON_DESC& desc) {
  bool bFound = false;
  for (USHORT i = 0; pCaps != nullptr && i < nCount; ++i) {
    ULONG nDataIndex = 0;
    if (!CapCarries(pCaps[i], nPage, nUsage, &nDataIndex)) continue;
    desc.DataIndex = nDataIndex;
    desc.Usage = nUsage;
    desc.UsagePage = nPage;
    bFound = true;
  }
  return bFound;
}

bool ScanInputValue(const HID_DEVICE_INFO& info, USHORT nPage, USHORT nUsage, VALUE_DESC& desc, bool bPresent) {
  return ScanValue(info.pInValueCaps, info.Caps.NumberInputValueCaps, nPage, nUsage, desc, bPresent);
}

void ScanFingerValues(const HID_DEVICE_INFO& info, FINGER_PROFILE& finger) {
  ScanInputValue(info, kDigitizerUsagePage, kUsageContactId, finger.ContactId, true);
  ScanInputValue(info, kDigitizerUsagePage, kUsageWidth, finger.Width, true);
  ScanInputValue(info, kDigitizerUsagePage, kUsageHeight, finger.Height, true);
  ScanInputValue(info, kDesktopPage, kUsageX, finger.X, true);
  ScanInputValue(info, kDesktopPage, kUsageY, finger.Y, true);
  ScanInputValue(info, kDigitizerUsagePage, kUsageScanTime, finger.ScanTime, true);
  ScanInputValue(info, kDigitizerUsagePage, kUsageContactCount, finger.ContactCount, true);
}

// Every field comes from this collection alone: a record that is filled
// again keeps nothing of an earlier fill.
void FillFingerProfile(const HID_DEVICE_INFO& info, FINGER_PROFILE& finger) {
  memset(&finger, 0, sizeof(finger));
  const USHORT nButtonCaps = info.Caps.NumberInputButtonCaps;
  finger.ReportLengthEstimate = 1 + kBytesPerContact * nButtonCaps;
  finger.ReportID = FirstValueReportID(info, HidP_Input);
  finger.InputReportLength = info.Caps.InputReportByteLength;
  finger.BytesPerContact = kBytesPerContact;
  finger.ButtonCapsCount = nButtonCaps;
  BUTTON_DESC tip = {};
  if (ScanButton(info.pInButtonCaps, nButtonCaps, kDigitizerUsagePage, kUsageTipSwitch, tip))
    finger.TipIndex = tip.DataIndex;
  ScanFingerValues(info, finger);
  VALUE_DESC contactMax = {};
  const bool bContactMax = ScanValue(info.pFeatValueCaps, info.Caps.NumberFeatureValueCaps, kDigitizerUsagePage,
                                     kUsageContactMax, contactMax, true);
  finger.MaxContacts = bContactMax ? contactMax.LogicalMax : static_cast<LONG>(nButtonCaps);
  finger.XMax = finger.X.LogicalMax;
  finger.YMax = finger.Y.LogicalMax;
  finger.XBytes = finger.X.BitSize / 8;
  finger.ScanTimeBits = finger.ScanTime.BitSize;
  finger.ScanTimeBytes = finger.ScanTime.ReportCount * ((finger.ScanTime.BitSize + 7) / 8);
  finger.WidthBits = finger.Width.BitSize;
  finger.XIndex = finger.X.DataIndex;
  finger.YIndex = finger.Y.DataIndex;
  finger.ContactIdIndex = finger.ContactId.DataIndex;
  finger.HeightIndex = finger.Height.DataIndex;
  finger.WidthIndex = finger.Width.DataIndex;
  finger.ScanTimeIndex = finger.ScanTime.DataIndex;
  finger.ContactCountIndex = finger.ContactCount.DataIndex;
}

// The index and the roles of the entry a profile describes.
void SetProfileRoles(const CHIDCols& entry, int nDevIdx, DEV_PROFILE& profile) {
  profile.bValid = 1;
  profile.DevIdx = static_cast<ULONG>(nDevIdx);
  profile.bTouchScreen = entry.RoleFlags[kRoleTouchScreen] ? 1 : 0;
  profile.bActivePen = entry.RoleFlags[kRoleActivePen] ? 1 : 0;
  profile.bVendorDefined = entry.RoleFlags[kRoleVendorDefined] ? 1 : 0;
  profile.bBidirectionalB = entry.RoleFlags[kRoleBidirectionalB] ? 1 : 0;
  profile.bPenFeature = entry.RoleFlags[kRolePenFeature] ? 1 : 0;
}

}  // namespace

ULONG CHIDWinGet::GetDevFingerProfile(const CHIDCols& entry, DEV_PROFILE& profile) {
  ULONG nCount = 0;
  for (const PHID_DEVICE_INFO pInfo : entry.TouchScreenInfos) {
    if (nCount == kMaxFingerProfiles) break;
    if (pInfo == nullptr) continue;
    FillFingerProfile(*pInfo, profile.Fingers[nCount++]);
  }
  return nCount;
}

void CHIDWinGet::GetDevActivePenProfile(const CHIDCols& entry, PEN_PROFILE& pen) {
  memset(&pen, 0, sizeof(pen));
  const HID_DEVICE_INFO& info = entry.Infos[kInfoActivePen];
  pen.ReportID = FirstValueReportID(info, HidP_Input);
  pen.InputReportLength = info.Caps.InputReportByteLength;
  const struct {
    USHORT nUsage;
    BUTTON_DESC& desc;
  } buttons[] = {{kUsageTipSwitch, pen.TipSwitch}, {kUsageBarrelSwitch, pen.BarrelSwitch},
                 {kUsageEraser, pen.Eraser},       {kUsageInvert, pen.Invert},
                 {kUsageInRange, pen.InRange}};
  for (const auto& button : buttons)
    ScanButton(info.pInButtonCaps, info.Caps.NumberInputButtonCaps, kDigitizerUsagePage, button.nUsage, button.desc);
  ScanInputValue(info, kDesktopPage, kUsageX, pen.X, true);
  ScanInputValue(info, kDesktopPage, kUsageY, pen.Y, true);
  ScanInputValue(info, kDigitizerUsagePage, kUsageTipPressure, pen.TipPressure, true);
  ScanInputValue(info, kDigitizerUsagePage, kUsageBattery, pen.BatteryStrength, true);
  ScanInputValue(info, kVendorUsagePage, kUsageVendorBits, pen.Vendor01, true);
  ScanInputValue(info, kVendorUsagePage, kUsageVendor80, pen.Vendor80, true);
  // The orientation descriptors carry no present flag; a usage of 0 says they are absent.
  ScanInputValue(info, kDigitizerUsagePage, kUsageXTilt, pen.XTilt, false);
  ScanInputValue(info, kDigitizerUsagePage, kUsageYTilt, pen.YTilt, false);
  ScanInputValue(info, kDigitizerUsagePage, kUsageAzimuth, pen.Azimuth, false);
}

void CHIDWinGet::GetDevLineTestProfile(const CHIDCols& entry, LINE_TEST_PROFILE& lineTest) {
  memset(&lineTest, 0, sizeof(lineTest));
  const HID_DEVICE_INFO& info = entry.Infos[kInfoVendorDefined];
  lineTest.ReportID = FirstValueReportID(info, HidP_Input);
  lineTest.InputReportLength = info.Caps.InputReportByteLength;
  ScanInputValue(info, kVendorUsagePage, kUsageLineTest, lineTest.LineTest, false);
}

int CHIDWinGet::GetDevProfile(DEV_PROFILE* pProfile, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::GetDevProfile";
  if (pProfile == nullptr) return DbgLogError(kOp, __LINE__, "Parameters Error : pProfile = NULL");
  memset(pProfile, 0, sizeof(*pProfile));
  const CHIDCols* pEntry = EntryAt(m_listHidCols, nDevIdx);
  if (pEntry == nullptr) return DbgLogError(kOp, __LINE__, "Error Parameters - DevIdx is not exist");
  m_bProfileValid = FALSE;
  SetProfileRoles(*pEntry, nDevIdx, *pProfile);
  if (pProfile->bTouchScreen) pProfile->FingerCount = GetDevFingerProfile(*pEntry, *pProfile);
  if (pProfile->bActivePen) GetDevActivePenProfile(*pEntry, pProfile->Pen);
  if (pProfile->bVendorDefined) GetDevLineTestProfile(*pEntry, pProfile->LineTest);
  m_ProfileCopy = *pProfile;
  m_bProfileValid = TRUE;
  return kResultOk;
}

int CHIDWinGet::SetDevProfile(DEV_PROFILE* pProfile, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::SetDevProfile";
  if (pProfile == nullptr) return DbgLogError(kOp, __LINE__, "Parameters Error : pProfile = NULL");
  const CHIDCols* pEntry = EntryAt(m_listHidCols, nDevIdx);
  if (pEntry == nullptr) return DbgLogError(kOp, __LINE__, "Error Parameters - DevIdx is not exist");
  SetProfileRoles(*pEntry, nDevIdx, *pProfile);
  if (pProfile->bTouchScreen) pProfile->FingerCount = GetDevFingerProfile(*pEntry, *pProfile);
  if (pProfile->bActivePen) GetDevActivePenProfile(*pEntry, pProfile->Pen);
  return kResultOk;
}
