// BM_PushSetting/log:0 and /log:1: the service at rest on a simulated machine
// (its watcher waiting on the user's key), then a change of the user's Touch
// value, timed until the selection's report is on the simulated wire. That
// stretch is the service's own work: the watcher wakes, reads the setting,
// connects (discovery, role opening) and writes the command; it holds no
// timed wait (the disconnection's settle pause and the re-arming come after
// the report and are not timed). The machine runs on virtual time, so the
// watcher's start delay and the settle pause take no real time, and while the
// push runs no other simulated thread does.
// Log off and on; /log:1 counts the debug-log entries written in the timed
// stretch per push as `log_lines`, and after each push (untimed) appends
// raw lines beside the log, reported as `raw_append_us`: the disk's flush
// time in the same stretch of time.
#include "BenchLog.h"
#include "service/ServiceIdentity.h"
#include "simkit/ServiceMachine.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
// What the watcher writes to the event log each time it has armed its notification.
constexpr wchar_t kArmedText[] = L"RegNotifyChangeKeyValue success.";
// Real-time bound of every wait for the service; far beyond what a push needs.
constexpr auto kRealBound = std::chrono::seconds(60);
// Pushes per run: a push with the log on writes a few dozen flushed lines.
constexpr int kPushesLogOff = 300;
constexpr int kPushesLogOn = 30;
// Raw appends after each push with the log on, and the line they append (a
// log line's typical length).
constexpr int kRawAppendsPerPush = 10;
constexpr char kRawLine[] =
    "[1208-01:23:45.678][PID=4242] [CHIDWinGet::OpenHidDevice#115]m_iOpenHidDevCnt = 5, m_iCloseHidDevCnt = 3\r\n";

// The report that carries the wake-on-touch selection: [3, 0, length, 0xF0, 0x02, 0, flag].
bool IsSelection(const std::vector<uint8_t>& report) {
  return report.size() >= 7 && report[3] == 0xF0 && report[4] == 0x02;
}

// The service installed and running on a machine with one user and one
// controller, its watcher waiting for a change of the user's setting.
class PushRig {
 public:
  explicit PushRig(bool fLog) : m_machine(vornbench::MachineOptions(fLog, "")) {
    if (fLog) m_counter.emplace(m_machine.LogDirectory());
    m_machine.Events().SetObserver([this](const winsim::EventRecord& record) { OnEvent(record); });
    m_machine.Controller()->SetObserver([this](const winsim::ControllerEvent& event) { OnController(event); });
    m_userKey = m_machine.UserKey();
  }
  ~PushRig() {
    m_machine.Events().SetObserver(nullptr);
    m_machine.Controller()->SetObserver(nullptr);
  }
  PushRig(const PushRig&) = delete;
  PushRig& operator=(const PushRig&) = delete;

  // Starts the service and waits for its first push and its watcher at rest.
  std::filesystem::path LogDirectory() { return m_machine.LogDirectory(); }

  bool Start() {
    if (m_userKey.empty() || !m_machine.Start()) return false;
    return WaitFor([&] { return m_nWires >= 1 && m_nArmed >= 1; });
  }

  struct Push {
    double seconds;  // from the change of the value to the report on the wire
    size_t nLogEntries;  // debug-log entries written in that time
  };

  // Sets Touch to dwValue and waits for its report on the wire, then for the
  // watcher to be at rest again.
  std::optional<Push> Change(DWORD dwValue) {
    size_t nWires, nArmed;
    {
      std::lock_guard lock(m_mutex);
      nWires = m_nWires;
      nArmed = m_nArmed;
    }
    const size_t nEntriesBefore = m_counter ? m_counter->Count() : 0;
    const Clock::time_point start = Clock::now();
    if (!m_machine.Registry().SetDword(m_userKey, L"Touch", dwValue)) return std::nullopt;
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, kRealBound, [&] { return m_nWires > nWires && m_lastFlag == dwValue; }))
      return std::nullopt;
    const Push push{std::chrono::duration<double>(m_lastWireAt - start).count(), m_entriesAtWire - nEntriesBefore};
    if (!m_changed.wait_for(lock, kRealBound, [&] { return m_nArmed > nArmed; })) return std::nullopt;
    return push;
  }

 private:
  template <class Done>
  bool WaitFor(Done done) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kRealBound, done);
  }

  // On the service's thread, as the report reaches the controller: the time
  // first, then the log's entries (the service waits while they are counted).
  void OnController(const winsim::ControllerEvent& event) {
    if (event.kind != winsim::ControllerEvent::Kind::kReportOut || !IsSelection(event.bytes)) return;
    const Clock::time_point at = Clock::now();
    const size_t nEntries = m_counter ? m_counter->Count() : 0;
    std::lock_guard lock(m_mutex);
    m_lastWireAt = at;
    m_entriesAtWire = nEntries;
    m_lastFlag = event.bytes[6];
    ++m_nWires;
    m_changed.notify_all();
  }

  void OnEvent(const winsim::EventRecord& record) {
    if (record.strings.size() != 2 || record.strings[1] != kArmedText) return;
    std::lock_guard lock(m_mutex);
    ++m_nArmed;
    m_changed.notify_all();
  }

  simkit::ServiceMachine m_machine;
  std::optional<vornbench::LogEntryCounter> m_counter;
  std::wstring m_userKey;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  size_t m_nWires = 0;  // selection reports on the wire
  size_t m_nArmed = 0;  // notifications armed by the watcher
  DWORD m_lastFlag = 0;
  Clock::time_point m_lastWireAt;
  size_t m_entriesAtWire = 0;
};

void BM_PushSetting(benchmark::State& state) {
  const bool fLog = state.range(0) != 0;
  PushRig rig(fLog);
  if (!rig.Start()) {
    state.SkipWithError("the service did not start watching");
    return;
  }
  const vornbench::RawAppender raw(rig.LogDirectory() / "raw-append.txt", kRawLine);
  DWORD dwValue = 1;  // the user's setting at start
  size_t nEntries = 0;
  double rawSeconds = 0;
  for (auto _ : state) {
    dwValue = 1 - dwValue;
    const auto push = rig.Change(dwValue);
    if (!push) {
      state.SkipWithError("the selection did not reach the wire");
      break;
    }
    state.SetIterationTime(push->seconds);
    nEntries += push->nLogEntries;
    for (int i = 0; fLog && i < kRawAppendsPerPush; ++i) rawSeconds += raw.Append();
  }
  if (!fLog) return;
  const double nIterations = static_cast<double>(state.iterations());
  state.counters["log_lines"] = static_cast<double>(nEntries) / nIterations;
  state.counters["raw_append_us"] = rawSeconds * 1e6 / (nIterations * kRawAppendsPerPush);
}
BENCHMARK(BM_PushSetting)
    ->ArgName("log")
    ->Arg(0)
    ->Iterations(kPushesLogOff)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PushSetting)
    ->ArgName("log")
    ->Arg(1)
    ->Iterations(kPushesLogOn)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
