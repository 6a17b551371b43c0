// Refusing a piece of work's memory one allocation at a time: the work runs
// once with its first allocation refused, once with its second, and so on,
// until a run makes no allocation that was refused. Needs a program linked
// with winsim_alloc_faults for the C allocators and nothrow new; LocalAlloc
// is refused in any program.
#pragma once

#include <gtest/gtest.h>
#include <winsim/sim/faults.h>

#include <functional>
#include <string>

namespace vorntest {

// `run()` does the work and `check(refused)` judges it: `refused` is false
// only for the last run, in which nothing was refused. `subject` narrows the
// allocations counted ("" for all; see FaultPoint::kHeapAlloc). Returns how
// many allocations the work made.
inline unsigned ForEachRefusedAllocation(winsim::Faults& faults, const std::function<void()>& run,
                                         const std::function<void(bool refused)>& check,
                                         const std::wstring& subject = {}, unsigned limit = 2000) {
  for (unsigned nSkip = 0; nSkip < limit; ++nSkip) {
    SCOPED_TRACE("allocation " + std::to_string(nSkip + 1) + " refused");
    const unsigned nHits = faults.Hits(winsim::FaultPoint::kHeapAlloc);
    winsim::FaultPlan plan;
    plan.error = ERROR_NOT_ENOUGH_MEMORY;
    plan.skip = nSkip;
    plan.subject = subject;
    faults.Arm(winsim::FaultPoint::kHeapAlloc, plan);
    run();
    faults.Disarm(winsim::FaultPoint::kHeapAlloc);
    const bool fRefused = faults.Hits(winsim::FaultPoint::kHeapAlloc) != nHits;
    check(fRefused);
    if (!fRefused) return nSkip;
    if (testing::Test::HasFatalFailure()) return nSkip;
  }
  ADD_FAILURE() << "the work made more than " << limit << " allocations";
  return limit;
}

}  // namespace vorntest
