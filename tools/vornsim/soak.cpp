#include "soak.h"

#include "random.h"
#include "simulator.h"
#include "soak_model.h"

#include "app/ProcessObjects.h"


#include <winsim/sim/executable.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/mouse.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>
#include <winsim/sim/threadpool.h>
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
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vornsim {

namespace {

constexpr const wchar_t* kServiceName = L"VornPalmixSvc";
constexpr uint64_t kMinuteMs = 60000;
constexpr uint64_t kHourMs = 60 * kMinuteMs;
// A quiet period outlasts the longest reaction of the service to the last
// event of a burst: a start delay, 45 s of look-ups that find nobody and a
// push's 15 attempts (WakeModel::kLongestReactionMs), with 10 s to spare.
constexpr uint64_t kQuietMinMs = WakeModel::kLongestReactionMs + 10000;
constexpr uint64_t kQuietMaxMs = kQuietMinMs + 60000;
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
// Dana is logged on at boot; WORKSTATION is also the computer's name.
const wchar_t* const kUserNames[] = {L"Dana", L"Eli", L"Farah", L"WORKSTATION"};
// The session changes after which the service looks the user up again.
bool MovesTheUser(DWORD sessionEvent) {
  return sessionEvent == WTS_SESSION_LOGON || sessionEvent == WTS_SESSION_LOGOFF || sessionEvent == WTS_CONSOLE_CONNECT;
}
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
// Another process of the service's session holds the controller's mutex for
// a moment mostly; now and then for longer than a push waits for it.
constexpr unsigned kLongHoldPercent = 15;
constexpr uint64_t kLongHoldMs = WakeModel::kMutexGiveUpMs + 40000;
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
  kSwitch,
  kLogOff,
  kLogOffAll,
  kAttach,
  kDetach,
  kReplug,
  kMouse,
  kFault,
  kFaultNone,
  kMutexHold,
  kMutexRelease,
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
  // The service process's simulated threads alive (its entry's and
  // ServiceMain's) and the work items of its thread pool queued or running:
  // a watcher run, or a device's check. The pool keeps the idle worker threads
  // that ran the checks (at most ThreadPool::kMaxWorkers), as Windows' does.
  size_t threads = 0;
  // Transfers the controller's transport gave up on and keeps until they end
  // (a driver that hangs): each holds an event handle, counted apart.
  size_t kept = 0;
  size_t OwnHandles() const { return handles - std::min(handles, kept); }
};

class Soak {
 public:
  Soak(const SoakOptions& options, const winsim::MachineConfig& config, RunRecord* record)
      : m_options(options), m_record(record), m_random(options.seed), m_endMs(static_cast<uint64_t>(options.hours * kHourMs)) {
    m_sim = std::make_unique<Simulator>(config, [this](const std::wstring& line) { OnLine(line); }, options.debugLog);
    m_controller = winsim::TouchControllers(Machine()).front();
    m_log = std::make_unique<LogWatch>(Machine().DriveC() / "VornPalmix" / "VrnDbgLog");
    if (m_record)
      m_sim->Bands().ShowTo([record](uint64_t timeMs, const std::wstring& band, const std::wstring& value) {
        record->SetState(timeMs, band, value);
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
  // Plays `command` and returns the sim lines it printed.
  std::vector<std::wstring> Play(const Command& command);
  void Say(const std::wstring& text) { m_sim->Output().Print(L"sim", text); }
  void Touch(Move move);
  void SetData(const OddData& odd);
  void DeleteKey();
  void SessionChange();
  void Users(Move move);
  void Stop();
  void ControllerMoved(uint64_t timeMs);
  // A push opportunity the running service must take.
  void Opportunity(uint64_t timeMs);
  // The users by name: those logged on (or not), the one at the console.
  std::vector<std::string> Names(bool loggedOn);
  std::string ConsoleName();
  // Whose setting a change of the story touches: the user at the console
  // mostly, another logged-on user otherwise; empty: nobody is logged on.
  std::string PickTarget();
  std::string AnyOf(const std::vector<std::string>& names) { return names[m_random.Below(names.size())]; }
  // " NAME" for a change of NAME's setting; none for the console user's,
  // which a script changes without naming the user.
  std::string Suffix(const std::string& name) { return name.empty() || name == ConsoleName() ? "" : " " + name; }

  // The checks.
  void Check();
  void CheckResources();
  void IdleHour();
  bool Answered(const std::vector<std::wstring>& notes, const std::string& what);
  static bool Delivered(const std::vector<std::wstring>& notes);
  // The user the service must follow: the console's, else the owner of the
  // first explorer.exe; none: nobody is logged on.
  std::optional<std::wstring> ConsoleUser();
  WakeFacts Facts();
  // Runs a change of `name`'s setting and tells the model when it is the
  // setting the service follows.
  void ChangeSetting(uint64_t timeMs, const std::string& name, const std::function<void()>& change);
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
  void NoteCheck(uint64_t timeMs, Excuse excuse);

  const SoakOptions m_options;
  RunRecord* m_record;
  Random m_random;
  const uint64_t m_endMs;
  std::unique_ptr<Simulator> m_sim;
  std::shared_ptr<winsim::TouchController> m_controller;
  std::unique_ptr<LogWatch> m_log;
  WakeModel m_model;
  winsim::ControllerFault m_fault = winsim::ControllerFault::kNone;
  std::optional<uint64_t> m_mutexSince;  // another process holds the controller's mutex since then

  std::mutex m_lineMutex;  // guards the sink's state below
  std::deque<std::wstring> m_tail;
  bool m_capturing = false;
  std::vector<std::wstring> m_notes;  // sim lines of the command being played
  int m_lastWot = -1;                 // byte of the last wake-on-touch command not yet logged
  // A wake-on-touch command reached the controller since it was last
  // attached: one that comes back has only what the service sends it.
  bool m_sentSinceAttach = false;

  std::mutex m_failMutex;
  std::atomic<bool> m_failed{false};
  std::string m_failure;
  uint64_t m_failStep = 0;
  uint64_t m_failTimeMs = 0;

  std::atomic<uint64_t> m_step{0};
  uint64_t m_checks = 0;
  uint64_t m_inStep = 0;
  std::map<Excuse, uint64_t> m_excused;
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
  if (m_record) m_record->Add(line);
  m_tail.push_back(line);
  if (m_tail.size() > kTailLines) m_tail.pop_front();
  TimelineEntry entry;
  if (!ParseTimelineLine(line, entry)) return;
  if (entry.channel == L"sim" && m_capturing) m_notes.push_back(entry.text);
  if (entry.channel == L"wire")
    if (auto byte = WakeOnTouchByteSent(entry.text)) m_lastWot = *byte, m_sentSinceAttach = true;
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
  return Play(command);
}

std::vector<std::wstring> Soak::Play(const Command& command) {
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

std::optional<std::wstring> Soak::ConsoleUser() {
  auto& identity = Machine().Part<winsim::Identity>();
  const std::wstring console = identity.ConsoleUserSid();
  if (!console.empty()) return console;
  for (const auto& process : identity.Processes())
    if (process.exeName == L"explorer.exe") return process.userSid;
  return std::nullopt;
}

WakeFacts Soak::Facts() {
  WakeFacts facts;
  facts.user = ConsoleUser();
  if (!facts.user) return facts;
  const std::wstring key = simkit::WakeKey(*facts.user);
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
  size_t threads = Machine().Part<winsim::ThreadPool>().Pending();
  for (const auto& thread : Machine().clock().Threads())
    threads += !thread.ended && (thread.name == "service process" || thread.name == "ServiceMain");
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

std::vector<std::string> Soak::Names(bool loggedOn) {
  auto& identity = Machine().Part<winsim::Identity>();
  std::vector<std::string> names;
  for (const wchar_t* name : kUserNames)
    if (identity.LoggedOnSid(name).empty() != loggedOn) names.push_back(Narrow(name));
  return names;
}

std::string Soak::ConsoleName() {
  auto& identity = Machine().Part<winsim::Identity>();
  const std::wstring console = identity.ConsoleUserSid();
  for (const wchar_t* name : kUserNames)
    if (!console.empty() && identity.LoggedOnSid(name) == console) return Narrow(name);
  return {};
}

std::string Soak::PickTarget() {
  const auto names = Names(true);
  if (names.empty()) return {};
  const std::string console = ConsoleName();
  return !console.empty() && m_random.Percent(70) ? console : AnyOf(names);
}

Move Soak::Pick() {
  const bool running = m_model.Running();
  const size_t loggedOn = Names(true).size();
  const bool someone = loggedOn > 0;
  const bool everyone = loggedOn == std::size(kUserNames);
  const bool elsewhere = loggedOn > (ConsoleName().empty() ? 0u : 1u);  // someone away from the console
  const bool attached = m_controller->Attached();
  const bool faulted = m_fault != winsim::ControllerFault::kNone;
  static const Move kMoves[] = {Move::kStart,     Move::kStop,        Move::kDisplayOn,   Move::kDisplayOff,
                                Move::kSuspend,   Move::kResume,      Move::kSessionChange, Move::kTouch,
                                Move::kTouchOdd,  Move::kTouchData,   Move::kTouchDelete, Move::kKeyDelete,
                                Move::kLogOn,     Move::kSwitch,      Move::kLogOff,      Move::kLogOffAll,
                                Move::kAttach,    Move::kDetach,      Move::kReplug,      Move::kMouse,
                                Move::kFault,     Move::kFaultNone,   Move::kMutexHold,   Move::kMutexRelease};
  const size_t index = m_random.Weighted({
      running ? 0u : 12u,                       // start
      running ? 2u : 0u,                        // stop
      8u,                                       // display on
      6u,                                       // display off
      2u,                                       // suspend
      2u,                                       // resume
      2u,                                       // session change of some type
      someone ? 16u : 1u,                       // touch 0, 1 or 2
      someone ? 3u : 0u,                        // touch, an odd number
      someone ? 3u : 0u,                        // touch, data of another type or length
      someone ? 4u : 0u,                        // touch delete
      someone ? 1u : 0u,                        // the key deleted
      everyone ? 0u : someone ? 3u : 8u,        // logon of a user not logged on
      elsewhere ? 3u : 0u,                      // switch to a user away from the console
      someone ? 3u : 0u,                        // logoff NAME
      someone ? 1u : 0u,                        // logoff (everyone)
      attached ? 0u : 24u,                      // controller attach
      attached ? 2u : 0u,                       // controller detach
      attached ? 2u : 0u,                       // controller re-plugged, once or a few times
      1u,                                       // a mouse comes or goes
      faulted ? 0u : 2u,                        // a fault switched on
      faulted ? 24u : 0u,                       // the fault switched off
      m_mutexSince ? 0u : 2u,                   // another process takes the controller's mutex
      m_mutexSince ? 8u : 0u,                   // and lets go of it
  });
  return kMoves[index];
}

void Soak::ControllerMoved(uint64_t timeMs) {
  m_model.ControllerChanged(timeMs, m_controller->Attached(), m_fault != winsim::ControllerFault::kNone);
}

void Soak::Opportunity(uint64_t timeMs) {
  if (m_model.Running()) m_model.Opportunity(timeMs, Facts());
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
      if (Answered(notes, "display on") && Delivered(notes)) Opportunity(t);
      break;
    }
    case Move::kDisplayOff: Answered(Play(CommandKind::kDisplayOff, "display off"), "display off"); break;
    case Move::kSuspend: Answered(Play(CommandKind::kPowerSuspend, "power suspend"), "power suspend"); break;
    case Move::kResume: Answered(Play(CommandKind::kPowerResume, "power resume"), "power resume"); break;
    case Move::kSessionChange: SessionChange(); break;
    case Move::kTouch:
    case Move::kTouchOdd:
    case Move::kTouchData:
    case Move::kTouchDelete:
    case Move::kKeyDelete: Touch(move); break;
    case Move::kLogOn:
    case Move::kSwitch:
    case Move::kLogOff:
    case Move::kLogOffAll: Users(move); break;
    case Move::kAttach: {
      {
        std::lock_guard lock(m_lineMutex);
        m_sentSinceAttach = false;
      }
      Play(CommandKind::kControllerAttach, "controller attach");
      ControllerMoved(t);
      Opportunity(t);
      break;
    }
    case Move::kDetach: Play(CommandKind::kControllerDetach, "controller detach"); ControllerMoved(t); break;
    case Move::kReplug: {
      // Unplugged and plugged back at once, as a dock or a USB reset does,
      // sometimes a few times in a row.
      const uint64_t times = m_random.Weighted({0, 6, 3, 1});
      for (uint64_t i = 0; i < times && !Failed(); ++i) {
        if (i > 0) Wait(m_random.Below(1500));
        Perform(Move::kDetach);
        Wait(m_random.Below(1500));
        Perform(Move::kAttach);
      }
      break;
    }
    case Move::kMouse: {
      const auto mice = winsim::Mice(Machine());
      const bool plugged = !mice.empty() && mice.back()->Plugged();
      Play(plugged ? CommandKind::kMouseDetach : CommandKind::kMouseAttach, plugged ? "mouse detach" : "mouse attach");
      break;
    }
    case Move::kFault:
    case Move::kFaultNone: {
      const std::string kind = move == Move::kFault ? kFaults[m_random.Below(std::size(kFaults))] : "none";
      winsim::ParseFault(kind, m_fault);
      Play(CommandKind::kControllerFault, "controller fault " + kind, 0, kind);
      ControllerMoved(t);
      break;
    }
    case Move::kMutexHold:
    case Move::kMutexRelease: {
      const bool hold = move == Move::kMutexHold;
      Play(hold ? CommandKind::kMutexHold : CommandKind::kMutexRelease, hold ? "mutex hold" : "mutex release");
      m_mutexSince = hold ? std::optional<uint64_t>(t) : std::nullopt;
      m_model.MutexChanged(t, hold);
      break;
    }
  }
}

// A session change that comes alone, of any type (WTS_CONSOLE_CONNECT 1 to
// WTS_SESSION_UNLOCK 8), as a remote desktop or a lock sends it.
void Soak::SessionChange() {
  const uint64_t t = Now();
  const DWORD type = static_cast<DWORD>(m_random.Between(WTS_CONSOLE_CONNECT, WTS_SESSION_UNLOCK));
  Command command;
  command.kind = CommandKind::kSessionChange;
  command.text = "session change " + SessionEventName(type);
  command.sessionEvent = type;
  Answered(Play(command), command.text);
  if (MovesTheUser(type)) Opportunity(t);
}

// Logons, switches and logoffs: each moves the console or the sessions, and
// the service looks the user up again.
void Soak::Users(Move move) {
  const uint64_t t = Now();
  std::string name;
  CommandKind kind = CommandKind::kLogOff;
  std::string text = "logoff";
  switch (move) {
    case Move::kLogOn: name = AnyOf(Names(false)), kind = CommandKind::kLogOn, text = "logon " + name; break;
    case Move::kSwitch: {
      auto away = Names(true);
      std::erase(away, ConsoleName());
      name = AnyOf(away), kind = CommandKind::kSwitch, text = "switch " + name;
      break;
    }
    case Move::kLogOff: {
      // The user at the console half the time, when there is one.
      const std::string console = ConsoleName();
      name = !console.empty() && m_random.Percent(50) ? console : AnyOf(Names(true));
      text = "logoff " + name;
      break;
    }
    default: break;
  }
  Play(kind, text, 0, name);
  Opportunity(t);
}

void Soak::ChangeSetting(uint64_t timeMs, const std::string& name, const std::function<void()>& change) {
  const std::wstring sid = Machine().Part<winsim::Identity>().LoggedOnSid(Widen(name));
  change();
  if (!sid.empty() && ConsoleUser() == sid) m_model.SettingChanged(timeMs, Facts());
}

void Soak::Touch(Move move) {
  const uint64_t t = Now();
  if (move == Move::kTouchData) return SetData(kOddData[m_random.Below(std::size(kOddData))]);
  if (move == Move::kKeyDelete) return DeleteKey();
  const std::string name = PickTarget();
  const std::string suffix = Suffix(name);
  const std::string named = suffix.empty() ? "" : name;
  ChangeSetting(t, name, [&] {
    if (move == Move::kTouchDelete) return (void)Play(CommandKind::kTouchDelete, "touch delete" + suffix, 0, named);
    const uint32_t value = move == Move::kTouch ? static_cast<uint32_t>(m_random.Weighted({4, 4, 2}))
                                                : kOddValues[m_random.Below(std::size(kOddValues))];
    Play(CommandKind::kTouchSet, "touch " + std::to_string(value) + suffix, value, named);
  });
}

void Soak::SetData(const OddData& odd) {
  const uint64_t t = Now();
  const std::string name = PickTarget();
  Say(std::wstring(L"touch data ") + odd.text + Widen(Suffix(name)));
  if (name.empty()) return Say(L"nobody is logged on: no setting to change");
  const std::wstring key = simkit::WakeKey(Machine().Part<winsim::Identity>().LoggedOnSid(Widen(name)));
  ChangeSetting(t, name, [&] {
    Machine().Part<winsim::Registry>().SetValue(key, L"Touch", odd.type, odd.data);
    m_sim->Sample();
  });
}

void Soak::DeleteKey() {
  const uint64_t t = Now();
  const std::string name = PickTarget();
  Say(L"touch key delete" + Widen(Suffix(name)));
  if (name.empty()) return Say(L"nobody is logged on: no setting to change");
  const std::wstring key = simkit::WakeKey(Machine().Part<winsim::Identity>().LoggedOnSid(Widen(name)));
  ChangeSetting(t, name, [&] {
    if (!Machine().Part<winsim::Registry>().DeleteKeyTree(key)) return Say(L"the user has no WakeableInputTypes key");
    m_sim->Sample();
  });
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
  // The mutex is let go of before the quiet period, after a long hold now and then.
  if (!Failed() && m_mutexSince) {
    const uint64_t until = *m_mutexSince + kLongHoldMs;
    if (m_random.Percent(kLongHoldPercent) && Now() < until) Wait(until - Now());
    else Gap();
    Perform(Move::kMutexRelease);
  }
  // Most bursts end as a user's day goes on: the service is started again,
  // the controller is plugged back or recovers, and the screen comes back on.
  if (!Failed() && !m_model.Running() && m_random.Percent(60)) Gap(), Perform(Move::kStart);
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
  // The controller may have left the bus by itself (the unplug fault).
  ControllerMoved(now);
  const Excuse excuse = m_model.Check(now);
  if (excuse == Excuse::kNone) {
    const WakeFacts facts = Facts();
    const auto expected = static_cast<uint8_t>(ExpectedSelection(facts) & 0xFF);
    const uint8_t held = m_controller->State().lastWakeOnTouchFlag;
    bool sent;
    {
      std::lock_guard lock(m_lineMutex);
      sent = m_sentSinceAttach;
    }
    if (!sent || held != expected) {
      char what[320];
      const std::string user = facts.user ? Narrow(*facts.user) : "nobody";
      if (!sent)
        std::snprintf(what, sizeof what,
                      "the controller got no wake-on-touch command since it was attached; the setting of the user "
                      "at the console (%s) gives 0x%02X",
                      user.c_str(), static_cast<unsigned>(expected));
      else
        std::snprintf(what, sizeof what,
                      "the controller's last wake-on-touch byte is 0x%02X, the setting of the user at the console "
                      "(%s) gives 0x%02X (selection 0x%X)",
                      static_cast<unsigned>(held), user.c_str(), static_cast<unsigned>(expected),
                      static_cast<unsigned>(ExpectedSelection(facts)));
      return Fail(what);
    }
    ++m_inStep;
  } else {
    ++m_excused[excuse];
  }
  const DWORD state = Machine().Part<winsim::Services>().Status(kServiceName).dwCurrentState;
  const DWORD want = m_model.Running() ? SERVICE_RUNNING : SERVICE_STOPPED;
  if (state != want)
    return Fail(std::string("the service is ") + (state == SERVICE_RUNNING ? "running" : state == SERVICE_STOPPED ? "stopped" : "between states") +
                " where the story left it " + (want == SERVICE_RUNNING ? "running" : "stopped"));
  if (now >= m_model.BusyUntil() && std::string(m_model.WatchName()) != "watcher unknown") CheckResources();
  NoteCheck(now, excuse);
  if (!Failed() && m_options.hours >= kIdleSoakHours && now >= m_nextIdleMs && m_model.Running() &&
      now >= m_model.BusyUntil() && now + kHourMs <= m_endMs + kHourMs / 2)
    IdleHour();
}

// A check that held, as a mark of the page (a failure is drawn by Report).
void Soak::NoteCheck(uint64_t timeMs, Excuse excuse) {
  if (Failed() || (!m_record && !m_options.verbose)) return;
  char text[256];
  if (excuse == Excuse::kNone)
    std::snprintf(text, sizeof text, "#%llu passed: the controller holds 0x%02X as the setting gives",
                  static_cast<unsigned long long>(m_checks), static_cast<unsigned>(m_controller->State().lastWakeOnTouchFlag));
  else
    std::snprintf(text, sizeof text, "#%llu passed; not held to the setting: %s",
                  static_cast<unsigned long long>(m_checks), ExcuseText(excuse));
  if (m_options.verbose) Say(L"check " + Widen(text) + L" (soak)");
  if (m_record) m_record->AddCheck(timeMs, excuse == Excuse::kNone ? CheckOutcome::kPassed : CheckOutcome::kUndetermined, text);
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
  if (m_record) m_record->SetSummary(m_summary);
}

int Soak::Report(std::chrono::steady_clock::time_point realStart) {
  const double realSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
  const uint64_t now = Now();
  if (Failed()) {
    Summary("soak: FAILED at step %llu (check %llu, simulated time %s): %s\n",
                static_cast<unsigned long long>(m_failStep), static_cast<unsigned long long>(m_checks),
                Clock(m_failTimeMs).c_str(), m_failure.c_str());
    uint64_t done = m_inStep;
    for (const auto& each : m_excused) done += each.second;
    Summary("soak: in step at %llu of the %llu checks so far\n", static_cast<unsigned long long>(m_inStep),
            static_cast<unsigned long long>(done));
    Summary("soak: seed %llu; replay: vornsim --soak %g --seed %llu\n",
                static_cast<unsigned long long>(m_options.seed), m_options.hours,
                static_cast<unsigned long long>(m_options.seed));
    if (m_record) {
      // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "#" + std::to_string(...).
      std::string text("#");
      text += std::to_string(m_checks);
      text += " FAILED at step " + std::to_string(m_failStep) + ": " + m_failure;
      m_record->AddCheck(m_failTimeMs, CheckOutcome::kFailed, text);
    }
    // The end of the timeline: printed, and folded under the page's summary.
    std::string tail = "soak: the end of the timeline:\n";
    {
      std::lock_guard lock(m_lineMutex);
      for (const auto& line : m_tail) tail += "  " + Narrow(line) + "\n";
    }
    std::fputs(tail.c_str(), stdout);
    std::fflush(stdout);
    if (m_record) m_record->SetSummary(m_summary, tail);
    return 1;
  }
  const double minutes = static_cast<double>(now) / kMinuteMs;
  Summary("soak: seed %llu, %g hours: passed\n", static_cast<unsigned long long>(m_options.seed),
              m_options.hours);
  Summary("soak: %llu steps over %s simulated (%.2f a minute), %llu checks\n",
              static_cast<unsigned long long>(m_step.load()), Clock(now).c_str(),
              minutes > 0 ? static_cast<double>(m_step.load()) / minutes : 0.0,
              static_cast<unsigned long long>(m_checks));
  Summary("soak: in step at %llu of %llu checks\n", static_cast<unsigned long long>(m_inStep),
          static_cast<unsigned long long>(m_checks));
  for (const auto& [excuse, count] : m_excused)
    Summary("soak:   not held to it %llu times: %s\n", static_cast<unsigned long long>(count), ExcuseText(excuse));
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

int RunSoak(const SoakOptions& options, const winsim::MachineConfig& config, RunRecord* record) {
  Soak soak(options, config, record);
  return soak.Run();
}

}  // namespace vornsim
