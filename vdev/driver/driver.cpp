// The driver's entry, its registration with the HID class driver, and the
// requests the class driver passes down to each device.
//
// The class driver keeps the minidriver's entry points (unload included) when
// it registers, and puts its own in the driver object; every dispatch entry is
// then wrapped, so that a request to the control device reaches it whatever its
// major function, and every request to a HID device still reaches the class
// driver. Its unload routine calls the driver's own.
#include "vdev.h"

namespace vdev {
namespace {

PDRIVER_DISPATCH g_classDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];

// The driver's service key, where vorndev install leaves the controller's ids.
// Constant-initialized: the buffer's address is a fixup in the image.
constexpr USHORT kRegistryPathChars = 256;
WCHAR g_registryPathBuffer[kRegistryPathChars];
UNICODE_STRING g_registryPath = {0, sizeof(g_registryPathBuffer), g_registryPathBuffer};

NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp) {
  if (control::Owns(device)) return control::Dispatch(device, irp);
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major <= IRP_MJ_MAXIMUM_FUNCTION && g_classDispatch[major] != nullptr) return g_classDispatch[major](device, irp);
  return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS CallLower(PDEVICE_OBJECT fdo, PIRP irp) {
  auto* ext = static_cast<HID_DEVICE_EXTENSION*>(fdo->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->NextDeviceObject, irp);
}

// --- which device it is

// The length of `word` (upper case) when `text` starts with it in any letter
// case, else 0.
ULONG Prefix(const WCHAR* text, const WCHAR* word) {
  ULONG length = 0;
  for (; word[length] != 0; ++length) {
    const WCHAR w = word[length];
    const WCHAR lower = w >= L'A' && w <= L'Z' ? static_cast<WCHAR>(w + (L'a' - L'A')) : w;
    if (text[length] != w && text[length] != lower) return 0;
  }
  return length;
}

// What follows an id's enumerator (ROOT\).
const WCHAR* AfterEnumerator(const WCHAR* id) {
  while (*id != 0 && *id != L'\\') ++id;
  return *id == 0 ? nullptr : id + 1;
}

// The device's first hardware id, as vorndev sets it: <enumerator>\VORNVDEV
// (the whole controller) or <enumerator>\VORNVDEV&COL01 to &COL03 (one
// collection), in any letter case. Anything else is not this driver's device.
bool ParseHardwareId(const WCHAR* id, CollectionDevice& device) {
  const WCHAR* name = AfterEnumerator(id);
  const ULONG length = name != nullptr ? Prefix(name, AfterEnumerator(VDEV_HARDWARE_ID)) : 0;
  if (length == 0) return false;
  device.whole = name[length] == 0;
  if (device.whole) return true;
  const WCHAR* suffix = name + length;
  const ULONG marker = Prefix(suffix, VDEV_COLLECTION_SUFFIX);
  const WCHAR digit = suffix[marker];
  const WCHAR last = static_cast<WCHAR>(L'0' + ctlmodel::kCollectionCount);
  if (marker == 0 || digit < L'1' || digit > last || suffix[marker + 1] != 0) return false;
  device.collection = static_cast<ctlmodel::Collection>(digit - L'1');
  return true;
}

// What the PnP manager holds of the device, read in AddDevice rather than
// asked of the device below: the stack is still being built there.
bool IdentifyDevice(PDEVICE_OBJECT pdo, CollectionDevice& device) {
  // REG_MULTI_SZ; two ids of vorndev's fit with room to spare. The last
  // character stays zero, so that the first id ends whatever the data.
  WCHAR ids[128] = {};
  ULONG length = 0;
  const NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof(ids) - sizeof(WCHAR), ids, &length);
  return NT_SUCCESS(status) && ParseHardwareId(ids, device);
}

// A DWORD value of the driver's service key.
bool ReadDword(HANDLE key, const WCHAR* name, ULONG& value) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  ULONG length = 0;
  if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, sizeof(buffer), &length)) ||
      info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
    return false;
  RtlCopyMemory(&value, info->Data, sizeof(ULONG));
  return true;
}

// The ids the controller is plugged in with: those vorndev install stored
// (the class driver asks for the product id once, when a device starts),
// else the model's defaults.
ctlmodel::Config StoredConfig() {
  ctlmodel::Config config = ctlmodel::DefaultConfig();
  if (g_registryPath.Length == 0) return config;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &g_registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return config;
  ULONG value = 0;
  if (ReadDword(key, VDEV_FIRMWARE_VALUE, value) && value <= 0xFFFF) config.firmwareVersion = static_cast<uint16_t>(value);
  if (ReadDword(key, VDEV_PRODUCT_VALUE, value) && value <= 0xFFFF) config.productId = static_cast<uint16_t>(value);
  ZwClose(key);
  return config;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo) {
  auto* ext = static_cast<HID_DEVICE_EXTENSION*>(fdo->DeviceExtension);
  CollectionDevice& device = *DeviceOf(fdo);
  if (!IdentifyDevice(ext->PhysicalDeviceObject, device)) return STATUS_NO_SUCH_DEVICE;
  device.fdo = fdo;
  device.pdo = ext->PhysicalDeviceObject;
  const NTSTATUS status = controller::AddDevice(device, StoredConfig());
  if (!NT_SUCCESS(status)) return status;
  control::Follow(driver);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// --- plug and play, power

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    // The unplug fault took the controller off the bus: its devices have
    // failed, and the PnP manager removes them as it does a device pulled out.
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      if (controller::Unplugged()) irp->IoStatus.Information |= PNP_DEVICE_FAILED;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    // A read left pending here would hold up the removal until the class
    // driver gives up on it. The control device goes with the last device
    // here already: the removal itself waits until every handle is closed.
    case IRP_MN_SURPRISE_REMOVAL:
      controller::RemoveDevice(*DeviceOf(fdo));
      control::Follow(fdo->DriverObject);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      controller::DeleteDevice(*DeviceOf(fdo));
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDRIVER_OBJECT driver = fdo->DriverObject;
      const NTSTATUS status = CallLower(fdo, irp);
      control::Follow(driver);  // the last device takes the control device with it
      return status;
    }
    default: break;
  }
  return CallLower(fdo, irp);
}

// WMI requests: the driver registers no provider, and passes them on.
NTSTATUS NTAPI SystemControl(PDEVICE_OBJECT fdo, PIRP irp) { return CallLower(fdo, irp); }

NTSTATUS NTAPI Power(PDEVICE_OBJECT fdo, PIRP irp) {
  auto* ext = static_cast<HID_DEVICE_EXTENSION*>(fdo->DeviceExtension);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->NextDeviceObject, irp);
}

// --- the class driver's requests (METHOD_NEITHER: the buffer is UserBuffer)

NTSTATUS Copy(PIRP irp, const void* data, ULONG length) {
  const ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (room < length) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
  RtlCopyMemory(irp->UserBuffer, data, length);
  return CompleteRequest(irp, STATUS_SUCCESS, length);
}

ctlmodel::Descriptor ReportDescriptorOf(const CollectionDevice& device) {
  return device.whole ? ctlmodel::DeviceDescriptor() : ctlmodel::CollectionDescriptor(device.collection);
}

NTSTATUS DeviceDescriptor(CollectionDevice& device, PIRP irp) {
  HID_DESCRIPTOR descriptor = {};
  descriptor.bLength = sizeof(descriptor);
  descriptor.bDescriptorType = hidport::kHidDescriptorType;
  descriptor.bcdHID = 0x0100;
  descriptor.bNumDescriptors = 1;
  descriptor.DescriptorList[0].bReportType = hidport::kReportDescriptorType;
  descriptor.DescriptorList[0].wReportLength = static_cast<USHORT>(ReportDescriptorOf(device).length);
  return Copy(irp, &descriptor, sizeof(descriptor));
}

NTSTATUS ReportDescriptor(CollectionDevice& device, PIRP irp) {
  const ctlmodel::Descriptor descriptor = ReportDescriptorOf(device);
  return Copy(irp, descriptor.bytes, static_cast<ULONG>(descriptor.length));
}

NTSTATUS String(PIRP irp) {
  const auto request = reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
  const char16_t* text = nullptr;
  switch (request & 0xFFFF) {
    case hidport::kManufacturerString: text = ctlmodel::ManufacturerString(); break;
    case hidport::kProductString: text = ctlmodel::ProductString(); break;
    default: return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  }
  ULONG chars = 0;
  while (text[chars] != 0) ++chars;
  return Copy(irp, text, (chars + 1) * sizeof(char16_t));
}

// The packet of a feature or report request: in UserBuffer for the class
// driver's internal requests.
HID_XFER_PACKET* Packet(PIRP irp) {
  auto* packet = static_cast<HID_XFER_PACKET*>(irp->UserBuffer);
  return packet != nullptr && packet->reportBuffer != nullptr && packet->reportBufferLen != 0 ? packet : nullptr;
}

NTSTATUS Transfer(CollectionDevice& device, PIRP irp, ULONG code) {
  HID_XFER_PACKET* packet = Packet(irp);
  if (packet == nullptr) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  ULONG_PTR bytes = 0;
  switch (code) {
    case hidport::kWriteReport:
    case hidport::kSetOutputReport: return controller::Write(device, irp, *packet);
    case hidport::kGetFeature: {
      const NTSTATUS status = controller::GetFeature(device, *packet, bytes);
      return CompleteRequest(irp, status, bytes);
    }
    case hidport::kSetFeature: return CompleteRequest(irp, controller::SetFeature(device, *packet));
    default: return CompleteRequest(irp, STATUS_NOT_SUPPORTED);  // input reports are only read
  }
}

NTSTATUS NTAPI InternalControl(PDEVICE_OBJECT fdo, PIRP irp) {
  CollectionDevice& device = *DeviceOf(fdo);
  const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  switch (code) {
    case hidport::kGetDeviceDescriptor: return DeviceDescriptor(device, irp);
    case hidport::kGetReportDescriptor: return ReportDescriptor(device, irp);
    case hidport::kGetDeviceAttributes: {
      const HID_DEVICE_ATTRIBUTES attributes = controller::Attributes();
      return Copy(irp, &attributes, sizeof(attributes));
    }
    case hidport::kGetString: return String(irp);
    case hidport::kReadReport: return controller::Read(device, irp);
    case hidport::kWriteReport:
    case hidport::kSetOutputReport:
    case hidport::kGetFeature:
    case hidport::kSetFeature:
    case hidport::kGetInputReport: return Transfer(device, irp, code);
    case hidport::kActivateDevice:
    case hidport::kDeactivateDevice: return CompleteRequest(irp, STATUS_SUCCESS);
    default: return CompleteRequest(irp, STATUS_NOT_SUPPORTED);
  }
}

// Called by the class driver's unload routine, once every device is gone.
VOID NTAPI Unload(PDRIVER_OBJECT) { controller::Shutdown(); }

void WrapClassDispatch(PDRIVER_OBJECT driver) {
  for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    g_classDispatch[major] = driver->MajorFunction[major];
    driver->MajorFunction[major] = Route;
  }
}

// Wine's ntoskrnl exports the loop its driver host runs.
bool UnderWine() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"wine_ntoskrnl_main_loop");
  return MmGetSystemRoutineAddress(&name) != nullptr;
}

// The path is only lent to DriverEntry. One longer than the buffer leaves the
// controller with the model's ids.
void KeepRegistryPath(PUNICODE_STRING registryPath) {
  if (registryPath->Length <= sizeof(g_registryPathBuffer)) RtlCopyUnicodeString(&g_registryPath, registryPath);
}

}  // namespace
}  // namespace vdev

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  using namespace vdev;
  KeepRegistryPath(registryPath);
  const bool wine = UnderWine();
  controller::Init({.failsDevices = !wine, .shortensWrites = wine});
  control::Init();
  // The class driver keeps these when the driver registers: they must be set before.
  driver->DriverUnload = Unload;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalControl;
  HID_MINIDRIVER_REGISTRATION registration = {};
  registration.Revision = hidport::kRevision;
  registration.DriverObject = driver;
  registration.RegistryPath = registryPath;
  registration.DeviceExtensionSize = sizeof(CollectionDevice);
  registration.DevicesArePolled = FALSE;
  const NTSTATUS status = HidRegisterMinidriver(&registration);
  if (NT_SUCCESS(status)) WrapClassDispatch(driver);
  return status;
}
