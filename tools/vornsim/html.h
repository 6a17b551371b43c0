// vornsim --html FILE: the run's timeline as a self-contained HTML page.
// One swim lane per channel (scm, event, wire, ctl, sim, then any other) on
// the simulated time axis; each line of the timeline is one mark, an SVG
// element of class "mark" inside the lane's <g class="lane" data-channel=...>,
// whose <title> is the line (the browser shows it on hover). Marks that would
// overlap stack in rows inside their lane. Everything is inline (SVG, style,
// one small script): the page needs no network.
//
// The script writes the number of marks per lane into
// <pre id="mark-counts"> ("scm 4", one lane a line) once the page has loaded,
// so a headless browser's DOM dump shows what the page drew.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vornsim {

struct TimelineEntry {
  uint64_t timeMs = 0;
  std::wstring channel;
  std::wstring text;
};

// Parses "<seconds>.<ms> <channel> <text>" as the timeline prints it; false
// for anything else.
bool ParseTimelineLine(const std::wstring& line, TimelineEntry& entry);

class HtmlTimeline {
 public:
  // Takes one timeline line (as given to the timeline's sink).
  void Add(const std::wstring& line);
  std::vector<TimelineEntry> Entries() const;
  // The page for the entries so far, titled `title` (UTF-8).
  std::string Page(const std::string& title) const;
  // Writes Page() to `path`; false with errno set when it cannot.
  bool Write(const std::string& path, const std::string& title) const;

 private:
  mutable std::mutex m_mutex;
  std::vector<TimelineEntry> m_entries;
};

// The lanes in drawing order: the five channels, then others in order of appearance.
std::vector<std::wstring> LaneOrder(const std::vector<TimelineEntry>& entries);
std::string Utf8(const std::wstring& text);

}  // namespace vornsim
