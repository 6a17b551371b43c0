// vornsim --trace FILE: the run as trace events in the JSON object format
// ({"traceEvents": [...]}) that Perfetto and chrome://tracing open. One
// track (a thread of one process) per band of the machine's state and per
// lane of marks, in the page's order: a band's values as complete events
// ("ph":"X"), each mark as an instant event ("ph":"i") named by its line with
// its kind as category ("push that enabled", ...); a failed check is a global
// instant that crosses every track. Times are microseconds of simulated time.
#pragma once

#include "run_record.h"

#include <string>

namespace vornsim {

std::string TraceJson(const RunData& run, const std::string& title);

}  // namespace vornsim
