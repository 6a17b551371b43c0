// Enumeration helpers of the HID conformance tests.
#include "hid_conformance.h"

#include <cstddef>
#include <cwchar>

namespace hidtest {

GUID HidGuid() {
  GUID guid{};
  HidD_GetHidGuid(&guid);
  return guid;
}

namespace {

std::wstring DetailPath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data) {
  DWORD needed = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
  if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
  std::vector<BYTE> buffer(needed);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr)) return {};
  return detail->DevicePath;
}

bool Describe(HidInterface& entry) {
  Handle handle(CreateFileW(entry.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle.Valid()) return false;
  entry.attributes.Size = sizeof(entry.attributes);
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetAttributes(handle.Get(), &entry.attributes) || !HidD_GetPreparsedData(handle.Get(), &preparsed)) return false;
  const bool ok = HidP_GetCaps(preparsed, &entry.caps) == HIDP_STATUS_SUCCESS;
  HidD_FreePreparsedData(preparsed);
  return ok;
}

}  // namespace

std::vector<HidInterface> PresentInterfaces() {
  std::vector<HidInterface> interfaces;
  const GUID guid = HidGuid();
  HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return interfaces;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
    HidInterface entry;
    entry.path = DetailPath(set, data);
    if (!entry.path.empty() && Describe(entry)) interfaces.push_back(entry);
  }
  SetupDiDestroyDeviceInfoList(set);
  return interfaces;
}

Controller FindController() {
  Controller controller;
  for (const auto& entry : PresentInterfaces()) {
    if (entry.attributes.VendorID != kControllerVendorId || entry.path.find(L"vorn") == std::wstring::npos) continue;
    if (entry.path.find(L"&mi_") != std::wstring::npos) continue;
    if (entry.caps.UsagePage == 0x0D && entry.caps.Usage == 0x04 && controller.touchScreen.empty())
      controller.touchScreen = entry.path;
    if (entry.caps.UsagePage == 0xFF00 && entry.caps.InputReportByteLength && controller.vendorInput.empty())
      controller.vendorInput = entry.path;
    if (entry.caps.UsagePage == 0xFF00 && entry.caps.OutputReportByteLength && controller.vendorOutput.empty())
      controller.vendorOutput = entry.path;
  }
  controller.found = !controller.touchScreen.empty() && !controller.vendorInput.empty() && !controller.vendorOutput.empty();
  return controller;
}

}  // namespace hidtest
