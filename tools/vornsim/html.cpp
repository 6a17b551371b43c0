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
  // Lines of several threads arrive in print order; times may step back by a
  // little where a line carries its own stamp.
  std::vector<TimelineEntry> entries = m_entries;
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; });
  const std::vector<std::wstring> lanes = LaneOrder(entries, !m_checks.empty());
  TextTable texts;
  struct Mark {
    uint64_t timeMs;
    size_t lane;
    MarkKind kind;
    size_t text;
  };
  std::vector<Mark> marks;
  uint64_t endMs = 0;
  for (const auto& entry : entries) {
    endMs = std::max(endMs, entry.timeMs);
    // Waits are kept for the page's text, not drawn.
    marks.push_back({entry.timeMs, LaneIndex(lanes, entry.channel), Classify(entry), texts.Index(Utf8(entry.text))});
  }
  int64_t failMs = -1;
  for (const auto& check : m_checks) {
    endMs = std::max(endMs, check.timeMs);
    marks.push_back({check.timeMs, LaneIndex(lanes, kChecksLane), CheckKind(check.outcome), texts.Index(check.text)});
    if (check.outcome == CheckOutcome::kFailed && failMs < 0) failMs = static_cast<int64_t>(check.timeMs);
  }
  std::stable_sort(marks.begin(), marks.end(), [](const Mark& a, const Mark& b) { return a.timeMs < b.timeMs; });
  Json flat = Json::array();
  for (const Mark& mark : marks) flat.insert(flat.end(), {mark.timeMs, mark.lane, static_cast<int>(mark.kind), mark.text});

  std::vector<Change> changes = m_changes;
  std::stable_sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; });
  Json bands = Json::array();
  std::vector<std::wstring> bandNames;
  for (const auto& change : changes) {
    endMs = std::max(endMs, change.timeMs);
    size_t at = static_cast<size_t>(std::find(bandNames.begin(), bandNames.end(), change.band) - bandNames.begin());
    if (at == bandNames.size()) {
      bandNames.push_back(change.band);
      bands.push_back(Json::array({Utf8(change.band), Json::array()}));
    }
    bands[at][1].insert(bands[at][1].end(), {change.timeMs, texts.Index(Utf8(change.value))});
  }
  Json lanesJson = Json::array();
  for (const auto& lane : lanes) lanesJson.push_back(Utf8(lane));
  const Json data = {{"title", title}, {"endMs", endMs + kTailMs}, {"failMs", failMs}, {"lanes", lanesJson},
                     {"texts", texts.Texts()}, {"marks", flat}, {"bands", bands}};
  std::string text = data.dump(-1, ' ', false, Json::error_handler_t::replace);
  // Inside <script>, "</script" or "<!--" in a text would end or change the
  // block; '<' occurs only within strings, where JSON can write it escaped.
  std::string safe;
  safe.reserve(text.size());
  for (char c : text) safe += c == '<' ? std::string_view("\\u003c") : std::string_view(&c, 1);
  return safe;
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
