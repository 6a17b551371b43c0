// hid.dll: the HidD_* requests to an opened collection. Each checks its
// arguments and hands the request to the handle's collection on the HID bus.
// Attribute, preparsed-data and feature requests need no access rights; a
// handle opened with access 0 serves them (system-owned collections are
// reached that way).
#include "../hidbus/bus_internal.h"

using winsim::CurrentMachine;
using winsim::Fail;
using winsim::hidbus::HidHandle;

namespace {

// The HID handle behind `handle`, or null with the last error set.
std::shared_ptr<HidHandle> HidHandleOf(HANDLE handle) {
  auto object = CurrentMachine().handles().Get(handle);
  if (!object) return Fail(ERROR_INVALID_HANDLE, std::shared_ptr<HidHandle>{});
  auto hid = std::dynamic_pointer_cast<HidHandle>(object);
  if (!hid) return Fail(ERROR_INVALID_FUNCTION, std::shared_ptr<HidHandle>{});
  return hid;
}

BOOLEAN Result(DWORD error) { return error == ERROR_SUCCESS ? TRUE : Fail(error, BOOLEAN{FALSE}); }

}  // namespace

extern "C" {

void NTAPI HidD_GetHidGuid(LPGUID HidGuid) {
  if (HidGuid) *HidGuid = winsim::kHidInterfaceClassGuid;
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
  auto hid = HidHandleOf(HidDeviceObject);
  if (!hid) return FALSE;
  if (!Attributes) return Fail(ERROR_NOACCESS, BOOLEAN{FALSE});
  if (DWORD error = hid->CheckAlive()) return Fail(error, BOOLEAN{FALSE});
  Attributes->Size = sizeof(HIDD_ATTRIBUTES);
  Attributes->VendorID = hid->Desc().vendorId;
  Attributes->ProductID = hid->Desc().productId;
  Attributes->VersionNumber = hid->Desc().versionNumber;
  return TRUE;
}

BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData) {
  auto hid = HidHandleOf(HidDeviceObject);
  if (!hid) return FALSE;
  if (!PreparsedData) return Fail(ERROR_NOACCESS, BOOLEAN{FALSE});
  if (DWORD error = hid->CheckAlive()) return Fail(error, BOOLEAN{FALSE});
  *PreparsedData = winsim::hid::AllocatePreparsedData(hid->Layout());
  return TRUE;
}

BOOLEAN NTAPI HidD_GetFeature(HANDLE HidDeviceObject, PVOID ReportBuffer, ULONG ReportBufferLength) {
  auto hid = HidHandleOf(HidDeviceObject);
  if (!hid) return FALSE;
  return Result(hid->FeatureRequest(false, static_cast<uint8_t*>(ReportBuffer), ReportBufferLength));
}

BOOLEAN NTAPI HidD_SetFeature(HANDLE HidDeviceObject, PVOID ReportBuffer, ULONG ReportBufferLength) {
  auto hid = HidHandleOf(HidDeviceObject);
  if (!hid) return FALSE;
  return Result(hid->FeatureRequest(true, static_cast<uint8_t*>(ReportBuffer), ReportBufferLength));
}

}  // extern "C"
