#include "scheduler.h"

namespace winsim {

void Scheduler::Schedule(uint64_t delayMs, std::function<void()> work) {
  std::lock_guard lock(m_mutex);
  if (m_stopped) return;
  m_work.emplace(m_clock.DeadlineAfter(delayMs), std::move(work));
  if (!m_thread.joinable()) m_thread = m_clock.StartThread(m_name, [this] { Loop(); });
  m_wake.notify_all();
}

void Scheduler::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_work.clear();
  }
  m_wake.notify_all();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_clock.Join(m_thread);
}

void Scheduler::Loop() {
  std::unique_lock lock(m_mutex);
  while (!m_stopped) {
    if (m_work.empty()) {
      m_wake.wait(lock, [&] { return m_stopped || !m_work.empty(); });
      continue;
    }
    const uint64_t due = m_work.begin()->first;
    if (m_clock.NowMs() < due) {
      m_wake.wait_until(lock, due, [&] { return m_stopped || m_work.empty() || m_work.begin()->first < due; });
      continue;
    }
    auto first = m_work.begin();
    auto work = std::move(first->second);
    m_work.erase(first);
    lock.unlock();
    work();
    lock.lock();
  }
}

}  // namespace winsim
