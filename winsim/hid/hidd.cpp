// hid.dll: the HidD_* requests to an opened collection. Each checks its
// arguments and hands the request to the handle's collection on the HID bus,
// through the class driver's requests alone (sim/hidclass.h). Attribute,
// preparsed-data and feature requests need no access rights; a handle opened
// with access 0 serves them (system-owned collections are reached that way).
#include <winsim/sim/hidbus.h>
#include <winsim/sim/hidclass.h>
#include <winsim/sim/machine.h>

using winsim::CurrentMachine;
using winsim::Fail;
using winsim::HidCollectionRequests;

namespace {

// The HID collection behind `handle`, or null with the last error set.
std::shared_ptr<HidCollectionRequests> CollectionOf(HANDLE handle) {
  auto object = CurrentMachine().handles().Get(handle);
  if (!object) return Fail(ERROR_INVALID_HANDLE, std::shared_ptr<HidCollectionRequests>{});
  auto hid = std::dynamic_pointer_cast<HidCollectionRequests>(object);
  if (!hid) return Fail(ERROR_INVALID_FUNCTION, std::shared_ptr<HidCollectionRequests>{});
  return hid;
}

BOOLEAN Result(DWORD error) { return error == ERROR_SUCCESS ? TRUE : Fail(error, BOOLEAN{FALSE}); }

}  // namespace

extern "C" {

void NTAPI HidD_GetHidGuid(LPGUID HidGuid) {
  if (HidGuid) *HidGuid = winsim::kHidInterfaceClassGuid;
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
  auto hid = CollectionOf(HidDeviceObject);
  if (!hid) return FALSE;
  if (!Attributes) return Fail(ERROR_NOACCESS, BOOLEAN{FALSE});
  winsim::HidCollectionInformation information;
  if (DWORD error = hid->GetInformation(information)) return Fail(error, BOOLEAN{FALSE});
  Attributes->Size = sizeof(HIDD_ATTRIBUTES);
  Attributes->VendorID = information.vendorId;
  Attributes->ProductID = information.productId;
  Attributes->VersionNumber = information.versionNumber;
  return TRUE;
}

BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData) {
  auto hid = CollectionOf(HidDeviceObject);
  if (!hid) return FALSE;
  if (!PreparsedData) return Fail(ERROR_NOACCESS, BOOLEAN{FALSE});
  const winsim::hid::CollectionLayout* layout = nullptr;
  if (DWORD error = hid->GetLayout(layout)) return Fail(error, BOOLEAN{FALSE});
  *PreparsedData = winsim::hid::AllocatePreparsedData(*layout);
  return TRUE;
}

BOOLEAN NTAPI HidD_GetFeature(HANDLE HidDeviceObject, PVOID ReportBuffer, ULONG ReportBufferLength) {
  auto hid = CollectionOf(HidDeviceObject);
  if (!hid) return FALSE;
  return Result(hid->GetFeature(static_cast<uint8_t*>(ReportBuffer), ReportBufferLength));
}

BOOLEAN NTAPI HidD_SetFeature(HANDLE HidDeviceObject, PVOID ReportBuffer, ULONG ReportBufferLength) {
  auto hid = CollectionOf(HidDeviceObject);
  if (!hid) return FALSE;
  return Result(hid->SetFeature(static_cast<uint8_t*>(ReportBuffer), ReportBufferLength));
}

}  // extern "C"
