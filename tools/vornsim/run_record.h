// A run as vornsim keeps it for its page (html.h) and its trace (trace.h):
// the timeline's lines, the machine's state bands (state_bands.h), the
// soak's checks and its summary, each at its simulated time; and what each
// line means (MarkKind), which both draw by.
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
// "push that enabled", "check failed", ...: the page's legend says the same.
const char* KindName(MarkKind kind);

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

MarkKind CheckKind(CheckOutcome outcome);

// What a run left, in the order given.
struct RunData {
  std::vector<TimelineEntry> entries;
  std::vector<StateChange> changes;
  std::vector<CheckMark> checks;
  std::string summary;
  std::string summaryDetail;  // folded under the summary on the page
};

// Fed from the run's threads; read once the run has ended.
class RunRecord {
 public:
  // Takes one timeline line (as given to the timeline's sink).
  void Add(const std::wstring& line);
  // A band of the machine's state takes `value` from `timeMs` on.
  void SetState(uint64_t timeMs, const std::wstring& band, const std::wstring& value);
  // A check of the soak, drawn in its own lane.
  void AddCheck(uint64_t timeMs, CheckOutcome outcome, const std::string& text);
  // Text shown at the top of the page (the soak's summary), and text folded
  // under it, named by its first line (the end of a failed soak's timeline).
  void SetSummary(const std::string& text, const std::string& detail = {});

  RunData Data() const;

 private:
  mutable std::mutex m_mutex;
  RunData m_data;
};

// The run as the page and the trace draw it: lanes of marks and bands of
// state over the run's time.
struct RunView {
  struct Mark {
    uint64_t timeMs;
    size_t lane;
    MarkKind kind;
    std::string text;  // UTF-8
  };
  struct Band {
    std::string name;
    std::vector<std::pair<uint64_t, std::string>> changes;  // (time, value) in time order
  };
  // scm, event, wire, ctl, sim, then any other channel in order of
  // appearance, then "checks" when the soak checked.
  std::vector<std::string> lanes;
  std::vector<Mark> marks;  // in time order, waits included
  std::vector<Band> bands;  // in order of appearance
  uint64_t endMs = 0;       // a second after the last line or change
};

RunView ViewOf(const RunData& data);

std::string Utf8(const std::wstring& text);

}  // namespace vornsim
