// setupapi: device-interface enumeration over the HID bus.
//
// A device information set is a snapshot of the bus's interfaces taken by
// SetupDiGetClassDevsW. Only interface sets (DIGCF_DEVICEINTERFACE) of the HID
// interface class hold entries; other classes and setup-class sets are empty.
//
// The cbSize check of SP_DEVICE_INTERFACE_DETAIL_DATA_W: 64-bit Windows
// accepts exactly sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), which is 8 there
// (a 4-byte cbSize and one 2-byte WCHAR, padded to the DWORD alignment). With
// the 4-byte WCHAR of this platform the structure is 4 + 4 = 8 bytes, so the
// same rule - cbSize equals sizeof the structure - accepts the same value 8,
// and code that sets cbSize = sizeof(...) behaves the same on both. The
// buffer size a caller needs is offsetof(DevicePath) + (length + 1) WCHARs.
#include <winsim/setupapi.h>
#include <winsim/sim/hidbus.h>
#include <winsim/sim/faults.h>

#include <cwctype>
#include <map>
#include <mutex>

namespace winsim {
namespace {

struct DeviceInfoSet {
  std::vector<HidInterfaceInfo> interfaces;
};

// The machine's open device information sets, behind opaque HDEVINFO values.
class DeviceInfoSets : public MachinePart {
 public:
  explicit DeviceInfoSets(Machine&) {}

  HDEVINFO Add(DeviceInfoSet set) {
    std::lock_guard lock(m_mutex);
    const uintptr_t id = m_next;
    m_next += 0x10;
    m_sets.emplace(id, std::make_shared<DeviceInfoSet>(std::move(set)));
    return reinterpret_cast<HDEVINFO>(id);
  }
  std::shared_ptr<DeviceInfoSet> Get(HDEVINFO handle) const {
    std::lock_guard lock(m_mutex);
    auto it = m_sets.find(reinterpret_cast<uintptr_t>(handle));
    return it == m_sets.end() ? nullptr : it->second;
  }
  bool Remove(HDEVINFO handle) {
    std::lock_guard lock(m_mutex);
    return m_sets.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
  }

 private:
  mutable std::mutex m_mutex;
  std::map<uintptr_t, std::shared_ptr<DeviceInfoSet>> m_sets;
  uintptr_t m_next = 0x5E700010;
};

DeviceInfoSets& Sets() { return CurrentMachine().Part<DeviceInfoSets>(); }

bool SameText(PCWSTR a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b)
    if (std::towlower(*a) != std::towlower(*b)) return false;
  return *a == *b;
}

std::vector<HidInterfaceInfo> Snapshot(const GUID* classGuid, PCWSTR enumerator, DWORD flags) {
  if (!(flags & DIGCF_DEVICEINTERFACE)) return {};
  if (!(flags & DIGCF_ALLCLASSES) && *classGuid != kHidInterfaceClassGuid) return {};
  if (enumerator && !SameText(enumerator, L"HID")) return {};
  return CurrentMachine().Part<HidBus>().Interfaces((flags & DIGCF_PRESENT) != 0);
}

// The interface an SP_DEVICE_INTERFACE_DATA names: Reserved holds its index + 1.
const HidInterfaceInfo* InterfaceOf(const DeviceInfoSet& set, PSP_DEVICE_INTERFACE_DATA data) {
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return nullptr;
  if (data->Reserved == 0 || data->Reserved > set.interfaces.size()) return nullptr;
  return &set.interfaces[data->Reserved - 1];
}

DWORD FillDeviceInfo(const HidInterfaceInfo& entry, PSP_DEVINFO_DATA info) {
  if (!info) return ERROR_SUCCESS;
  if (info->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  info->ClassGuid = kHidSetupClassGuid;
  info->DevInst = entry.devInst;
  info->Reserved = 0;
  return ERROR_SUCCESS;
}

constexpr DWORD kDetailHeaderBytes = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

// Checks of the caller's detail record, before any size is reported.
DWORD CheckDetailRecord(PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size) {
  if (!detail) return size == 0 ? ERROR_SUCCESS : ERROR_INVALID_USER_BUFFER;
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return ERROR_INVALID_USER_BUFFER;
  return detail->cbSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? ERROR_SUCCESS : ERROR_INVALID_USER_BUFFER;
}

}  // namespace
}  // namespace winsim

using namespace winsim;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
  if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (DWORD error = Faults::Take(FaultPoint::kSetupDiGetClassDevs)) return Fail(error, INVALID_HANDLE_VALUE);
  DeviceInfoSet set{Snapshot(ClassGuid, Enumerator, Flags)};
  HDEVINFO handle = Sets().Add(std::move(set));
  SetLastErrorCode(ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  auto set = Sets().Get(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!InterfaceClassGuid || !DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (*InterfaceClassGuid != kHidInterfaceClassGuid) return Fail(ERROR_NO_MORE_ITEMS, FALSE);
  DWORD seen = 0;
  for (size_t i = 0; i < set->interfaces.size(); ++i) {
    const auto& entry = set->interfaces[i];
    if (DeviceInfoData && entry.devInst != DeviceInfoData->DevInst) continue;
    if (seen++ != MemberIndex) continue;
    if (DWORD error = Faults::Take(FaultPoint::kSetupDiEnumDeviceInterfaces, entry.path)) return Fail(error, FALSE);
    DeviceInterfaceData->InterfaceClassGuid = kHidInterfaceClassGuid;
    DeviceInterfaceData->Flags = entry.present ? SPINT_ACTIVE : 0;
    DeviceInterfaceData->Reserved = i + 1;
    return TRUE;
  }
  return Fail(ERROR_NO_MORE_ITEMS, FALSE);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = Sets().Get(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const HidInterfaceInfo* entry = InterfaceOf(*set, DeviceInterfaceData);
  if (!entry) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (DWORD error = Faults::Take(FaultPoint::kSetupDiGetDeviceInterfaceDetail, entry->path)) return Fail(error, FALSE);
  if (DWORD error = CheckDetailRecord(DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize))
    return Fail(error, FALSE);
  const DWORD needed = kDetailHeaderBytes + static_cast<DWORD>((entry->path.size() + 1) * sizeof(WCHAR));
  if (RequiredSize) *RequiredSize = needed;
  if (DWORD error = FillDeviceInfo(*entry, DeviceInfoData)) return Fail(error, FALSE);
  if (DeviceInterfaceDetailDataSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::copy(entry->path.begin(), entry->path.end(), DeviceInterfaceDetailData->DevicePath);
  DeviceInterfaceDetailData->DevicePath[entry->path.size()] = L'\0';
  SetLastErrorCode(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (!Sets().Remove(DeviceInfoSet)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  SetLastErrorCode(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"
