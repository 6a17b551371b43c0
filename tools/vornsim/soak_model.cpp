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
  if (wireText.rfind(L"out ", 0) != 0 || wireText.find(L"(write failed)") != std::wstring::npos) return std::nullopt;
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

void WakeModel::Opportunity(uint64_t timeMs, const WakeFacts& facts) {
  Resolve(timeMs);
  m_running = true;
  // A run still reacting to an earlier opportunity is replaced: whatever it
  // pushes late was read no later than what the new run reads, and the new
  // run pushes after it (its start delay is longer than a retry's spacing).
  Pending pending;
  pending.timeMs = timeMs;
  pending.facts = facts;
  pending.clean = Clean();
  pending.attached = m_attached;
  pending.endMs = timeMs + kStartDelayMs + (facts.user ? 0 : kLookupMs) + (pending.clean ? kPushMs : kFailingPushMs);
  m_pending = pending;
  m_known = false;
  m_watch = Watch::kUnknown;
  m_reason = "the service is still reacting to a start or display-on";
  Extend(pending.endMs);
}

void WakeModel::Resolve(uint64_t nowMs) {
  if (!m_pending || nowMs < m_pending->endMs) return;
  const Pending pending = *m_pending;
  m_pending.reset();
  if (pending.spoiled) {
    m_known = false;
    m_watch = Watch::kUnknown;
    m_reason = "the machine changed while the service reacted to a start or display-on";
    return;
  }
  if (!pending.clean) {
    m_known = false;
    // A push that could not be made ends the run; one to a controller with a
    // fault that spares the command may have succeeded.
    m_watch = pending.attached ? Watch::kUnknown : Watch::kNone;
    m_reason = "the controller was detached or faulty at the last push opportunity";
    return;
  }
  m_known = true;
  m_reason = "";
  // The run follows the key only when it found the user and read the value.
  if (pending.facts.user && pending.facts.touch) {
    m_watch = Watch::kWatching;
    m_watchedUser = *pending.facts.user;
  } else {
    m_watch = Watch::kNone;
  }
  m_watchBusyUntil = 0;
}

void WakeModel::Disturb(uint64_t timeMs) {
  if (m_pending && timeMs < m_pending->endMs) m_pending->spoiled = true;
}

void WakeModel::Unknown(const char* reason) {
  m_known = false;
  m_reason = reason;
}

void WakeModel::SettingChanged(uint64_t timeMs, const WakeFacts& /*before*/, const WakeFacts& after) {
  Resolve(timeMs);
  Disturb(timeMs);
  if (m_pending) return Unknown("the machine changed while the service reacted to a start or display-on");
  if (!m_running) return Unknown("the setting changed while the service was stopped");
  if (m_watch == Watch::kUnknown) return Unknown("not known whether a watcher follows the setting");
  if (m_watch != Watch::kWatching || !after.user || *after.user != m_watchedUser)
    return Unknown("no watcher follows this user's setting: the next start or display-on pushes it");
  if (!after.keyExists) {
    // The notification fires, the read fails and re-arming on the deleted key
    // fails ten times: the run ends.
    m_watch = Watch::kUnknown;
    Extend(timeMs + kNotifySetupMs);
    return Unknown("the key the watcher follows was deleted");
  }
  if (!Clean()) {
    // The push after the change retries; changes meanwhile are not seen.
    if (after.touch) m_watchBusyUntil = std::max(m_watchBusyUntil, timeMs + kFailingPushMs);
    Extend(m_watchBusyUntil);
    return Unknown("the setting changed while the controller could not take it");
  }
  if (timeMs < m_watchBusyUntil)
    return Unknown("the setting changed again while the watcher was still pushing the last change");
  m_watchBusyUntil = timeMs + kPushMs;
  Extend(m_watchBusyUntil);
  if (!after.touch) return Unknown("the value was deleted or made unreadable: by design nothing is pushed");
  m_known = true;
  m_reason = "";
}

void WakeModel::UsersChanged(uint64_t timeMs, const WakeFacts& before, const WakeFacts& after) {
  Resolve(timeMs);
  if (before == after) return;
  Disturb(timeMs);
  Unknown("the logged-on user changed: the new user's setting counts from the next start or display-on");
}

void WakeModel::ControllerChanged(uint64_t timeMs, bool attached, bool faulted) {
  Resolve(timeMs);
  if (attached == m_attached && faulted == m_faulted) return;
  Disturb(timeMs);
  m_attached = attached;
  m_faulted = faulted;
  if (Clean()) m_cleanSince = timeMs;
  Unknown(Clean() ? "the controller is back without a fault: it needs a push opportunity"
                  : "the controller is detached or has a fault");
}

void WakeModel::Stopped(uint64_t timeMs) {
  Resolve(timeMs);
  Disturb(timeMs);
  if (m_pending) {
    m_pending.reset();
    Unknown("the service stopped while it reacted to a start or display-on");
  } else if (timeMs < m_watchBusyUntil) {
    Unknown("the service stopped while its watcher pushed a change");
  }
  m_running = false;
  m_watch = Watch::kNone;
  m_watchBusyUntil = 0;
  Extend(timeMs + kPushMs);
}

const char* WakeModel::WatchName() const {
  switch (m_watch) {
    case Watch::kWatching: return "watcher";
    case Watch::kNone: return "no watcher";
    default: return "watcher unknown";
  }
}

std::optional<uint8_t> WakeModel::Expected(uint64_t nowMs, const WakeFacts& facts) {
  Resolve(nowMs);
  if (m_pending) return Unknown("the service is still reacting to a start or display-on"), std::nullopt;
  if (!Clean()) return m_reason = "no controller attached without a fault", std::nullopt;
  if (!m_known) return std::nullopt;
  return static_cast<uint8_t>(ExpectedSelection(facts) & 0xFF);
}

}  // namespace vornsim
