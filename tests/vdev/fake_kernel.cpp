#include "fake_kernel.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <set>
#include <utility>
#include <vector>

struct IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;
};

namespace fakekernel {
namespace {

constexpr LONGLONG kCounterFrequency = 10'000'000;  // ticks a second, as Windows' usual QPC rate

struct Trigger {
  PIRP irp;
  bool setting;
  When when;
  std::function<void()> action;
};

struct Kernel {
  KIRQL irql = PASSIVE_LEVEL;
  int spinLocksHeld = 0;
  bool cancelLockHeld = false;
  // Other processors' work spinning on a lock this one holds.
  std::deque<std::function<void()>> spinning;
  std::vector<Trigger> triggers;
  std::set<PKTIMER> armed;
  std::deque<PKDPC> dpcs;
  std::deque<PIO_WORKITEM> work;
  std::set<PIO_WORKITEM> items;
  std::set<PDEVICE_OBJECT> pdos;
  std::map<PIRP, int> completions;
  int reportedFailed = 0;
  LONGLONG clock = 0;
};

Kernel& K() {
  static Kernel kernel;
  return kernel;
}

void RunSpinning() {
  Kernel& k = K();
  while (k.spinLocksHeld == 0 && !k.cancelLockHeld && !k.spinning.empty()) {
    std::function<void()> work = std::move(k.spinning.front());
    k.spinning.pop_front();
    work();
  }
}

void Fire(PIRP irp, bool setting, When when) {
  std::vector<Trigger>& triggers = K().triggers;
  for (auto it = triggers.begin(); it != triggers.end(); ++it) {
    if (it->irp != irp || it->setting != setting || it->when != when) continue;
    std::function<void()> action = std::move(it->action);
    triggers.erase(it);
    action();
    return;
  }
}

}  // namespace

void Reset() {
  for (PIO_WORKITEM item : K().items) delete item;
  K() = Kernel{};
}

void Cancel(PIRP irp) {
  irp->Cancel = TRUE;
  const PDRIVER_CANCEL routine = std::exchange(irp->CancelRoutine, nullptr);
  if (routine == nullptr) return;
  auto run = [irp, routine] {
    Kernel& k = K();
    k.cancelLockHeld = true;
    irp->CancelIrql = std::exchange(k.irql, DISPATCH_LEVEL);
    routine(nullptr, irp);
    if (k.cancelLockHeld) ADD_FAILURE() << "a cancel routine returned holding the cancel spin lock";
  };
  if (K().spinLocksHeld > 0) {
    K().spinning.push_back(run);
  } else {
    run();
  }
}

void AtCancelRoutine(PIRP irp, bool setting, When when, std::function<void()> action) {
  K().triggers.push_back({irp, setting, when, std::move(action)});
}

void ExpireTimers() {
  Kernel& k = K();
  for (PKTIMER timer : k.armed) {
    timer->Armed = FALSE;
    if (timer->Dpc->Queued) continue;
    timer->Dpc->Queued = TRUE;
    k.dpcs.push_back(timer->Dpc);
  }
  k.armed.clear();
}

void RunDpcs() {
  Kernel& k = K();
  while (!k.dpcs.empty()) {
    PKDPC dpc = k.dpcs.front();
    k.dpcs.pop_front();
    dpc->Queued = FALSE;
    const KIRQL before = std::exchange(k.irql, DISPATCH_LEVEL);
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, nullptr, nullptr);
    if (k.spinLocksHeld != 0) ADD_FAILURE() << "a DPC returned holding a spin lock";
    k.irql = before;
  }
}

void RunWorkItems() {
  Kernel& k = K();
  while (!k.work.empty()) {
    PIO_WORKITEM item = k.work.front();
    k.work.pop_front();
    item->queued = false;
    const KIRQL before = std::exchange(k.irql, PASSIVE_LEVEL);
    item->routine(item->device, item->context);
    k.irql = before;
  }
}

void CreatePdo(PDEVICE_OBJECT pdo) { K().pdos.insert(pdo); }
void DeletePdo(PDEVICE_OBJECT pdo) { K().pdos.erase(pdo); }

Tally Count() {
  const Kernel& k = K();
  return {static_cast<int>(k.armed.size()), static_cast<int>(k.dpcs.size()), static_cast<int>(k.work.size()),
          static_cast<int>(k.items.size()), k.reportedFailed};
}

int Completions(PIRP irp) {
  auto it = K().completions.find(irp);
  return it == K().completions.end() ? 0 : it->second;
}

}  // namespace fakekernel

using fakekernel::K;

VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
  if (*lock != 0) ADD_FAILURE() << "a spin lock taken again on the processor holding it: it spins for ever";
  *lock = 1;
  ++K().spinLocksHeld;
  *oldIrql = std::exchange(K().irql, DISPATCH_LEVEL);
}

VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  if (*lock == 0) ADD_FAILURE() << "a spin lock released that was not held";
  *lock = 0;
  --K().spinLocksHeld;
  K().irql = newIrql;
  fakekernel::RunSpinning();
}

VOID IoCompleteRequest(PIRP irp, CCHAR) {
  if (K().spinLocksHeld != 0 || K().cancelLockHeld) ADD_FAILURE() << "a request completed under a spin lock";
  if (irp->CancelRoutine != nullptr) ADD_FAILURE() << "a request completed with its cancel routine set";
  if (++K().completions[irp] > 1) ADD_FAILURE() << "a request completed twice";
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  const bool setting = routine != nullptr;
  fakekernel::Fire(irp, setting, fakekernel::When::kBefore);
  const PDRIVER_CANCEL previous = std::exchange(irp->CancelRoutine, routine);
  fakekernel::Fire(irp, setting, fakekernel::When::kAfter);
  return previous;
}

VOID IoReleaseCancelSpinLock(KIRQL irql) {
  if (!K().cancelLockHeld) ADD_FAILURE() << "the cancel spin lock released twice";
  K().cancelLockHeld = false;
  K().irql = irql;
}

VOID KeInitializeTimer(PKTIMER timer) {
  *timer = {};
  K().armed.erase(timer);
}

VOID KeInitializeDpc(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) { *dpc = {routine, context, FALSE}; }

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER, PKDPC dpc) {
  const BOOLEAN wasArmed = timer->Armed;
  timer->Armed = TRUE;
  timer->Dpc = dpc;
  K().armed.insert(timer);
  return wasArmed;
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
  const BOOLEAN wasArmed = timer->Armed;
  timer->Armed = FALSE;
  K().armed.erase(timer);
  return wasArmed;
}

VOID KeFlushQueuedDpcs() {
  if (K().irql != PASSIVE_LEVEL) ADD_FAILURE() << "KeFlushQueuedDpcs above PASSIVE_LEVEL";
  fakekernel::RunDpcs();
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
  if (frequency != nullptr) frequency->QuadPart = fakekernel::kCounterFrequency;
  return {++K().clock};
}

VOID IoInvalidateDeviceState(PDEVICE_OBJECT pdo) {
  if (K().irql > DISPATCH_LEVEL) ADD_FAILURE() << "IoInvalidateDeviceState above DISPATCH_LEVEL";
  if (K().pdos.count(pdo) == 0) ADD_FAILURE() << "a PDO reported failed after the bus driver deleted it";
  ++K().reportedFailed;
}

VOID IoInitializeRemoveLock(PIO_REMOVE_LOCK lock, ULONG, ULONG, ULONG) { *lock = {1, FALSE}; }

NTSTATUS IoAcquireRemoveLock(PIO_REMOVE_LOCK lock, PVOID) {
  if (lock->Removed) return STATUS_DELETE_PENDING;
  ++lock->IoCount;
  return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLock(PIO_REMOVE_LOCK lock, PVOID) {
  if (--lock->IoCount < 0) ADD_FAILURE() << "a remove lock released more often than taken";
}

// The caller's hold and the lock's own go; the removal then waits for every
// other holder, whose work items the system's worker threads run meanwhile.
VOID IoReleaseRemoveLockAndWait(PIO_REMOVE_LOCK lock, PVOID) {
  if (K().irql != PASSIVE_LEVEL) ADD_FAILURE() << "IoReleaseRemoveLockAndWait above PASSIVE_LEVEL";
  lock->Removed = TRUE;
  lock->IoCount -= 2;
  while (lock->IoCount > 0 && !K().work.empty()) fakekernel::RunWorkItems();
  if (lock->IoCount != 0) ADD_FAILURE() << "a removal waits for ever: " << lock->IoCount << " holders are left";
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device) {
  PIO_WORKITEM item = new IO_WORKITEM{device, nullptr, nullptr, false};
  K().items.insert(item);
  return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE, PVOID context) {
  if (K().items.count(item) == 0) ADD_FAILURE() << "a work item queued that was not allocated";
  if (item->queued) ADD_FAILURE() << "a work item queued while it is queued";
  *item = {item->device, routine, context, true};
  K().work.push_back(item);
}

VOID IoFreeWorkItem(PIO_WORKITEM item) {
  if (item->queued) {
    ADD_FAILURE() << "a work item freed while it is queued";
    return;
  }
  K().items.erase(item);
  delete item;
}
