// Kernel objects, handles, the wait machinery and per-thread state.
#pragma once

#include <winsim/kernel32.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace winsim {

// One process-wide lock guards the signal state of every waitable object, so
// that a wait on several objects sees one consistent picture, and the
// bookkeeping of every wait (the clock's scheduler). Any change of a signal
// state is made under it and followed by NotifyWaiters(). It is the innermost
// lock: no other is taken while it is held.
std::mutex& KernelLock();
// After a change of a signal state: hands what is now signalled to the
// blocked waits, in the order they began, and wakes them.
void NotifyWaiters();        // lock not held
void NotifyWaitersLocked();  // lock held

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual bool Waitable() const { return false; }
  // The following are called with KernelLock() held.
  virtual bool Signaled(DWORD /*threadId*/) const { return false; }
  // Consumes the signal for the waiting thread (auto-reset events, mutex
  // ownership). Returns WAIT_OBJECT_0 or WAIT_ABANDONED.
  virtual DWORD Acquire(DWORD /*threadId*/) { return WAIT_OBJECT_0; }
  // An object whose state another process holds now (a named mutex owned
  // elsewhere) is polled by its waiters at this real-time interval.
  virtual std::optional<std::chrono::microseconds> PollInterval() const { return std::nullopt; }
  // Called on a thread about to wait on the object (kernel lock not held):
  // the wait may be satisfied later by another thread on its behalf.
  virtual void BeforeWait() {}
  // Called (without the kernel lock) when a handle to the object is closed.
  virtual void OnHandleClosed() {}
};

class Event final : public KernelObject {
 public:
  Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signaled(initialState) {}
  bool Waitable() const override { return true; }
  bool Signaled(DWORD) const override { return m_signaled; }
  DWORD Acquire(DWORD) override;
  void Set();
  void Reset();

 private:
  bool m_manualReset;
  bool m_signaled;  // guarded by KernelLock()
};

// Base of everything ReadFile/WriteFile/CancelIo/GetOverlappedResult work on:
// disk files and device handles.
class IoObject : public KernelObject {
 public:
  virtual BOOL Read(LPVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) = 0;
  virtual BOOL Write(LPCVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) = 0;
  // Cancels pending transfers issued through this handle (all when
  // `overlapped` is null); each completes with ERROR_OPERATION_ABORTED.
  virtual BOOL Cancel(LPOVERLAPPED overlapped);
  virtual BOOL Flush();
  // A file handle is signalled when no transfer on it is pending.
  bool Waitable() const override { return true; }
  bool Signaled(DWORD) const override { return m_pending == 0; }

 protected:
  int m_pending = 0;  // guarded by KernelLock()
};

// OVERLAPPED bookkeeping shared by every IoObject: Internal carries the state
// (STATUS_PENDING or the completion's Win32 code tagged with kCompletedTag),
// InternalHigh the byte count. Both are touched only under KernelLock().
constexpr ULONG_PTR kCompletedTag = 0xE0000000u;
void OverlappedBegin(LPOVERLAPPED overlapped);                          // lock not held
void OverlappedCompleteLocked(LPOVERLAPPED overlapped, DWORD error, DWORD bytes);  // lock held
void OverlappedComplete(LPOVERLAPPED overlapped, DWORD error, DWORD bytes);        // lock not held
// Blocks until the transfer described by `overlapped` has completed.
bool WaitForOverlapped(LPOVERLAPPED overlapped);

class HandleTable {
 public:
  HANDLE Insert(std::shared_ptr<KernelObject> object);
  std::shared_ptr<KernelObject> Get(HANDLE handle) const;
  template <class T>
  std::shared_ptr<T> GetAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(Get(handle));
  }
  // Removes the handle; the object stays alive while others refer to it.
  std::shared_ptr<KernelObject> Remove(HANDLE handle);
  size_t Count() const;

 private:
  mutable std::mutex m_mutex;
  std::map<uintptr_t, std::shared_ptr<KernelObject>> m_objects;
  uintptr_t m_next = 0x100;
};

// Waits on objects (already resolved from handles) with a simulated-time
// time-out; the result is a WaitFor* return value. Sets no last error.
DWORD WaitForObjects(const std::shared_ptr<KernelObject>* objects, size_t count, bool waitAll,
                     DWORD timeoutMs);

// Per-thread state.
DWORD CurrentThreadId();
void SetLastErrorCode(DWORD code);
DWORD LastErrorCode();

// Convenience for entry points: set the last error and return `result`.
template <class T>
T Fail(DWORD error, T result) {
  SetLastErrorCode(error);
  return result;
}

}  // namespace winsim
