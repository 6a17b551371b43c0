#include <winsim/sim/eventlog.h>

#include "ordered_notifier.h"

namespace winsim {

EventLog::EventLog(Machine& machine)
    : m_machine(machine), m_changed(machine.clock()), m_notifier(std::make_unique<OrderedNotifier<EventRecord>>()) {}

EventLog::~EventLog() = default;

void EventLog::SetRegistrationFailure(DWORD error) {
  std::lock_guard lock(m_mutex);
  m_registrationFailure = error;
}

std::vector<EventRecord> EventLog::Entries() const {
  std::lock_guard lock(m_mutex);
  return m_entries;
}

size_t EventLog::Count() const {
  std::lock_guard lock(m_mutex);
  return m_entries.size();
}

void EventLog::Clear() {
  std::lock_guard lock(m_mutex);
  m_entries.clear();
}

bool EventLog::WaitForCount(size_t count, uint64_t timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeoutMs,
                              [&] { return m_entries.size() >= count; });
}

size_t EventLog::OpenSources() const {
  std::lock_guard lock(m_mutex);
  return m_sources.size();
}

void EventLog::SetObserver(Observer observer) { m_notifier->SetCallback(std::move(observer)); }

HANDLE EventLog::RegisterSource(const std::wstring& source, DWORD& error) {
  std::lock_guard lock(m_mutex);
  if ((error = m_registrationFailure)) return nullptr;
  uintptr_t value = m_nextSource;
  m_nextSource += 4;
  m_sources.emplace(value, source);
  return reinterpret_cast<HANDLE>(value);
}

DWORD EventLog::Report(HANDLE source, EventRecord record) {
  {
    std::lock_guard lock(m_mutex);
    auto it = m_sources.find(reinterpret_cast<uintptr_t>(source));
    if (it == m_sources.end()) return ERROR_INVALID_HANDLE;
    record.source = it->second;
    record.timeMs = m_machine.clock().NowMs();
    m_entries.push_back(record);
    m_notifier->Push(std::move(record));
    m_changed.notify_all();
  }
  m_notifier->Flush();
  return ERROR_SUCCESS;
}

DWORD EventLog::Deregister(HANDLE source) {
  std::lock_guard lock(m_mutex);
  return m_sources.erase(reinterpret_cast<uintptr_t>(source)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace winsim
