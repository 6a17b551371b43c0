// The driver's entry, its registration with the HID class driver, and the
// requests the class driver passes down to each collection device.
//
// The class driver takes over the driver object's dispatch table when the
// minidriver registers; the entries the control device needs are then
// wrapped, so that a request to the control device reaches it and every
// other request still reaches the class driver.
#include "../control.h"
#include "vdev.h"

namespace vdev {
namespace {

PDRIVER_DISPATCH g_classDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
PDRIVER_UNLOAD g_classUnload;

// The dispatch entries that the control device answers.
constexpr UCHAR kControlMajors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL};

NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp) {
  if (control::Owns(device)) return control::Dispatch(device, irp);
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (g_classDispatch[major] != nullptr) return g_classDispatch[major](device, irp);
  return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS CallLower(PDEVICE_OBJECT fdo, PIRP irp) {
  auto* ext = static_cast<HID_DEVICE_EXTENSION*>(fdo->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->NextDeviceObject, irp);
}

// --- which collection a device is

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

// "&COL01" to "&COL03" (any letter case) name the collection.
bool CollectionFromId(const WCHAR* id, ctlmodel::Collection& collection) {
  for (const WCHAR* p = id; p[0] != 0; ++p) {
    if (p[0] != L'&' || (p[1] | 0x20) != L'c' || (p[2] | 0x20) != L'o' || (p[3] | 0x20) != L'l') continue;
    if (p[4] != L'0' || p[5] < L'1' || p[5] > L'0' + static_cast<WCHAR>(ctlmodel::kCollectionCount)) continue;
    collection = static_cast<ctlmodel::Collection>(p[5] - L'1');
    return true;
  }
  return false;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT fdo) {
  auto* ext = static_cast<HID_DEVICE_EXTENSION*>(fdo->DeviceExtension);
  CollectionDevice& device = *DeviceOf(fdo);
  PWCHAR id = QueryDeviceId(ext->PhysicalDeviceObject);
  const bool known = id != nullptr && CollectionFromId(id, device.collection);
  if (id != nullptr) ExFreePool(id);
  if (!known) return STATUS_NO_SUCH_DEVICE;
  device.fdo = fdo;
  controller::AddDevice(device);
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
    // A read left pending here would hold up the removal until the class
    // driver gives up on it.
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      controller::RemoveDevice(*DeviceOf(fdo));
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
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

NTSTATUS DeviceDescriptor(CollectionDevice& device, PIRP irp) {
  HID_DESCRIPTOR descriptor = {};
  descriptor.bLength = sizeof(descriptor);
  descriptor.bDescriptorType = hidport::kHidDescriptorType;
  descriptor.bcdHID = 0x0100;
  descriptor.bNumDescriptors = 1;
  descriptor.DescriptorList[0].bReportType = hidport::kReportDescriptorType;
  descriptor.DescriptorList[0].wReportLength =
      static_cast<USHORT>(ctlmodel::CollectionDescriptor(device.collection).length);
  return Copy(irp, &descriptor, sizeof(descriptor));
}

NTSTATUS ReportDescriptor(CollectionDevice& device, PIRP irp) {
  const ctlmodel::Descriptor descriptor = ctlmodel::CollectionDescriptor(device.collection);
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

// A DWORD value of the driver's service key, which vorndev install writes
// before the first device is installed: the class driver asks for the
// product id once, when a device starts.
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

ctlmodel::Config StartConfig(PUNICODE_STRING registryPath) {
  ctlmodel::Config config = ctlmodel::DefaultConfig();
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return config;
  ULONG value = 0;
  if (ReadDword(key, VDEV_FIRMWARE_VALUE, value) && value <= 0xFFFF) config.firmwareVersion = static_cast<uint16_t>(value);
  if (ReadDword(key, VDEV_PRODUCT_VALUE, value) && value <= 0xFFFF) config.productId = static_cast<uint16_t>(value);
  ZwClose(key);
  return config;
}

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  controller::Shutdown();
  control::Delete();
  if (g_classUnload != nullptr) g_classUnload(driver);
}

void WrapClassDispatch(PDRIVER_OBJECT driver) {
  for (UCHAR major : kControlMajors) {
    g_classDispatch[major] = driver->MajorFunction[major];
    driver->MajorFunction[major] = Route;
  }
  g_classUnload = driver->DriverUnload;
  driver->DriverUnload = Unload;
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
  controller::Init(StartConfig(registryPath));
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
  NTSTATUS status = HidRegisterMinidriver(&registration);
  if (!NT_SUCCESS(status)) return status;
  WrapClassDispatch(driver);
  status = control::Create(driver);
  if (!NT_SUCCESS(status)) controller::Shutdown();
  return status;
}
