// The control device, \\.\VornVdev: vorndev.exe sets the controller's ids
// and fault, detaches and attaches it, and reads its wire record and state.
// It is created when the driver loads, so it outlives a detach.
#include "../control.h"
#include "vdev.h"

namespace vdev::control {
namespace {

PDEVICE_OBJECT g_device;
UNICODE_STRING g_link;

// The buffered request's input, when it is exactly `size` bytes.
const void* Input(PIRP irp, ULONG size) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
  return length == size ? irp->AssociatedIrp.SystemBuffer : nullptr;
}

void* Output(PIRP irp, ULONG size) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  return length >= size ? irp->AssociatedIrp.SystemBuffer : nullptr;
}

NTSTATUS ResetRequest(PIRP irp) {
  auto* config = static_cast<const ctlmodel::Config*>(Input(irp, sizeof(ctlmodel::Config)));
  if (config == nullptr || static_cast<int>(config->fault) >= ctlmodel::kFaultCount)
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  controller::Reset(*config);
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS SetFaultRequest(PIRP irp) {
  auto* fault = static_cast<const uint32_t*>(Input(irp, sizeof(uint32_t)));
  if (fault == nullptr || *fault >= static_cast<uint32_t>(ctlmodel::kFaultCount))
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  controller::SetFault(static_cast<ctlmodel::Fault>(*fault));
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS TakeWireRequest(PIRP irp) {
  auto* chunk = static_cast<WireChunk*>(Output(irp, sizeof(WireChunk)));
  if (chunk == nullptr) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
  ULONG more = 0, dropped = 0;
  chunk->count = controller::TakeWire(chunk->entries, WireChunk::kEntries, more, dropped);
  chunk->more = more;
  chunk->dropped = dropped;
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof(WireChunk));
}

NTSTATUS StateRequest(PIRP irp) {
  auto* state = static_cast<ctlmodel::State*>(Output(irp, sizeof(ctlmodel::State)));
  if (state == nullptr) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
  *state = controller::State();
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof(ctlmodel::State));
}

NTSTATUS DeviceControl(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlReset: return ResetRequest(irp);
    case kIoctlSetFault: return SetFaultRequest(irp);
    case kIoctlDetach: controller::Attach(false); return CompleteRequest(irp, STATUS_SUCCESS);
    case kIoctlAttach: controller::Attach(true); return CompleteRequest(irp, STATUS_SUCCESS);
    case kIoctlTakeWire: return TakeWireRequest(irp);
    case kIoctlGetState: return StateRequest(irp);
    default: return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace

NTSTATUS Create(PDRIVER_OBJECT driver) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, VDEV_CONTROL_DEVICE);
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
  if (!NT_SUCCESS(status)) return status;
  RtlInitUnicodeString(&g_link, VDEV_CONTROL_LINK);
  status = IoCreateSymbolicLink(&g_link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(g_device);
    g_device = nullptr;
    return status;
  }
  g_device->Flags |= DO_BUFFERED_IO;
  g_device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void Delete() {
  if (g_device == nullptr) return;
  IoDeleteSymbolicLink(&g_link);
  IoDeleteDevice(g_device);
  g_device = nullptr;
}

bool Owns(PDEVICE_OBJECT device) { return device != nullptr && device == g_device; }

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) return DeviceControl(irp);
  return CompleteRequest(irp, STATUS_SUCCESS);  // create, cleanup, close
}

}  // namespace vdev::control
