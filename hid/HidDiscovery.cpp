// Discovery: from the HID interfaces present to the entries of m_listHidCols.
#include "hid/DeviceList.h"
#include "hid/HIDWinGet.h"
#include "hid/HidText.h"
#include "hid/InterfaceWalk.h"
#include "hid/Pairing.h"
#include "log/DbgLog.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Interfaces of composite USB devices; the controller's collections never carry it.
const WCHAR kInterfaceMarker[] = L"&mi_";
// The device array starts with room for 4 + 4 records and grows by 4.
constexpr ULONG kArrayGrowth = 4;

// Grows the zeroed device array by kArrayGrowth records.
bool GrowDeviceArray(PHID_DEVICE_INFO& pDevices, ULONG& nCapacity) {
  const ULONG nOldCapacity = pDevices ? nCapacity : 0;
  nCapacity += kArrayGrowth;
  auto* pGrown = static_cast<PHID_DEVICE_INFO>(realloc(pDevices, nCapacity * sizeof(HID_DEVICE_INFO)));
  if (pGrown == nullptr) return false;
  memset(pGrown + nOldCapacity, 0, (nCapacity - nOldCapacity) * sizeof(HID_DEVICE_INFO));
  pDevices = pGrown;
  return true;
}

// A listed node keeps its collection's records but not its handle. -6 when
// the handle would not close (the node is listed all the same).
int ListWithoutHandle(DEVICE_LIST_LINK& head, PPHYSICAL_DEVICE_NODE pNode, const CAsciiPath& path) {
  static const char kOp[] = "CHIDWinGet::GetAllHidDeviceList";
  int nResult = kResultOk;
  if (CloseHandle(pNode->Info.hHidDevice)) {
    pNode->Info.hHidDevice = INVALID_HANDLE_VALUE;
    pNode->bDeviceOpened = FALSE;
    DbgLogTrace(kOp, __LINE__, "Close device handle only.");
  } else {
    nResult = DbgLogError(kOp, __LINE__, "CloseHandle only fail !!");
  }
  LinkAtTail(head, pNode);
  DbgLogTrace(kOp, __LINE__, "%s", path.c_str());
  return nResult;
}

// Whether FindSupportDevice drops the collection: another vendor or product
// than asked for (0 asks for any), or an interface of a composite device.
// The reason is traced.
bool IsUnsupported(const HID_DEVICE_INFO& info, USHORT wVid, USHORT wPid) {
  static const char kOp[] = "CHIDWinGet::FindSupportDevice";
  const CAsciiPath path(info.DevicePath);
  if (wVid != 0 && info.Attributes.VendorID != wVid) {
    DbgLogTrace(kOp, __LINE__, "CloseHidDevice, Not vendorID %04X != %04X, %s", wVid, info.Attributes.VendorID,
                path.c_str());
    return true;
  }
  if (wPid != 0 && info.Attributes.ProductID != wPid) {
    DbgLogTrace(kOp, __LINE__, "CloseHidDevice, Not ProductID %04X != %04X, %s", wPid, info.Attributes.ProductID,
                path.c_str());
    return true;
  }
  if (info.DevicePath != nullptr && wcsstr(info.DevicePath, kInterfaceMarker) != nullptr) {
    DbgLogTrace(kOp, __LINE__, "CloseHidDevice, mi searched, %s", path.c_str());
    return true;
  }
  return false;
}

// Opens the collection's path into `info`, which holds nothing else then:
// the path copied, the handle opened with the access asked for. -6 (logged)
// when either fails, the record released.
int OpenPath(PCWSTR pszDevicePath, HID_DEVICE_INFO& info, DWORD dwAccess, DWORD dwFlags) {
  static const char kOp[] = "CHIDWinGet::OpenHidDevice";
  ReleaseHidDeviceInfo(info);
  memset(&info, 0, sizeof(info));
  info.hHidDevice = INVALID_HANDLE_VALUE;
  const size_t nChars = wcslen(pszDevicePath) + 1;
  info.DevicePath = static_cast<PWCHAR>(malloc(nChars * sizeof(WCHAR)));
  if (info.DevicePath == nullptr) return DbgLogError(kOp, __LINE__, "Memory was not allocated.");
  wmemcpy(info.DevicePath, pszDevicePath, nChars);
  DbgLogTrace(kOp, __LINE__, "%s", CAsciiPath(pszDevicePath).c_str());
  info.hHidDevice = CreateFileW(pszDevicePath, dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                dwFlags, nullptr);
  if (info.hHidDevice == INVALID_HANDLE_VALUE) {
    ReleaseHidDeviceInfo(info);
    return DbgLogError(kOp, __LINE__, "Can't get valid device handle");
  }
  return kResultOk;
}

// The preparsed data, attributes and capabilities of an opened collection.
// These failures release the record without counting a close.
int ReadCollectionData(HID_DEVICE_INFO& info) {
  static const char kOp[] = "CHIDWinGet::OpenHidDevice";
  const char* pszFailure = nullptr;
  if (!HidD_GetPreparsedData(info.hHidDevice, &info.pPreparsedData)) {
    info.pPreparsedData = nullptr;
    pszFailure = "Close handle. Can't Get Preparsed Data";
  } else if (!HidD_GetAttributes(info.hHidDevice, &info.Attributes)) {
    pszFailure = "Close handle. Can't Get Attributes. ";
  } else if (HidP_GetCaps(info.pPreparsedData, &info.Caps) != HIDP_STATUS_SUCCESS) {
    pszFailure = "Close handle. Can't Get Caps";
  }
  if (pszFailure == nullptr) return kResultOk;
  ReleaseHidDeviceInfo(info);
  return DbgLogError(kOp, __LINE__, "%s", pszFailure);
}

}  // namespace

int CHIDWinGet::GetDeviceHandle(int nVid, int nPid) {
  static const char kOp[] = "CHIDWinGet::GetDeviceHandle";
  m_ReportChannel.Sweep();  // a new connection: what has ended since goes
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
  EmptyDeviceList(m_PhysicalDevList, ReleaseHidDeviceInfo);
  PHID_DEVICE_INFO pDevices = nullptr;
  ULONG nCount = 0;
  int nResult = FindKnownHidDevices(&pDevices, &nCount);
  if (nResult != kResultOk) return nResult;
  const auto close = [this](HID_DEVICE_INFO& info) { CloseHidDevice(info); };
  for (ULONG i = 0; i < nCount; ++i) {
    PPHYSICAL_DEVICE_NODE pNode = NewDeviceNode(pDevices[i]);
    if (pNode == nullptr) {
      EmptyDeviceList(m_PhysicalDevList, close);
      std::for_each(pDevices + i, pDevices + nCount, close);
      free(pDevices);
      return DbgLogError(kOp, __LINE__, "Allocate momory for listNode failure");
    }
    const CAsciiPath path(pNode->Info.DevicePath);
    if (!path.Contains(kMakerWord)) {
      CloseHidDevice(pNode->Info);
      FreeDeviceNode(pNode);
    } else if (ListWithoutHandle(m_PhysicalDevList, pNode, path) != kResultOk) {
      nResult = kResultLoggedFailure;
    }
  }
  free(pDevices);
  return nResult;
}

int CHIDWinGet::FindKnownHidDevices(PHID_DEVICE_INFO* ppDevices, ULONG* pnCount) {
  static const char kOp[] = "CHIDWinGet::FindKnownHidDevices";
  *ppDevices = nullptr;
  *pnCount = 0;
  CHidInterfaceSet interfaces;
  if (!interfaces.IsOpen()) return DbgLogError(kOp, __LINE__, "SetupDiGetClassDevs failure");
  PHID_DEVICE_INFO pDevices = nullptr;
  ULONG nCapacity = kArrayGrowth;
  ULONG nKept = 0;
  int nResult = kResultOk;
  for (CHidInterfaceSet::EStep eStep = CHidInterfaceSet::kSkipped; eStep != CHidInterfaceSet::kEnd;) {
    // Room for every interface index examined so far and the next.
    if ((pDevices == nullptr || interfaces.Index() >= nCapacity) && !GrowDeviceArray(pDevices, nCapacity)) {
      nResult = DbgLogError(kOp, __LINE__, "Allocate momory for HidDevices failure");
      break;
    }
    PCWSTR pszPath = nullptr;
    eStep = interfaces.Next(&pszPath);
    if (eStep == CHidInterfaceSet::kFailed) {
      nResult = kResultLoggedFailure;
      break;
    }
    if (eStep != CHidInterfaceSet::kInterface) continue;
    if (OpenHidDevice(pszPath, pDevices[nKept], 0, FALSE) == kResultOk)
      ++nKept;
    else
      DbgLogTrace(kOp, __LINE__, "OpenHidDevice failure, device path = %s", CAsciiPath(pszPath).c_str());
  }
  if (nResult != kResultOk) {
    // The records opened so far go with the failed enumeration.
    for (ULONG i = 0; i < nKept; ++i) CloseHidDevice(pDevices[i]);
    free(pDevices);
    return nResult;
  }
  DbgLogTrace(kOp, __LINE__, "Total %d HID devices found.", static_cast<int>(nKept));
  *ppDevices = pDevices;
  *pnCount = nKept;
  return kResultOk;
}

int CHIDWinGet::OpenHidDevice(PCWSTR pszDevicePath, HID_DEVICE_INFO& info, DWORD dwAccess, BOOL bOverlapped) {
  static const char kOp[] = "CHIDWinGet::OpenHidDevice";
  DbgLogTrace(kOp, __LINE__, "OpenHidDevice");
  if (pszDevicePath == nullptr) return DbgLogError(kOp, __LINE__, "DevicePath did not contain valid pointer(NULL) ");
  if (OpenPath(pszDevicePath, info, dwAccess, 0) != kResultOk) return kResultLoggedFailure;
  DbgLogTrace(kOp, __LINE__, "CreateFile Success. Get valid hHidDevice handle.");
  ++m_iOpenHidDevCnt;
  DbgLogTrace(kOp, __LINE__, "m_iOpenHidDevCnt = %d, m_iCloseHidDevCnt = %d", m_iOpenHidDevCnt, m_iCloseHidDevCnt);
  info.bReadAccess = (dwAccess & GENERIC_READ) != 0;
  info.bWriteAccess = (dwAccess & GENERIC_WRITE) != 0;
  info.bOverlapped = bOverlapped;
  info.bExclusive = FALSE;
  if (ReadCollectionData(info) != kResultOk) return kResultLoggedFailure;
  if (!FillDeviceInfo(info)) {
    CloseHidDevice(info);
    return DbgLogError(kOp, __LINE__, "Close handle. FillDeviceInfo Failure");
  }
  if (!bOverlapped) return kResultOk;
  // The capabilities are read; the roles' I/O needs an overlapped handle.
  CloseHandle(info.hHidDevice);
  info.hHidDevice = CreateFileW(pszDevicePath, dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
  if (info.hHidDevice != INVALID_HANDLE_VALUE) return kResultOk;
  CloseHidDevice(info);
  return DbgLogError(kOp, __LINE__, "Close handle. Open Overlapped Hid Device Failure");
}

void CHIDWinGet::CloseHidDevice(HID_DEVICE_INFO& info) {
  static const char kOp[] = "CHIDWinGet::CloseHidDevice";
  ++m_iCloseHidDevCnt;
  DbgLogTrace(kOp, __LINE__, "CloseHidDevice, %s", CAsciiPath(info.DevicePath).c_str());
  DbgLogTrace(kOp, __LINE__, "m_iOpenHidDevCnt = %d, m_iCloseHidDevCnt = %d", m_iOpenHidDevCnt, m_iCloseHidDevCnt);
  ReleaseHidDeviceInfo(info);
}

int CHIDWinGet::FindSupportDevice(USHORT wVid, USHORT wPid) {
  static const char kOp[] = "CHIDWinGet::FindSupportDevice";
  m_nSupportDevCnt = 0;
  if (IsDeviceListEmpty(m_PhysicalDevList))
    return DbgLogError(kOp, __LINE__, "No any HID device in physical device list");
  DEVICE_LIST_LINK* const pLast = m_PhysicalDevList.Blink;
  DEVICE_LIST_LINK* pNext = m_PhysicalDevList.Flink;
  for (bool bDone = false; !bDone;) {
    PPHYSICAL_DEVICE_NODE pNode = NodeOf(pNext);
    bDone = pNext == pLast;
    pNext = pNext->Flink;
    if (!IsUnsupported(pNode->Info, wVid, wPid)) {
      ++m_nSupportDevCnt;
      continue;
    }
    Unlink(pNode);
    CloseHidDevice(pNode->Info);
    FreeDeviceNode(pNode);
  }
  if (m_nSupportDevCnt == 0) {
    DbgLogTrace(kOp, __LINE__, "No any support device found.");
    return kResultNoSupportDevice;
  }
  return kResultOk;
}

int CHIDWinGet::ParsePairNum(PCWSTR pszDevicePath, WCHAR (&szPairNum)[kPathChars]) {
  return ParsePairNumber(pszDevicePath, szPairNum);
}

PPHYSICAL_DEVICE_NODE CHIDWinGet::GetEntryFromPhysicalList(int nIndex) {
  return DeviceNodeAt(m_PhysicalDevList, nIndex);
}

int CHIDWinGet::FilterTouchPadCols() {
  static const char kOp[] = "CHIDWinGet::FilterTouchPadCols";
  if (!m_listHidCols.empty()) {
    DbgLogTrace(kOp, __LINE__, "Current Vorn hid device count = %d ?? Why ??", GetDeviceCount());
    m_listHidCols.clear();
  }
  CEntryPairing pairing;
  const bool bScreensWalked = ForEachDeviceNode(m_PhysicalDevList, m_nSupportDevCnt, [&](PHYSICAL_DEVICE_NODE& node) {
    if (!pairing.MakesEntry(node.Info)) return;
    m_listHidCols.emplace_back();
    SetHidColsEntrySimple(node.Info, m_listHidCols.back());
  });
  if (!bScreensWalked) return kResultFailed;
  if (m_listHidCols.empty()) {
    DbgLogError(kOp, __LINE__, "No Touch screen is exist !!!");
    return kResultFailed;
  }
  m_nMatchedColsCnt = 0;
  const bool bAllWalked = ForEachDeviceNode(m_PhysicalDevList, m_nSupportDevCnt, [&](PHYSICAL_DEVICE_NODE& node) {
    if (CHIDCols* pEntry = pairing.EntryOf(m_listHidCols, node.Info.DevicePath)) {
      SetHidColsEntrySimple(node.Info, *pEntry);
      ++m_nMatchedColsCnt;
    }
    CloseHidDevice(node.Info);
  });
  return bAllWalked ? kResultOk : kResultFailed;
}
