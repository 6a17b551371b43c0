// The virtual controller's control interface: what vorndev.exe asks of the
// driver through \\.\VornVdev. Shared by the driver and the tool (and built
// on the host for its tests), so all of them see the same layouts.
//
// The control device exists while the controller has devices: the driver
// creates it with the first of them and deletes it with the last, so that
// the driver can be unloaded once the controller is gone. Only SYSTEM and
// the Administrators group may open it. What the tool needs to plug the
// controller in again (firmware version, product id, layout) lives in the
// driver's service key, not in the driver.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <ctlmodel/controller.h>

namespace vdev {

// The name the tool opens, and the kernel names behind it.
#define VDEV_CONTROL_PATH L"\\\\.\\VornVdev"
#define VDEV_CONTROL_DEVICE L"\\Device\\VornVdev"
#define VDEV_CONTROL_LINK L"\\??\\VornVdev"

// The driver's service (the INF's AddService name) and the hardware id of
// its devices, which the INF matches. A device's first hardware id says what
// it serves: ROOT\VORNVDEV the whole controller (single layout),
// ROOT\VORNVDEV&COL0<n> collection n alone (split layout, where the device
// lists ROOT\VORNVDEV second).
#define VDEV_SERVICE L"VornVdev"
#define VDEV_HARDWARE_ID L"ROOT\\VORNVDEV"
#define VDEV_COLLECTION_SUFFIX L"&COL0"
// DWORD values of the service key, written by vorndev install: the ids the
// controller starts with each time it is plugged in, and its layout.
#define VDEV_FIRMWARE_VALUE L"FirmwareVersion"
#define VDEV_PRODUCT_VALUE L"ProductId"
#define VDEV_LAYOUT_VALUE L"Layout"

enum class Layout : uint32_t { kSplit = 0, kSingle = 1 };

// The control device's type, from the range Microsoft leaves to vendors: the
// driver tells its control device from the HID devices on the same driver
// object by it.
constexpr uint16_t kControlDeviceType = 0xA7C1;

// CTL_CODE(kControlDeviceType, function, METHOD_BUFFERED, access), spelled
// out so that the tool needs no DDK header. Codes that change the controller
// need a handle opened for writing.
constexpr uint32_t kReadAccess = 1, kWriteAccess = 2;  // FILE_READ_ACCESS, FILE_WRITE_ACCESS
constexpr uint32_t ControlCode(uint32_t function, uint32_t access) {
  return (uint32_t{kControlDeviceType} << 16) | (access << 14) | (function << 2);
}

// In: uint32_t, a ctlmodel::Fault. Setting kNone on a controller that the
// unplug fault took off the bus while its devices stayed brings it back.
constexpr uint32_t kIoctlSetFault = ControlCode(0x901, kWriteAccess);
// No buffers. The controller, taken off the bus by the unplug fault while its
// devices stayed, is back on it.
constexpr uint32_t kIoctlAttach = ControlCode(0x903, kWriteAccess);
// Out: WireChunk. The oldest entries of the wire record, removed from it.
constexpr uint32_t kIoctlTakeWire = ControlCode(0x904, kWriteAccess);
// Out: StateReply.
constexpr uint32_t kIoctlGetState = ControlCode(0x905, kReadAccess);

// The reply to kIoctlTakeWire: the header and `count` entries, nothing more
// (WireChunkBytes(count) bytes). The caller's buffer is sizeof(WireChunk).
//
// Each entry's `clock` is the driver's KeQueryPerformanceCounter() value when
// the entry was recorded, in ticks of `frequency` per second: the time the
// driver took an output report or handed an input report to the class
// driver. `vorndev wire --times` prints it in microseconds.
struct WireChunk {
  static constexpr uint32_t kEntries = 32;
  uint32_t count;      // entries that follow
  uint32_t more;       // entries still in the record after these
  uint32_t dropped;    // entries the record lost to overflow since the previous reply
  uint32_t reserved;   // 0
  uint64_t frequency;  // ticks per second of the entries' clock
  ctlmodel::WireEntry entries[kEntries];
};
static_assert(offsetof(WireChunk, entries) == 24 && sizeof(WireChunk) == 24 + 32 * sizeof(ctlmodel::WireEntry),
              "the reply has no padding: every byte of it is written");

// The reply to kIoctlGetState, laid out without padding, so that every byte
// the caller reads was written for it (the model's State has padding).
struct StateReply {
  uint16_t firmwareVersion;
  uint16_t productId;
  uint8_t fault;  // a ctlmodel::Fault
  uint8_t attached;
  uint8_t wakeOnTouch;
  uint8_t sleeping;
  uint32_t resets;
  // Late answers and unplugs the driver had no timer for since the controller
  // was plugged in: each of them was lost.
  uint32_t dropped;
};
static_assert(sizeof(StateReply) == 16, "the reply has no padding: every byte of it is written");

inline StateReply MakeStateReply(const ctlmodel::State& state, uint32_t dropped) {
  return {state.firmwareVersion, state.productId, static_cast<uint8_t>(state.fault), state.attached,
          state.wakeOnTouch, state.sleeping, state.resets, dropped};
}

constexpr uint32_t WireChunkBytes(uint32_t count) {
  return static_cast<uint32_t>(offsetof(WireChunk, entries) + count * sizeof(ctlmodel::WireEntry));
}

// A reply of `bytes` bytes that the caller may read: the whole header, at most
// kEntries entries, and exactly the entries it counts.
constexpr bool WireChunkWhole(const WireChunk& chunk, uint32_t bytes) {
  return bytes >= WireChunkBytes(0) && chunk.count <= WireChunk::kEntries && bytes == WireChunkBytes(chunk.count);
}

// Fills `chunk` with the oldest entries of `record`, taking them out of it,
// and returns the reply's length. `droppedSeen` is the record's Dropped() of
// the previous reply, updated here. Only the bytes it returns are written:
// the rest of the caller's buffer is not part of the reply.
inline uint32_t TakeWireChunk(ctlmodel::WireRecord& record, WireChunk& chunk, uint32_t& droppedSeen,
                              uint64_t frequency) {
  uint32_t count = 0;
  while (count < WireChunk::kEntries && record.Take(chunk.entries[count])) ++count;
  chunk.count = count;
  chunk.more = static_cast<uint32_t>(record.Count());
  chunk.dropped = record.Dropped() - droppedSeen;
  chunk.reserved = 0;
  chunk.frequency = frequency;
  droppedSeen = record.Dropped();
  return WireChunkBytes(count);
}

}  // namespace vdev
