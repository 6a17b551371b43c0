#include "trace.h"

#include <nlohmann/json.hpp>

namespace vornsim {

namespace {

using Json = nlohmann::json;

constexpr int kPid = 1;
constexpr uint64_t kMicrosPerMs = 1000;

Json Metadata(const char* name, int tid, Json args) {
  Json event = {{"ph", "M"}, {"pid", kPid}, {"name", name}, {"args", std::move(args)}};
  if (tid > 0) event["tid"] = tid;
  return event;
}

// A track per band, then per lane, numbered from 1 in that order (the sort
// index keeps it so in the viewers).
void AddTrack(Json& events, int tid, const std::string& name) {
  events.push_back(Metadata("thread_name", tid, {{"name", name}}));
  events.push_back(Metadata("thread_sort_index", tid, {{"sort_index", tid}}));
}

// A value that held for no time (changed again within the millisecond) is
// left out: a viewer would nest it under its neighbour. The lane's marks
// still show it.
void AddBand(Json& events, int tid, const RunView::Band& band, uint64_t endMs) {
  AddTrack(events, tid, band.name);
  for (size_t i = 0; i < band.changes.size(); ++i) {
    const auto& [fromMs, value] = band.changes[i];
    const uint64_t toMs = i + 1 < band.changes.size() ? band.changes[i + 1].first : endMs;
    if (toMs == fromMs) continue;
    events.push_back({{"ph", "X"}, {"pid", kPid}, {"tid", tid}, {"cat", "state"}, {"name", value},
                      {"ts", fromMs * kMicrosPerMs}, {"dur", (toMs - fromMs) * kMicrosPerMs}});
  }
}

}  // namespace

std::string TraceJson(const RunData& run, const std::string& title) {
  const RunView view = ViewOf(run);
  Json events = Json::array();
  events.push_back(Metadata("process_name", 0, {{"name", title}}));
  int tid = 0;
  for (const auto& band : view.bands) AddBand(events, ++tid, band, view.endMs);
  const int firstLane = tid + 1;
  for (const auto& lane : view.lanes) AddTrack(events, ++tid, lane);
  for (const auto& mark : view.marks) {
    if (mark.kind == MarkKind::kWait) continue;
    events.push_back({{"ph", "i"}, {"s", mark.kind == MarkKind::kCheckFailed ? "g" : "t"}, {"pid", kPid},
                      {"tid", firstLane + static_cast<int>(mark.lane)}, {"cat", KindName(mark.kind)},
                      {"name", mark.text}, {"ts", mark.timeMs * kMicrosPerMs}});
  }
  Json trace = {{"traceEvents", std::move(events)}, {"displayTimeUnit", "ms"}};
  if (!run.summary.empty()) trace["otherData"] = {{"summary", run.summary}};
  return trace.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vornsim
