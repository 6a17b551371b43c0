// The machine's thread pool behind QueueUserWorkItem. It owns its threads:
// when the machine shuts down, queued items that have not started are
// dropped and running ones are waited for (bounded).
#pragma once

#include <winsim/sim/machine.h>

#include <chrono>
#include <memory>

namespace winsim {

class ThreadPool : public MachinePart {
 public:
  // Default items share at most this many worker threads; a long function
  // (WT_EXECUTELONGFUNCTION) always gets a thread of its own.
  static constexpr size_t kMaxWorkers = 16;
  // How long shutdown waits for running items before leaving them behind
  // (simulated time; on a scaled clock at least as long in real time).
  static constexpr std::chrono::milliseconds kShutdownWait{10000};

  explicit ThreadPool(Machine& machine);
  ~ThreadPool() override;

  // ERROR_SUCCESS, ERROR_SHUTDOWN_IN_PROGRESS once the pool is shutting
  // down, or ERROR_NOT_ENOUGH_MEMORY when no thread can be started.
  DWORD Queue(LPTHREAD_START_ROUTINE function, PVOID context, ULONG flags);
  // Waits (simulated time) until no item is queued or running; false on time-out.
  bool WaitIdle(std::chrono::milliseconds timeout);
  // Items queued or running now.
  size_t Pending() const;
  void Shutdown() override;

  struct State;

 private:
  Machine& m_machine;
  std::shared_ptr<State> m_state;
};

}  // namespace winsim
