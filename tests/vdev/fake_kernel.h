// The kernel behind kernel/ddk/wdm.h, one processor's view of it: the driver's
// calls run at once, and what other processors do (cancel a request, expire
// timers, run DPCs and work items) runs when a test says. A cancel that comes
// while the driver holds a spin lock waits for it, as the other processor
// would spin. Each breach of the kernel's rules a driver can commit here
// (a request completed twice, under a spin lock or with its cancel routine
// still set, a PDO reported after its removal, a work item queued twice, a
// removal that would wait for ever) fails the running test.
#pragma once

#include <ddk/wdm.h>

#include <functional>

namespace fakekernel {

void Reset();

// IoCancelIrp, from another processor.
void Cancel(PIRP irp);
// Runs `action` once, just before (or after) the driver next sets
// (`setting`) or clears the cancel routine of `irp`.
enum class When { kBefore, kAfter };
void AtCancelRoutine(PIRP irp, bool setting, When when, std::function<void()> action);

void ExpireTimers();  // every armed timer fires: its DPC is queued
void RunDpcs();       // at DISPATCH_LEVEL
void RunWorkItems();  // at PASSIVE_LEVEL

// PDOs the driver may report failed: from their creation until the bus
// driver deletes them, after their FDO's removal.
void CreatePdo(PDEVICE_OBJECT pdo);
void DeletePdo(PDEVICE_OBJECT pdo);

struct Tally {
  int armedTimers;
  int queuedDpcs;
  int queuedWorkItems;
  int workItems;        // allocated, not freed
  int reportedFailed;   // IoInvalidateDeviceState calls
};
Tally Count();
int Completions(PIRP irp);

}  // namespace fakekernel
