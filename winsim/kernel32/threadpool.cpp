// kernel32: QueueUserWorkItem on the machine's thread pool. Pool threads are
// plain threads: they start with no impersonation and no thread state of the
// queuing thread, and, as Windows' pool does, a worker drops an impersonation
// that an item left behind before it runs the next one.
#include <winsim/kernel32.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/threadpool.h>

#include <cstdio>
#include <deque>
#include <system_error>
#include <thread>

namespace winsim {

struct ThreadPool::State {
  struct Item {
    LPTHREAD_START_ROUTINE function;
    PVOID context;
  };
  explicit State(Machine& owner) : machine(&owner), workAvailable(owner.clock()), changed(owner.clock()) {}
  Machine* machine;  // null once shutdown has given up waiting; guarded by mutex
  std::mutex mutex;
  Condition workAvailable;
  Condition changed;  // an item finished, or a thread ended
  std::deque<Item> queue;
  size_t running = 0;
  size_t workers = 0;
  size_t idleWorkers = 0;
  size_t liveThreads = 0;
  bool stopping = false;

  // Runs one item (already counted in `running`) with the lock released.
  void Run(std::unique_lock<std::mutex>& lock, const Item& item) {
    lock.unlock();
    item.function(item.context);
    lock.lock();
    if (machine) machine->Part<Identity>().ClearImpersonation(CurrentThreadId());
    --running;
    changed.notify_all();
  }
};

namespace {

void WorkerLoop(std::shared_ptr<ThreadPool::State> state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    ++state->idleWorkers;
    state->workAvailable.wait(lock, [&] { return state->stopping || !state->queue.empty(); });
    --state->idleWorkers;
    if (state->stopping) break;
    auto item = state->queue.front();
    state->queue.pop_front();
    ++state->running;
    state->Run(lock, item);
  }
  --state->liveThreads;
  state->changed.notify_all();
}

void LongFunction(std::shared_ptr<ThreadPool::State> state, ThreadPool::State::Item item) {
  std::unique_lock lock(state->mutex);
  state->Run(lock, item);
  --state->liveThreads;
  state->changed.notify_all();
}

}  // namespace

ThreadPool::ThreadPool(Machine& machine) : m_machine(machine), m_state(std::make_shared<State>(machine)) {}

ThreadPool::~ThreadPool() { Shutdown(); }

namespace {
// Starts a detached simulated thread; false when the host has no thread left to give.
bool StartThread(Clock& clock, const char* name, std::function<void()> body) {
  try {
    clock.StartThread(name, std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}
}  // namespace

DWORD ThreadPool::Queue(LPTHREAD_START_ROUTINE function, PVOID context, ULONG flags) {
  std::lock_guard lock(m_state->mutex);
  if (m_state->stopping) return ERROR_SHUTDOWN_IN_PROGRESS;
  const State::Item item{function, context};
  if (flags & WT_EXECUTELONGFUNCTION) {
    if (!StartThread(m_machine.clock(), "pool long function", [state = m_state, item] { LongFunction(state, item); }))
      return ERROR_NOT_ENOUGH_MEMORY;
    ++m_state->liveThreads;
    ++m_state->running;
    return ERROR_SUCCESS;
  }
  if (m_state->idleWorkers <= m_state->queue.size() && m_state->workers < kMaxWorkers) {
    if (StartThread(m_machine.clock(), "pool worker", [state = m_state] { WorkerLoop(state); })) {
      ++m_state->workers;
      ++m_state->liveThreads;
    } else if (m_state->workers == 0) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  m_state->queue.push_back(item);
  m_state->workAvailable.notify_all();
  return ERROR_SUCCESS;
}

bool ThreadPool::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_state->mutex);
  return m_state->changed.wait_for(lock, static_cast<uint64_t>(timeout.count()),
                                   [&] { return m_state->queue.empty() && m_state->running == 0; });
}

size_t ThreadPool::Pending() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->queue.size() + m_state->running;
}

// Items that were queued but not started are dropped, as a process's exit
// drops them; running ones get kShutdownWait to finish. The threads are
// detached and hold the pool's state; one that overstays finds the machine
// pointer cleared and touches neither the pool nor the machine again.
void ThreadPool::Shutdown() {
  std::unique_lock lock(m_state->mutex);
  m_state->stopping = true;
  m_state->queue.clear();
  m_state->workAvailable.notify_all();
  const uint64_t span = m_machine.clock().SpanAtLeastReal(kShutdownWait.count(), kShutdownWait);
  if (m_state->changed.wait_for(lock, span, [&] { return m_state->liveThreads == 0; })) return;
  m_state->machine = nullptr;
  std::fprintf(stderr, "winsim: thread pool items still running at machine shutdown\n");
}

}  // namespace winsim

extern "C" {

BOOL WINAPI QueueUserWorkItem(LPTHREAD_START_ROUTINE Function, PVOID Context, ULONG Flags) {
  if (!Function) return winsim::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (DWORD error = winsim::CurrentMachine().Part<winsim::ThreadPool>().Queue(Function, Context, Flags))
    return winsim::Fail(error, FALSE);
  return TRUE;
}

}  // extern "C"
