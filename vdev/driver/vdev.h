// The virtual touch controller driver: one HID minidriver device per
// top-level collection, all of them in front of one controller model, and a
// control device for vorndev.exe.
#pragma once

#include "minidriver.h"

#include <ctlmodel/controller.h>

namespace vdev {

// A held write (fault stuck-write) is failed after this long. Wine's class
// driver passes a write down as a request of its own that the caller's
// CancelIo cannot reach, and the product waits for a cancelled transfer to
// finish before it reuses its buffer: a write held for ever would hang it.
constexpr ULONG kStuckWriteHoldMs = 5000;

// The minidriver part of one collection device's extension.
struct CollectionDevice {
  PDEVICE_OBJECT fdo;
  ctlmodel::Collection collection;
  bool removed;
  LIST_ENTRY reads;  // IOCTL_HID_READ_REPORT requests waiting for a report
  LIST_ENTRY link;   // in the controller's device list
};

inline CollectionDevice* DeviceOf(PDEVICE_OBJECT fdo) {
  auto* ext = static_cast<HID_DEVICE_EXTENSION*>(fdo->DeviceExtension);
  return static_cast<CollectionDevice*>(ext->MiniDeviceExtension);
}

// The controller behind every collection device: the model, under one lock,
// and what it said is due later, on kernel timers.
namespace controller {

void Init(const ctlmodel::Config& config);
void Shutdown();  // cancels every timer; called when the driver unloads

void AddDevice(CollectionDevice& device);
// The device is going: its pending reads and held writes complete with
// STATUS_DELETE_PENDING, and nothing reaches it any more.
void RemoveDevice(CollectionDevice& device);

// Each completes the request or leaves it pending, and returns its status.
NTSTATUS Read(CollectionDevice& device, PIRP irp);
NTSTATUS Write(CollectionDevice& device, PIRP irp, const HID_XFER_PACKET& packet);
NTSTATUS GetFeature(CollectionDevice& device, const HID_XFER_PACKET& packet, ULONG_PTR& bytes);
NTSTATUS SetFeature(CollectionDevice& device, const HID_XFER_PACKET& packet);
HID_DEVICE_ATTRIBUTES Attributes();

// The control interface.
void Reset(const ctlmodel::Config& config);  // as after power-on: state, wire record, no report waiting
void SetFault(ctlmodel::Fault fault);
void Attach(bool attached);
ctlmodel::State State();
// Moves up to `capacity` of the oldest wire entries to `entries`; returns
// how many, and in `more` how many are left.
ULONG TakeWire(ctlmodel::WireEntry* entries, ULONG capacity, ULONG& more, ULONG& dropped);

}  // namespace controller

// The control device (\\.\VornVdev).
namespace control {
NTSTATUS Create(PDRIVER_OBJECT driver);
void Delete();
bool Owns(PDEVICE_OBJECT device);
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
}  // namespace control

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

}  // namespace vdev
