// The driver's entry, its registration with the HID class driver, and the
// requests the class driver passes down to each device.
//
// The class driver takes over the driver object's dispatch table when the
// minidriver registers; every entry is then wrapped, so that a request to the
// control device reaches it whatever its major function, and every request to
// a HID device still reaches the class driver.
#include "vdev.h"

namespace vdev {
namespace {

PDRIVER_DISPATCH g_classDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
PDRIVER_UNLOAD g_classUnload;

// The driver's service key, where vorndev install leaves the controller's ids.
constexpr USHORT kRegistryPathChars = 256;
WCHAR g_registryPathBuffer[kRegistryPathChars];
UNICODE_STRING g_registryPath;

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

// The device id the device was installed as (ROOT\VORN0101&COL02), asked of
// the device below; the caller frees it with ExFreePool.
PWCHAR QueryDeviceId(PDEVICE_OBJECT pdo) {
  KEVENT event;
  IO_STATUS_BLOCK status = {};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &status);
  if (irp == nullptr) return nullptr;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MinorFunction = IRP_MN_QUERY_ID;
  stack->Parameters.QueryId.IdType = BusQueryDeviceID;
  if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return NT_SUCCESS(status.Status) ? reinterpret_cast<PWCHAR>(status.Information) : nullptr;
}

// The device ids vorndev creates: VORN<pid> (the whole controller) or
// VORN<pid>&COL01 to &COL03 (one collection), after the enumerator's name,
// in any letter case. Anything else is not this driver's device.
bool IsHex(WCHAR c) { return (c >= L'0' && c <= L'9') || ((c | 0x20) >= L'a' && (c | 0x20) <= L'f'); }

// `text` starts with `word` (lower case), in any letter case.
bool StartsWith(const WCHAR* text, const WCHAR* word) {
  for (; *word != 0; ++text, ++word)
    if ((*text | 0x20) != *word) return false;
  return true;
}

bool ParseDeviceId(const WCHAR* id, CollectionDevice& device) {
  const WCHAR* p = id;
  while (*p != 0 && *p != L'\\') ++p;
  if (*p == 0 || !StartsWith(p + 1, L"vorn")) return false;
  p += 5;
  for (int i = 0; i < 4; ++i, ++p)
    if (!IsHex(*p)) return false;
  device.whole = *p == 0;
  if (device.whole) return true;
  const WCHAR last = static_cast<WCHAR>(L'0' + ctlmodel::kCollectionCount);
  if (!StartsWith(p, L"&col0") || p[5] < L'1' || p[5] > last || p[6] != 0) return false;
  device.collection = static_cast<ctlmodel::Collection>(p[5] - L'1');
  return true;
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
  PWCHAR id = QueryDeviceId(ext->PhysicalDeviceObject);
  const bool known = id != nullptr && ParseDeviceId(id, device);
  if (id != nullptr) ExFreePool(id);
  if (!known) return STATUS_NO_SUCH_DEVICE;
  device.fdo = fdo;
  device.pdo = ext->PhysicalDeviceObject;
  controller::AddDevice(device, StoredConfig());
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
    // driver gives up on it.
    case IRP_MN_SURPRISE_REMOVAL:
      controller::RemoveDevice(*DeviceOf(fdo));
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      controller::RemoveDevice(*DeviceOf(fdo));
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

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  controller::Shutdown();
  if (g_classUnload != nullptr) g_classUnload(driver);
}

void WrapClassDispatch(PDRIVER_OBJECT driver) {
  for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    g_classDispatch[major] = driver->MajorFunction[major];
    driver->MajorFunction[major] = Route;
  }
  g_classUnload = driver->DriverUnload;
  driver->DriverUnload = Unload;
}

// The path is only lent to DriverEntry. One longer than the buffer leaves the
// controller with the model's ids.
// Wine's ntoskrnl exports the loop its driver host runs.
bool UnderWine() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"wine_ntoskrnl_main_loop");
  return MmGetSystemRoutineAddress(&name) != nullptr;
}

void KeepRegistryPath(PUNICODE_STRING registryPath) {
  g_registryPath.Buffer = g_registryPathBuffer;
  g_registryPath.MaximumLength = sizeof(g_registryPathBuffer);
  if (registryPath->Length <= sizeof(g_registryPathBuffer)) RtlCopyUnicodeString(&g_registryPath, registryPath);
}

}  // namespace

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace vdev

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  using namespace vdev;
  KeepRegistryPath(registryPath);
  controller::Init(!UnderWine());
  control::Init();
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
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
