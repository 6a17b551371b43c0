// vornsim --html FILE: the run as one self-contained HTML page (inline data,
// style and script; no network, no other file).
//
// What the page shows, over simulated time:
//  - state bands: each band of the machine's state (state_bands.h), a
//    coloured stretch per value;
//  - marks by meaning in a lane per channel (scm, event, wire, ctl, sim,
//    then any other, and the soak's checks): pushes that enabled, pushes that
//    disabled, failed attempts and give-ups, controls, faults, other machine
//    events, other lines; the sim lane leaves out the script's waits;
//  - an overview strip of the whole run, a view that opens on the whole run
//    (or on a failing check) and zooms by wheel or drag, with a time axis
//    that relabels; pointing at or clicking a mark shows its line;
//  - a soak's summary at the top.
// The page draws with its own small script (page/timeline.js) from the data
// block <script id="vornsim-data" type="application/json">.
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

// What a mark means; the page gives each kind its shape, colour and legend.
enum class MarkKind {
  kEnable,            // a push that switched wake-on-touch on
  kDisable,           // a push that switched it off (or sent another byte)
  kFailure,           // a failed attempt, a give-up, a control not carried out
  kControl,           // service controls and status reports
  kFault,             // a fault of the controller switched on
  kMachine,           // another event of the machine (logon, setting, plug)
  kInfo,              // any other line
  kWait,              // a script's wait: not drawn
  kCheckPassed,       // the soak's checks after a quiet period
  kCheckFailed,
  kCheckUndetermined,  // passed, not held to the setting (the summary says why)
};

MarkKind Classify(const TimelineEntry& entry);

enum class CheckOutcome { kPassed, kFailed, kUndetermined };

struct StateChange {
  uint64_t timeMs;
  std::wstring band;
  std::wstring value;
};

struct CheckMark {
  uint64_t timeMs;
  CheckOutcome outcome;
  std::string text;
};

class HtmlTimeline {
 public:
  // Takes one timeline line (as given to the timeline's sink).
  void Add(const std::wstring& line);
  // A band of the machine's state takes `value` from `timeMs` on.
  void SetState(uint64_t timeMs, const std::wstring& band, const std::wstring& value);
  // A check of the soak, drawn in its own lane.
  void AddCheck(uint64_t timeMs, CheckOutcome outcome, const std::string& text);
  // Text shown at the top of the page (the soak's summary).
  void SetSummary(const std::string& text);

  // The page for what was given so far, titled `title` (UTF-8).
  std::string Page(const std::string& title) const;
  // Writes Page() to `path`; false with errno set when it cannot.
  bool Write(const std::string& path, const std::string& title) const;

 private:
  std::string Data(const std::string& title) const;

  mutable std::mutex m_mutex;
  std::vector<TimelineEntry> m_entries;
  std::vector<StateChange> m_changes;
  std::vector<CheckMark> m_checks;
  std::string m_summary;
};

std::string Utf8(const std::wstring& text);

}  // namespace vornsim
