// The controller behind the devices: one ctlmodel::Controller under one spin
// lock, the reads each device has pending, and the work the model says is
// due later (an answer, the end of a held write, an unplug), each on a kernel
// timer of its own. Requests are completed after the lock is released, and
// every request left pending has a cancel routine.
#include "vdev.h"

namespace vdev::controller {
namespace {

using ctlmodel::Collection;

enum class Due : UCHAR { kFree, kAnswer, kHeldWrite, kUnplug };

struct TimedWork {
  KTIMER timer;
  KDPC dpc;
  Due kind;
  ULONG generation;            // the controller's generation when scheduled
  ctlmodel::Report report;     // kAnswer
  PIRP irp;                    // kHeldWrite; null once it was completed another way
  CollectionDevice* device;    // kHeldWrite
};

// Held writes have timers of their own, so that a stuck-write storm cannot
// crowd out the answers and unplugs that are due: a write beyond these fails
// at once, an answer or unplug beyond those is counted as dropped.
constexpr ULONG kHeldWriteSlots = 16;
constexpr ULONG kDueSlots = 16;
constexpr ULONG kTimedSlots = kHeldWriteSlots + kDueSlots;  // held writes first

// Every member has an initializer, so that the global below is constant-
// initialized: the kernel's loader runs no constructors.
struct Bus {
  KSPIN_LOCK lock = 0;
  ctlmodel::Controller model;
  LIST_ENTRY devices = {};
  ULONG deviceCount = 0;
  // Bumped when the controller is plugged in afresh: timed work of an older
  // generation whose timer could no longer be cancelled does nothing.
  ULONG generation = 0;
  bool unplugged = false;  // the unplug fault took the controller off the bus
  Kernel kernel = {};
  uint32_t droppedSeen = 0;
  uint32_t dropped = 0;  // answers and unplugs with no timer free since the plug-in
  TimedWork timed[kTimedSlots] = {};
};

// Init() sets it up before any device exists.
constinit Bus g_bus;

class Locked {
 public:
  Locked() { KeAcquireSpinLock(&g_bus.lock, &m_irql); }
  ~Locked() { KeReleaseSpinLock(&g_bus.lock, m_irql); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  KIRQL m_irql;
};

// Requests to complete once the lock is released, linked through the IRPs
// themselves, so that there is no bound on how many.
class Completions {
 public:
  Completions() { InitializeListHead(&m_irps); }
  Completions(const Completions&) = delete;
  Completions& operator=(const Completions&) = delete;
  void Add(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    InsertTailList(&m_irps, &irp->Tail.Overlay.ListEntry);
  }
  void Run() {
    while (!IsListEmpty(&m_irps)) {
      PIRP irp = CONTAINING_RECORD(RemoveHeadList(&m_irps), IRP, Tail.Overlay.ListEntry);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
  }

 private:
  LIST_ENTRY m_irps;
};

LONGLONG Now() { return KeQueryPerformanceCounter(nullptr).QuadPart; }

constexpr ULONG kRemoveLockTag = 0x76646E56;  // 'Vndv', the pool tag of the remove lock's tracking

CollectionDevice* FindDevice(Collection collection) {
  for (LIST_ENTRY* link = g_bus.devices.Flink; link != &g_bus.devices; link = link->Flink) {
    CollectionDevice* device = CONTAINING_RECORD(link, CollectionDevice, link);
    if (device->Serves(collection) && !device->removed) return device;
  }
  return nullptr;
}

// The collection a request of the device is for: its own, or on a device of
// the whole controller the one the report ID names.
bool TargetOf(const CollectionDevice& device, const HID_XFER_PACKET& packet, Collection& collection) {
  if (!device.whole) return collection = device.collection, true;
  return ctlmodel::CollectionOfReport(packet.reportBuffer[0], collection);
}

// --- pending reads

VOID NTAPI CancelRead(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    Locked lock;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);  // a no-op once the request left the list
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
  }
  CompleteRequest(irp, STATUS_CANCELLED);
}

// The oldest read of the device that is not being cancelled; a read whose
// cancel routine is running is left to it.
PIRP PopRead(CollectionDevice& device) {
  while (!IsListEmpty(&device.reads)) {
    LIST_ENTRY* entry = RemoveHeadList(&device.reads);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) return irp;
    InitializeListHead(entry);
  }
  return nullptr;
}

void QueueRead(CollectionDevice& device, PIRP irp, Completions& done) {
  IoMarkIrpPending(irp);
  InsertTailList(&device.reads, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, CancelRead);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {  // cancelled before it was queued
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    done.Add(irp, STATUS_CANCELLED);
  }
}

// Fills a read with the report: the whole report, ID byte first; the class
// driver drops a read shorter than the collection's input report.
ULONG_PTR FillRead(PIRP irp, const ctlmodel::Report& report) {
  const ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  const ULONG length = report.length < room ? report.length : room;
  RtlCopyMemory(irp->UserBuffer, report.bytes, length);
  return length;
}

void PushBacklog(Backlog& backlog, const ctlmodel::Report& report) {
  if (backlog.count == Backlog::kReports) {  // the oldest goes, as a full input buffer does
    backlog.first = (backlog.first + 1) % Backlog::kReports;
    --backlog.count;
  }
  backlog.reports[(backlog.first + backlog.count) % Backlog::kReports] = report;
  ++backlog.count;
}

bool PopBacklog(Backlog& backlog, ctlmodel::Report& report) {
  if (backlog.count == 0) return false;
  report = backlog.reports[backlog.first];
  backlog.first = (backlog.first + 1) % Backlog::kReports;
  --backlog.count;
  return true;
}

// An input report goes out on the vendor input collection: to a waiting
// read, else into the backlog. With no such device (detached) it is lost
// and the model is not told it went out.
void SendInput(const ctlmodel::Report& report, Completions& done) {
  CollectionDevice* device = FindDevice(Collection::kVendorInput);
  if (device == nullptr) return;
  if (PIRP irp = PopRead(*device)) {
    done.Add(irp, STATUS_SUCCESS, FillRead(irp, report));
  } else {
    PushBacklog(device->backlog, report);
  }
  g_bus.model.SetClock(Now());
  g_bus.model.NoteInputSent(report.bytes, report.length);
}

// --- timed work and held writes

VOID NTAPI TimedWorkDue(PKDPC, PVOID context, PVOID, PVOID);

TimedWork* Schedule(Due kind, ULONG dueMs) {
  const bool held = kind == Due::kHeldWrite;
  TimedWork* const first = g_bus.timed + (held ? 0 : kHeldWriteSlots);
  TimedWork* const end = held ? g_bus.timed + kHeldWriteSlots : g_bus.timed + kTimedSlots;
  for (TimedWork* slot = first; slot != end; ++slot) {
    TimedWork& work = *slot;
    if (work.kind != Due::kFree) continue;
    work.kind = kind;
    work.generation = g_bus.generation;
    work.irp = nullptr;
    work.device = nullptr;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(dueMs) * 10000;  // relative, in 100 ns units
    KeSetTimer(&work.timer, due, &work.dpc);
    return &work;
  }
  return nullptr;
}

// Stops a slot's timer; a timer that already fired leaves the slot to its DPC.
void Cancel(TimedWork& work) {
  if (KeCancelTimer(&work.timer)) work.kind = Due::kFree;
}

// The held write of a slot, when this path may complete it: null when it is
// gone or its cancel routine runs (and completes it).
PIRP TakeHeldWrite(TimedWork& work) {
  PIRP irp = work.irp;
  work.irp = nullptr;
  return irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr ? irp : nullptr;
}

VOID NTAPI CancelHeldWrite(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    Locked lock;
    for (TimedWork& work : g_bus.timed) {
      if (work.kind != Due::kHeldWrite || work.irp != irp) continue;
      work.irp = nullptr;
      Cancel(work);
    }
  }
  CompleteRequest(irp, STATUS_CANCELLED);
}

// Returns STATUS_PENDING, or the status it was completed with at once.
NTSTATUS HoldWrite(CollectionDevice& device, PIRP irp, Completions& done) {
  TimedWork* work = Schedule(Due::kHeldWrite, kStuckWriteHoldMs);
  if (work == nullptr) {  // as many writes as there are slots are held
    done.Add(irp, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoMarkIrpPending(irp);
  work->irp = irp;
  work->device = &device;
  IoSetCancelRoutine(irp, CancelHeldWrite);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {  // cancelled before it was held
    work->irp = nullptr;
    Cancel(*work);
    done.Add(irp, STATUS_CANCELLED);
  }
  return STATUS_PENDING;
}

// At passive level, from the device's work item: a device still listed is
// reported failed, which makes the PnP manager take it away as it does a
// device pulled out. The remove lock taken when the work was queued keeps the
// device, and so its PDO, until this returns.
VOID NTAPI ReportFailed(PDEVICE_OBJECT, PVOID context) {
  auto* device = static_cast<CollectionDevice*>(context);
  PDEVICE_OBJECT pdo = nullptr;
  {
    Locked lock;
    device->failing = false;
    if (!device->removed) pdo = device->pdo;
  }
  if (pdo != nullptr) IoInvalidateDeviceState(pdo);
  IoReleaseRemoveLock(&device->removeLock, device);
}

constexpr ULONG kMaxDevices = 8;  // more than a controller of either layout has
using Failing = CollectionDevice* [kMaxDevices];

// The controller leaves the bus: the model is detached, and where the kernel
// can, each device is to be reported failed. Returns how many devices of
// `failing` are, each with its remove lock taken: their work items are queued
// once the lock is released.
ULONG Unplug(Failing& failing) {
  g_bus.model.Detach();
  g_bus.unplugged = true;
  ULONG count = 0;
  if (!g_bus.kernel.failsDevices) return 0;
  for (LIST_ENTRY* link = g_bus.devices.Flink; link != &g_bus.devices && count < kMaxDevices; link = link->Flink) {
    CollectionDevice* device = CONTAINING_RECORD(link, CollectionDevice, link);
    if (device->failing || !NT_SUCCESS(IoAcquireRemoveLock(&device->removeLock, device))) continue;
    device->failing = true;
    failing[count++] = device;
  }
  return count;
}

ULONG Carry(TimedWork& work, Completions& done, Failing& failing) {
  const bool current = work.generation == g_bus.generation;
  ULONG failingCount = 0;
  switch (work.kind) {
    case Due::kAnswer:
      if (current) SendInput(work.report, done);
      break;
    case Due::kHeldWrite:
      if (PIRP irp = TakeHeldWrite(work)) done.Add(irp, STATUS_UNSUCCESSFUL);
      break;
    case Due::kUnplug:
      if (current) failingCount = Unplug(failing);
      break;
    case Due::kFree: break;
  }
  work.kind = Due::kFree;
  return failingCount;
}

VOID NTAPI TimedWorkDue(PKDPC, PVOID context, PVOID, PVOID) {
  Completions done;
  Failing failing;
  ULONG count = 0;
  {
    Locked lock;
    count = Carry(*static_cast<TimedWork*>(context), done, failing);
  }
  done.Run();
  for (ULONG i = 0; i < count; ++i) IoQueueWorkItem(failing[i]->failWork, ReportFailed, DelayedWorkQueue, failing[i]);
}

void React(const ctlmodel::Reaction& reaction, Completions& done) {
  if (reaction.answers) {
    if (reaction.answerDueMs == 0) {
      SendInput(reaction.answer, done);
    } else if (TimedWork* work = Schedule(Due::kAnswer, reaction.answerDueMs)) {
      work->report = reaction.answer;
    } else {
      ++g_bus.dropped;
    }
  }
  if (reaction.unplugs && Schedule(Due::kUnplug, reaction.unplugDueMs) == nullptr) ++g_bus.dropped;
}

ULONG_PTR BytesWritten(const HID_XFER_PACKET& packet) {
  return packet.reportBufferLen + (g_bus.kernel.shortensWrites && packet.reportId != 0 ? 1 : 0);
}

NTSTATUS WriteStatus(ctlmodel::WriteOutcome outcome) {
  switch (outcome) {
    case ctlmodel::WriteOutcome::kDone: return STATUS_SUCCESS;
    case ctlmodel::WriteOutcome::kNotConnected: return STATUS_DEVICE_NOT_CONNECTED;
    case ctlmodel::WriteOutcome::kStuck: return STATUS_PENDING;
    case ctlmodel::WriteOutcome::kFailed: break;
  }
  return STATUS_UNSUCCESSFUL;
}

// As after power-on, with these ids: what was due for the controller before
// is cancelled, or dropped by its DPC when its timer already fired.
void PlugIn(const ctlmodel::Config& config) {
  g_bus.model.Init(config);
  ++g_bus.generation;
  g_bus.unplugged = false;
  g_bus.droppedSeen = 0;
  g_bus.dropped = 0;
  for (TimedWork& work : g_bus.timed)
    if (work.kind == Due::kAnswer || work.kind == Due::kUnplug) Cancel(work);
}

}  // namespace

void Init(const Kernel& kernel) {
  g_bus.kernel = kernel;
  KeInitializeSpinLock(&g_bus.lock);
  InitializeListHead(&g_bus.devices);
  g_bus.deviceCount = 0;
  for (TimedWork& work : g_bus.timed) {
    KeInitializeTimer(&work.timer);
    KeInitializeDpc(&work.dpc, TimedWorkDue, &work);
    work.kind = Due::kFree;
  }
}

void Shutdown() {
  for (TimedWork& work : g_bus.timed) KeCancelTimer(&work.timer);
  KeFlushQueuedDpcs();
}

NTSTATUS AddDevice(CollectionDevice& device, const ctlmodel::Config& config) {
  device.failWork = IoAllocateWorkItem(device.fdo);
  if (device.failWork == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoInitializeRemoveLock(&device.removeLock, kRemoveLockTag, 0, 0);
  device.failing = false;
  InitializeListHead(&device.reads);
  device.removed = false;
  device.backlog = {};
  Locked lock;
  if (g_bus.deviceCount == 0) PlugIn(config);
  InsertTailList(&g_bus.devices, &device.link);
  ++g_bus.deviceCount;
  return STATUS_SUCCESS;
}

void RemoveDevice(CollectionDevice& device) {
  Completions done;
  {
    Locked lock;
    if (!device.removed) {
      device.removed = true;
      RemoveEntryList(&device.link);
      --g_bus.deviceCount;
    }
    while (PIRP irp = PopRead(device)) done.Add(irp, STATUS_DELETE_PENDING);
    for (TimedWork& work : g_bus.timed) {
      if (work.kind != Due::kHeldWrite || work.device != &device) continue;
      if (PIRP irp = TakeHeldWrite(work)) done.Add(irp, STATUS_DELETE_PENDING);
      Cancel(work);
    }
  }
  done.Run();
}

void DeleteDevice(CollectionDevice& device) {
  RemoveDevice(device);
  if (NT_SUCCESS(IoAcquireRemoveLock(&device.removeLock, &device.removeLock)))
    IoReleaseRemoveLockAndWait(&device.removeLock, &device.removeLock);
  IoFreeWorkItem(device.failWork);
  device.failWork = nullptr;
}

ULONG DeviceCount() {
  Locked lock;
  return g_bus.deviceCount;
}

NTSTATUS Read(CollectionDevice& device, PIRP irp) {
  Completions done;
  NTSTATUS status = STATUS_PENDING;
  {
    Locked lock;
    ctlmodel::Report report;
    if (device.removed) {
      status = STATUS_DELETE_PENDING;
      done.Add(irp, status);
    } else if (PopBacklog(device.backlog, report)) {
      status = STATUS_SUCCESS;
      done.Add(irp, status, FillRead(irp, report));
    } else {
      QueueRead(device, irp, done);
    }
  }
  done.Run();
  return status;
}

NTSTATUS Write(CollectionDevice& device, PIRP irp, const HID_XFER_PACKET& packet) {
  Completions done;
  NTSTATUS status = STATUS_DELETE_PENDING;
  {
    Locked lock;
    Collection collection = Collection::kVendorOutput;
    if (device.removed) {
      done.Add(irp, status);
    } else if (!TargetOf(device, packet, collection)) {
      done.Add(irp, status = STATUS_INVALID_PARAMETER);
    } else {
      g_bus.model.SetClock(Now());
      const ctlmodel::Reaction reaction =
          g_bus.model.TakeOutputReport(collection, packet.reportBuffer, packet.reportBufferLen);
      status = WriteStatus(reaction.write);
      if (status == STATUS_PENDING) {
        status = HoldWrite(device, irp, done);
      } else {
        done.Add(irp, status, NT_SUCCESS(status) ? BytesWritten(packet) : 0);
      }
      React(reaction, done);
    }
  }
  done.Run();
  return status;
}

NTSTATUS GetFeature(CollectionDevice& device, const HID_XFER_PACKET& packet, ULONG_PTR& bytes) {
  Locked lock;
  Collection collection = Collection::kTouchScreen;
  if (!TargetOf(device, packet, collection) ||
      !g_bus.model.GetFeature(collection, packet.reportBuffer, packet.reportBufferLen))
    return STATUS_UNSUCCESSFUL;
  bytes = packet.reportBufferLen;
  return STATUS_SUCCESS;
}

NTSTATUS SetFeature(CollectionDevice& device, const HID_XFER_PACKET& packet) {
  Locked lock;
  Collection collection = Collection::kTouchScreen;
  if (!TargetOf(device, packet, collection)) return STATUS_UNSUCCESSFUL;
  return g_bus.model.SetFeature(collection, packet.reportBuffer, packet.reportBufferLen) ? STATUS_SUCCESS
                                                                                         : STATUS_UNSUCCESSFUL;
}

HID_DEVICE_ATTRIBUTES Attributes() {
  HID_DEVICE_ATTRIBUTES attributes = {};
  attributes.Size = sizeof(attributes);
  attributes.VendorID = ctlmodel::kVendorId;
  Locked lock;
  attributes.ProductID = g_bus.model.GetState().productId;
  attributes.VersionNumber = g_bus.model.GetState().firmwareVersion;
  return attributes;
}

bool Unplugged() {
  Locked lock;
  return g_bus.unplugged;
}

void SetFault(ctlmodel::Fault fault) {
  Locked lock;
  g_bus.model.SetFault(fault);
  if (fault == ctlmodel::Fault::kNone && g_bus.unplugged) {
    g_bus.unplugged = false;
    g_bus.model.Attach();
  }
}

void Attach() {
  Locked lock;
  g_bus.unplugged = false;
  g_bus.model.Attach();
}

StateReply State() {
  Locked lock;
  return MakeStateReply(g_bus.model.GetState(), g_bus.dropped);
}

ULONG TakeWire(WireChunk& chunk) {
  LARGE_INTEGER frequency;
  KeQueryPerformanceCounter(&frequency);
  Locked lock;
  return TakeWireChunk(g_bus.model.Wire(), chunk, g_bus.droppedSeen, static_cast<uint64_t>(frequency.QuadPart));
}

}  // namespace vdev::controller

namespace vdev {

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace vdev
