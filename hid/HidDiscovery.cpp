// Discovery: from the HID interfaces present to the entries of m_listHidCols.
#include "hid/HIDWinGet.h"
#include "hid/HidText.h"
#include "log/DbgLog.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Only interfaces whose path carries the maker word are examined.
const char kMakerWord[] = "vorn";
// Interfaces of composite USB devices; the controller's collections never carry it.
const WCHAR kInterfaceMarker[] = L"&mi_";
constexpr DWORD kEnumFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
// The device array starts with room for 4 + 4 records and grows by 4.
constexpr ULONG kArrayGrowth = 4;
// An enumeration error other than the end of the list skips that index; this
// many in a row end the enumeration, so a set that keeps failing cannot loop.
constexpr int kMaxEnumFailures = 16;

PPHYSICAL_DEVICE_NODE NodeOf(DEVICE_LIST_LINK* pLink) { return reinterpret_cast<PPHYSICAL_DEVICE_NODE>(pLink); }

void Unlink(DEVICE_LIST_LINK* pLink) {
  pLink->Blink->Flink = pLink->Flink;
  pLink->Flink->Blink = pLink->Blink;
}

void LinkAtTail(DEVICE_LIST_LINK& head, DEVICE_LIST_LINK* pLink) {
  pLink->Flink = &head;
  pLink->Blink = head.Blink;
  head.Blink->Flink = pLink;
  head.Blink = pLink;
}

// Grows the zeroed device array to nCapacity records.
bool GrowDeviceArray(PHID_DEVICE_INFO& pDevices, ULONG nOldCapacity, ULONG nCapacity) {
  auto* pGrown = static_cast<PHID_DEVICE_INFO>(realloc(pDevices, nCapacity * sizeof(HID_DEVICE_INFO)));
  if (pGrown == nullptr) return false;
  memset(pGrown + nOldCapacity, 0, (nCapacity - nOldCapacity) * sizeof(HID_DEVICE_INFO));
  pDevices = pGrown;
  return true;
}

}  // namespace

int CHIDWinGet::GetDeviceHandle(int nVid, int nPid) {
  static const char kOp[] = "CHIDWinGet::GetDeviceHandle";
  m_KeptTransfers.Sweep();  // a new connection: what has ended since goes
  // Each step runs on whatever the previous one left; only the entries count.
  GetAllHidDeviceList();
  FindSupportDevice(LOWORD(nVid), LOWORD(nPid));
  FilterTouchPadCols();
  const int nCount = GetDeviceCount();
  if (nCount <= 0) {
    DbgLogError(kOp, __LINE__, "Device is not connected.");
    return kResultNotConnected;
  }
  if (nCount > 1) DbgLogTrace(kOp, __LINE__, "Device count = %d", nCount);
  DbgLogTrace(kOp, __LINE__, "=========================================================");
  DbgLogTrace(kOp, __LINE__, "Supported Device Count. = %d.", nCount);
  return kResultOk;
}

int CHIDWinGet::GetAllHidDeviceList() {
  static const char kOp[] = "CHIDWinGet::GetAllHidDeviceList";
  ReleasePhysicalList();
  PHID_DEVICE_INFO pDevices = nullptr;
  ULONG nCount = 0;
  int nResult = FindKnownHidDevices(&pDevices, &nCount);
  if (nResult != kResultOk) return nResult;
  for (ULONG i = 0; i < nCount; ++i) {
    auto* pNode = static_cast<PPHYSICAL_DEVICE_NODE>(calloc(1, sizeof(PHYSICAL_DEVICE_NODE)));
    if (pNode == nullptr) {
      FreePhysicalNodes(true);
      ReleaseDeviceArray(pDevices, i, nCount);
      free(pDevices);
      return DbgLogError(kOp, __LINE__, "Allocate momory for listNode failure");
    }
    pNode->Info = pDevices[i];
    pNode->hNotify = nullptr;
    pNode->bDeviceOpened = TRUE;
    const CAsciiPath path(pNode->Info.DevicePath);
    if (!path.Contains(kMakerWord)) {
      CloseHidDevice(pNode->Info);
      free(pNode);
      continue;
    }
    if (CloseHandle(pNode->Info.hHidDevice)) {
      pNode->Info.hHidDevice = INVALID_HANDLE_VALUE;
      pNode->bDeviceOpened = FALSE;
      DbgLogTrace(kOp, __LINE__, "Close device handle only.");
    } else {
      nResult = DbgLogError(kOp, __LINE__, "CloseHandle only fail !!");
    }
    LinkAtTail(m_PhysicalDevList, &pNode->Link);
    DbgLogTrace(kOp, __LINE__, "%s", path.c_str());
  }
  free(pDevices);
  return nResult;
}

int CHIDWinGet::FindKnownHidDevices(PHID_DEVICE_INFO* ppDevices, ULONG* pnCount) {
  static const char kOp[] = "CHIDWinGet::FindKnownHidDevices";
  GUID hidGuid;
  HidD_GetHidGuid(&hidGuid);
  *ppDevices = nullptr;
  *pnCount = 0;
  HDEVINFO hDevInfo = SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, kEnumFlags);
  if (hDevInfo == INVALID_HANDLE_VALUE) return DbgLogError(kOp, __LINE__, "SetupDiGetClassDevs failure");
  PHID_DEVICE_INFO pDevices = nullptr;
  ULONG nKept = 0;
  const int nResult = EnumerateInterfaces(hDevInfo, hidGuid, pDevices, nKept);
  SetupDiDestroyDeviceInfoList(hDevInfo);
  if (nResult != kResultOk) {
    // The records opened so far go with the failed enumeration.
    ReleaseDeviceArray(pDevices, 0, nKept);
    free(pDevices);
    return nResult;
  }
  *ppDevices = pDevices;
  *pnCount = nKept;
  return kResultOk;
}

// Opens every interface of the set whose path carries the maker word into
// the growing array; nKept counts the records opened.
int CHIDWinGet::EnumerateInterfaces(HDEVINFO hDevInfo, const GUID& hidGuid, PHID_DEVICE_INFO& pDevices,
                                    ULONG& nKept) {
  static const char kOp[] = "CHIDWinGet::FindKnownHidDevices";
  ULONG nCapacity = kArrayGrowth;
  DWORD dwIndex = 0;
  int nFailuresInRow = 0;
  for (;;) {
    const ULONG nOldCapacity = pDevices ? nCapacity : 0;
    nCapacity += kArrayGrowth;
    if (!GrowDeviceArray(pDevices, nOldCapacity, nCapacity))
      return DbgLogError(kOp, __LINE__, "Allocate momory for HidDevices failure");
    for (; dwIndex < nCapacity; ++dwIndex) {
      SP_DEVICE_INTERFACE_DATA interfaceData;
      memset(&interfaceData, 0, sizeof(interfaceData));
      interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
      if (!SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &hidGuid, dwIndex, &interfaceData)) {
        const DWORD dwError = GetLastError();
        if (dwError != ERROR_NO_MORE_ITEMS) {
          DbgLogTrace(kOp, __LINE__, "SetupDiEnumDeviceInterfaces failure, index = %u, error = %u",
                      static_cast<unsigned>(dwIndex), static_cast<unsigned>(dwError));
          if (++nFailuresInRow < kMaxEnumFailures) continue;
        }
        DbgLogTrace(kOp, __LINE__, "Total %d HID devices found.", static_cast<int>(nKept));
        return kResultOk;
      }
      nFailuresInRow = 0;
      const int nResult = ExamineInterface(hDevInfo, interfaceData, pDevices[nKept], nKept);
      if (nResult != kResultOk) return nResult;
    }
  }
}

// Reads one interface's path and, when it carries the maker word, opens it
// into `device` for attribute queries.
int CHIDWinGet::ExamineInterface(HDEVINFO hDevInfo, SP_DEVICE_INTERFACE_DATA& interfaceData,
                                 HID_DEVICE_INFO& device, ULONG& nKept) {
  static const char kOp[] = "CHIDWinGet::FindKnownHidDevices";
  DWORD dwRequired = 0;
  SetupDiGetDeviceInterfaceDetailW(hDevInfo, &interfaceData, nullptr, 0, &dwRequired, nullptr);
  // Never smaller than the fixed part, which is written before the query.
  const size_t nAlloc = dwRequired > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                            ? dwRequired
                            : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  auto* pDetail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(calloc(1, nAlloc));
  if (pDetail == nullptr) return DbgLogError(kOp, __LINE__, "Allocate momory for functionClassDeviceData failure");
  pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  pDetail->DevicePath[0] = L'\0';
  if (!SetupDiGetDeviceInterfaceDetailW(hDevInfo, &interfaceData, pDetail, dwRequired, nullptr, nullptr)) {
    // An interface that went away since the set was taken (a device
    // unplugged during the enumeration) is skipped; the others still count.
    free(pDetail);
    DbgLogError(kOp, __LINE__, "SetupDiGetDeviceInterfaceDetail failure");
    return kResultOk;
  }
  const CAsciiPath path(pDetail->DevicePath);
  if (!path.Contains(kMakerWord)) {
    DbgLogTrace(kOp, __LINE__, "Can't find vorn in device path = %s", path.c_str());
  } else if (OpenHidDevice(pDetail->DevicePath, device, 0, FALSE) == kResultOk) {
    ++nKept;
  } else {
    DbgLogTrace(kOp, __LINE__, "OpenHidDevice failure, device path = %s", path.c_str());
  }
  free(pDetail);
  return kResultOk;
}

int CHIDWinGet::OpenHidDevice(PCWSTR pszDevicePath, HID_DEVICE_INFO& info, DWORD dwAccess, BOOL bOverlapped) {
  static const char kOp[] = "CHIDWinGet::OpenHidDevice";
  DbgLogTrace(kOp, __LINE__, "OpenHidDevice");
  if (pszDevicePath == nullptr) return DbgLogError(kOp, __LINE__, "DevicePath did not contain valid pointer(NULL) ");
  ReleaseHidDeviceInfo(info);
  memset(&info, 0, sizeof(info));
  info.hHidDevice = INVALID_HANDLE_VALUE;
  const size_t nChars = wcslen(pszDevicePath) + 1;
  info.DevicePath = static_cast<PWCHAR>(malloc(nChars * sizeof(WCHAR)));
  if (info.DevicePath == nullptr) return DbgLogError(kOp, __LINE__, "Memory was not allocated.");
  wmemcpy(info.DevicePath, pszDevicePath, nChars);
  DbgLogTrace(kOp, __LINE__, "%s", CAsciiPath(pszDevicePath).c_str());
  const DWORD dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  info.hHidDevice = CreateFileW(pszDevicePath, dwAccess, dwShare, nullptr, OPEN_EXISTING, 0, nullptr);
  if (info.hHidDevice == INVALID_HANDLE_VALUE) {
    ReleaseHidDeviceInfo(info);
    return DbgLogError(kOp, __LINE__, "Can't get valid device handle");
  }
  DbgLogTrace(kOp, __LINE__, "CreateFile Success. Get valid hHidDevice handle.");
  ++m_iOpenHidDevCnt;
  DbgLogTrace(kOp, __LINE__, "m_iOpenHidDevCnt = %d, m_iCloseHidDevCnt = %d", m_iOpenHidDevCnt, m_iCloseHidDevCnt);
  info.bReadAccess = (dwAccess & GENERIC_READ) != 0;
  info.bWriteAccess = (dwAccess & GENERIC_WRITE) != 0;
  info.bOverlapped = bOverlapped;
  info.bExclusive = FALSE;
  // These early failures release the record without counting a close.
  if (!HidD_GetPreparsedData(info.hHidDevice, &info.pPreparsedData)) {
    info.pPreparsedData = nullptr;
    return ReleaseOpenedDevice(info, __LINE__, "Close handle. Can't Get Preparsed Data");
  }
  if (!HidD_GetAttributes(info.hHidDevice, &info.Attributes))
    return ReleaseOpenedDevice(info, __LINE__, "Close handle. Can't Get Attributes. ");
  if (HidP_GetCaps(info.pPreparsedData, &info.Caps) != HIDP_STATUS_SUCCESS)
    return ReleaseOpenedDevice(info, __LINE__, "Close handle. Can't Get Caps");
  if (!FillDeviceInfo(info)) {
    CloseHidDevice(info);
    return DbgLogError(kOp, __LINE__, "Close handle. FillDeviceInfo Failure");
  }
  if (bOverlapped) {
    CloseHandle(info.hHidDevice);
    info.hHidDevice = CreateFileW(pszDevicePath, dwAccess, dwShare, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                  nullptr);
    if (info.hHidDevice == INVALID_HANDLE_VALUE) {
      CloseHidDevice(info);
      return DbgLogError(kOp, __LINE__, "Close handle. Open Overlapped Hid Device Failure");
    }
  }
  return kResultOk;
}

int CHIDWinGet::ReleaseOpenedDevice(HID_DEVICE_INFO& info, int nLine, const char* pszMessage) {
  ReleaseHidDeviceInfo(info);
  return DbgLogError("CHIDWinGet::OpenHidDevice", nLine, "%s", pszMessage);
}

void CHIDWinGet::CloseHidDevice(HID_DEVICE_INFO& info) {
  static const char kOp[] = "CHIDWinGet::CloseHidDevice";
  ++m_iCloseHidDevCnt;
  DbgLogTrace(kOp, __LINE__, "CloseHidDevice, %s", CAsciiPath(info.DevicePath).c_str());
  DbgLogTrace(kOp, __LINE__, "m_iOpenHidDevCnt = %d, m_iCloseHidDevCnt = %d", m_iOpenHidDevCnt, m_iCloseHidDevCnt);
  ReleaseHidDeviceInfo(info);
}

void CHIDWinGet::ReleaseDeviceArray(PHID_DEVICE_INFO pDevices, ULONG nFrom, ULONG nCount) {
  for (ULONG i = nFrom; i < nCount; ++i) CloseHidDevice(pDevices[i]);
}

// Empties the physical list. bCountClose releases each node's record with
// CloseHidDevice; otherwise quietly (nodes a failed filter left behind).
void CHIDWinGet::FreePhysicalNodes(bool bCountClose) {
  while (m_PhysicalDevList.Flink != &m_PhysicalDevList) {
    PPHYSICAL_DEVICE_NODE pNode = NodeOf(m_PhysicalDevList.Flink);
    Unlink(&pNode->Link);
    if (bCountClose)
      CloseHidDevice(pNode->Info);
    else
      ReleaseHidDeviceInfo(pNode->Info);
    if (pNode->hNotify != nullptr) UnregisterDeviceNotification(pNode->hNotify);
    free(pNode);
  }
}

void CHIDWinGet::ReleasePhysicalList() { FreePhysicalNodes(false); }

void CHIDWinGet::RemoveNode(PPHYSICAL_DEVICE_NODE pNode) {
  Unlink(&pNode->Link);
  CloseHidDevice(pNode->Info);
  if (pNode->hNotify != nullptr) UnregisterDeviceNotification(pNode->hNotify);
  free(pNode);
}

int CHIDWinGet::FindSupportDevice(USHORT wVid, USHORT wPid) {
  static const char kOp[] = "CHIDWinGet::FindSupportDevice";
  m_nSupportDevCnt = 0;
  if (m_PhysicalDevList.Flink == &m_PhysicalDevList)
    return DbgLogError(kOp, __LINE__, "No any HID device in physical device list");
  DEVICE_LIST_LINK* const pLast = m_PhysicalDevList.Blink;
  DEVICE_LIST_LINK* pNext = m_PhysicalDevList.Flink;
  for (bool bDone = false; !bDone;) {
    PPHYSICAL_DEVICE_NODE pNode = NodeOf(pNext);
    bDone = pNext == pLast;
    pNext = pNext->Flink;
    const HIDD_ATTRIBUTES& attributes = pNode->Info.Attributes;
    const CAsciiPath path(pNode->Info.DevicePath);
    if (wVid != 0 && attributes.VendorID != wVid) {
      DbgLogTrace(kOp, __LINE__, "CloseHidDevice, Not vendorID %04X != %04X, %s", wVid, attributes.VendorID,
                  path.c_str());
      RemoveNode(pNode);
    } else if (wPid != 0 && attributes.ProductID != wPid) {
      DbgLogTrace(kOp, __LINE__, "CloseHidDevice, Not ProductID %04X != %04X, %s", wPid, attributes.ProductID,
                  path.c_str());
      RemoveNode(pNode);
    } else if (pNode->Info.DevicePath != nullptr && wcsstr(pNode->Info.DevicePath, kInterfaceMarker) != nullptr) {
      DbgLogTrace(kOp, __LINE__, "CloseHidDevice, mi searched, %s", path.c_str());
      RemoveNode(pNode);
    } else {
      ++m_nSupportDevCnt;
    }
  }
  if (m_nSupportDevCnt == 0) {
    DbgLogTrace(kOp, __LINE__, "No any support device found.");
    return kResultNoSupportDevice;
  }
  return kResultOk;
}

int CHIDWinGet::ParsePairNum(PCWSTR pszDevicePath, WCHAR (&szPairNum)[kPathChars]) {
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

PPHYSICAL_DEVICE_NODE CHIDWinGet::GetEntryFromPhysicalList(int nIndex) {
  static const char kOp[] = "CHIDWinGet::GetEntryFromPhysicalList";
  if (m_PhysicalDevList.Flink == &m_PhysicalDevList) {
    DbgLogError(kOp, __LINE__, "No any HID device");
    return nullptr;
  }
  DEVICE_LIST_LINK* pLink = m_PhysicalDevList.Flink;
  for (int i = 0; i < nIndex && pLink != &m_PhysicalDevList; ++i) pLink = pLink->Flink;
  if (nIndex < 0 || pLink == &m_PhysicalDevList) {
    DbgLogTrace(kOp, __LINE__, "Did not find specified HID device by the index");
    return nullptr;
  }
  return NodeOf(pLink);
}

int CHIDWinGet::FilterTouchPadCols() {
  static const char kOp[] = "CHIDWinGet::FilterTouchPadCols";
  if (!m_listHidCols.empty()) {
    DbgLogTrace(kOp, __LINE__, "Current Vorn hid device count = %d ?? Why ??", GetDeviceCount());
    m_listHidCols.clear();
  }
  WCHAR szPairNum[kPathChars];
  memset(szPairNum, 0, sizeof(szPairNum));
  std::vector<std::wstring> screenDevices;  // element i: the device of entry i's touch screen
  if (!CollectTouchScreens(szPairNum, screenDevices)) return kResultFailed;
  if (m_listHidCols.empty()) {
    DbgLogError(kOp, __LINE__, "No Touch screen is exist !!!");
    return kResultFailed;
  }
  m_nMatchedColsCnt = 0;
  DEVICE_LIST_LINK* pLink = nullptr;
  for (int i = 0; i < m_nSupportDevCnt; ++i) {
    PPHYSICAL_DEVICE_NODE pNode = StepPhysicalList(i, pLink);
    if (pNode == nullptr) return kResultFailed;
    if (CHIDCols* pEntry = MatchEntry(pNode->Info.DevicePath, screenDevices)) {
      SetHidColsEntrySimple(pNode->Info, *pEntry);
      ++m_nMatchedColsCnt;
    }
    CloseHidDevice(pNode->Info);
  }
  return kResultOk;
}

// First pass: one entry per touch-screen collection. False when the walk fails.
bool CHIDWinGet::CollectTouchScreens(WCHAR (&szPairNum)[kPathChars], std::vector<std::wstring>& screenDevices) {
  static const char kOp[] = "CHIDWinGet::FilterTouchPadCols";
  DEVICE_LIST_LINK* pLink = nullptr;
  for (int i = 0; i < m_nSupportDevCnt; ++i) {
    PPHYSICAL_DEVICE_NODE pNode = StepPhysicalList(i, pLink);
    if (pNode == nullptr) return false;
    const HIDP_CAPS& caps = pNode->Info.Caps;
    if (caps.UsagePage != kDigitizerUsagePage) continue;
    if (caps.Usage == kTouchPadUsage) {
      DbgLogTrace(kOp, __LINE__, "!! Vorn Touch Pad UsagePage =%04X, Usage = %02X", caps.UsagePage, caps.Usage);
      ParsePairNum(pNode->Info.DevicePath, szPairNum);
    } else if (caps.Usage == kTouchScreenUsage) {
      DbgLogTrace(kOp, __LINE__, "!! Vorn Touch screen UsagePage =%04X, Usage = %02X", caps.UsagePage, caps.Usage);
      if (ParsePairNum(pNode->Info.DevicePath, szPairNum) == kResultPairNumTooLong) continue;
      m_listHidCols.emplace_back();
      screenDevices.push_back(DevicePartOf(pNode->Info.DevicePath));
      SetHidColsEntrySimple(pNode->Info, m_listHidCols.back());
    }
  }
  return true;
}

CHIDCols* CHIDWinGet::FindEntryByPair(const WCHAR* pszPairNum) {
  for (CHIDCols& entry : m_listHidCols)
    if (wcscmp(entry.PairNum, pszPairNum) == 0) return &entry;
  return nullptr;
}

// GetEntryFromPhysicalList for a loop over the indices 0, 1, 2, ...: pLink is
// the link of the previous index (null before index 0), so the loop costs one
// step per entry instead of a walk from the head each time. Past the end, the
// lookup from the head gives the same answer and trace as before.
PPHYSICAL_DEVICE_NODE CHIDWinGet::StepPhysicalList(int nIndex, DEVICE_LIST_LINK*& pLink) {
  if (pLink != nullptr && pLink->Flink != &m_PhysicalDevList) {
    pLink = pLink->Flink;
    return NodeOf(pLink);
  }
  PPHYSICAL_DEVICE_NODE pNode = GetEntryFromPhysicalList(nIndex);
  pLink = pNode != nullptr ? &pNode->Link : nullptr;
  return pNode;
}

// The entry a collection belongs to. A path with a pair number is matched by
// that number only. A path without one (Wine's HID paths carry none) belongs
// to the entry whose touch screen is a collection of the same device; a
// collection of any other device is left alone, so that a device of the
// vendor plugged beside the controller never takes one of its roles.
CHIDCols* CHIDWinGet::MatchEntry(PCWSTR pszDevicePath, const std::vector<std::wstring>& screenDevices) {
  static const char kOp[] = "CHIDWinGet::FilterTouchPadCols";
  WCHAR szPairNum[kPathChars];
  memset(szPairNum, 0, sizeof(szPairNum));
  const int nPairResult = ParsePairNum(pszDevicePath, szPairNum);
  if (nPairResult == kResultPairNumTooLong) return nullptr;
  if (nPairResult == kResultOk) return FindEntryByPair(szPairNum);
  const std::wstring device = DevicePartOf(pszDevicePath);
  if (!device.empty()) {
    auto itDevice = screenDevices.begin();
    for (CHIDCols& entry : m_listHidCols) {
      if (itDevice != screenDevices.end() && SamePathText(*itDevice, device)) return &entry;
      if (itDevice != screenDevices.end()) ++itDevice;
    }
  }
  DbgLogTrace(kOp, __LINE__, "No pair number and no touch screen of its device, collection left alone: %s",
              CAsciiPath(pszDevicePath).c_str());
  return nullptr;
}
