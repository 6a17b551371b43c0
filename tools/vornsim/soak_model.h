// What the soak expects of the controller: the byte the service must have
// pushed last, derived from how the service reads the user's setting and
// when its watcher pushes it, or "not determined" where the story's timing
// leaves it open.
//
// The expected selection is the one the product reads (ExpectedSelection):
//  - the user is the owner of the first "explorer.exe" of the process list;
//    nobody logged on: 1 (the lookup fails for 45 s, then the default);
//  - the user's key WakeableInputTypes missing: 1;
//  - the value "Touch" missing, or its data not exactly 4 bytes long: 1;
//  - otherwise its 4 bytes as a little-endian number, whatever the value's
//    type (the product reads it without asking for the type): REG_DWORD 257
//    gives 257, REG_SZ "1" gives 0x31;
//  - another user's setting never counts; after a change of the logged-on
//    user the new user's setting counts from the next start or display-on
//    (a logon by itself triggers nothing).
// The controller receives the low byte of the selection.
//
// Push opportunities: a start and a display-on that reach the service (a new
// watcher run reads the setting 5 s later and pushes it), and a change of the
// value while a watcher follows that user's key and can read the new value.
// Not push opportunities, by the product's design: a deleted value or data the
// product cannot read after a change (nothing is pushed, the controller keeps
// its byte), the arrival of a controller, the end of a fault, a logon or a
// logoff. The byte is determined when a controller is attached without a
// fault, was so at the last push opportunity, and nothing that could change
// the outcome happened while the service was still reacting to it.
#pragma once

#include <winsim/sim/clock.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornsim {

// The machine as the product reads it at one moment.
struct WakeFacts {
  std::optional<std::wstring> user;  // SID of the logged-on user the product finds; none: nobody
  bool keyExists = false;            // the user's WakeableInputTypes key
  std::optional<uint32_t> touch;     // "Touch" as the product reads it; none: missing or unreadable
  bool operator==(const WakeFacts&) const = default;
};

// The selection the product reads from `facts` at a start or display-on.
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

class WakeModel {
 public:
  // A watcher run starts its work this long after a start or display-on.
  static constexpr uint64_t kStartDelayMs = 5000;
  // With nobody logged on, the run looks the user up for this long.
  static constexpr uint64_t kLookupMs = 45000;
  // The longest a push that cannot reach the controller keeps retrying
  // (15 attempts, 2 s apart, each up to a transfer time-out), with margin.
  static constexpr uint64_t kFailingPushMs = 80000;
  // A push to a controller that answers: it is done within this time.
  static constexpr uint64_t kPushMs = 1000;
  // Waiting for the user's key for notification: 10 attempts 2 s apart.
  static constexpr uint64_t kNotifySetupMs = 25000;

  // The service was started, or saw a display-on: a new watcher run.
  void Opportunity(uint64_t timeMs, const WakeFacts& facts);
  // The logged-on user's setting changed (`after` is the new state).
  void SettingChanged(uint64_t timeMs, const WakeFacts& before, const WakeFacts& after);
  // A logon or logoff; the user the product finds may have changed.
  void UsersChanged(uint64_t timeMs, const WakeFacts& before, const WakeFacts& after);
  // The controller was attached, detached, or its fault switched.
  void ControllerChanged(uint64_t timeMs, bool attached, bool faulted);
  // The service was stopped (its watcher ends, nothing more is pushed).
  void Stopped(uint64_t timeMs);

  // After a quiet period: the byte the controller must hold, or none when it
  // is not determined (Reason() says why).
  std::optional<uint8_t> Expected(uint64_t nowMs, const WakeFacts& facts);
  const char* Reason() const { return m_reason; }
  // Until then the service may still be working on what happened: lookups,
  // pushes and their retries.
  uint64_t BusyUntil() const { return m_busyUntil; }
  bool Running() const { return m_running; }
  // "watcher", "no watcher" or "watcher unknown": whether a watcher run
  // follows the user's key, as far as the model knows.
  const char* WatchName() const;
  bool Clean() const { return m_attached && !m_faulted; }

 private:
  enum class Watch { kNone, kWatching, kUnknown };
  struct Pending {
    uint64_t timeMs = 0;
    uint64_t endMs = 0;  // the run's reaction is over by then
    WakeFacts facts;
    bool clean = false;
    bool attached = false;
    bool spoiled = false;
  };

  void Resolve(uint64_t nowMs);
  // Something that matters happened at `timeMs`: a run still reacting can no
  // longer be predicted.
  void Disturb(uint64_t timeMs);
  void Unknown(const char* reason);
  void Extend(uint64_t untilMs) {
    if (untilMs > m_busyUntil) m_busyUntil = untilMs;
  }

  bool m_running = false;
  bool m_attached = true;
  bool m_faulted = false;
  uint64_t m_cleanSince = 0;
  std::optional<Pending> m_pending;
  Watch m_watch = Watch::kNone;
  std::wstring m_watchedUser;
  uint64_t m_watchBusyUntil = 0;  // a watcher pushing after a change is not armed until then
  bool m_known = false;
  const char* m_reason = "no push opportunity yet";
  uint64_t m_busyUntil = 0;
};

}  // namespace vornsim
