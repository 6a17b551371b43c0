// The clock and its scheduler. Everything below marked "K" is guarded by the
// kernel lock. On a virtual clock:
//   - at most one simulated thread holds the run token (`holder`); threads
//     that may run queue for it in `ready`, first come first served;
//   - a blocked wait is a Waiter in `blocked`, ordered by the sequence number
//     it got when its wait began; a wake (a notification or a deadline)
//     moves the waiters it concerns, in that order, to `ready`;
//   - when nobody holds the token, nobody is ready and no simulated thread
//     works outside winsim, time jumps to the earliest deadline (at once, or
//     on the pacer thread once real time has caught up with it).
#include <winsim/sim/clock.h>
#include <winsim/sim/object.h>

#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <stdexcept>
#include <string>

namespace winsim {

namespace {
// Waits that look again after every step of the other threads (Clock::Await).
const char kEveryStep = 0;
}  // namespace

struct Clock::Impl {
  struct Thread {
    explicit Thread(std::string n) : name(std::move(n)) {}
    std::string name;
    std::thread::id hostId;  // K
    std::atomic<uint32_t> id{0};
    std::atomic<uint64_t> wakeUps{0};
    bool ended = false;     // K
    bool awaiting = false;  // K: in Await, whose own steps wake nobody
    std::condition_variable cv;  // with K: the token reached it
  };

  Impl(Kind k, double s, int64_t wallOriginMs);
  ~Impl();

  Thread* Self() const;
  uint64_t Now() const;
  RealClock::time_point RealAt(uint64_t simMs) const;  // scaled clocks
  bool Virtual() const { return kind == Kind::kVirtual; }

  // K held.
  void Wake(Wait::State& waiter);
  void NotifyLocked(const void* channel);
  void Stepped(Thread* by);
  void Release(Thread* self);
  void Dispatch();
  void Advance();
  void WaitForToken(std::unique_lock<std::mutex>& k, Thread* self);
  void Requeue(std::unique_lock<std::mutex>& k, Thread* self);
  void StepOutside(Thread* self);
  void StepInside(std::unique_lock<std::mutex>& k, Thread* self);
  uint64_t DeadlineAfter(uint64_t spanMs) const;
  std::shared_ptr<Thread> Enrol(std::string name);
  void Leave(Thread* self);
  void Forget();
  void PacerLoop();

  const Kind kind;
  const double scale;
  const RealClock::time_point realBoot;
  std::atomic<int64_t> wallAtBootMs;
  std::atomic<uint64_t> now{0};  // virtual clocks; written under K

  Thread* holder = nullptr;                                 // K
  std::deque<Thread*> ready;                                // K
  std::map<uint64_t, Wait::State*> blocked;                 // K, by sequence
  int outside = 0;                                          // K
  uint64_t nextSequence = 1;                                // K
  std::vector<std::shared_ptr<Thread>> threads;             // K: the live ones and the latest ended
  uint64_t forgottenWakeUps = 0;                            // K: of ended threads no longer listed
  RealClock::time_point anchorReal;                         // K: pacing
  uint64_t anchorSim = 0;                                   // K
  std::condition_variable pacerCv;                          // with K
  bool stopping = false;                                    // K
  std::thread pacer;
};

struct Clock::Wait::State {
  Impl::Thread* thread = nullptr;  // null: a thread outside the simulation
  const void* channel = nullptr;
  uint64_t deadline = kNever;
  uint64_t sequence = 0;
  bool woken = false;
  bool blockedOnce = false;
  std::condition_variable cv;  // threads outside the simulation, and scaled clocks
  // Poll(): real time spent polling, against the deadline's span.
  RealClock::time_point realStart;
  uint64_t startMs = 0;
};

namespace {
thread_local Clock::Impl* t_impl = nullptr;
thread_local void* t_thread = nullptr;
}  // namespace

Clock::Impl::Impl(Kind k, double s, int64_t wallOriginMs)
    : kind(k), scale(s), realBoot(RealClock::now()), wallAtBootMs(wallOriginMs), anchorReal(realBoot) {
  if (Virtual() && scale > 0) pacer = std::thread([this] { PacerLoop(); });
}

Clock::Impl::~Impl() {
  if (!pacer.joinable()) return;  // the last owner may hold the kernel lock (a wait ending late)
  {
    std::lock_guard k(KernelLock());
    stopping = true;
  }
  pacerCv.notify_all();
  pacer.join();
}

Clock::Impl::Thread* Clock::Impl::Self() const {
  return t_impl == this ? static_cast<Thread*>(t_thread) : nullptr;
}

uint64_t Clock::Impl::Now() const {
  if (Virtual()) return now.load(std::memory_order_acquire);
  auto real = std::chrono::duration<double, std::milli>(RealClock::now() - realBoot).count();
  return static_cast<uint64_t>(real * scale);
}

Clock::RealClock::time_point Clock::Impl::RealAt(uint64_t simMs) const {
  auto ns = static_cast<double>(simMs) * 1e6 / scale;
  if (ns > 1e17) return RealClock::time_point::max();  // beyond any wait worth timing
  return realBoot + std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

void Clock::Impl::Wake(Wait::State& waiter) {
  waiter.woken = true;
  blocked.erase(waiter.sequence);
  if (waiter.thread && Virtual())
    ready.push_back(waiter.thread);
  else
    waiter.cv.notify_all();
}

void Clock::Impl::NotifyLocked(const void* channel) {
  std::vector<Wait::State*> woken;
  for (auto& [sequence, waiter] : blocked)
    if (waiter->channel == channel) woken.push_back(waiter);
  for (auto* waiter : woken) Wake(*waiter);
  Dispatch();
}

// A simulated thread gave up the token: the waits of Await look again.
void Clock::Impl::Stepped(Thread* by) {
  if (by && by->awaiting) return;
  std::vector<Wait::State*> woken;
  for (auto& [sequence, waiter] : blocked)
    if (waiter->channel == &kEveryStep && waiter->thread != by) woken.push_back(waiter);
  for (auto* waiter : woken) Wake(*waiter);
}

void Clock::Impl::Release(Thread* self) {
  if (!self || holder != self) return;
  holder = nullptr;
  Stepped(self);
}

void Clock::Impl::Dispatch() {
  if (!Virtual() || holder) return;
  if (!ready.empty()) {
    holder = ready.front();
    ready.pop_front();
    holder->cv.notify_all();
    return;
  }
  if (outside > 0) return;
  if (scale > 0) {
    pacerCv.notify_all();
    return;
  }
  Advance();
}

// Time jumps to the earliest deadline; its waiters wake in the order in
// which they began to wait.
void Clock::Impl::Advance() {
  uint64_t earliest = kNever;
  for (auto& [sequence, waiter] : blocked) earliest = std::min(earliest, waiter->deadline);
  if (earliest == kNever) return;
  if (earliest > now.load(std::memory_order_relaxed)) now.store(earliest, std::memory_order_release);
  anchorReal = RealClock::now();
  anchorSim = earliest;
  std::vector<Wait::State*> due;
  for (auto& [sequence, waiter] : blocked)
    if (waiter->deadline <= earliest) due.push_back(waiter);
  for (auto* waiter : due) Wake(*waiter);
  Stepped(nullptr);
  Dispatch();
}

// The longest real wait the pacer makes in one piece.
constexpr std::chrono::hours kLongestPacedWait{1};

void Clock::Impl::PacerLoop() {
  std::unique_lock k(KernelLock());
  while (!stopping) {
    uint64_t earliest = kNever;
    for (auto& [sequence, waiter] : blocked) earliest = std::min(earliest, waiter->deadline);
    const bool idle = !holder && ready.empty() && outside == 0;
    if (!idle || earliest == kNever) {
      pacerCv.wait(k);
      continue;
    }
    const uint64_t ahead = earliest > anchorSim ? earliest - anchorSim : 0;
    // What is left is waited out in pieces: a span converted whole to the
    // host clock's count could overflow it.
    using Ms = std::chrono::duration<double, std::milli>;
    const Ms left = Ms(static_cast<double>(ahead) / scale) - Ms(RealClock::now() - anchorReal);
    if (left.count() > 0) {
      pacerCv.wait_for(k, std::chrono::duration_cast<RealClock::duration>(std::min(left, Ms(kLongestPacedWait))));
      continue;
    }
    Advance();
  }
}

void Clock::Impl::WaitForToken(std::unique_lock<std::mutex>& k, Thread* self) {
  self->cv.wait(k, [&] { return holder == self; });
}

// The thread queues for the token behind those that are ready, and waits for it.
void Clock::Impl::Requeue(std::unique_lock<std::mutex>& k, Thread* self) {
  ready.push_back(self);
  Dispatch();
  WaitForToken(k, self);
}

// The thread gives up the token to block by host means on real work; time
// stands still until it is back.
void Clock::Impl::StepOutside(Thread* self) {
  ++outside;
  Release(self);
  Dispatch();
}

void Clock::Impl::StepInside(std::unique_lock<std::mutex>& k, Thread* self) {
  --outside;
  Requeue(k, self);
}

uint64_t Clock::Impl::DeadlineAfter(uint64_t spanMs) const {
  if (spanMs == kNever) return kNever;
  const uint64_t current = Now();
  return spanMs > kNever - current ? kNever : current + spanMs;
}

std::shared_ptr<Clock::Impl::Thread> Clock::Impl::Enrol(std::string name) {
  auto thread = std::make_shared<Thread>(std::move(name));
  Forget();
  threads.push_back(thread);
  if (Virtual()) {
    ready.push_back(thread.get());
    Dispatch();
  }
  return thread;
}

void Clock::Impl::Leave(Thread* self) {
  self->ended = true;
  NotifyLocked(self);  // Join waits on the thread's record
  if (!Virtual()) return;
  Release(self);
  Dispatch();
}

// A long run starts thousands of threads (a watcher run is one): the oldest
// ended ones leave the list, their wake-ups stay in the sum.
void Clock::Impl::Forget() {
  constexpr size_t kEndedKept = 64;
  size_t ended = 0;
  for (const auto& thread : threads) ended += thread->ended ? 1 : 0;
  for (auto it = threads.begin(); ended > kEndedKept && it != threads.end();) {
    if (!(*it)->ended) {
      ++it;
      continue;
    }
    forgottenWakeUps += (*it)->wakeUps.load();
    it = threads.erase(it);
    --ended;
  }
}

// ---- Clock ---------------------------------------------------------------------

Clock::Clock(Kind kind, double scale, int64_t wallOriginMs)
    : m_impl(std::make_shared<Impl>(kind, kind == Kind::kScaled && scale <= 0 ? 1.0 : std::max(scale, 0.0),
                                     wallOriginMs)) {}

Clock::~Clock() = default;

Clock::Kind Clock::kind() const { return m_impl->kind; }
double Clock::scale() const { return m_impl->scale; }
uint64_t Clock::NowMs() const { return m_impl->Now(); }
int64_t Clock::WallMs() const { return m_impl->wallAtBootMs.load() + static_cast<int64_t>(NowMs()); }
void Clock::SetWallMs(int64_t wallMs) { m_impl->wallAtBootMs.store(wallMs - static_cast<int64_t>(NowMs())); }

uint64_t Clock::DeadlineAfter(uint64_t spanMs) const { return m_impl->DeadlineAfter(spanMs); }

uint64_t Clock::SpanAtLeastReal(uint64_t simMs, std::chrono::milliseconds realFloor) const {
  if (m_impl->Virtual()) return simMs;
  return std::max(simMs, static_cast<uint64_t>(static_cast<double>(realFloor.count()) * m_impl->scale));
}

void Clock::Sleep(uint64_t simMs) {
  Impl& impl = *m_impl;
  std::unique_lock k(KernelLock());
  if (simMs == 0) {
    Impl::Thread* self = impl.Self();
    if (!impl.Virtual() || !self || impl.holder != self) {
      k.unlock();
      std::this_thread::yield();
      return;
    }
    impl.Release(self);
    impl.Requeue(k, self);
    return;
  }
  Wait wait(m_impl, nullptr, DeadlineAfter(simMs));
  while (wait.Block(k)) {
  }
}

void Clock::Notify(const void* channel) {
  std::lock_guard k(KernelLock());
  m_impl->NotifyLocked(channel);
}

void Clock::NotifyLocked(const void* channel) { m_impl->NotifyLocked(channel); }

bool Clock::Await(const std::function<bool()>& done, uint64_t timeoutMs) {
  Impl& impl = *m_impl;
  std::unique_lock k(KernelLock());
  Impl::Thread* self = impl.Self();
  if (self) self->awaiting = true;
  Wait wait(m_impl, &kEveryStep, DeadlineAfter(timeoutMs));
  bool result = false;
  for (;;) {
    k.unlock();
    result = done();
    k.lock();
    if (result || !wait.Block(k)) break;
  }
  if (!result) {
    k.unlock();
    result = done();
    k.lock();
  }
  if (self) self->awaiting = false;
  return result;
}

std::thread Clock::StartThread(std::string name, std::function<void()> body) {
  std::shared_ptr<Impl::Thread> thread;
  {
    std::lock_guard k(KernelLock());
    thread = m_impl->Enrol(std::move(name));
  }
  std::thread host([impl = m_impl, thread, body = std::move(body)] {
    t_impl = impl.get();
    t_thread = thread.get();
    {
      std::unique_lock k(KernelLock());
      if (impl->Virtual()) impl->WaitForToken(k, thread.get());
    }
    thread->id.store(CurrentThreadId());
    struct Leaving {
      Impl& impl;
      Impl::Thread* thread;
      ~Leaving() {
        std::lock_guard k(KernelLock());
        impl.Leave(thread);
        t_impl = nullptr;
        t_thread = nullptr;
      }
    } leaving{*impl, thread.get()};
    body();
  });
  std::lock_guard k(KernelLock());
  thread->hostId = host.get_id();
  return host;
}

// A simulated thread is waited for as any simulated wait (time goes on, it may
// need some); once it has left the simulation only its return is left.
void Clock::Join(std::thread& thread) {
  if (!thread.joinable()) return;
  Impl& impl = *m_impl;
  std::shared_ptr<Impl::Thread> record;
  std::unique_lock k(KernelLock());
  for (const auto& each : impl.threads)
    if (each->hostId == thread.get_id()) record = each;
  if (record) {
    WaitUntil(k, record.get(), kNever, [&] { return record->ended; });
    k.unlock();
    thread.join();
    return;
  }
  k.unlock();
  Outside outside(*this);
  thread.join();
}

std::vector<Clock::ThreadStats> Clock::Threads() const {
  std::lock_guard k(KernelLock());
  std::vector<ThreadStats> stats;
  for (const auto& thread : m_impl->threads)
    stats.push_back({thread->id.load(), thread->name, thread->wakeUps.load(), thread->ended});
  return stats;
}

uint64_t Clock::WakeUps() const {
  std::lock_guard k(KernelLock());
  uint64_t total = m_impl->forgottenWakeUps;
  for (const auto& thread : m_impl->threads) total += thread->wakeUps.load();
  return total;
}

// ---- Members and threads working outside ------------------------------------

Clock::Member::Member(Clock& clock, std::string name) : m_impl(clock.Shared()) {
  if (!m_impl->Virtual() || t_impl) return;  // a thread is a member of one clock at a time
  std::unique_lock k(KernelLock());
  auto thread = m_impl->Enrol(std::move(name));
  m_thread = thread.get();
  t_impl = m_impl.get();
  t_thread = m_thread;
  m_impl->WaitForToken(k, thread.get());
  thread->id.store(CurrentThreadId());
}

Clock::Member::~Member() {
  if (!m_thread) return;
  std::lock_guard k(KernelLock());
  m_impl->Leave(static_cast<Impl::Thread*>(m_thread));
  t_impl = nullptr;
  t_thread = nullptr;
}

Clock::Outside::Outside(Clock& clock) : m_impl(clock.Shared().get()), m_thread(nullptr) {
  std::lock_guard k(KernelLock());
  Impl::Thread* self = m_impl->Self();
  if (!m_impl->Virtual() || !self || m_impl->holder != self) return;
  m_thread = self;
  m_impl->StepOutside(self);
}

Clock::Outside::~Outside() {
  if (!m_thread) return;
  std::unique_lock k(KernelLock());
  m_impl->StepInside(k, static_cast<Impl::Thread*>(m_thread));
}

// ---- Waits ------------------------------------------------------------------------

Clock::Wait::Wait(Clock& clock, const void* channel, uint64_t deadlineMs)
    : Wait(clock.Shared(), channel, deadlineMs) {}

Clock::Wait::Wait(std::shared_ptr<Impl> impl, const void* channel, uint64_t deadlineMs)
    : m_impl(std::move(impl)), m_state(std::make_unique<State>()) {
  m_state->thread = m_impl->Self();
  m_state->channel = channel;
  m_state->deadline = deadlineMs;
}

Clock::Wait::~Wait() {
  if (m_state->blockedOnce && m_state->thread) m_state->thread->wakeUps.fetch_add(1);
}

bool Clock::Wait::Block(std::unique_lock<std::mutex>& lock) {
  Impl& impl = *m_impl;
  State& state = *m_state;
  const bool kernel = lock.mutex() == &KernelLock();
  std::unique_lock<std::mutex> own;
  if (!kernel) own = std::unique_lock(KernelLock());
  std::unique_lock<std::mutex>& k = kernel ? lock : own;
  if (state.deadline != kNever && impl.Now() >= state.deadline) return false;
  if (state.sequence == 0) state.sequence = impl.nextSequence++;
  state.woken = false;
  state.blockedOnce = true;
  impl.blocked.emplace(state.sequence, &state);
  if (!kernel) lock.unlock();
  if (impl.Virtual() && state.thread) {
    impl.Release(state.thread);
    impl.Dispatch();
    state.thread->cv.wait(k, [&] { return state.woken && impl.holder == state.thread; });
  } else if (impl.Virtual()) {
    impl.Dispatch();  // a deadline of a thread outside the simulation counts too
    state.cv.wait(k, [&] { return state.woken; });
  } else {
    if (state.deadline == kNever)
      state.cv.wait(k, [&] { return state.woken; });
    else
      state.cv.wait_until(k, impl.RealAt(state.deadline), [&] { return state.woken; });
    if (!state.woken) impl.blocked.erase(state.sequence);
  }
  if (!kernel) {
    k.unlock();
    lock.lock();
  }
  return true;
}

bool Clock::Wait::Poll(std::unique_lock<std::mutex>& k, std::chrono::microseconds interval) {
  Impl& impl = *m_impl;
  State& state = *m_state;
  if (!impl.Virtual()) {
    if (state.deadline != kNever && impl.Now() >= state.deadline) return false;
    auto until = RealClock::now() + interval;
    if (state.deadline != kNever) until = std::min(until, impl.RealAt(state.deadline));
    state.cv.wait_until(k, until);
    return true;
  }
  if (state.startMs == 0 && state.realStart == RealClock::time_point{}) {
    state.realStart = RealClock::now();
    state.startMs = impl.Now();
  }
  if (state.deadline != kNever) {
    double pace = impl.scale > 0 ? impl.scale : 1.0;
    auto spent = std::chrono::duration<double, std::milli>(RealClock::now() - state.realStart).count() * pace;
    if (spent >= static_cast<double>(state.deadline - state.startMs)) return false;
  }
  Impl::Thread* self = state.thread;
  const bool holding = self && impl.holder == self;
  if (holding) impl.StepOutside(self);
  state.cv.wait_for(k, interval);
  if (holding) impl.StepInside(k, self);
  return true;
}

// ---- Condition --------------------------------------------------------------------

void Condition::notify_all() const {
  std::lock_guard k(KernelLock());
  m_clock->NotifyLocked(this);
}

uint64_t Condition::DeadlineAfter(uint64_t simMs) const { return m_clock->DeadlineAfter(simMs); }

bool ParseTimeScale(std::string_view text, double& scale) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return false;
  if (!(value >= kMinTimeScale) || value > kMaxTimeScale) return false;
  scale = value;
  return true;
}

double ScaleFromEnvironment() {
  const char* text = std::getenv("WINSIM_TIME_SCALE");
  if (!text || !*text) return 0;
  double scale = 0;
  if (!ParseTimeScale(text, scale))
    throw std::invalid_argument(std::string("WINSIM_TIME_SCALE must be a number from 0.001 to 1000000, not '") +
                                text + "'");
  return scale;
}

}  // namespace winsim
