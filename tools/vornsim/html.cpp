#include "html.h"

#include "page_assets.h"
#include "soak_model.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cwctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>

namespace vornsim {

namespace {

using Json = nlohmann::json;

constexpr const wchar_t* kChannels[] = {L"scm", L"event", L"wire", L"ctl", L"sim"};
constexpr const wchar_t* kChecksLane = L"checks";
// The run's end on the page lies this far after its last line.
constexpr uint64_t kTailMs = 1000;

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

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Texts of the page, each written once and named by its index.
class TextTable {
 public:
  size_t Index(const std::string& text) {
    auto [it, added] = m_index.emplace(text, m_texts.size());
    if (added) m_texts.push_back(text);
    return it->second;
  }
  const std::vector<std::string>& Texts() const { return m_texts; }

 private:
  std::map<std::string, size_t> m_index;
  std::vector<std::string> m_texts;
};

std::vector<std::wstring> LaneOrder(const std::vector<TimelineEntry>& entries, bool checks) {
  std::vector<std::wstring> lanes(std::begin(kChannels), std::end(kChannels));
  for (const auto& entry : entries)
    if (std::find(lanes.begin(), lanes.end(), entry.channel) == lanes.end()) lanes.push_back(entry.channel);
  if (checks) lanes.push_back(kChecksLane);
  return lanes;
}

size_t LaneIndex(const std::vector<std::wstring>& lanes, const std::wstring& channel) {
  return static_cast<size_t>(std::find(lanes.begin(), lanes.end(), channel) - lanes.begin());
}

MarkKind CheckKind(CheckOutcome outcome) {
  switch (outcome) {
    case CheckOutcome::kPassed: return MarkKind::kCheckPassed;
    case CheckOutcome::kFailed: return MarkKind::kCheckFailed;
    case CheckOutcome::kUndetermined: return MarkKind::kCheckUndetermined;
  }
  return MarkKind::kCheckFailed;
}

// The page's data, built in steps: lanes, then marks (which also give the
// run's end and its first failing check), then bands; texts written once.
class PageData {
 public:
  void SetLanes(const std::vector<TimelineEntry>& entries, bool checks) { m_lanes = LaneOrder(entries, checks); }
  // Flat [time, lane, kind, text] quadruples in time order. Waits are kept
  // for the page's text, not drawn.
  Json Marks(const std::vector<TimelineEntry>& entries, const std::vector<CheckMark>& checks);
  // [[band, [time, value text, ...]], ...], bands in order of appearance.
  Json Bands(std::vector<StateChange> changes);
  std::string Text(const std::string& title, const Json& marks, const Json& bands) const;

 private:
  struct Mark {
    uint64_t timeMs;
    size_t lane;
    MarkKind kind;
    size_t text;
  };
  std::vector<std::wstring> m_lanes;
  TextTable m_texts;
  uint64_t m_endMs = 0;
  int64_t m_failMs = -1;
};

Json PageData::Marks(const std::vector<TimelineEntry>& entries, const std::vector<CheckMark>& checks) {
  std::vector<Mark> marks;
  for (const auto& entry : entries)
    marks.push_back({entry.timeMs, LaneIndex(m_lanes, entry.channel), Classify(entry), m_texts.Index(Utf8(entry.text))});
  for (const auto& check : checks) {
    marks.push_back({check.timeMs, LaneIndex(m_lanes, kChecksLane), CheckKind(check.outcome), m_texts.Index(check.text)});
    if (check.outcome == CheckOutcome::kFailed && m_failMs < 0) m_failMs = static_cast<int64_t>(check.timeMs);
  }
  // Lines of several threads arrive in print order; times may step back by a
  // little where a line carries its own stamp.
  std::stable_sort(marks.begin(), marks.end(), [](const Mark& a, const Mark& b) { return a.timeMs < b.timeMs; });
  Json flat = Json::array();
  for (const Mark& mark : marks) {
    flat.insert(flat.end(), {mark.timeMs, mark.lane, static_cast<int>(mark.kind), mark.text});
    m_endMs = std::max(m_endMs, mark.timeMs);
  }
  return flat;
}

Json PageData::Bands(std::vector<StateChange> changes) {
  std::stable_sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; });
  Json bands = Json::array();
  std::vector<std::wstring> names;
  for (const auto& change : changes) {
    m_endMs = std::max(m_endMs, change.timeMs);
    const size_t at = static_cast<size_t>(std::find(names.begin(), names.end(), change.band) - names.begin());
    if (at == names.size()) {
      names.push_back(change.band);
      bands.push_back(Json::array({Utf8(change.band), Json::array()}));
    }
    bands[at][1].insert(bands[at][1].end(), {change.timeMs, m_texts.Index(Utf8(change.value))});
  }
  return bands;
}

std::string PageData::Text(const std::string& title, const Json& marks, const Json& bands) const {
  Json lanes = Json::array();
  for (const auto& lane : m_lanes) lanes.push_back(Utf8(lane));
  const Json data = {{"title", title}, {"endMs", m_endMs + kTailMs}, {"failMs", m_failMs}, {"lanes", lanes},
                               {"texts", m_texts.Texts()}, {"marks", marks}, {"bands", bands}};
  return data.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Inside <script>, "</script" or "<!--" in a text would end or change the
// block; '<' occurs only within JSON strings, where it can be written escaped.
std::string ScriptSafe(const std::string& json) {
  std::string safe;
  safe.reserve(json.size());
  for (char c : json) safe += c == '<' ? std::string_view("\\u003c") : std::string_view(&c, 1);
  return safe;
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

void HtmlTimeline::Add(const std::wstring& line) {
  TimelineEntry entry;
  if (!ParseTimelineLine(line, entry)) return;
  std::lock_guard lock(m_mutex);
  m_entries.push_back(std::move(entry));
}

void HtmlTimeline::SetState(uint64_t timeMs, const std::wstring& band, const std::wstring& value) {
  std::lock_guard lock(m_mutex);
  m_changes.push_back({timeMs, band, value});
}

void HtmlTimeline::AddCheck(uint64_t timeMs, CheckOutcome outcome, const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_checks.push_back({timeMs, outcome, text});
}

void HtmlTimeline::SetSummary(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_summary = text;
}

// The page's data: lanes, texts, marks as flat [time, lane, kind, text]
// quadruples in time order, bands as [name, [time, value text, ...]], the
// run's end and the first failing check's time (-1: none).
std::string HtmlTimeline::Data(const std::string& title) const {
  std::lock_guard lock(m_mutex);
  PageData data;
  data.SetLanes(m_entries, !m_checks.empty());
  const Json marks = data.Marks(m_entries, m_checks);
  const Json bands = data.Bands(m_changes);
  return ScriptSafe(data.Text(title, marks, bands));
}

std::string HtmlTimeline::Page(const std::string& title) const {
  std::string summary;
  {
    std::lock_guard lock(m_mutex);
    summary = m_summary;
  }
  std::ostringstream page;
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" << Escape(title)
       << "</title>\n<style>" << page::kStyle << "</style>\n</head>\n<body>\n<h1>" << Escape(title) << "</h1>\n"
       << "<pre id=\"summary\"" << (summary.empty() ? " hidden" : "") << ">" << Escape(summary) << "</pre>\n"
       << page::kBody << "<script id=\"vornsim-data\" type=\"application/json\">" << Data(title) << "</script>\n<script>"
       << page::kScript << "</script>\n</body>\n</html>\n";
  return page.str();
}

bool HtmlTimeline::Write(const std::string& path, const std::string& title) const {
  const std::string page = Page(title);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << page;
  out.flush();
  if (!out) {
    if (errno == 0) errno = EIO;
    return false;
  }
  return true;
}

}  // namespace vornsim
