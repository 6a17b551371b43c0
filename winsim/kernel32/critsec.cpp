// kernel32: critical sections. Recursive for their owner, as on Windows; the
// lock object lives behind CRITICAL_SECTION::LockImpl. Ownership is kept under
// the kernel lock and a contended entry waits as any winsim wait does, so that
// a simulated thread blocked on a section gives way to the one that owns it.
#include <winsim/kernel32.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/object.h>

#include <atomic>
#include <mutex>

using namespace winsim;

namespace {

struct CriticalSectionLock {
  DWORD owner = 0;     // guarded by KernelLock()
  LONG recursion = 0;  // guarded by KernelLock()
  int waiters = 0;     // guarded by KernelLock()
};

// A zero-filled CRITICAL_SECTION that was never initialised still works: the
// first user installs the lock object.
CriticalSectionLock* LockOf(LPCRITICAL_SECTION section) {
  std::atomic_ref<void*> slot(section->LockImpl);
  void* current = slot.load(std::memory_order_acquire);
  if (current) return static_cast<CriticalSectionLock*>(current);
  auto* fresh = new CriticalSectionLock;
  if (slot.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return fresh;
  delete fresh;
  return static_cast<CriticalSectionLock*>(current);
}

void Initialize(LPCRITICAL_SECTION section, DWORD spinCount) {
  section->LockImpl = new CriticalSectionLock;
  section->SpinCount = spinCount;
  section->RecursionCount = 0;
}

// Kernel lock held. False when another thread owns the section.
bool TryTake(LPCRITICAL_SECTION section, CriticalSectionLock& lock, DWORD tid) {
  if (lock.owner != 0 && lock.owner != tid) return false;
  lock.owner = tid;
  section->RecursionCount = ++lock.recursion;
  return true;
}

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection) Initialize(lpCriticalSection, 0);
}

// Always succeeds since Windows Vista.
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
  if (!lpCriticalSection) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Initialize(lpCriticalSection, dwSpinCount);
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!lpCriticalSection) return;
  CriticalSectionLock& lock = *LockOf(lpCriticalSection);
  const DWORD tid = CurrentThreadId();
  Clock& clock = CurrentMachine().clock();
  std::unique_lock kernel(KernelLock());
  if (TryTake(lpCriticalSection, lock, tid)) return;
  ++lock.waiters;
  clock.WaitUntil(kernel, &lock, Clock::kNever, [&] { return lock.owner == 0; });
  --lock.waiters;
  TryTake(lpCriticalSection, lock, tid);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!lpCriticalSection) return FALSE;
  CriticalSectionLock& lock = *LockOf(lpCriticalSection);
  std::lock_guard kernel(KernelLock());
  return TryTake(lpCriticalSection, lock, CurrentThreadId()) ? TRUE : FALSE;
}

// Leaving a section the thread does not own is a caller bug that Windows
// leaves undefined; here it is ignored rather than corrupting the lock.
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!lpCriticalSection || !lpCriticalSection->LockImpl) return;
  CriticalSectionLock& lock = *LockOf(lpCriticalSection);
  const DWORD tid = CurrentThreadId();
  Clock& clock = CurrentMachine().clock();
  std::lock_guard kernel(KernelLock());
  if (lock.owner != tid) return;
  lpCriticalSection->RecursionCount = --lock.recursion;
  if (lock.recursion > 0) return;
  lock.owner = 0;
  if (lock.waiters > 0) clock.NotifyLocked(&lock);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!lpCriticalSection) return;
  delete static_cast<CriticalSectionLock*>(lpCriticalSection->LockImpl);
  lpCriticalSection->LockImpl = nullptr;
  lpCriticalSection->RecursionCount = 0;
}

}  // extern "C"
