// kernel32: critical sections. Recursive for their owner, as on Windows; the
// lock object lives behind CRITICAL_SECTION::LockImpl.
#include <winsim/kernel32.h>
#include <winsim/sim/object.h>

#include <atomic>
#include <mutex>

using namespace winsim;

namespace {

struct CriticalSectionLock {
  std::mutex mutex;
  std::atomic<DWORD> owner{0};
  LONG recursion = 0;  // touched by the owner only
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

void TakeOwnership(LPCRITICAL_SECTION section, CriticalSectionLock& lock, DWORD tid) {
  lock.owner.store(tid, std::memory_order_relaxed);
  lock.recursion = 1;
  section->RecursionCount = 1;
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
  if (lock.owner.load(std::memory_order_relaxed) == tid) {
    lpCriticalSection->RecursionCount = ++lock.recursion;
    return;
  }
  lock.mutex.lock();
  TakeOwnership(lpCriticalSection, lock, tid);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!lpCriticalSection) return FALSE;
  CriticalSectionLock& lock = *LockOf(lpCriticalSection);
  const DWORD tid = CurrentThreadId();
  if (lock.owner.load(std::memory_order_relaxed) == tid) {
    lpCriticalSection->RecursionCount = ++lock.recursion;
    return TRUE;
  }
  if (!lock.mutex.try_lock()) return FALSE;
  TakeOwnership(lpCriticalSection, lock, tid);
  return TRUE;
}

// Leaving a section the thread does not own is a caller bug that Windows
// leaves undefined; here it is ignored rather than corrupting the lock.
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!lpCriticalSection || !lpCriticalSection->LockImpl) return;
  CriticalSectionLock& lock = *LockOf(lpCriticalSection);
  if (lock.owner.load(std::memory_order_relaxed) != CurrentThreadId()) return;
  lpCriticalSection->RecursionCount = --lock.recursion;
  if (lock.recursion > 0) return;
  lock.owner.store(0, std::memory_order_relaxed);
  lock.mutex.unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!lpCriticalSection) return;
  delete static_cast<CriticalSectionLock*>(lpCriticalSection->LockImpl);
  lpCriticalSection->LockImpl = nullptr;
  lpCriticalSection->RecursionCount = 0;
}

}  // extern "C"
