#include "soak.h"

#include "random.h"
#include "simulator.h"
#include "soak_model.h"

#include "app/ProcessObjects.h"


#include <winsim/sim/executable.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vornsim {

namespace {

constexpr const wchar_t* kServiceName = L"VornPalmixSvc";
constexpr const wchar_t* kWakeKeySuffix = L"\\Software\\Microsoft\\Input\\WakeableInputTypes";
constexpr uint64_t kMinuteMs = 60000;
constexpr uint64_t kHourMs = 60 * kMinuteMs;
// A quiet period outlasts the longest reaction of the service to a burst: a
// start delay, 45 s of user lookups and a push's 15 attempts.
constexpr uint64_t kQuietMinMs = 100000;
constexpr uint64_t kQuietMaxMs = 160000;
constexpr uint64_t kBurstMin = 3;
constexpr uint64_t kBurstMax = 8;
// Idle hours: the first after two hours of story, then every six hours, in
// soaks of at least three hours.
constexpr uint64_t kFirstIdleMs = 2 * kHourMs;
constexpr uint64_t kIdleEveryMs = 6 * kHourMs;
constexpr double kIdleSoakHours = 3;
// After a stop the service's process ends as soon as its watcher runs have
// ended, each within one device or registry call. Its own bounded wait for
// them is far shorter than this; when that runs out it logs kLeftBehind and
// ends the process itself.
constexpr uint64_t kTeardownBoundMs = 20000;
constexpr size_t kTailLines = 80;
// Growth at rest tolerated before it counts as a leak (see CheckResources).
constexpr size_t kHandleSlack = 4;
constexpr size_t kHeapBlockSlack = 4;
constexpr const char* kLeftBehind = "Service object left to the process's end";
const wchar_t* const kUserNames[] = {L"Dana", L"Eli", L"Farah", L"WORKSTATION"};
const uint32_t kOddValues[] = {257, 256, 511, 3, 0xFF, 0xFFFFFFFF, 0x80000001, 0x100000};

// "Touch" data of other types and lengths, as a user or a tool could leave it.
struct OddData {
  const wchar_t* text;
  DWORD type;
  std::vector<BYTE> data;
};
const OddData kOddData[] = {
    {L"REG_SZ \"1\"", REG_SZ, {'1', 0, 0, 0}},
    {L"REG_BINARY 01 00 00 00", REG_BINARY, {1, 0, 0, 0}},
    {L"REG_BINARY 00 01 00 00", REG_BINARY, {0, 1, 0, 0}},
    {L"REG_DWORD_BIG_ENDIAN 1", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}},
    {L"REG_QWORD 1", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
    {L"REG_BINARY 01", REG_BINARY, {1}},
    {L"REG_SZ \"\"", REG_SZ, {0, 0}},
    {L"REG_DWORD without data", REG_DWORD, {}},
};
const char* const kFaults[] = {"mute", "late", "wrong-report", "short-report", "fail-write", "stuck-write", "unplug"};

enum class Move {
  kStart,
  kStop,
  kDisplayOn,
  kDisplayOff,
  kSuspend,
  kResume,
  kSessionChange,
  kTouch,
  kTouchOdd,
  kTouchData,
  kTouchDelete,
  kKeyDelete,
  kLogOn,
  kLogOff,
  kAttach,
  kDetach,
  kFault,
  kFaultNone,
};

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

std::string Clock(uint64_t timeMs) {
  char text[48];
  const uint64_t s = timeMs / 1000;
  std::snprintf(text, sizeof text, "%llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(s / 3600),
                static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60),
                static_cast<unsigned long long>(timeMs % 1000));
  return text;
}

std::string WaitText(uint64_t ms) {
  char text[48];
  std::snprintf(text, sizeof text, "wait %llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Follows the debug log files for a text, reading only what was added.
class LogWatch {
 public:
  explicit LogWatch(std::filesystem::path folder) : m_folder(std::move(folder)) {}
  bool Saw(const std::string& needle) {
    std::error_code ec;
    for (const auto& file : std::filesystem::directory_iterator(m_folder, ec)) {
      std::ifstream in(file.path(), std::ios::binary);
      auto& state = m_files[file.path().string()];
      in.seekg(static_cast<std::streamoff>(state.offset));
      std::string added((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      state.offset += added.size();
      const std::string text = state.carry + added;
      if (text.find(needle) != std::string::npos) return true;
      state.carry = text.size() >= needle.size() ? text.substr(text.size() - needle.size()) : text;
    }
    return false;
  }

 private:
  struct FileState {
    uint64_t offset = 0;
    std::string carry;  // the end of what was read, for a text cut between two reads
  };
  std::filesystem::path m_folder;
  std::map<std::string, FileState> m_files;
};

struct Counts {
  size_t handles = 0;
  size_t heapBlocks = 0;
  size_t threads = 0;  // the service process's simulated threads alive
  // Transfers the controller's transport gave up on and keeps until they end
  // (a driver that hangs): each holds an event handle, counted apart.
  size_t kept = 0;
  size_t OwnHandles() const { return handles - std::min(handles, kept); }
};

class Soak {
 public:
  Soak(const SoakOptions& options, const winsim::MachineConfig& config, HtmlTimeline* html)
      : m_options(options), m_html(html), m_random(options.seed), m_endMs(static_cast<uint64_t>(options.hours * kHourMs)) {
    m_sim = std::make_unique<Simulator>(config, [this](const std::wstring& line) { OnLine(line); }, options.debugLog);
    m_controller = winsim::TouchControllers(Machine()).front();
    m_log = std::make_unique<LogWatch>(Machine().DriveC() / "VornPalmix" / "VrnDbgLog");
    if (m_html)
      m_sim->Bands().ShowTo([html](uint64_t timeMs, const std::wstring& band, const std::wstring& value) {
        html->SetState(timeMs, band, value);
      }, Now());
  }

  int Run();

 private:
  winsim::Machine& Machine() { return m_sim->Machine(); }
  uint64_t Now() { return Machine().clock().NowMs(); }

  // The story.
  void Episode();
  Move Pick();
  void Gap();
  void Perform(Move move);
  void Wait(uint64_t ms);
  std::vector<std::wstring> Play(CommandKind kind, const std::string& text, uint32_t touch = 0,
                                 const std::string& name = {});
  void Say(const std::wstring& text) { m_sim->Output().Print(L"sim", text); }
  void SetData(const OddData& odd);
  void DeleteKey();
  void Stop();
  void ControllerMoved(uint64_t timeMs);

  // The checks.
  void Check();
  void CheckResources();
  void IdleHour();
  bool Answered(const std::vector<std::wstring>& notes, const std::string& what);
  static bool Delivered(const std::vector<std::wstring>& notes);
  WakeFacts Facts();
  std::optional<std::wstring> UserKey();
  Counts Sample();
  std::vector<winsim::Clock::ThreadStats> ServiceThreads();

  // The timeline's sink and what it checks.
  void OnLine(const std::wstring& line);
  void CheckEntry(const std::wstring& text);
  void Fail(const std::string& what);
  bool Failed() const { return m_failed.load(); }
  int Report(std::chrono::steady_clock::time_point realStart);
  // Prints a line of the report and keeps it for the page's summary.
  void Summary(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void NoteCheck(uint64_t timeMs, bool determined);

  const SoakOptions m_options;
  HtmlTimeline* m_html;
  Random m_random;
  const uint64_t m_endMs;
  std::unique_ptr<Simulator> m_sim;
  std::shared_ptr<winsim::TouchController> m_controller;
  std::unique_ptr<LogWatch> m_log;
  WakeModel m_model;
  winsim::ControllerFault m_fault = winsim::ControllerFault::kNone;

  std::mutex m_lineMutex;  // guards the sink's state below
  std::deque<std::wstring> m_tail;
  bool m_capturing = false;
  std::vector<std::wstring> m_notes;  // sim lines of the command being played
  int m_lastWot = -1;                 // byte of the last wake-on-touch command not yet logged

  std::mutex m_failMutex;
  std::atomic<bool> m_failed{false};
  std::string m_failure;
  uint64_t m_failStep = 0;
  uint64_t m_failTimeMs = 0;

  std::atomic<uint64_t> m_step{0};
  uint64_t m_checks = 0;
  uint64_t m_determined = 0;
  std::map<std::string, uint64_t> m_undetermined;
  std::map<std::string, Counts> m_baselines;  // at rest, by kind of quiet period
  Counts m_maxima;
  uint64_t m_resourceSamples = 0;
  uint64_t m_nextIdleMs = kFirstIdleMs;
  uint64_t m_idleHours = 0;
  std::string m_summary;
};

void Soak::OnLine(const std::wstring& line) {
  std::lock_guard lock(m_lineMutex);
  if (m_options.verbose) {
    std::printf("%s\n", Utf8(line).c_str());
    std::fflush(stdout);
  }
  if (m_html) m_html->Add(line);
  m_tail.push_back(line);
  if (m_tail.size() > kTailLines) m_tail.pop_front();
  TimelineEntry entry;
  if (!ParseTimelineLine(line, entry)) return;
  if (entry.channel == L"sim" && m_capturing) m_notes.push_back(entry.text);
  if (entry.channel == L"wire")
    if (auto byte = WakeOnTouchByteSent(entry.text)) m_lastWot = *byte;
  if (entry.channel == L"event") CheckEntry(entry.text);
}

// Invariant 2. The push holds its lock from the command to its entry, and the
// controller and the event log report synchronously, so the entry comes
// right after its own command.
void Soak::CheckEntry(const std::wstring& text) {
  const bool enable = EndsWith(text, L": Enable Wake-on-touch");
  const bool disable = EndsWith(text, L": Disable Wake-on-touch");
  if (!enable && !disable) return;
  const int byte = m_lastWot;
  m_lastWot = -1;
  char what[160];
  if (byte < 0) {
    std::snprintf(what, sizeof what, "the event entry \"%s\" follows no wake-on-touch command",
                  enable ? "Enable Wake-on-touch" : "Disable Wake-on-touch");
    return Fail(what);
  }
  if (enable == (byte == 1)) return;
  std::snprintf(what, sizeof what, "the event entry \"%s\" was written for the byte 0x%02X sent to the controller",
                enable ? "Enable Wake-on-touch" : "Disable Wake-on-touch", static_cast<unsigned>(byte));
  Fail(what);
}

void Soak::Fail(const std::string& what) {
  std::lock_guard lock(m_failMutex);
  if (m_failed.load()) return;
  m_failure = what;
  m_failStep = m_step.load();
  m_failTimeMs = Machine().clock().NowMs();
  m_failed = true;
}

std::vector<std::wstring> Soak::Play(CommandKind kind, const std::string& text, uint32_t touch,
                                     const std::string& name) {
  Command command;
  command.kind = kind;
  command.text = text;
  command.touchValue = touch;
  command.name = name;
  {
    std::lock_guard lock(m_lineMutex);
    m_capturing = true;
    m_notes.clear();
  }
  m_sim->Play(command);
  std::lock_guard lock(m_lineMutex);
  m_capturing = false;
  return m_notes;
}

void Soak::Wait(uint64_t ms) {
  Command command;
  command.kind = CommandKind::kWait;
  command.text = WaitText(ms);
  command.waitMs = ms;
  m_sim->Play(command);
}

bool Soak::Delivered(const std::vector<std::wstring>& notes) {
  for (const auto& note : notes)
    if (note.find(L"not delivered") != std::wstring::npos || note.find(L"refused") != std::wstring::npos ||
        note.find(L"failed with error") != std::wstring::npos || note.find(L"did not answer") != std::wstring::npos)
      return false;
  return true;
}

// Invariant 3: every control is answered within the SCM's wait.
bool Soak::Answered(const std::vector<std::wstring>& notes, const std::string& what) {
  for (const auto& note : notes)
    if (note.find(L"did not answer in time") != std::wstring::npos) {
      Fail("the service did not answer \"" + what + "\" within the SCM's wait");
      return false;
    }
  return true;
}

std::optional<std::wstring> Soak::UserKey() {
  auto users = Machine().Part<winsim::Identity>().LoggedOnUserSids();
  if (users.empty()) return std::nullopt;
  return L"HKEY_USERS\\" + users.front() + kWakeKeySuffix;
}

WakeFacts Soak::Facts() {
  WakeFacts facts;
  auto users = Machine().Part<winsim::Identity>().LoggedOnUserSids();
  if (users.empty()) return facts;
  facts.user = Machine().Part<winsim::Identity>().ConsoleUserSid();
  if (facts.user->empty()) facts.user = users.front();
  const std::wstring key = L"HKEY_USERS\\" + *facts.user + kWakeKeySuffix;
  auto& registry = Machine().Part<winsim::Registry>();
  facts.keyExists = registry.KeyExists(key);
  auto value = registry.GetValue(key, L"Touch");
  if (value && value->data.size() == sizeof(uint32_t)) {
    const auto& d = value->data;
    facts.touch = static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 | static_cast<uint32_t>(d[2]) << 16 |
                  static_cast<uint32_t>(d[3]) << 24;
  }
  return facts;
}

// The simulated threads that belong to the service's process: its entry's
// thread (the dispatcher), ServiceMain's, and the thread pool's.
bool ServiceThread(const winsim::Clock::ThreadStats& thread) {
  return thread.name == "service process" || thread.name == "ServiceMain" || thread.name.rfind("pool ", 0) == 0;
}

Counts Soak::Sample() {
  size_t threads = 0;
  for (const auto& thread : Machine().clock().Threads()) threads += ServiceThread(thread) && !thread.ended;
  return Counts{Machine().handles().Count(), winsim::LocalHeapBlocks(), threads,
                static_cast<size_t>(g_TouchIC.KeptTransferCount())};
}

std::vector<winsim::Clock::ThreadStats> Soak::ServiceThreads() {
  std::vector<winsim::Clock::ThreadStats> threads;
  for (const auto& thread : Machine().clock().Threads())
    if (ServiceThread(thread)) threads.push_back(thread);
  return threads;
}


// A gap between two events of a burst: often under 1.5 s, mostly a few
// seconds, sometimes most of a minute.
void Soak::Gap() {
  switch (m_random.Weighted({4, 4, 2})) {
    case 0: Wait(m_random.Below(1500)); break;
    case 1: Wait(m_random.Between(1500, 12000)); break;
    default: Wait(m_random.Between(12000, 45000)); break;
  }
}

Move Soak::Pick() {
  const bool running = m_model.Running();
  const bool someone = !Machine().Part<winsim::Identity>().LoggedOnUserSids().empty();
  const bool attached = m_controller->Attached();
  const bool faulted = m_fault != winsim::ControllerFault::kNone;
  static const Move kMoves[] = {Move::kStart,     Move::kStop,       Move::kDisplayOn,   Move::kDisplayOff,
                                Move::kSuspend,   Move::kResume,     Move::kSessionChange, Move::kTouch,
                                Move::kTouchOdd,  Move::kTouchData,  Move::kTouchDelete, Move::kKeyDelete,
                                Move::kLogOn,     Move::kLogOff,     Move::kAttach,      Move::kDetach,
                                Move::kFault,     Move::kFaultNone};
  const size_t index = m_random.Weighted({
      running ? 0u : 12u,           // start
      running ? 2u : 0u,            // stop
      8u,                           // display on
      6u,                           // display off
      2u,                           // suspend
      2u,                           // resume
      2u,                           // session change
      someone ? 16u : 1u,           // touch 0, 1 or 2
      someone ? 3u : 0u,            // touch, an odd number
      someone ? 3u : 0u,            // touch, data of another type or length
      someone ? 4u : 0u,            // touch delete
      someone ? 1u : 0u,            // the key deleted
      someone ? 2u : 8u,            // logon
      someone ? 3u : 0u,            // logoff
      attached ? 0u : 24u,          // controller attach
      attached ? 2u : 0u,           // controller detach
      faulted ? 0u : 2u,            // a fault switched on
      faulted ? 24u : 0u,           // the fault switched off
  });
  return kMoves[index];
}

void Soak::ControllerMoved(uint64_t timeMs) {
  m_model.ControllerChanged(timeMs, m_controller->Attached(), m_fault != winsim::ControllerFault::kNone);
}

void Soak::Perform(Move move) {
  ++m_step;
  const uint64_t t = Now();
  switch (move) {
    case Move::kStart: {
      auto notes = Play(CommandKind::kStart, "start");
      if (Answered(notes, "start") && Delivered(notes)) m_model.Opportunity(t, Facts());
      if (!Delivered(notes) && !Failed()) Fail("the SCM could not start the service: " + Narrow(notes.back()));
      break;
    }
    case Move::kStop: Stop(); break;
    case Move::kDisplayOn: {
      auto notes = Play(CommandKind::kDisplayOn, "display on");
      if (Answered(notes, "display on") && Delivered(notes)) m_model.Opportunity(t, Facts());
      break;
    }
    case Move::kDisplayOff: Answered(Play(CommandKind::kDisplayOff, "display off"), "display off"); break;
    case Move::kSuspend: Answered(Play(CommandKind::kPowerSuspend, "power suspend"), "power suspend"); break;
    case Move::kResume: Answered(Play(CommandKind::kPowerResume, "power resume"), "power resume"); break;
    case Move::kSessionChange: Answered(Play(CommandKind::kSessionChange, "session change"), "session change"); break;
    case Move::kTouch:
    case Move::kTouchOdd: {
      const uint32_t value = move == Move::kTouch ? static_cast<uint32_t>(m_random.Weighted({4, 4, 2}))
                                                  : kOddValues[m_random.Below(std::size(kOddValues))];
      const WakeFacts before = Facts();
      Play(CommandKind::kTouchSet, "touch " + std::to_string(value), value);
      if (before.user) m_model.SettingChanged(t, before, Facts());
      break;
    }
    case Move::kTouchData: SetData(kOddData[m_random.Below(std::size(kOddData))]); break;
    case Move::kTouchDelete: {
      const WakeFacts before = Facts();
      Play(CommandKind::kTouchDelete, "touch delete");
      if (before.user && before.keyExists) m_model.SettingChanged(t, before, Facts());
      break;
    }
    case Move::kKeyDelete: DeleteKey(); break;
    case Move::kLogOn: {
      const WakeFacts before = Facts();
      const std::string name = Narrow(kUserNames[m_random.Below(std::size(kUserNames))]);
      Play(CommandKind::kLogOn, "logon " + name, 0, name);
      m_model.UsersChanged(t, before, Facts());
      break;
    }
    case Move::kLogOff: {
      const WakeFacts before = Facts();
      Play(CommandKind::kLogOff, "logoff");
      m_model.UsersChanged(t, before, Facts());
      break;
    }
    case Move::kAttach: Play(CommandKind::kControllerAttach, "controller attach"); ControllerMoved(t); break;
    case Move::kDetach: Play(CommandKind::kControllerDetach, "controller detach"); ControllerMoved(t); break;
    case Move::kFault:
    case Move::kFaultNone: {
      const std::string kind = move == Move::kFault ? kFaults[m_random.Below(std::size(kFaults))] : "none";
      winsim::ParseFault(kind, m_fault);
      Play(CommandKind::kControllerFault, "controller fault " + kind, 0, kind);
      ControllerMoved(t);
      break;
    }
  }
}

void Soak::SetData(const OddData& odd) {
  const uint64_t t = Now();
  Say(std::wstring(L"touch data ") + odd.text);
  auto key = UserKey();
  if (!key) return Say(L"nobody is logged on: no setting to change");
  const WakeFacts before = Facts();
  Machine().Part<winsim::Registry>().SetValue(*key, L"Touch", odd.type, odd.data);
  m_sim->Sample();
  m_model.SettingChanged(t, before, Facts());
}

void Soak::DeleteKey() {
  const uint64_t t = Now();
  Say(L"touch key delete");
  auto key = UserKey();
  if (!key) return Say(L"nobody is logged on: no setting to change");
  const WakeFacts before = Facts();
  if (!Machine().Part<winsim::Registry>().DeleteKeyTree(*key)) return Say(L"the user has no WakeableInputTypes key");
  m_sim->Sample();
  m_model.SettingChanged(t, before, Facts());
}

// Invariant 3 at a stop: the stop is answered, the process ends within the
// teardown bound and does not leave its service object behind (it ends with
// exit code 0, not through the ExitProcess of a wait that ran out).
void Soak::Stop() {
  const uint64_t t = Now();
  auto notes = Play(CommandKind::kStop, "stop");
  if (!Answered(notes, "stop")) return;
  // A service still starting does not take the stop yet; it goes on running.
  if (!Delivered(notes)) return;
  m_model.Stopped(t);
  auto& scm = Machine().Part<winsim::Services>();
  if (!scm.WaitForProcessEnd(kServiceName, kTeardownBoundMs))
    return Fail("the service's process did not end within " + std::to_string(kTeardownBoundMs / 1000) +
                " s of the stop: its wait for its watcher runs ran out");
  if (m_log->Saw(kLeftBehind)) return Fail(std::string("the service's process ended with \"") + kLeftBehind + "\"");
  // A process that gave up waiting for its watcher runs ends itself with
  // ExitProcess(ERROR_TIMEOUT): seen with the debug log off too.
  const std::optional<DWORD> exitCode = scm.ProcessExitCode(kServiceName);
  if (exitCode != std::optional<DWORD>(0))
    Fail("the service's process ended with exit code " + (exitCode ? std::to_string(*exitCode) : std::string("none")) +
         ": its wait for its watcher runs ran out");
}

void Soak::Episode() {
  const uint64_t minutes = Now() / kMinuteMs;
  // At least one event a simulated minute on average: a story that fell
  // behind plays a longer burst.
  const uint64_t events = m_step.load() < minutes ? kBurstMax : m_random.Between(kBurstMin, kBurstMax);
  for (uint64_t i = 0; i < events && !Failed(); ++i) {
    Perform(Pick());
    if (i + 1 == events || Failed()) break;
    Gap();
  }
  // Most bursts end as a user's day goes on: the controller is plugged back
  // or recovers, and the screen comes back on.
  if (!Failed() && m_random.Percent(60)) {
    if (!m_controller->Attached()) Gap(), Perform(Move::kAttach);
    else if (m_fault != winsim::ControllerFault::kNone) Gap(), Perform(Move::kFaultNone);
    if (!Failed() && m_model.Running() && m_random.Percent(80)) Gap(), Perform(Move::kDisplayOn);
  }
  if (Failed()) return;
  Wait(m_random.Between(kQuietMinMs, kQuietMaxMs));
  Check();
}

// Invariants 1, 3 and 4 after a quiet period.
void Soak::Check() {
  if (Failed()) return;
  ++m_checks;
  const uint64_t now = Now();
  const WakeFacts facts = Facts();
  const std::optional<uint8_t> expected = m_model.Expected(now, facts);
  const bool determined = expected.has_value();
  if (expected) {
    ++m_determined;
    const auto state = m_controller->State();
    if (state.lastWakeOnTouchFlag != *expected) {
      char what[200];
      std::snprintf(what, sizeof what,
                    "the controller's last wake-on-touch byte is 0x%02X, the user's setting gives 0x%02X "
                    "(selection 0x%X)",
                    static_cast<unsigned>(state.lastWakeOnTouchFlag), static_cast<unsigned>(*expected),
                    static_cast<unsigned>(ExpectedSelection(facts)));
      return Fail(what);
    }
  } else {
    ++m_undetermined[m_model.Reason()];
  }
  const DWORD state = Machine().Part<winsim::Services>().Status(kServiceName).dwCurrentState;
  const DWORD want = m_model.Running() ? SERVICE_RUNNING : SERVICE_STOPPED;
  if (state != want)
    return Fail(std::string("the service is ") + (state == SERVICE_RUNNING ? "running" : state == SERVICE_STOPPED ? "stopped" : "between states") +
                " where the story left it " + (want == SERVICE_RUNNING ? "running" : "stopped"));
  if (now >= m_model.BusyUntil() && std::string(m_model.WatchName()) != "watcher unknown") CheckResources();
  NoteCheck(now, determined);
  if (!Failed() && m_options.hours >= kIdleSoakHours && now >= m_nextIdleMs && m_model.Running() &&
      now >= m_model.BusyUntil() && now + kHourMs <= m_endMs + kHourMs / 2)
    IdleHour();
}

// A check that held, as a mark of the page (a failure is drawn by Report).
void Soak::NoteCheck(uint64_t timeMs, bool determined) {
  if (!m_html || Failed()) return;
  char text[256];
  if (determined)
    std::snprintf(text, sizeof text, "#%llu passed: the controller holds 0x%02X as the setting gives",
                  static_cast<unsigned long long>(m_checks), static_cast<unsigned>(m_controller->State().lastWakeOnTouchFlag));
  else
    std::snprintf(text, sizeof text, "#%llu passed; the controller's byte is not determined: %s",
                  static_cast<unsigned long long>(m_checks), m_model.Reason());
  m_html->AddCheck(timeMs, determined ? CheckOutcome::kPassed : CheckOutcome::kUndetermined, text);
}

// Invariant 4. Quiet periods of one kind (service stopped, running with or
// without a watcher) are compared with the first of their kind. The
// controller layer keeps a transfer event per vendor role from one
// connection to the next (closed and made anew at the next connect), so a
// few handles more or less say only how the last push went; a leak of one a
// cycle passes the slack within a few cycles.
void Soak::CheckResources() {
  const Counts counts = Sample();
  ++m_resourceSamples;
  if (m_options.verbose)
    Say(L"at rest: " + std::to_wstring(counts.handles) + L" handles, " + std::to_wstring(counts.heapBlocks) +
        L" LocalAlloc blocks, " + std::to_wstring(counts.threads) + L" threads (soak)");
  m_maxima.handles = std::max(m_maxima.handles, counts.handles);
  m_maxima.heapBlocks = std::max(m_maxima.heapBlocks, counts.heapBlocks);
  m_maxima.threads = std::max(m_maxima.threads, counts.threads);
  m_maxima.kept = std::max(m_maxima.kept, counts.kept);
  const std::string kind = std::string(m_model.Running() ? "running, " : "stopped, ") + m_model.WatchName();
  auto [it, first] = m_baselines.emplace(kind, counts);
  if (first) return;
  const Counts& base = it->second;
  char what[200];
  if (counts.OwnHandles() > base.OwnHandles() + kHandleSlack)
    std::snprintf(what, sizeof what, "handles grew from %zu to %zu (quiet periods with the service %s)",
                  base.OwnHandles(), counts.OwnHandles(), kind.c_str());
  else if (counts.heapBlocks > base.heapBlocks + kHeapBlockSlack)
    std::snprintf(what, sizeof what, "LocalAlloc blocks grew from %zu to %zu (quiet periods with the service %s)",
                  base.heapBlocks, counts.heapBlocks, kind.c_str());
  else if (counts.threads > base.threads)
    std::snprintf(what, sizeof what, "threads grew from %zu to %zu (quiet periods with the service %s)",
                  base.threads, counts.threads, kind.c_str());
  else
    return;
  Fail(what);
}

// Invariant 5.
void Soak::IdleHour() {
  m_nextIdleMs = Now() + kIdleEveryMs;
  const auto before = ServiceThreads();
  Say(L"idle hour: nothing happens (soak)");
  Wait(kHourMs);
  ++m_idleHours;
  if (const uint64_t wakeUps = WakeUpsBetween(before, ServiceThreads()))
    return Fail("an idle hour cost the service " + std::to_string(wakeUps) + " thread wake-ups");
  Check();
}

void Soak::Summary(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fputs(line, stdout);
  std::fflush(stdout);
  m_summary += line;
  if (m_html) m_html->SetSummary(m_summary);
}

int Soak::Report(std::chrono::steady_clock::time_point realStart) {
  const double realSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
  const uint64_t now = Now();
  if (Failed()) {
    Summary("soak: FAILED at step %llu (check %llu, simulated time %s): %s\n",
                static_cast<unsigned long long>(m_failStep), static_cast<unsigned long long>(m_checks),
                Clock(m_failTimeMs).c_str(), m_failure.c_str());
    Summary("soak: seed %llu; replay: vornsim --soak %g --seed %llu\n",
                static_cast<unsigned long long>(m_options.seed), m_options.hours,
                static_cast<unsigned long long>(m_options.seed));
    if (m_html) {
      // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "#" + std::to_string(...).
      std::string text("#");
      text += std::to_string(m_checks);
      text += " FAILED at step " + std::to_string(m_failStep) + ": " + m_failure;
      m_html->AddCheck(m_failTimeMs, CheckOutcome::kFailed, text);
    }
    Summary("soak: the end of the timeline:\n");
    std::lock_guard lock(m_lineMutex);
    for (const auto& line : m_tail) Summary("  %s\n", Narrow(line).c_str());
    return 1;
  }
  const double minutes = static_cast<double>(now) / kMinuteMs;
  Summary("soak: seed %llu, %g hours: passed\n", static_cast<unsigned long long>(m_options.seed),
              m_options.hours);
  Summary("soak: %llu steps over %s simulated (%.2f a minute), %llu checks, the controller's byte "
              "determined at %llu\n",
              static_cast<unsigned long long>(m_step.load()), Clock(now).c_str(),
              minutes > 0 ? static_cast<double>(m_step.load()) / minutes : 0.0,
              static_cast<unsigned long long>(m_checks), static_cast<unsigned long long>(m_determined));
  for (const auto& [reason, count] : m_undetermined)
    Summary("soak:   not determined %llu times: %s\n", static_cast<unsigned long long>(count), reason.c_str());
  Summary("soak: at rest (%llu samples): at most %zu handles, %zu LocalAlloc blocks, %zu threads of the service\n",
              static_cast<unsigned long long>(m_resourceSamples), m_maxima.handles, m_maxima.heapBlocks,
              m_maxima.threads);
  if (m_maxima.kept > 0)
    Summary("soak: transfers given up on and kept: at most %zu (their handles counted apart)\n", m_maxima.kept);
  if (m_idleHours == 0)
    Summary("soak: idle hours: none (soaks of %g hours or more have them)\n", kIdleSoakHours);
  else
    Summary("soak: idle hours: %llu, no thread wake-up of the service in any\n",
                static_cast<unsigned long long>(m_idleHours));
  Summary("soak: %.1f s of real time\n", realSeconds);
  return 0;
}

int Soak::Run() {
  const auto realStart = std::chrono::steady_clock::now();
  std::printf("soak: seed %llu, %g hours of simulated time\n", static_cast<unsigned long long>(m_options.seed),
              m_options.hours);
  std::fflush(stdout);
  // The machine boots with the service installed and stopped: the story
  // starts it.
  Perform(Move::kStart);
  if (!Failed()) Wait(m_random.Between(kQuietMinMs, kQuietMaxMs));
  Check();
  while (!Failed() && Now() < m_endMs) Episode();
  if (!Failed() && m_model.Running()) {
    ++m_step;
    Stop();
  }
  m_sim->Finish();
  return Report(realStart);
}

}  // namespace

int RunSoak(const SoakOptions& options, const winsim::MachineConfig& config, HtmlTimeline* html) {
  Soak soak(options, config, html);
  return soak.Run();
}

}  // namespace vornsim
