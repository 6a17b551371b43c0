#include "run_record.h"

#include "soak_model.h"

#include <algorithm>
#include <cwctype>
#include <string_view>

namespace vornsim {

namespace {

bool StartsWith(std::wstring_view text, std::wstring_view head) { return text.substr(0, head.size()) == head; }
bool EndsWith(std::wstring_view text, std::wstring_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool ContainsAnyNoCase(const std::wstring& text, std::initializer_list<std::wstring_view> words) {
  std::wstring lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](wchar_t c) { return std::towlower(c); });
  return std::any_of(words.begin(), words.end(), [&](std::wstring_view word) { return lower.find(word) != std::wstring::npos; });
}

// What the simulator says when a command was not carried out.
bool IsRefusal(const std::wstring& text) {
  return ContainsAnyNoCase(text, {L"not delivered", L"refused:", L"did not answer", L"failed with error", L"has not ended"});
}

MarkKind ClassifySim(const std::wstring& text) {
  static const std::wstring_view kControls[] = {L"start", L"stop", L"display on", L"display off", L"power suspend",
                                                L"power resume", L"session change", L"stop (end of script)"};
  if (StartsWith(text, L"wait ")) return MarkKind::kWait;
  if (IsRefusal(text)) return MarkKind::kFailure;
  if (StartsWith(text, L"controller fault "))
    return text == L"controller fault none" ? MarkKind::kMachine : MarkKind::kFault;
  if (std::find(std::begin(kControls), std::end(kControls), text) != std::end(kControls)) return MarkKind::kControl;
  // The session changes and device events the machine sends the service.
  if (StartsWith(text, L"session change ") || StartsWith(text, L"device arrival ") ||
      StartsWith(text, L"device removal "))
    return MarkKind::kControl;
  if (StartsWith(text, L"machine folder ") || StartsWith(text, L"at rest: ")) return MarkKind::kInfo;
  return MarkKind::kMachine;
}

MarkKind ClassifyEvent(const std::wstring& text) {
  if (EndsWith(text, L": Enable Wake-on-touch")) return MarkKind::kEnable;
  if (EndsWith(text, L": Disable Wake-on-touch")) return MarkKind::kDisable;
  if (ContainsAnyNoCase(text, {L"fail", L"timeout", L"time-out", L"can not", L"cannot", L"error", L"give up",
                               L"gave up", L", code : "}))
    return MarkKind::kFailure;
  if (ContainsAnyNoCase(text, {L"onstart", L"onstop", L": monitor o", L"service receive"})) return MarkKind::kControl;
  return MarkKind::kInfo;
}

MarkKind ClassifyWire(const std::wstring& text) {
  if (EndsWith(text, L"(write failed)")) return MarkKind::kFailure;
  if (const auto byte = WakeOnTouchByteSent(text)) return *byte == 1 ? MarkKind::kEnable : MarkKind::kDisable;
  return MarkKind::kInfo;
}

}  // namespace

MarkKind Classify(const TimelineEntry& entry) {
  if (entry.channel == L"sim") return ClassifySim(entry.text);
  if (entry.channel == L"event") return ClassifyEvent(entry.text);
  if (entry.channel == L"wire") return ClassifyWire(entry.text);
  if (entry.channel == L"scm") return MarkKind::kControl;
  if (entry.channel == L"ctl" && entry.text == L"wake-on-touch on") return MarkKind::kEnable;
  if (entry.channel == L"ctl" && entry.text == L"wake-on-touch off") return MarkKind::kDisable;
  return MarkKind::kInfo;
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    auto c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool ParseTimelineLine(const std::wstring& line, TimelineEntry& entry) {
  const size_t dot = line.find(L'.');
  const size_t space = line.find(L' ');
  if (dot == std::wstring::npos || space == std::wstring::npos || dot == 0 || space != dot + 4) return false;
  uint64_t seconds = 0, millis = 0;
  for (size_t i = 0; i < dot; ++i) {
    if (line[i] < L'0' || line[i] > L'9') return false;
    seconds = seconds * 10 + static_cast<uint64_t>(line[i] - L'0');
  }
  for (size_t i = dot + 1; i < space; ++i) {
    if (line[i] < L'0' || line[i] > L'9') return false;
    millis = millis * 10 + static_cast<uint64_t>(line[i] - L'0');
  }
  const size_t channelEnd = line.find(L' ', space + 1);
  if (channelEnd == space + 1) return false;
  entry.timeMs = seconds * 1000 + millis;
  entry.channel = line.substr(space + 1, channelEnd == std::wstring::npos ? std::wstring::npos : channelEnd - space - 1);
  entry.text = channelEnd == std::wstring::npos ? std::wstring{} : line.substr(channelEnd + 1);
  return !entry.channel.empty();
}

const char* KindName(MarkKind kind) {
  switch (kind) {
    case MarkKind::kEnable: return "push that enabled";
    case MarkKind::kDisable: return "push that disabled";
    case MarkKind::kFailure: return "failed attempt or give-up";
    case MarkKind::kControl: return "control";
    case MarkKind::kFault: return "fault";
    case MarkKind::kMachine: return "machine event";
    case MarkKind::kInfo: return "other line";
    case MarkKind::kWait: return "wait";
    case MarkKind::kCheckPassed: return "check passed";
    case MarkKind::kCheckFailed: return "check failed";
    case MarkKind::kCheckUndetermined: return "check passed, not held to the setting";
  }
  return "other line";
}

MarkKind CheckKind(CheckOutcome outcome) {
  switch (outcome) {
    case CheckOutcome::kPassed: return MarkKind::kCheckPassed;
    case CheckOutcome::kFailed: return MarkKind::kCheckFailed;
    case CheckOutcome::kUndetermined: return MarkKind::kCheckUndetermined;
  }
  return MarkKind::kCheckFailed;
}

namespace {

// The run's end lies this far after its last line.
constexpr uint64_t kTailMs = 1000;
constexpr const wchar_t* kChannels[] = {L"scm", L"event", L"wire", L"ctl", L"sim"};
constexpr const wchar_t* kChecksLane = L"checks";

std::vector<std::wstring> LaneOrder(const RunData& data) {
  std::vector<std::wstring> lanes(std::begin(kChannels), std::end(kChannels));
  for (const auto& entry : data.entries)
    if (std::find(lanes.begin(), lanes.end(), entry.channel) == lanes.end()) lanes.push_back(entry.channel);
  if (!data.checks.empty()) lanes.push_back(kChecksLane);
  return lanes;
}

size_t IndexOf(const std::vector<std::wstring>& names, const std::wstring& name) {
  return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

template <typename T>
void SortByTime(std::vector<T>& items) {
  std::stable_sort(items.begin(), items.end(), [](const T& a, const T& b) { return a.timeMs < b.timeMs; });
}

}  // namespace

RunView ViewOf(const RunData& data) {
  RunView view;
  const std::vector<std::wstring> lanes = LaneOrder(data);
  for (const auto& lane : lanes) view.lanes.push_back(Utf8(lane));
  for (const auto& entry : data.entries)
    view.marks.push_back({entry.timeMs, IndexOf(lanes, entry.channel), Classify(entry), Utf8(entry.text)});
  for (const auto& check : data.checks)
    view.marks.push_back({check.timeMs, IndexOf(lanes, kChecksLane), CheckKind(check.outcome), check.text});
  // Lines of several threads arrive in print order; times may step back by a
  // little where a line carries its own stamp.
  SortByTime(view.marks);
  std::vector<StateChange> changes = data.changes;
  SortByTime(changes);
  std::vector<std::wstring> names;
  uint64_t lastMs = view.marks.empty() ? 0 : view.marks.back().timeMs;
  for (const auto& change : changes) {
    const size_t at = IndexOf(names, change.band);
    if (at == names.size()) {
      names.push_back(change.band);
      view.bands.push_back({Utf8(change.band), {}});
    }
    view.bands[at].changes.emplace_back(change.timeMs, Utf8(change.value));
    lastMs = std::max(lastMs, change.timeMs);
  }
  view.endMs = lastMs + kTailMs;
  return view;
}

void RunRecord::Add(const std::wstring& line) {
  TimelineEntry entry;
  if (!ParseTimelineLine(line, entry)) return;
  std::lock_guard lock(m_mutex);
  m_data.entries.push_back(std::move(entry));
}

void RunRecord::SetState(uint64_t timeMs, const std::wstring& band, const std::wstring& value) {
  std::lock_guard lock(m_mutex);
  m_data.changes.push_back({timeMs, band, value});
}

void RunRecord::AddCheck(uint64_t timeMs, CheckOutcome outcome, const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_data.checks.push_back({timeMs, outcome, text});
}

void RunRecord::SetSummary(const std::string& text, const std::string& detail) {
  std::lock_guard lock(m_mutex);
  m_data.summary = text;
  m_data.summaryDetail = detail;
}

RunData RunRecord::Data() const {
  std::lock_guard lock(m_mutex);
  return m_data;
}

}  // namespace vornsim
