#include "soak_model.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <iterator>

namespace vornsim {

uint32_t ExpectedSelection(const WakeFacts& facts) {
  constexpr uint32_t kDefaultSelection = 1;  // whenever the setting cannot be read
  if (!facts.user || !facts.touch) return kDefaultSelection;
  return *facts.touch;
}

uint64_t WakeUpsBetween(const std::vector<winsim::Clock::ThreadStats>& before,
                        const std::vector<winsim::Clock::ThreadStats>& after) {
  uint64_t wakeUps = 0;
  for (const auto& now : after) {
    auto then = std::find_if(before.begin(), before.end(), [&](const auto& t) { return t.threadId == now.threadId; });
    if (then == before.end()) {
      wakeUps += 1 + now.wakeUps;
      continue;
    }
    wakeUps += now.wakeUps - then->wakeUps + (now.ended != then->ended ? 1 : 0);
  }
  for (const auto& then : before) {
    const bool listed = std::any_of(after.begin(), after.end(), [&](const auto& t) { return t.threadId == then.threadId; });
    if (!listed && !then.ended) ++wakeUps;
  }
  return wakeUps;
}

std::optional<uint8_t> WakeOnTouchByteSent(const std::wstring& wireText) {
  constexpr size_t kPrefix = 4;  // "out "
  // "(write failed)", "(write hangs)": the controller never took it.
  if (wireText.rfind(L"out ", 0) != 0 || wireText.find(L"(write ") != std::wstring::npos) return std::nullopt;
  uint8_t bytes[7] = {};  // report id, 0, length, command; "..." stands for zero bytes
  size_t count = 0;
  for (size_t i = kPrefix; count < std::size(bytes) && i < wireText.size(); i += 3) {
    if (wireText.compare(i, 3, L"...") == 0) break;
    if (i + 2 > wireText.size() || !std::iswxdigit(wireText[i]) || !std::iswxdigit(wireText[i + 1]) ||
        (i + 2 < wireText.size() && wireText[i + 2] != L' '))
      return std::nullopt;
    bytes[count++] = static_cast<uint8_t>(std::wcstoul(wireText.substr(i, 2).c_str(), nullptr, 16));
  }
  // [3, 0x00, length 4 or 6, F0 02 00 flag]
  const bool command = bytes[0] == 0x03 && bytes[1] == 0x00 && (bytes[2] == 4 || bytes[2] == 6);
  if (!command || bytes[3] != 0xF0 || bytes[4] != 0x02 || bytes[5] != 0x00) return std::nullopt;
  return bytes[6];
}

const char* ExcuseText(Excuse excuse) {
  switch (excuse) {
    case Excuse::kNone: return "in step";
    case Excuse::kStopped: return "the service stopped";
    case Excuse::kNoController: return "no controller";
    case Excuse::kFault: return "a fault on the controller";
    case Excuse::kFaultAtPush: return "a fault on the controller at its last push, since ended";
    case Excuse::kValueUnread: return "the value was deleted or made unreadable after a change: nothing is pushed";
    case Excuse::kNotFollowed:
      return "the value changed while no watcher followed it: it or its key was missing at the look-up";
    case Excuse::kKeyDeleted: return "the watched key was deleted: the watcher ends";
    case Excuse::kMutex: return "a push given up while another process held the controller's mutex";
    case Excuse::kRace: return "the machine changed while the service reacted";
    case Excuse::kStillReacting: return "the service was still reacting at the check";
  }
  return "?";
}

void WakeModel::Opportunity(uint64_t timeMs, const WakeFacts& facts) {
  Resolve(timeMs);
  m_running = true;
  // A run still reacting to an earlier opportunity is replaced: it stops at
  // once and its push, if it makes one, comes before the new run's.
  Run run;
  run.readMs = timeMs + kStartDelayMs + (facts.user ? 0 : kLookupMs);
  run.read = facts;
  m_run = run;
  AtRead();
  m_watch = Watch::kUnknown;
  m_watchBusyUntil = 0;
  m_stale = Excuse::kNone;
}

// The controller as the run's push will find it, as far as known now.
void WakeModel::AtRead() {
  m_run->endMs = m_run->readMs + (Clean() ? kPushMs : kFailingPushMs);
  m_run->atRead = Clean() ? Excuse::kNone : Unclean();
  Extend(m_run->endMs);
}

void WakeModel::Resolve(uint64_t nowMs) {
  if (!m_run) return;
  // A push that began while another process holds the mutex, or that was
  // under way when it took it, waits for it.
  if (m_mutexSince && m_run->readMs <= nowMs && m_run->endMs > *m_mutexSince) {
    if (nowMs < std::max(m_run->readMs, *m_mutexSince) + kMutexGiveUpMs) return;
    Spoil(m_run->atRead);
    Spoil(Excuse::kMutex);
  } else if (nowMs < m_run->endMs) {
    return;
  }
  Spoil(m_run->atRead);
  const Run run = *m_run;
  m_run.reset();
  m_stale = run.spoiled;
  if (run.spoiled != Excuse::kNone) {
    // Its first push may or may not have been made: so may its watch.
    m_watch = Watch::kUnknown;
    return;
  }
  // The run follows the key only when it found the user and read the value.
  m_watch = run.read.user && run.read.touch ? Watch::kWatching : Watch::kNone;
  if (!run.later) return;
  if (m_watch == Watch::kNone) return Stale(Excuse::kNotFollowed);
  if (!run.later->keyExists) m_watch = Watch::kUnknown, Stale(Excuse::kKeyDeleted);
  else if (!run.later->touch) Stale(Excuse::kValueUnread);
}

void WakeModel::Spoil(Excuse excuse) {
  if (m_run && m_run->spoiled == Excuse::kNone) m_run->spoiled = excuse;
}

void WakeModel::SettingChanged(uint64_t timeMs, const WakeFacts& after) {
  Resolve(timeMs);
  if (!m_running) return;
  if (m_run) {
    // Before the read, the run reads the new state; after it, the run takes
    // up the latest state when it arms, if it follows the key (it compares
    // the value with what it pushed, and the key's handle keeps the changes
    // after that); as it reads, either, which comes to the same only while
    // the value stays readable.
    Run& run = *m_run;
    if (timeMs + kReadMarginMs < run.readMs) {
      run.read = after;
    } else if (timeMs <= run.readMs + kReadMarginMs) {
      if (run.read.touch && after.touch) run.read = after;
      else Spoil(Excuse::kRace);
    } else {
      run.later = after;
    }
    return;
  }
  switch (m_watch) {
    case Watch::kWatching: return Watched(timeMs, after);
    case Watch::kNone: return Stale(Excuse::kNotFollowed);
    case Watch::kUnknown: return Stale(Excuse::kRace);
  }
}

// A change while the watcher reads or pushes is not lost: the key's handle
// keeps it, and the next arm fires at once; the watcher then reads the
// latest state. So each change counts for what it leaves.
void WakeModel::Watched(uint64_t timeMs, const WakeFacts& after) {
  if (!after.keyExists) {
    // The read fails and re-arming on the deleted key fails ten times, 2 s
    // apart: the run ends.
    m_watch = Watch::kUnknown;
    Extend(timeMs + kFailingPushMs);
    return Stale(Excuse::kKeyDeleted);
  }
  if (!after.touch) return Stale(Excuse::kValueUnread);
  if (!Clean()) {
    // The push retries; it may get through or not.
    m_watchBusyUntil = std::max(m_watchBusyUntil, timeMs + kFailingPushMs);
    Extend(timeMs + kFailingPushMs);
    return Stale(Unclean());
  }
  if (m_mutexSince) {
    // The push waits for the mutex; a change meanwhile is pushed after it.
    if (m_watchBusyUntil != kNever) m_watchPushMs = timeMs;
    m_watchBusyUntil = kNever;
  } else {
    m_watchBusyUntil = std::max(m_watchBusyUntil, timeMs + kPushMs);
    Extend(m_watchBusyUntil);
  }
  m_stale = Excuse::kNone;
}

void WakeModel::ControllerChanged(uint64_t timeMs, bool attached, bool faulted) {
  Resolve(timeMs);
  if (attached == m_attached && faulted == m_faulted) return;
  m_attached = attached;
  m_faulted = faulted;
  const Excuse excuse = attached ? Excuse::kFaultAtPush : Excuse::kNoController;
  // Before the run's push, only the controller it finds then matters.
  if (m_run && timeMs + kReadMarginMs < m_run->readMs) AtRead();
  else Spoil(excuse);
  if (timeMs < m_watchBusyUntil) Stale(excuse);
}

void WakeModel::MutexChanged(uint64_t timeMs, bool held) {
  Resolve(timeMs);
  if (held == m_mutexSince.has_value()) return;
  if (held) {
    m_mutexSince = timeMs;
    // A push under way waits for the mutex if it has not taken it yet.
    if (timeMs < m_watchBusyUntil) m_watchBusyUntil = kNever;
    return;
  }
  const uint64_t since = *m_mutexSince;
  m_mutexSince.reset();
  const uint64_t pushedBy = timeMs + kAfterReleaseMs + kPushMs;
  if (m_run && m_run->readMs < timeMs && m_run->endMs > since) {
    if (Blocked(std::max(m_run->readMs, since), timeMs) != Excuse::kNone) Spoil(Excuse::kMutex);
    m_run->endMs = std::max(m_run->endMs, pushedBy);
    Extend(m_run->endMs);
  }
  if (m_watchBusyUntil == kNever) {
    if (Blocked(m_watchPushMs, timeMs) != Excuse::kNone) Stale(Excuse::kMutex);
    m_watchBusyUntil = pushedBy;
    Extend(pushedBy);
  }
}

void WakeModel::Stopped(uint64_t timeMs) {
  Resolve(timeMs);
  m_running = false;
  m_run.reset();
  m_watch = Watch::kNone;
  m_watchBusyUntil = 0;
  m_stale = Excuse::kNone;
  Extend(timeMs + kPushMs);
}

const char* WakeModel::WatchName() const {
  switch (m_watch) {
    case Watch::kWatching: return "watcher";
    case Watch::kNone: return "no watcher";
    default: return "watcher unknown";
  }
}

Excuse WakeModel::Check(uint64_t nowMs) {
  Resolve(nowMs);
  if (!m_running) return Excuse::kStopped;
  if (!m_attached) return Excuse::kNoController;
  if (m_faulted) return Excuse::kFault;
  if (m_run) return Excuse::kStillReacting;
  return m_stale;
}

}  // namespace vornsim
