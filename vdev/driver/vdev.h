// The virtual touch controller driver: HID minidriver devices in front of
// one controller model (one device per top-level collection, or one for the
// whole controller), and a control device for vorndev.exe.
#pragma once

#include "minidriver.h"

#include <ctlmodel/controller.h>

#include "../control.h"

namespace vdev {

// A held write (fault stuck-write) is failed after this long unless the
// caller cancels it first. Wine's class driver passes a write down as a
// request of its own that the caller's CancelIo cannot reach, and the product
// waits for a cancelled transfer to finish before it reuses its buffer: a
// write held for ever would hang it there.
constexpr ULONG kStuckWriteHoldMs = 5000;

// Input reports that found no read waiting: the class driver keeps one read
// pending, but a report can arrive between one read and the next.
struct Backlog {
  static constexpr ULONG kReports = 4;
  ctlmodel::Report reports[kReports];
  ULONG first, count;
};

// The minidriver part of one device's extension.
struct CollectionDevice {
  PDEVICE_OBJECT fdo;
  PDEVICE_OBJECT pdo;
  bool whole;                       // the whole controller (single layout)
  ctlmodel::Collection collection;  // else this collection alone
  bool removed;
  LIST_ENTRY reads;  // IOCTL_HID_READ_REPORT requests waiting for a report
  LIST_ENTRY link;   // in the controller's device list
  Backlog backlog;
  // Held by work queued for the device; its removal waits until it is released.
  IO_REMOVE_LOCK removeLock;
  PIO_WORKITEM failWork;  // reports the device failed (the unplug fault)
  bool failing;           // failWork is queued or running

  bool Serves(ctlmodel::Collection c) const { return whole || collection == c; }
};

inline CollectionDevice* DeviceOf(PDEVICE_OBJECT fdo) {
  auto* ext = static_cast<HID_DEVICE_EXTENSION*>(fdo->DeviceExtension);
  return static_cast<CollectionDevice*>(ext->MiniDeviceExtension);
}

// The controller behind the devices: the model, under one spin lock, and
// what it said is due later, on kernel timers. Requests are completed only
// after the lock is released.
namespace controller {

// What the kernel the driver runs in does differently: Windows', or Wine 8's.
struct Kernel {
  // The unplug fault reports the devices failed, so that the PnP manager
  // removes them (IoInvalidateDeviceState). Wine 8's ntoskrnl does not
  // implement that call (calling it ends the driver host): there the devices
  // stay, with the model detached behind them.
  bool failsDevices;
  // Wine's class driver reports a write of a report with an ID one byte
  // shorter than the minidriver says: the ID byte is counted twice for it.
  bool shortensWrites;
};

void Init(const Kernel& kernel);
void Shutdown();  // unload: every timer cancelled, every queued DPC run

// A device arrives (`device.fdo` and `device.pdo` set). The first one plugs
// the controller in: it starts as after power-on with `config`, and what was
// due for the one before is dropped.
NTSTATUS AddDevice(CollectionDevice& device, const ctlmodel::Config& config);
// The device is going (surprise removal or removal): its pending reads and
// held writes complete with STATUS_DELETE_PENDING, and nothing reaches it any
// more.
void RemoveDevice(CollectionDevice& device);
// IRP_MN_REMOVE_DEVICE, at passive level: the device is removed as above,
// work still holding it is waited for, and what AddDevice took is freed; the
// class driver then deletes the device object.
void DeleteDevice(CollectionDevice& device);
ULONG DeviceCount();

// Each completes the request or leaves it pending, and returns its status.
NTSTATUS Read(CollectionDevice& device, PIRP irp);
NTSTATUS Write(CollectionDevice& device, PIRP irp, const HID_XFER_PACKET& packet);
NTSTATUS GetFeature(CollectionDevice& device, const HID_XFER_PACKET& packet, ULONG_PTR& bytes);
NTSTATUS SetFeature(CollectionDevice& device, const HID_XFER_PACKET& packet);
HID_DEVICE_ATTRIBUTES Attributes();
// True while the unplug fault has the controller off the bus.
bool Unplugged();

// The control interface.
void SetFault(ctlmodel::Fault fault);
void Attach();
StateReply State();
// Fills the reply to kIoctlTakeWire; returns its length.
ULONG TakeWire(WireChunk& chunk);

}  // namespace controller

// The control device (\\.\VornVdev).
namespace control {
void Init();
// Creates or deletes the control device so that it exists exactly while the
// controller has devices. Called after a device arrives or goes.
void Follow(PDRIVER_OBJECT driver);
bool Owns(PDEVICE_OBJECT device);
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
}  // namespace control

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

}  // namespace vdev
