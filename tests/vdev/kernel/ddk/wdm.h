// The kernel's wdm.h as the driver's request handling sees it on the host:
// the types it uses, with the sizes Windows gives them, and the calls it
// makes, faked in ../../fake_kernel.cpp. First on the include path of the
// driver's host test, so that vdev/driver/controller.cpp compiles unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#define NTAPI
typedef void VOID;
typedef void* PVOID;
typedef uint8_t UCHAR, *PUCHAR, BOOLEAN;
typedef char CCHAR;
typedef uint16_t USHORT;
typedef char16_t WCHAR;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef uintptr_t ULONG_PTR;
typedef LONG NTSTATUS;
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "32-bit as on Windows, not long as on Linux");

#define TRUE 1
#define FALSE 0

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001u);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000Du);
constexpr NTSTATUS STATUS_DELETE_PENDING = static_cast<NTSTATUS>(0xC0000056u);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009Au);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120u);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009Du);
#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)

typedef UCHAR KIRQL, *PKIRQL;
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL DISPATCH_LEVEL = 2;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

union LARGE_INTEGER {
  LONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
typedef LIST_ENTRY* PLIST_ENTRY;

inline VOID InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink, previous = entry->Blink;
  previous->Flink = next;
  next->Blink = previous;
  return next == previous;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  entry->Flink = head;
  entry->Blink = head->Blink;
  head->Blink->Flink = entry;
  head->Blink = entry;
}
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))
#define RtlCopyMemory(destination, source, length) std::memcpy((destination), (source), (length))

struct DRIVER_OBJECT;
typedef DRIVER_OBJECT* PDRIVER_OBJECT;
struct UNICODE_STRING;
typedef UNICODE_STRING* PUNICODE_STRING;

struct DEVICE_OBJECT {
  PVOID DeviceExtension;
};
typedef DEVICE_OBJECT* PDEVICE_OBJECT;

struct IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
};

constexpr UCHAR SL_PENDING_RETURNED = 0x01;
struct IO_STACK_LOCATION {
  UCHAR MajorFunction, MinorFunction, Flags, Control;
  union {
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
  } Parameters;
};
typedef IO_STACK_LOCATION* PIO_STACK_LOCATION;

struct IRP;
typedef IRP* PIRP;
typedef VOID NTAPI DRIVER_CANCEL(PDEVICE_OBJECT device, PIRP irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
struct IRP {
  IO_STATUS_BLOCK IoStatus;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  struct {
    struct {
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
    } Overlay;
  } Tail;
};
constexpr CCHAR IO_NO_INCREMENT = 0;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline VOID IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }

struct KDPC;
typedef KDPC* PKDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;
struct KDPC {
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  BOOLEAN Queued;
};
struct KTIMER {
  BOOLEAN Armed;
  PKDPC Dpc;
};
typedef KTIMER* PKTIMER;

struct IO_REMOVE_LOCK {
  LONG IoCount;  // 1 (the lock's own) plus one a holder
  BOOLEAN Removed;
};
typedef IO_REMOVE_LOCK* PIO_REMOVE_LOCK;

struct IO_WORKITEM;
typedef IO_WORKITEM* PIO_WORKITEM;
typedef VOID NTAPI IO_WORKITEM_ROUTINE(PDEVICE_OBJECT device, PVOID context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
enum WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue };

extern "C" {

VOID KeInitializeSpinLock(PKSPIN_LOCK lock);
VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);

VOID IoCompleteRequest(PIRP irp, CCHAR priorityBoost);
PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine);
VOID IoReleaseCancelSpinLock(KIRQL irql);

VOID KeInitializeTimer(PKTIMER timer);
VOID KeInitializeDpc(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN KeCancelTimer(PKTIMER timer);
VOID KeFlushQueuedDpcs();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency);

VOID IoInvalidateDeviceState(PDEVICE_OBJECT pdo);

VOID IoInitializeRemoveLock(PIO_REMOVE_LOCK lock, ULONG tag, ULONG maxLockedMinutes, ULONG highWatermark);
NTSTATUS IoAcquireRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag);
VOID IoReleaseRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag);
VOID IoReleaseRemoveLockAndWait(PIO_REMOVE_LOCK lock, PVOID tag);

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device);
VOID IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context);
VOID IoFreeWorkItem(PIO_WORKITEM item);

}  // extern "C"
