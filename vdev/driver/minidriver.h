// The HID minidriver interface as Microsoft documents it (hidport.h), which
// MinGW-w64 does not ship: the registration with the class driver, the
// device extension it hands us, and the internal request codes and records.
#pragma once

// wdm.h defines these two itself; without this, C++ sees them defined twice
// (once by intrin.h).
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>

extern "C" {

struct HID_MINIDRIVER_REGISTRATION {
  ULONG Revision;
  PDRIVER_OBJECT DriverObject;
  PUNICODE_STRING RegistryPath;
  ULONG DeviceExtensionSize;
  BOOLEAN DevicesArePolled;
  UCHAR Reserved[3];
};

struct HID_DEVICE_EXTENSION {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  PVOID MiniDeviceExtension;
};

struct HID_DEVICE_ATTRIBUTES {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
  USHORT Reserved[11];
};

#pragma pack(push, 1)
struct HID_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdHID;
  UCHAR bCountry;
  UCHAR bNumDescriptors;
  struct {
    UCHAR bReportType;
    USHORT wReportLength;
  } DescriptorList[1];
};
#pragma pack(pop)

struct HID_XFER_PACKET {
  PUCHAR reportBuffer;
  ULONG reportBufferLen;
  UCHAR reportId;
};

NTSTATUS NTAPI HidRegisterMinidriver(HID_MINIDRIVER_REGISTRATION* registration);

}  // extern "C"

namespace hidport {

constexpr ULONG kRevision = 1;
constexpr UCHAR kHidDescriptorType = 0x21;
constexpr UCHAR kReportDescriptorType = 0x22;

// CTL_CODE(FILE_DEVICE_KEYBOARD, id, method, FILE_ANY_ACCESS).
constexpr ULONG HidCode(ULONG id, ULONG method) { return (0x0Bu << 16) | (id << 2) | method; }
constexpr ULONG kNeither = 3, kInDirect = 1, kOutDirect = 2;

constexpr ULONG kGetDeviceDescriptor = HidCode(0, kNeither);
constexpr ULONG kGetReportDescriptor = HidCode(1, kNeither);
constexpr ULONG kReadReport = HidCode(2, kNeither);
constexpr ULONG kWriteReport = HidCode(3, kNeither);
constexpr ULONG kGetString = HidCode(4, kNeither);
constexpr ULONG kActivateDevice = HidCode(7, kNeither);
constexpr ULONG kDeactivateDevice = HidCode(8, kNeither);
constexpr ULONG kGetDeviceAttributes = HidCode(9, kNeither);
constexpr ULONG kGetFeature = HidCode(100, kOutDirect);
constexpr ULONG kSetFeature = HidCode(100, kInDirect);
constexpr ULONG kSetOutputReport = HidCode(101, kInDirect);
constexpr ULONG kGetInputReport = HidCode(104, kOutDirect);
constexpr ULONG kGetIndexedString = HidCode(120, kOutDirect);

// The string id of kGetString, in the low word of Type3InputBuffer.
constexpr ULONG kManufacturerString = 14;
constexpr ULONG kProductString = 15;
constexpr ULONG kSerialNumberString = 16;

}  // namespace hidport
