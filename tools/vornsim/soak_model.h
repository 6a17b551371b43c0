// What the soak holds the service to: whenever the service runs and a
// controller is attached without a fault, after a quiet period the controller
// holds the setting of the user at the console, unless the story did one of
// the few things after which the service must not, or cannot, push.
//
// The user at the console (the one the service follows): the user of the
// console's session; at the logon screen (a console session without a user)
// the owner of the first "explorer.exe" of the process list; nobody logged
// on: none. The selection (ExpectedSelection):
//  - nobody: 1 (the lookup fails for 45 s, then the default);
//  - the user's key WakeableInputTypes missing: 1;
//  - the value "Touch" missing, or its data not exactly 4 bytes long: 1;
//  - otherwise its 4 bytes as a little-endian number, whatever the value's
//    type (the product reads it without asking for the type): REG_DWORD 257
//    gives 257, REG_SZ "1" gives 0x31.
// The controller receives the low byte of the selection.
//
// Push opportunities, each a new watcher run that looks the user up 5 s later
// and pushes: a start, a display-on, a logon, a logoff, a console connect (a
// user switch), the arrival of the controller. A watcher run that found the
// value follows the user's key and pushes each change it can read.
//
// The checks the product cannot be held to, each until the next push
// opportunity (or, where a watcher still follows the key, its next push):
// the service stopped; no controller; a fault on the controller now or at the
// last push (a fault that ends is no push opportunity); a value deleted or
// made unreadable after a change (nothing is pushed); a change of the value
// while no watcher follows it, because the value or key was missing at the
// look-up; the watched key deleted (the watcher ends); a push given up while
// another process held the controller's mutex past its 15 attempts; the
// machine changing while the service reacted, where the outcome depends on an
// order the story cannot know (the value deleted, or set where it was
// missing, as the run reads it).
#pragma once

#include <winsim/sim/clock.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornsim {

// The machine as the product reads it at one moment.
struct WakeFacts {
  std::optional<std::wstring> user;  // SID of the user at the console as the product finds it; none: nobody
  bool keyExists = false;            // the user's WakeableInputTypes key
  std::optional<uint32_t> touch;     // "Touch" as the product reads it; none: missing or unreadable
  bool operator==(const WakeFacts&) const = default;
};

// The selection the product reads from `facts`.
uint32_t ExpectedSelection(const WakeFacts& facts);

// The wake-on-touch byte of a "wire" line ("out 03 00 04 F0 02 00 01 ...",
// trailing zero bytes written as "..."), when the line is a wake-on-touch
// command that reached the controller; none for any other line.
std::optional<uint8_t> WakeOnTouchByteSent(const std::wstring& wireText);

// The wake-ups of a set of simulated threads between two looks at them
// (winsim's Clock::Threads(), filtered): the wake-ups each counted meanwhile,
// and one more for every thread that started or ended in between (an ended
// thread may have left the clock's list, with its count).
uint64_t WakeUpsBetween(const std::vector<winsim::Clock::ThreadStats>& before,
                        const std::vector<winsim::Clock::ThreadStats>& after);

// Why a check could not hold the product to the setting.
enum class Excuse {
  kNone,              // holdable
  kStopped,           // the service stopped
  kNoController,      // no controller attached
  kFault,             // a fault on the controller now
  kFaultAtPush,       // a fault at its last push (a fault that ends is no push opportunity)
  kValueUnread,       // a value deleted or made unreadable after a change: nothing is pushed
  kNotFollowed,       // the value or key was missing at the look-up: no watcher follows the key
  kKeyDeleted,        // the watched key deleted: the watcher ends
  kMutex,             // a push given up while another process held the controller's mutex
  kRace,              // the machine changed while the service reacted
  kStillReacting,     // the quiet period ended before the service's reaction could (never, when long enough)
};
const char* ExcuseText(Excuse excuse);

class WakeModel {
 public:
  // A watcher run starts its work this long after a push opportunity.
  static constexpr uint64_t kStartDelayMs = 5000;
  // With nobody logged on, the run looks the user up for this long
  // (15 attempts, 3 s apart).
  static constexpr uint64_t kLookupMs = 45000;
  // The longest a push that cannot reach the controller keeps retrying
  // (15 attempts, 2 s apart, each up to a transfer time-out), with margin.
  static constexpr uint64_t kFailingPushMs = 80000;
  // A push to a controller that answers: the command goes out at once and the
  // disconnect settles for 100 ms. With margin.
  static constexpr uint64_t kPushMs = 250;
  // The run reads the setting at the end of its start delay; a change this
  // close to that moment may land before or after the read (a run that
  // follows a device's arrival starts once the device is checked).
  static constexpr uint64_t kReadMarginMs = 20;
  // The longest reaction to a push opportunity: a look-up that finds nobody
  // and a push that cannot reach the controller. A quiet period outlasts it.
  static constexpr uint64_t kLongestReactionMs = kStartDelayMs + kLookupMs + kFailingPushMs;
  // While another process holds the controller's mutex, each push attempt
  // waits 15 s for it in the connect and 15 s in the disconnect, then 2 s:
  // a push gives up about 482 s after it began. Released sooner than
  // kMutexTakenMs after the push began, the push gets through within
  // kAfterReleaseMs of the release; held longer than kMutexGiveUpMs, it
  // has given up; in between, either.
  static constexpr uint64_t kMutexTakenMs = 440000;
  static constexpr uint64_t kMutexGiveUpMs = 500000;
  static constexpr uint64_t kAfterReleaseMs = 2500;

  // A push opportunity that reached the running service (a start makes it
  // running). `facts` are the user's as they are now.
  void Opportunity(uint64_t timeMs, const WakeFacts& facts);
  // The setting of the user at the console changed (`after` is the new state).
  void SettingChanged(uint64_t timeMs, const WakeFacts& after);
  // The controller was detached, or its fault switched (an attach is this
  // and a push opportunity).
  void ControllerChanged(uint64_t timeMs, bool attached, bool faulted);
  // The service was stopped: its watcher ends, nothing more is pushed.
  void Stopped(uint64_t timeMs);
  // Another process took the controller's mutex, or let go of it.
  void MutexChanged(uint64_t timeMs, bool held);

  // After a quiet period: kNone when the controller must hold the low byte of
  // ExpectedSelection(facts), else why it need not.
  Excuse Check(uint64_t nowMs);
  // Until then the service may still be working on what happened: lookups,
  // pushes and their retries.
  uint64_t BusyUntil() const { return m_busyUntil; }
  bool Running() const { return m_running; }
  // "watcher", "no watcher" or "watcher unknown": whether a watcher run
  // follows the user's key, as far as the model knows.
  const char* WatchName() const;

 private:
  enum class Watch { kNone, kWatching, kUnknown };
  // The newest watcher run, until its reaction is over.
  struct Run {
    uint64_t readMs = 0;  // it reads the setting then
    uint64_t endMs = 0;   // its first push is over by then
    WakeFacts read;       // what it reads
    std::optional<WakeFacts> later;  // a change after the read, taken up when it arms
    Excuse atRead = Excuse::kNone;   // no controller, or a fault, when it pushes
    Excuse spoiled = Excuse::kNone;
  };
  static constexpr uint64_t kNever = UINT64_MAX;

  bool Clean() const { return m_attached && !m_faulted; }
  Excuse Unclean() const { return m_attached ? Excuse::kFaultAtPush : Excuse::kNoController; }
  void AtRead();
  void Resolve(uint64_t nowMs);
  // A push that began at `beganMs` waited for the mutex until `releasedMs`:
  // whether it got through (kNone) or not (kMutex).
  static Excuse Blocked(uint64_t beganMs, uint64_t releasedMs) {
    return releasedMs < beganMs + kMutexTakenMs ? Excuse::kNone : Excuse::kMutex;
  }
  void Spoil(Excuse excuse);
  // A change the watcher sees: it reads the value and pushes what it can.
  void Watched(uint64_t timeMs, const WakeFacts& after);
  void Stale(Excuse excuse) {
    if (m_stale == Excuse::kNone) m_stale = excuse;
  }
  void Extend(uint64_t untilMs) {
    if (untilMs > m_busyUntil) m_busyUntil = untilMs;
  }

  bool m_running = false;
  bool m_attached = true;
  bool m_faulted = false;
  std::optional<uint64_t> m_mutexSince;  // held by another process since then
  std::optional<Run> m_run;
  Watch m_watch = Watch::kNone;
  uint64_t m_watchBusyUntil = 0;  // a watcher pushing a change re-arms then (kNever: waiting for the mutex)
  uint64_t m_watchPushMs = 0;     // when its push began
  Excuse m_stale = Excuse::kNone;  // why the byte may lag until the next push
  uint64_t m_busyUntil = 0;
};

}  // namespace vornsim
