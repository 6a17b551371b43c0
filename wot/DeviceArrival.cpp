#include "wot/DeviceArrival.h"

#include "service/ServiceBase.h"
#include "wot/RegWatch.h"
#include "wot/WotPush.h"

#include <cwchar>
#include <memory>
#include <string>

namespace {

constexpr WCHAR kArrival[] = L"Device Arrival";

}  // namespace

struct CDeviceArrival::SCheck {
  CDeviceArrival& arrival;
  std::wstring path;
};

// The copy is made before the check is counted: a copy that fails (the
// base's handler writes it) leaves the count as it was.
void CDeviceArrival::CheckArrival(LPCWSTR pszDevicePath) {
  auto pCheck = std::make_unique<SCheck>(SCheck{*this, std::wstring(pszDevicePath)});
  if (!m_Watch.EnterWork()) {
    m_Service.LogMessage(L"Service is ending - no device check", DEBUGLOG_ONLY);
    return;
  }
  // Long: the open of an interface whose stack is still starting may take a
  // while, and the check then holds no worker of the shared pool meanwhile
  // nor leaves one behind.
  if (!QueueUserWorkItem(CheckTrampoline, pCheck.get(), WT_EXECUTELONGFUNCTION)) {
    const DWORD dwError = GetLastError();
    pCheck.reset();
    m_Watch.LeaveWork();
    LogError(L"Can not queue the device check", dwError);
    return;
  }
  pCheck.release();
}

DWORD WINAPI CDeviceArrival::CheckTrampoline(LPVOID pContext) {
  std::unique_ptr<SCheck> pCheck(static_cast<SCheck*>(pContext));
  CDeviceArrival& arrival = pCheck->arrival;
  arrival.Check(pCheck->path.c_str());
  pCheck.reset();
  arrival.m_Watch.LeaveWork();
  return 0;
}

void CDeviceArrival::Check(LPCWSTR pszDevicePath) {
  if (!IsController(pszDevicePath)) {
    m_Service.LogMessage(L"Device Arrival - not the touch controller", DEBUGLOG_ONLY);
    return;
  }
  try {
    m_Watch.RestartFor(kArrival);
  } catch (DWORD dwError) {
    LogError(L"Can not create new thread", dwError);
  }
}

// Opened with access 0 and read/write sharing: mice and keyboards refuse
// more, and a push under way keeps the controller open meanwhile. An
// interface that cannot be opened (gone again, or not a device) is not the
// controller. Product ID 0 names no particular product.
bool CDeviceArrival::IsController(LPCWSTR pszDevicePath) const {
  HANDLE hDevice =
      CreateFileW(pszDevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hDevice == INVALID_HANDLE_VALUE) return false;
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  const bool fRead = HidD_GetAttributes(hDevice, &attributes) != FALSE;
  CloseHandle(hDevice);
  return fRead && attributes.VendorID == LOWORD(m_Push.Vid()) &&
         (m_Push.Pid() == 0 || attributes.ProductID == LOWORD(m_Push.Pid()));
}

void CDeviceArrival::LogError(PCWSTR pszWhat, DWORD dwError) {
  WCHAR szText[MAX_PATH];
  std::swprintf(szText, MAX_PATH, L"%ls - %ls w/err 0x%08lx", kArrival, pszWhat, static_cast<unsigned long>(dwError));
  m_Service.LogMessage(szText, DEBUGLOG_ONLY);
}
