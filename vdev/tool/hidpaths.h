// The device paths of the present HID interfaces and which of them are the
// virtual controller's: vorndev waits on them, the Wine stage's probe and the
// Windows benchmarks open them.
#pragma once

#include <windows.h>

#include <handles/win32.h>
#include <setupapi.h>

#include <cwchar>
#include <string>
#include <vector>

namespace vdev {

// The HID device interface class.
constexpr GUID kHidInterface = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Appends the paths to `paths`; false when the class cannot be listed.
inline bool HidInterfacePaths(std::vector<std::wstring>& paths) {
  const handles::DeviceInfoSet set(
      SetupDiGetClassDevsW(&kHidInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set) return false;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &kHidInterface, index, &data); ++index) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailW(set.Get(), &data, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<BYTE> buffer(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(set.Get(), &data, detail, needed, nullptr, nullptr))
      paths.emplace_back(detail->DevicePath);
  }
  return true;
}

// A collection of the virtual controller: \\?\hid#vorn<pid>...
inline bool IsControllerPath(const std::wstring& path) { return _wcsnicmp(path.c_str(), L"\\\\?\\hid#vorn", 12) == 0; }

}  // namespace vdev
