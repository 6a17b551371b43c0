// The control device, \\.\VornVdev: vorndev.exe sets the controller's fault,
// brings it back after an unplug, and reads its wire record and state. It
// exists while the controller has devices (Follow), and only SYSTEM and the
// Administrators group may open it.
#include "vdev.h"

extern "C" {
// ntifs.h declares these; it does not mix with wdm.h.
NTSTATUS NTAPI RtlCreateAcl(PACL acl, ULONG length, ULONG revision);
NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL acl, ULONG revision, ACCESS_MASK mask, PSID sid);
NTSTATUS NTAPI ObOpenObjectByPointer(PVOID object, ULONG attributes, PACCESS_STATE state, ACCESS_MASK access,
                                     PVOID type, KPROCESSOR_MODE mode, PHANDLE handle);
NTSTATUS NTAPI ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
}

namespace vdev::control {
namespace {

PDEVICE_OBJECT g_device;
UNICODE_STRING g_link;
// Serialises Follow(): a device may arrive while another goes.
KMUTEX g_follow;

// SYSTEM (S-1-5-18) and Administrators (S-1-5-32-544), as SID structures:
// revision, sub-authority count, authority (NT), sub-authorities.
alignas(4) constexpr UCHAR kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
alignas(4) constexpr UCHAR kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
// An access-allowed ACE is its header and mask (8 bytes), then its SID.
constexpr ULONG kAclBytes = sizeof(ACL) + 8 + sizeof(kSystemSid) + 8 + sizeof(kAdministratorsSid);
// An absolute security descriptor, laid out as ntifs.h's SECURITY_DESCRIPTOR.
struct AbsoluteDescriptor {
  UCHAR revision;
  UCHAR sbz1;
  USHORT control;
  PVOID owner, group, sacl, dacl;
};
static_assert(sizeof(AbsoluteDescriptor) == 8 + 4 * sizeof(void*), "the pointers are aligned");
// SE_DACL_PROTECTED (winnt.h, which a driver does not include): the DACL takes
// no entries inherited from above.
constexpr USHORT kDaclProtected = 0x1000;

// Sets the device object's DACL through a handle to it: Wine's ntoskrnl does
// not implement ObSetSecurityObjectByPointer (calling it ends the driver host).
NTSTATUS SetDacl(PDEVICE_OBJECT device, PSECURITY_DESCRIPTOR descriptor) {
  HANDLE handle = nullptr;
  NTSTATUS status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
  if (!NT_SUCCESS(status)) return status;
  status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, descriptor);
  ZwClose(handle);
  return status;
}

// The device's DACL, as "D:P(A;;GA;;;SY)(A;;GA;;;BA)" would give it: all
// access for SYSTEM and the Administrators, none for anybody else, protected
// from inheritance. Built by hand: IoCreateDeviceSecure lives in a static
// library MinGW lacks.
NTSTATUS Protect(PDEVICE_OBJECT device) {
  alignas(8) UCHAR aclBuffer[kAclBytes];
  auto* acl = reinterpret_cast<PACL>(aclBuffer);
  auto* system = const_cast<UCHAR*>(kSystemSid);
  auto* administrators = const_cast<UCHAR*>(kAdministratorsSid);
  AbsoluteDescriptor descriptorBuffer;
  PSECURITY_DESCRIPTOR descriptor = &descriptorBuffer;
  NTSTATUS status = RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION);
  if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system);
  if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators);
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(descriptor, TRUE, acl, FALSE);
  descriptorBuffer.control |= kDaclProtected;
  if (NT_SUCCESS(status)) status = SetDacl(device, descriptor);
  return status;
}

NTSTATUS Create(PDRIVER_OBJECT driver) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, VDEV_CONTROL_DEVICE);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, kControlDeviceType, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  status = Protect(device);
  RtlInitUnicodeString(&g_link, VDEV_CONTROL_LINK);
  if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&g_link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  g_device = device;
  return STATUS_SUCCESS;
}

void Delete() {
  IoDeleteSymbolicLink(&g_link);
  IoDeleteDevice(g_device);
  g_device = nullptr;
}

// The buffered request's input, when it is exactly `size` bytes.
const void* Input(PIRP irp, ULONG size) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
  return length == size ? irp->AssociatedIrp.SystemBuffer : nullptr;
}

void* Output(PIRP irp, ULONG size) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  return length >= size ? irp->AssociatedIrp.SystemBuffer : nullptr;
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
  return CompleteRequest(irp, STATUS_SUCCESS, controller::TakeWire(*chunk));
}

NTSTATUS StateRequest(PIRP irp) {
  auto* reply = static_cast<StateReply*>(Output(irp, sizeof(StateReply)));
  if (reply == nullptr) return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
  *reply = controller::State();
  return CompleteRequest(irp, STATUS_SUCCESS, sizeof(StateReply));
}

NTSTATUS DeviceControl(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlSetFault: return SetFaultRequest(irp);
    case kIoctlAttach: controller::Attach(); return CompleteRequest(irp, STATUS_SUCCESS);
    case kIoctlTakeWire: return TakeWireRequest(irp);
    case kIoctlGetState: return StateRequest(irp);
    default: return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace

void Init() { KeInitializeMutex(&g_follow, 0); }

void Follow(PDRIVER_OBJECT driver) {
  KeWaitForSingleObject(&g_follow, Executive, KernelMode, FALSE, nullptr);
  const bool wanted = controller::DeviceCount() != 0;
  if (wanted && g_device == nullptr) {
    const NTSTATUS status = Create(driver);
    if (!NT_SUCCESS(status)) DbgPrint("vornvdev: no control device (status 0x%08lx)\n", status);
  } else if (!wanted && g_device != nullptr) {
    Delete();
  }
  KeReleaseMutex(&g_follow, FALSE);
}

// By its type: a control device already deleted still gets the requests of
// handles opened before, and none of them may reach the class driver.
bool Owns(PDEVICE_OBJECT device) { return device != nullptr && device->DeviceType == kControlDeviceType; }

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP: return CompleteRequest(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL: return DeviceControl(irp);
    // WMI: nothing is below the control device to pass it to, and it
    // registers no provider; the status it came with stands.
    case IRP_MJ_SYSTEM_CONTROL: return CompleteRequest(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default: return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);  // reads, writes and the rest
  }
}

}  // namespace vdev::control
