#include "html.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace vornsim {

namespace {

constexpr const wchar_t* kChannels[] = {L"scm", L"event", L"wire", L"ctl", L"sim"};
// Geometry of the page, in CSS pixels.
constexpr double kLabelWidth = 72;      // lane names left of the time axis
constexpr double kAxisHeight = 28;      // tick labels above the lanes
constexpr double kPixelsPerSecond = 24;  // when the run is short enough
constexpr double kMinPlotWidth = 1200;
constexpr double kMaxPlotWidth = 40000;  // long runs are squeezed to this
constexpr double kMarkWidth = 6;
constexpr double kMarkHeight = 11;
constexpr double kRowPitch = 14;
constexpr double kLanePadding = 6;
constexpr size_t kMaxRows = 8;  // marks beyond this many rows overlap
constexpr double kMinTickSpacing = 90;

const char* LaneColor(const std::wstring& channel) {
  if (channel == L"scm") return "#2f6db5";
  if (channel == L"event") return "#2e8b57";
  if (channel == L"wire") return "#c77c02";
  if (channel == L"ctl") return "#a23b72";
  if (channel == L"sim") return "#555d66";
  return "#7a7a7a";
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
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Seconds(uint64_t timeMs) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(timeMs / 1000),
                static_cast<unsigned long long>(timeMs % 1000));
  return text;
}

// A tick label: seconds below a minute, else h:mm:ss or m:ss.
std::string TickLabel(double seconds) {
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, seconds == static_cast<long long>(seconds) ? "%.0f s" : "%.1f s", seconds);
    return text;
  }
  const auto whole = static_cast<long long>(seconds);
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

double TickStep(double pixelsPerSecond) {
  static const double kSteps[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400};
  for (double step : kSteps)
    if (step * pixelsPerSecond >= kMinTickSpacing) return step;
  return 21600;
}

struct Mark {
  const TimelineEntry* entry;
  double x;
  size_t row;
};

struct Lane {
  std::wstring channel;
  std::vector<Mark> marks;
  size_t rows = 1;
  double top = 0;
  double Height() const { return static_cast<double>(rows) * kRowPitch + 2 * kLanePadding; }
};

// Greedy stacking: a mark takes the first row where it does not overlap the
// previous mark; with every row taken it goes where the overlap is least.
void StackMarks(Lane& lane) {
  std::vector<double> rowEnds;
  for (Mark& mark : lane.marks) {
    size_t row = rowEnds.size();
    for (size_t r = 0; r < rowEnds.size(); ++r)
      if (rowEnds[r] <= mark.x) {
        row = r;
        break;
      }
    if (row == rowEnds.size()) {
      if (rowEnds.size() < kMaxRows)
        rowEnds.push_back(0);
      else
        row = static_cast<size_t>(std::min_element(rowEnds.begin(), rowEnds.end()) - rowEnds.begin());
    }
    mark.row = row;
    rowEnds[row] = mark.x + kMarkWidth + 1;
  }
  lane.rows = std::max<size_t>(1, rowEnds.size());
}

const char* kStyle = R"(
body { font-family: system-ui, sans-serif; margin: 16px; color: #222; }
h1 { font-size: 18px; margin: 0 0 4px; }
p.note { margin: 0 0 10px; color: #555; font-size: 13px; }
#hover-line { font-family: ui-monospace, monospace; font-size: 13px; min-height: 1.4em;
  padding: 4px 6px; background: #f3f3f3; border: 1px solid #ddd; margin-bottom: 8px; white-space: pre; }
.scroll { overflow-x: auto; border: 1px solid #ddd; }
svg text { font-size: 11px; fill: #333; }
svg .lane-label { font-weight: 600; font-size: 12px; }
svg .tick { stroke: #e2e2e2; }
svg .lane-band { fill: #fafafa; }
svg .lane-band.odd { fill: #f0f0f0; }
svg .mark { stroke: #0005; stroke-width: 0.5; cursor: default; }
svg .mark:hover { stroke: #000; stroke-width: 2; }
pre#mark-counts { font-size: 12px; }
details pre { font-size: 12px; }
)";

const char* kScript = R"(
(function () {
  function counts() {
    var lanes = document.querySelectorAll('svg g.lane');
    var lines = [];
    for (var i = 0; i < lanes.length; i++)
      lines.push(lanes[i].getAttribute('data-channel') + ' ' + lanes[i].querySelectorAll('.mark').length);
    document.getElementById('mark-counts').textContent = lines.join('\n');
  }
  function hover(event) {
    var mark = event.target.closest ? event.target.closest('.mark') : null;
    if (!mark) return;
    var title = mark.querySelector('title');
    document.getElementById('hover-line').textContent = title ? title.textContent : '';
  }
  counts();
  document.addEventListener('mouseover', hover);
})();
)";

}  // namespace

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

std::vector<TimelineEntry> HtmlTimeline::Entries() const {
  std::lock_guard lock(m_mutex);
  return m_entries;
}

std::vector<std::wstring> LaneOrder(const std::vector<TimelineEntry>& entries) {
  std::vector<std::wstring> lanes(std::begin(kChannels), std::end(kChannels));
  for (const auto& entry : entries)
    if (std::find(lanes.begin(), lanes.end(), entry.channel) == lanes.end()) lanes.push_back(entry.channel);
  return lanes;
}

std::string HtmlTimeline::Page(const std::string& title) const {
  std::vector<TimelineEntry> entries = Entries();
  // Lines of several threads arrive in print order; times may step back by a
  // little where a line carries its own stamp. Marks go by time.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const TimelineEntry& a, const TimelineEntry& b) { return a.timeMs < b.timeMs; });
  uint64_t endMs = entries.empty() ? 1000 : entries.back().timeMs + 1000;
  const double seconds = static_cast<double>(endMs) / 1000.0;
  const double plotWidth = std::clamp(seconds * kPixelsPerSecond, kMinPlotWidth, kMaxPlotWidth);
  const double pixelsPerSecond = plotWidth / seconds;

  std::vector<Lane> lanes;
  for (const auto& channel : LaneOrder(entries)) lanes.push_back(Lane{channel, {}, 1, 0});
  for (const auto& entry : entries) {
    auto lane = std::find_if(lanes.begin(), lanes.end(), [&](const Lane& l) { return l.channel == entry.channel; });
    const double x = kLabelWidth + static_cast<double>(entry.timeMs) / 1000.0 * pixelsPerSecond;
    lane->marks.push_back(Mark{&entry, x, 0});
  }
  double top = kAxisHeight;
  for (Lane& lane : lanes) {
    StackMarks(lane);
    lane.top = top;
    top += lane.Height();
  }
  const double width = kLabelWidth + plotWidth + kMarkWidth + 40;  // room for the last tick label
  const double height = top + 4;

  std::ostringstream svg;
  svg << "<svg id=\"timeline\" width=\"" << Number(width) << "\" height=\""
      << Number(height) << "\" viewBox=\"0 0 " << Number(width) << ' ' << Number(height) << "\">\n";
  for (size_t i = 0; i < lanes.size(); ++i)
    svg << "<rect class=\"lane-band" << (i % 2 ? " odd" : "") << "\" x=\"0\" y=\"" << Number(lanes[i].top)
        << "\" width=\"" << Number(width) << "\" height=\"" << Number(lanes[i].Height()) << "\"/>\n";
  const double step = TickStep(pixelsPerSecond);
  svg << "<g class=\"axis\">\n";
  for (double t = 0; t <= seconds; t += step) {
    const double x = kLabelWidth + t * pixelsPerSecond;
    svg << "<line class=\"tick\" x1=\"" << Number(x) << "\" y1=\"" << Number(kAxisHeight - 6) << "\" x2=\""
        << Number(x) << "\" y2=\"" << Number(top) << "\"/><text x=\"" << Number(x + 2) << "\" y=\""
        << Number(kAxisHeight - 10) << "\">" << Escape(TickLabel(t)) << "</text>\n";
  }
  svg << "</g>\n";
  for (const Lane& lane : lanes) {
    const std::string channel = Escape(Utf8(lane.channel));
    svg << "<g class=\"lane\" data-channel=\"" << channel << "\">\n<text class=\"lane-label\" x=\"6\" y=\""
        << Number(lane.top + lane.Height() / 2 + 4) << "\">" << channel << "</text>\n";
    for (const Mark& mark : lane.marks) {
      const std::string line =
          Seconds(mark.entry->timeMs) + " " + Utf8(mark.entry->channel) + " " + Utf8(mark.entry->text);
      svg << "<rect class=\"mark\" x=\"" << Number(mark.x) << "\" y=\""
          << Number(lane.top + kLanePadding + static_cast<double>(mark.row) * kRowPitch) << "\" width=\""
          << Number(kMarkWidth) << "\" height=\"" << Number(kMarkHeight) << "\" rx=\"2\" fill=\""
          << LaneColor(lane.channel) << "\"><title>" << Escape(line) << "</title></rect>\n";
    }
    svg << "</g>\n";
  }
  svg << "</svg>\n";

  std::ostringstream lines;
  std::map<std::wstring, size_t> perChannel;
  for (const auto& entry : entries) {
    ++perChannel[entry.channel];
    lines << Escape(Seconds(entry.timeMs) + " " + Utf8(entry.channel) + " " + Utf8(entry.text)) << '\n';
  }
  std::ostringstream summary;
  for (const Lane& lane : lanes) summary << Escape(Utf8(lane.channel)) << ' ' << perChannel[lane.channel] << '\n';

  std::ostringstream page;
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" << Escape(title)
       << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n<h1>" << Escape(title) << "</h1>\n"
       << "<p class=\"note\">" << entries.size() << " lines over " << Escape(Seconds(endMs - 1000))
       << " s of simulated time. One lane per channel; point at a mark to read its line.</p>\n"
       << "<div id=\"hover-line\">(the line of the mark under the pointer)</div>\n<div class=\"scroll\">\n"
       << svg.str() << "</div>\n<h2 style=\"font-size:14px\">Marks per lane</h2>\n<pre id=\"mark-counts\"></pre>\n"
       << "<details><summary>Lines per channel in the timeline</summary><pre id=\"line-counts\">" << summary.str()
       << "</pre></details>\n<details><summary>The whole timeline</summary><pre id=\"lines\">" << lines.str()
       << "</pre></details>\n<script>" << kScript << "</script>\n</body>\n</html>\n";
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
