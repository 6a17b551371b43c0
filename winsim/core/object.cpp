#include <winsim/sim/machine.h>
#include <winsim/sim/object.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <vector>

namespace winsim {

namespace {
// What waits on kernel objects wait on: any change of a signal state.
const char kKernelObjects = 0;

// One WaitForObjects call that has begun to block. As Windows does, a signal
// satisfies the blocked waits at once, in the order in which they began: a
// released mutex or a set auto-reset event goes to the thread that waited
// longest, and the thread that let go cannot take it straight back. (Critical
// sections are not fair that way: there the leaving thread may re-enter
// first, see critsec.cpp.)
struct PendingWait {
  const std::shared_ptr<KernelObject>* objects;
  size_t count;
  bool waitAll;
  DWORD tid;
  DWORD result = WAIT_TIMEOUT;  // what a signal handed over
};

// Kernel lock held; in the order the waits began to block.
std::list<PendingWait*>& PendingWaits() {
  static std::list<PendingWait*> waits;
  return waits;
}

DWORD TrySatisfy(const std::shared_ptr<KernelObject>* objects, size_t count, bool waitAll, DWORD tid);

// Kernel lock held.
void SatisfyPendingLocked() {
  for (PendingWait* wait : PendingWaits())
    if (wait->result == WAIT_TIMEOUT) wait->result = TrySatisfy(wait->objects, wait->count, wait->waitAll, wait->tid);
}

}  // namespace

std::mutex& KernelLock() {
  static std::mutex lock;
  return lock;
}

void NotifyWaitersLocked() {
  SatisfyPendingLocked();
  CurrentMachine().clock().NotifyLocked(&kKernelObjects);
}

void NotifyWaiters() {
  std::lock_guard lock(KernelLock());
  NotifyWaitersLocked();
}

DWORD Event::Acquire(DWORD) {
  if (!m_manualReset) m_signaled = false;
  return WAIT_OBJECT_0;
}

void Event::Set() {
  std::lock_guard lock(KernelLock());
  m_signaled = true;
  NotifyWaitersLocked();
}

void Event::Reset() {
  std::lock_guard lock(KernelLock());
  m_signaled = false;
}

BOOL IoObject::Cancel(LPOVERLAPPED) { return Fail(ERROR_NOT_FOUND, FALSE); }

BOOL IoObject::Flush() { return TRUE; }

static std::shared_ptr<Event> EventOf(HANDLE handle) {
  if (!handle) return nullptr;
  return CurrentMachine().handles().GetAs<Event>(handle);
}

void OverlappedBegin(LPOVERLAPPED overlapped) {
  // Windows resets the caller's event when an overlapped transfer starts.
  if (auto event = EventOf(overlapped->hEvent)) event->Reset();
  std::lock_guard lock(KernelLock());
  overlapped->Internal = STATUS_PENDING;
  overlapped->InternalHigh = 0;
}

void OverlappedCompleteLocked(LPOVERLAPPED overlapped, DWORD error, DWORD bytes) {
  overlapped->Internal = error == ERROR_SUCCESS ? 0 : (kCompletedTag | error);
  overlapped->InternalHigh = bytes;
}

void OverlappedComplete(LPOVERLAPPED overlapped, DWORD error, DWORD bytes) {
  HANDLE eventHandle;
  {
    std::lock_guard lock(KernelLock());
    OverlappedCompleteLocked(overlapped, error, bytes);
    eventHandle = overlapped->hEvent;
  }
  if (auto event = EventOf(eventHandle)) event->Set();
  NotifyWaiters();
}

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object) {
  std::lock_guard lock(m_mutex);
  uintptr_t value = m_next;
  m_next += 4;
  m_objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Get(HANDLE handle) const {
  std::lock_guard lock(m_mutex);
  auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == m_objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> HandleTable::Remove(HANDLE handle) {
  std::lock_guard lock(m_mutex);
  auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == m_objects.end()) return nullptr;
  auto object = std::move(it->second);
  m_objects.erase(it);
  return object;
}

size_t HandleTable::Count() const {
  std::lock_guard lock(m_mutex);
  return m_objects.size();
}

namespace {

// Called with the lock held: WAIT_OBJECT_0 + i / WAIT_ABANDONED_0 + i when
// the wait is satisfied, WAIT_TIMEOUT when not yet. Signaled and Acquire
// are asked for the waiting thread, which need not be the caller.
DWORD TrySatisfy(const std::shared_ptr<KernelObject>* objects, size_t count, bool waitAll, DWORD tid) {
  if (waitAll) {
    for (size_t i = 0; i < count; ++i)
      if (!objects[i]->Signaled(tid)) return WAIT_TIMEOUT;
    bool abandoned = false;
    for (size_t i = 0; i < count; ++i) abandoned |= objects[i]->Acquire(tid) == WAIT_ABANDONED;
    return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
  }
  for (size_t i = 0; i < count; ++i) {
    if (objects[i]->Signaled(tid)) {
      DWORD base = objects[i]->Acquire(tid);
      return base + static_cast<DWORD>(i);
    }
  }
  return WAIT_TIMEOUT;
}

std::optional<std::chrono::microseconds> PollInterval(const std::shared_ptr<KernelObject>* objects,
                                                      size_t count) {
  std::optional<std::chrono::microseconds> interval;
  for (size_t i = 0; i < count; ++i) {
    auto own = objects[i]->PollInterval();
    if (own && (!interval || *own < *interval)) interval = own;
  }
  return interval;
}

}  // namespace

DWORD WaitForObjects(const std::shared_ptr<KernelObject>* objects, size_t count, bool waitAll,
                     DWORD timeoutMs) {
  const DWORD tid = CurrentThreadId();
  for (size_t i = 0; i < count; ++i) objects[i]->BeforeWait();
  Clock& clock = CurrentMachine().clock();
  Clock::Wait wait(clock, &kKernelObjects, timeoutMs == INFINITE ? Clock::kNever : clock.DeadlineAfter(timeoutMs));
  std::unique_lock lock(KernelLock());
  PendingWait pending{objects, count, waitAll, tid};
  pending.result = TrySatisfy(objects, count, waitAll, tid);
  if (pending.result != WAIT_TIMEOUT) return pending.result;
  auto& waits = PendingWaits();
  const auto entry = waits.insert(waits.end(), &pending);
  for (;;) {
    // An object that another process may release is looked at again and again.
    const auto poll = PollInterval(objects, count);
    const bool blocked = poll ? wait.Poll(lock, *poll) : wait.Block(lock);
    if (pending.result == WAIT_TIMEOUT && poll) pending.result = TrySatisfy(objects, count, waitAll, tid);
    if (pending.result != WAIT_TIMEOUT || !blocked) break;
  }
  waits.erase(entry);
  return pending.result;
}

bool WaitForOverlapped(LPOVERLAPPED overlapped) {
  Clock& clock = CurrentMachine().clock();
  std::unique_lock lock(KernelLock());
  clock.WaitUntil(lock, &kKernelObjects, Clock::kNever, [&] { return overlapped->Internal != STATUS_PENDING; });
  return true;
}

namespace {
std::atomic<DWORD> g_nextThreadId{0x1000};
thread_local DWORD t_threadId = 0;
thread_local DWORD t_lastError = 0;
}  // namespace

DWORD CurrentThreadId() {
  if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(4);
  return t_threadId;
}

void SetLastErrorCode(DWORD code) { t_lastError = code; }
DWORD LastErrorCode() { return t_lastError; }

}  // namespace winsim
