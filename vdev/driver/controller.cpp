// The controller behind the collection devices: one ctlmodel::Controller
// under one spin lock, the reads each device has pending, and the work the
// model says is due later (an answer, the end of a held write, an unplug),
// each on a kernel timer of its own. Requests are completed after the lock
// is released.
#include "vdev.h"

namespace vdev::controller {
namespace {

using ctlmodel::Collection;

enum class Due : UCHAR { kFree, kAnswer, kHeldWrite, kUnplug };

struct TimedWork {
  KTIMER timer;
  KDPC dpc;
  Due kind;
  ctlmodel::Report report;     // kAnswer
  PIRP irp;                    // kHeldWrite; null once the device took it back
  CollectionDevice* device;    // kHeldWrite
};

// Input reports that found no read waiting: the class driver keeps one read
// pending, but a report can arrive between one read and the next.
struct Backlog {
  static constexpr ULONG kReports = 4;
  ctlmodel::Report reports[kReports];
  ULONG first, count;
};

constexpr ULONG kTimedSlots = 16;
constexpr ULONG kMaxCompletions = 8;

struct Completion {
  PIRP irp;
  NTSTATUS status;
  ULONG_PTR information;
};

// Requests to complete once the lock is released.
class Completions {
 public:
  void Add(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    if (m_count < kMaxCompletions) m_items[m_count++] = {irp, status, information};
  }
  bool Full() const { return m_count == kMaxCompletions; }
  void Run() {
    for (ULONG i = 0; i < m_count; ++i) CompleteRequest(m_items[i].irp, m_items[i].status, m_items[i].information);
    m_count = 0;
  }

 private:
  Completion m_items[kMaxCompletions];
  ULONG m_count = 0;
};

struct Bus {
  KSPIN_LOCK lock;
  ctlmodel::Controller model;
  LIST_ENTRY devices;
  TimedWork timed[kTimedSlots];
  Backlog backlog[ctlmodel::kCollectionCount];
};

// Zeroed at load; Init() sets it up before any device exists.
Bus g_bus;

class Locked {
 public:
  Locked() { KeAcquireSpinLock(&g_bus.lock, &m_irql); }
  ~Locked() { KeReleaseSpinLock(&g_bus.lock, m_irql); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  KIRQL m_irql;
};

size_t Index(Collection collection) { return static_cast<size_t>(collection); }

CollectionDevice* FindDevice(Collection collection) {
  for (LIST_ENTRY* link = g_bus.devices.Flink; link != &g_bus.devices; link = link->Flink) {
    CollectionDevice* device = CONTAINING_RECORD(link, CollectionDevice, link);
    if (device->collection == collection && !device->removed) return device;
  }
  return nullptr;
}

PIRP PopRead(CollectionDevice& device) {
  if (IsListEmpty(&device.reads)) return nullptr;
  return CONTAINING_RECORD(RemoveHeadList(&device.reads), IRP, Tail.Overlay.ListEntry);
}

// Fills a read with the report: the whole report, ID byte first; the class
// driver drops a read shorter than the collection's input report.
ULONG_PTR FillRead(PIRP irp, const ctlmodel::Report& report) {
  const ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  const ULONG length = report.length < room ? report.length : room;
  RtlCopyMemory(irp->UserBuffer, report.bytes, length);
  return length;
}

void PushBacklog(Collection collection, const ctlmodel::Report& report) {
  Backlog& backlog = g_bus.backlog[Index(collection)];
  if (backlog.count == Backlog::kReports) {  // the oldest goes, as a full input buffer does
    backlog.first = (backlog.first + 1) % Backlog::kReports;
    --backlog.count;
  }
  backlog.reports[(backlog.first + backlog.count) % Backlog::kReports] = report;
  ++backlog.count;
}

bool PopBacklog(Collection collection, ctlmodel::Report& report) {
  Backlog& backlog = g_bus.backlog[Index(collection)];
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
    PushBacklog(Collection::kVendorInput, report);
  }
  g_bus.model.NoteInputSent(report.bytes, report.length);
}

VOID NTAPI TimedWorkDue(PKDPC, PVOID context, PVOID, PVOID);

TimedWork* Schedule(Due kind, ULONG dueMs) {
  for (TimedWork& work : g_bus.timed) {
    if (work.kind != Due::kFree) continue;
    work.kind = kind;
    work.irp = nullptr;
    work.device = nullptr;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(dueMs) * 10000;  // relative, in 100 ns units
    KeSetTimer(&work.timer, due, &work.dpc);
    return &work;
  }
  return nullptr;
}

void Carry(TimedWork& work, Completions& done) {
  switch (work.kind) {
    case Due::kAnswer: SendInput(work.report, done); break;
    case Due::kHeldWrite:
      if (work.irp != nullptr) done.Add(work.irp, STATUS_UNSUCCESSFUL);  // else the device took it back
      break;
    case Due::kUnplug: g_bus.model.Detach(); break;
    case Due::kFree: break;
  }
  work.kind = Due::kFree;
}

VOID NTAPI TimedWorkDue(PKDPC, PVOID context, PVOID, PVOID) {
  Completions done;
  {
    Locked lock;
    Carry(*static_cast<TimedWork*>(context), done);
  }
  done.Run();
}

void React(const ctlmodel::Reaction& reaction, Completions& done) {
  if (reaction.answers) {
    if (reaction.answerDueMs == 0) {
      SendInput(reaction.answer, done);
    } else if (TimedWork* work = Schedule(Due::kAnswer, reaction.answerDueMs)) {
      work->report = reaction.answer;
    }
  }
  if (reaction.unplugs) Schedule(Due::kUnplug, reaction.unplugDueMs);
}

// A report with an ID: Wine's class driver reports one byte fewer written
// than the minidriver says, so the ID byte is counted twice here.
ULONG_PTR BytesWritten(const HID_XFER_PACKET& packet) {
  return packet.reportBufferLen + (packet.reportId != 0 ? 1 : 0);
}

}  // namespace

void Init(const ctlmodel::Config& config) {
  KeInitializeSpinLock(&g_bus.lock);
  InitializeListHead(&g_bus.devices);
  g_bus.model.Init(config);
  for (TimedWork& work : g_bus.timed) {
    KeInitializeTimer(&work.timer);
    KeInitializeDpc(&work.dpc, TimedWorkDue, &work);
    work.kind = Due::kFree;
  }
}

void Shutdown() {
  for (TimedWork& work : g_bus.timed) KeCancelTimer(&work.timer);
}

void AddDevice(CollectionDevice& device) {
  InitializeListHead(&device.reads);
  device.removed = false;
  Locked lock;
  g_bus.backlog[Index(device.collection)] = {};
  InsertTailList(&g_bus.devices, &device.link);
}

void RemoveDevice(CollectionDevice& device) {
  Completions done;
  bool more = true;
  while (more) {
    {
      Locked lock;
      if (!device.removed) {
        device.removed = true;
        RemoveEntryList(&device.link);
      }
      while (!done.Full()) {
        PIRP irp = PopRead(device);
        if (irp == nullptr) break;
        done.Add(irp, STATUS_DELETE_PENDING);
      }
      for (TimedWork& work : g_bus.timed) {
        if (done.Full() || work.kind != Due::kHeldWrite || work.device != &device || work.irp == nullptr) continue;
        done.Add(work.irp, STATUS_DELETE_PENDING);
        work.irp = nullptr;
        if (KeCancelTimer(&work.timer)) work.kind = Due::kFree;  // else its DPC frees it
      }
      more = done.Full();
    }
    done.Run();
  }
}

NTSTATUS Read(CollectionDevice& device, PIRP irp) {
  ctlmodel::Report report;
  {
    Locked lock;
    if (device.removed) return CompleteRequest(irp, STATUS_DELETE_PENDING);
    if (!PopBacklog(device.collection, report)) {
      IoMarkIrpPending(irp);
      InsertTailList(&device.reads, &irp->Tail.Overlay.ListEntry);
      return STATUS_PENDING;
    }
  }
  return CompleteRequest(irp, STATUS_SUCCESS, FillRead(irp, report));
}

NTSTATUS Write(CollectionDevice& device, PIRP irp, const HID_XFER_PACKET& packet) {
  Completions done;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  {
    Locked lock;
    if (device.removed) return CompleteRequest(irp, STATUS_DELETE_PENDING);
    const ctlmodel::Reaction reaction =
        g_bus.model.TakeOutputReport(device.collection, packet.reportBuffer, packet.reportBufferLen);
    switch (reaction.write) {
      case ctlmodel::WriteOutcome::kDone: status = STATUS_SUCCESS; break;
      case ctlmodel::WriteOutcome::kFailed: status = STATUS_UNSUCCESSFUL; break;
      case ctlmodel::WriteOutcome::kNotConnected: status = STATUS_DEVICE_NOT_CONNECTED; break;
      case ctlmodel::WriteOutcome::kStuck:
        if (TimedWork* work = Schedule(Due::kHeldWrite, kStuckWriteHoldMs)) {
          IoMarkIrpPending(irp);
          work->irp = irp;
          work->device = &device;
          status = STATUS_PENDING;
        }
        break;
    }
    if (status != STATUS_PENDING) done.Add(irp, status, status == STATUS_SUCCESS ? BytesWritten(packet) : 0);
    React(reaction, done);
  }
  done.Run();
  return status;
}

NTSTATUS GetFeature(CollectionDevice& device, const HID_XFER_PACKET& packet, ULONG_PTR& bytes) {
  Locked lock;
  if (!g_bus.model.GetFeature(device.collection, packet.reportBuffer, packet.reportBufferLen))
    return STATUS_UNSUCCESSFUL;
  bytes = packet.reportBufferLen;
  return STATUS_SUCCESS;
}

NTSTATUS SetFeature(CollectionDevice& device, const HID_XFER_PACKET& packet) {
  Locked lock;
  return g_bus.model.SetFeature(device.collection, packet.reportBuffer, packet.reportBufferLen) ? STATUS_SUCCESS
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

void Reset(const ctlmodel::Config& config) {
  Locked lock;
  g_bus.model.Init(config);
  for (Backlog& backlog : g_bus.backlog) backlog = {};
}

void SetFault(ctlmodel::Fault fault) {
  Locked lock;
  g_bus.model.SetFault(fault);
}

void Attach(bool attached) {
  Locked lock;
  if (attached) {
    g_bus.model.Attach();
  } else {
    g_bus.model.Detach();
  }
}

ctlmodel::State State() {
  Locked lock;
  return g_bus.model.GetState();
}

ULONG TakeWire(ctlmodel::WireEntry* entries, ULONG capacity, ULONG& more, ULONG& dropped) {
  Locked lock;
  ctlmodel::WireRecord& wire = g_bus.model.Wire();
  ULONG taken = 0;
  while (taken < capacity && wire.Take(entries[taken])) ++taken;
  more = static_cast<ULONG>(wire.Count());
  dropped = wire.Dropped();
  return taken;
}

}  // namespace vdev::controller
