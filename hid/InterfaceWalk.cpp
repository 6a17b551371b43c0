#include "hid/InterfaceWalk.h"

#include "hid/HidText.h"
#include "log/DbgLog.h"

#include <cstdlib>
#include <cstring>

namespace {

const char kOp[] = "CHIDWinGet::FindKnownHidDevices";
constexpr DWORD kEnumFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
// An enumeration error other than the end of the list skips that index; this
// many in a row end the walk, so a set that keeps failing cannot loop.
constexpr int kMaxEnumFailures = 16;

}  // namespace

CHidInterfaceSet::CHidInterfaceSet() : m_dwIndex(0), m_nFailuresInRow(0), m_pDetail(nullptr) {
  HidD_GetHidGuid(&m_hidGuid);
  m_hDevInfo = SetupDiGetClassDevsW(&m_hidGuid, nullptr, nullptr, kEnumFlags);
}

CHidInterfaceSet::~CHidInterfaceSet() {
  FreeDetail();
  if (IsOpen()) SetupDiDestroyDeviceInfoList(m_hDevInfo);
}

void CHidInterfaceSet::FreeDetail() {
  free(m_pDetail);
  m_pDetail = nullptr;
}

CHidInterfaceSet::EStep CHidInterfaceSet::Next(PCWSTR* ppszPath) {
  FreeDetail();
  *ppszPath = nullptr;
  SP_DEVICE_INTERFACE_DATA interfaceData;
  memset(&interfaceData, 0, sizeof(interfaceData));
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  const DWORD dwIndex = m_dwIndex++;
  if (!SetupDiEnumDeviceInterfaces(m_hDevInfo, nullptr, &m_hidGuid, dwIndex, &interfaceData)) {
    const DWORD dwError = GetLastError();
    if (dwError == ERROR_NO_MORE_ITEMS) return kEnd;
    DbgLogTrace(kOp, __LINE__, "SetupDiEnumDeviceInterfaces failure, index = %u, error = %u",
                static_cast<unsigned>(dwIndex), static_cast<unsigned>(dwError));
    return ++m_nFailuresInRow < kMaxEnumFailures ? kSkipped : kEnd;
  }
  m_nFailuresInRow = 0;
  return ReadPath(interfaceData, ppszPath);
}

CHidInterfaceSet::EStep CHidInterfaceSet::ReadPath(SP_DEVICE_INTERFACE_DATA& interfaceData, PCWSTR* ppszPath) {
  DWORD dwRequired = 0;
  SetupDiGetDeviceInterfaceDetailW(m_hDevInfo, &interfaceData, nullptr, 0, &dwRequired, nullptr);
  // Never smaller than the fixed part, which is written before the query.
  const size_t nAlloc =
      dwRequired > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? dwRequired : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  m_pDetail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(calloc(1, nAlloc));
  if (m_pDetail == nullptr) {
    DbgLogError(kOp, __LINE__, "Allocate momory for functionClassDeviceData failure");
    return kFailed;
  }
  m_pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  m_pDetail->DevicePath[0] = L'\0';
  if (!SetupDiGetDeviceInterfaceDetailW(m_hDevInfo, &interfaceData, m_pDetail, dwRequired, nullptr, nullptr)) {
    // An interface that went away since the set was taken (a device
    // unplugged during the walk) is skipped; the others still count.
    FreeDetail();
    DbgLogError(kOp, __LINE__, "SetupDiGetDeviceInterfaceDetail failure");
    return kSkipped;
  }
  const CAsciiPath path(m_pDetail->DevicePath);
  if (!path.Contains(kMakerWord)) {
    DbgLogTrace(kOp, __LINE__, "Can't find vorn in device path = %s", path.c_str());
    return kSkipped;
  }
  *ppszPath = m_pDetail->DevicePath;
  return kInterface;
}
