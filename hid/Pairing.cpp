#include "hid/Pairing.h"

#include "hid/HidText.h"
#include "log/DbgLog.h"

#include <cstring>
#include <cwchar>

namespace {

const char kFilterOp[] = "CHIDWinGet::FilterTouchPadCols";

CHIDCols* EntryWithPair(std::list<CHIDCols>& entries, const WCHAR* pszPairNum) {
  for (CHIDCols& entry : entries)
    if (wcscmp(entry.PairNum, pszPairNum) == 0) return &entry;
  return nullptr;
}

}  // namespace

int ParsePairNumber(PCWSTR pszDevicePath, WCHAR (&szPairNum)[kPathChars]) {
  static const char kOp[] = "CHIDWinGet::ParsePairNum";
  const WCHAR* p1 = pszDevicePath ? wcschr(pszDevicePath, L'#') : nullptr;
  const WCHAR* p2 = p1 ? wcschr(p1 + 1, L'#') : nullptr;
  const WCHAR* p3 = p2 ? wcschr(p2 + 1, L'&') : nullptr;
  const WCHAR* p4 = p3 ? wcschr(p3 + 1, L'&') : nullptr;
  if (p4 == nullptr) return DbgLogError(kOp, __LINE__, "Did not find pair number");
  const size_t nChars = static_cast<size_t>(p4 - p3 - 1);
  if (nChars >= kPathChars) {
    DbgLogTrace(kOp, __LINE__, "Pair number too long (%d characters), collection refused", static_cast<int>(nChars));
    return kResultPairNumTooLong;
  }
  wmemcpy(szPairNum, p3 + 1, nChars);
  szPairNum[nChars] = L'\0';
  return kResultOk;
}

CEntryPairing::CEntryPairing() { memset(m_szPairNum, 0, sizeof(m_szPairNum)); }

bool CEntryPairing::MakesEntry(const HID_DEVICE_INFO& info) {
  const HIDP_CAPS& caps = info.Caps;
  if (caps.UsagePage != kDigitizerUsagePage) return false;
  if (caps.Usage == kTouchPadUsage) {
    DbgLogTrace(kFilterOp, __LINE__, "!! Vorn Touch Pad UsagePage =%04X, Usage = %02X", caps.UsagePage, caps.Usage);
    ParsePairNumber(info.DevicePath, m_szPairNum);
    return false;
  }
  if (caps.Usage != kTouchScreenUsage) return false;
  DbgLogTrace(kFilterOp, __LINE__, "!! Vorn Touch screen UsagePage =%04X, Usage = %02X", caps.UsagePage, caps.Usage);
  if (ParsePairNumber(info.DevicePath, m_szPairNum) == kResultPairNumTooLong) return false;
  m_screenDevices.push_back(DevicePartOf(info.DevicePath));
  return true;
}

CHIDCols* CEntryPairing::EntryOf(std::list<CHIDCols>& entries, PCWSTR pszDevicePath) const {
  WCHAR szPairNum[kPathChars];
  memset(szPairNum, 0, sizeof(szPairNum));
  const int nPairResult = ParsePairNumber(pszDevicePath, szPairNum);
  if (nPairResult == kResultPairNumTooLong) return nullptr;
  if (nPairResult == kResultOk) return EntryWithPair(entries, szPairNum);
  const std::wstring device = DevicePartOf(pszDevicePath);
  if (!device.empty()) {
    auto itDevice = m_screenDevices.begin();
    for (CHIDCols& entry : entries) {
      if (itDevice == m_screenDevices.end()) break;
      if (SamePathText(*itDevice, device)) return &entry;
      ++itDevice;
    }
  }
  DbgLogTrace(kFilterOp, __LINE__, "No pair number and no touch screen of its device, collection left alone: %s",
              CAsciiPath(pszDevicePath).c_str());
  return nullptr;
}
