// The virtual controller's control interface: what vorndev.exe asks of the
// driver through \\.\VornVdev. Shared by the driver and the tool, so both
// are built with the same compiler and see the same layouts.
//
// The control device is created when the driver loads and lives as long as
// the driver does: it is still there after a detach, when the controller's
// HID devices are gone.
#pragma once

#include <stdint.h>

#include <ctlmodel/controller.h>

namespace vdev {

// The name the tool opens, and the kernel names behind it.
#define VDEV_CONTROL_PATH L"\\\\.\\VornVdev"
#define VDEV_CONTROL_DEVICE L"\\Device\\VornVdev"
#define VDEV_CONTROL_LINK L"\\??\\VornVdev"

// The driver's service (the INF's AddService name) and the hardware id of
// its devices; the device id of a collection is VORN<pid>&COL0<n>.
#define VDEV_SERVICE L"VornVdev"
#define VDEV_HARDWARE_ID L"ROOT\\VORNVDEV"
// DWORD values of the service key: the ids the controller starts with.
#define VDEV_FIRMWARE_VALUE L"FirmwareVersion"
#define VDEV_PRODUCT_VALUE L"ProductId"

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS),
// spelled out so that the tool needs no DDK header.
constexpr uint32_t ControlCode(uint32_t function) { return (0x22u << 16) | (function << 2); }

// In: uint32_t, a ctlmodel::Fault.
constexpr uint32_t kIoctlSetFault = ControlCode(0x901);
// No buffers. The controller leaves the bus / comes back: reads pending on
// its collections fail at once; the tool then removes / creates the devices.
constexpr uint32_t kIoctlDetach = ControlCode(0x902);
constexpr uint32_t kIoctlAttach = ControlCode(0x903);
// Out: WireChunk. The oldest entries of the wire record, removed from it.
constexpr uint32_t kIoctlTakeWire = ControlCode(0x904);
// Out: ctlmodel::State.
constexpr uint32_t kIoctlGetState = ControlCode(0x905);
// In: ctlmodel::Config. The controller as after power-on, with these ids and
// fault: state, wire record, attached. The HID devices show a new product id
// only when they are created again (the class driver asks for it once).
constexpr uint32_t kIoctlReset = ControlCode(0x906);

struct WireChunk {
  static constexpr uint32_t kEntries = 32;
  uint32_t count;    // entries filled
  uint32_t more;     // entries still in the record after these
  uint32_t dropped;  // entries the record lost to overflow since it was last reset
  ctlmodel::WireEntry entries[kEntries];
};

}  // namespace vdev
