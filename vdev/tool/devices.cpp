#include "devices.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include <handles/win32.h>
#include <newdev.h>
#include <setupapi.h>

#include "hidpaths.h"

namespace vorndev {
namespace {

constexpr DWORD kPollMs = 50;
// The HIDClass setup class.
constexpr GUID kHidClass = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

Failure Fail(const char* step) { return {step, GetLastError()}; }

std::wstring Hex4(USHORT value) {
  wchar_t text[8];
  swprintf(text, 8, L"%04X", value);
  return text;
}

std::wstring Directory(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

std::wstring ToolDirectory() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size()) return Directory(std::wstring(buffer.data(), length));
    buffer.resize(buffer.size() * 2);
  }
}

// The hardware ids as a REG_MULTI_SZ: each id, then an empty string. The
// driver reads what the device serves from the first; the INF matches
// ROOT\VORNVDEV. `collection` 0 is the whole controller.
std::vector<wchar_t> HardwareIdList(int collection) {
  std::wstring ids;
  if (collection != 0) ids = VDEV_HARDWARE_ID VDEV_COLLECTION_SUFFIX + std::to_wstring(collection) + L'\0';
  ids += VDEV_HARDWARE_ID;
  std::vector<wchar_t> list(ids.begin(), ids.end());
  list.push_back(0);
  list.push_back(0);
  return list;
}

// A device to create: its instance id, and the collection it serves (0: all).
struct NewDevice {
  std::wstring instanceId;
  int collection;
};

Failure CreateDevice(HDEVINFO set, const NewDevice& spec) {
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  if (!SetupDiCreateDeviceInfoW(set, spec.instanceId.c_str(), &kHidClass, nullptr, nullptr, 0, &device))
    return Fail("SetupDiCreateDeviceInfo");
  const std::vector<wchar_t> hardwareIds = HardwareIdList(spec.collection);
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareIds.data()),
                                         static_cast<DWORD>(hardwareIds.size() * sizeof(wchar_t))))
    return Fail("SetupDiSetDeviceRegistryProperty");
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) return Fail("DIF_REGISTERDEVICE");
  return {};
}

std::vector<NewDevice> DevicesOf(USHORT productId, vdev::Layout layout) {
  if (layout == vdev::Layout::kSingle) return {{SingleInstanceId(productId), 0}};
  std::vector<NewDevice> devices;
  for (int collection = 1; collection <= kCollections; ++collection)
    devices.push_back({InstanceId(productId, collection), collection});
  return devices;
}

bool IsOurs(HDEVINFO set, SP_DEVINFO_DATA& device) {
  wchar_t ids[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                         sizeof(ids) - 2 * sizeof(wchar_t), nullptr))
    return false;
  for (const wchar_t* id = ids; *id != 0; id += wcslen(id) + 1)
    if (_wcsicmp(id, VDEV_HARDWARE_ID) == 0) return true;
  return false;
}

}  // namespace

std::string Failure::Describe() const {
  char text[160];
  snprintf(text, sizeof(text), "%s failed w/err 0x%08lx", step.c_str(), static_cast<unsigned long>(error));
  return text;
}

std::wstring InstanceId(USHORT productId, int collection) {
  const std::wstring pid = Hex4(productId);
  return L"ROOT\\VORN" + pid + L"&COL0" + std::to_wstring(collection) + L"\\1&2C1A" + pid + L"&0&000" +
         std::to_wstring(collection - 1);
}

std::wstring SingleInstanceId(USHORT productId) { return L"ROOT\\VORN" + Hex4(productId) + L"\\0000"; }

Failure CreateDevices(USHORT productId, vdev::Layout layout) {
  {
    const handles::DeviceInfoSet set(SetupDiCreateDeviceInfoList(&kHidClass, nullptr));
    if (!set) return Fail("SetupDiCreateDeviceInfoList");
    for (const NewDevice& device : DevicesOf(productId, layout)) {
      Failure failure = CreateDevice(set.Get(), device);
      if (failure.failed()) return failure;
    }
  }
  const std::wstring inf = ToolDirectory() + L"vornvdev.inf";
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, VDEV_HARDWARE_ID, inf.c_str(), INSTALLFLAG_FORCE, &reboot))
    return Fail("UpdateDriverForPlugAndPlayDevices");
  return {};
}

Failure RemoveDevices(int& removed) {
  removed = 0;
  const handles::DeviceInfoSet set(SetupDiGetClassDevsW(&kHidClass, L"ROOT", nullptr, 0));
  if (!set) return Fail("SetupDiGetClassDevs");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set.Get(), index, &device); ++index) {
    if (!IsOurs(set.Get(), device)) continue;
    if (!SetupDiRemoveDevice(set.Get(), &device)) return Fail("SetupDiRemoveDevice");
    ++removed;
  }
  return {};
}

int PresentCollections() {
  std::vector<std::wstring> paths;
  vdev::HidInterfacePaths(paths);
  return static_cast<int>(std::count_if(paths.begin(), paths.end(), vdev::IsControllerPath));
}

bool WaitForCollections(int count, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (PresentCollections() != count) {
    if (GetTickCount64() > deadline) return false;
    Sleep(kPollMs);
  }
  return true;
}

// Wine 8's class driver gives a device one path, that of its first
// collection; Windows gives each top-level collection one.
int CollectionsShown(vdev::Layout layout) {
  return layout == vdev::Layout::kSingle && UnderWine() ? 1 : kCollections;
}

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace vorndev
