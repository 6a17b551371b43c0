// The simulated machine's event log: registered sources and the entries
// reported through them, kept in order for tests and shown by vornsim.
#pragma once

#include <winsim/eventlog.h>
#include <winsim/sim/machine.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

struct EventRecord {
  uint64_t timeMs = 0;  // simulated ms since boot
  std::wstring source;
  WORD type = 0;
  WORD category = 0;
  DWORD eventId = 0;
  std::vector<std::wstring> strings;  // the insertion strings, in order
  std::vector<BYTE> data;
};

template <class Item>
class OrderedNotifier;

class EventLog : public MachinePart {
 public:
  explicit EventLog(Machine& machine);
  ~EventLog() override;

  // Makes RegisterEventSourceW fail with `error` (ERROR_SUCCESS: works again).
  void SetRegistrationFailure(DWORD error);

  std::vector<EventRecord> Entries() const;
  size_t Count() const;
  void Clear();
  // Waits (simulated ms) until at least `count` entries exist.
  bool WaitForCount(size_t count, uint64_t timeoutMs) const;
  // Sources registered and not yet deregistered.
  size_t OpenSources() const;

  // Called for every entry, in order, on the reporting thread.
  using Observer = std::function<void(const EventRecord&)>;
  void SetObserver(Observer observer);

  // advapi32's side.
  HANDLE RegisterSource(const std::wstring& source, DWORD& error);
  DWORD Report(HANDLE source, EventRecord record);
  DWORD Deregister(HANDLE source);

 private:
  Machine& m_machine;
  mutable std::mutex m_mutex;
  Condition m_changed;
  DWORD m_registrationFailure = ERROR_SUCCESS;
  std::map<uintptr_t, std::wstring> m_sources;
  uintptr_t m_nextSource = 0xE7000;
  std::vector<EventRecord> m_entries;
  std::unique_ptr<OrderedNotifier<EventRecord>> m_notifier;
};

}  // namespace winsim
