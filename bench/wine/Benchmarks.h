// The benchmarks vorn_winbench runs, one per invocation; each returns its
// medians (microseconds) and counts, or throws Failure.
#pragma once

#include "Harness.h"

#include <string>

namespace winbench {

// The raw append of a log line: open without following a link, the log's
// handle checks, seek to the end, write, flush, close; false when a step failed.
bool RawAppend(const std::wstring& path, const std::string& line);
// An empty file for raw appends in the log's folder; its path.
std::wstring CreateRawFile();

// `log`: debug-log lines against raw appends of the same bytes, interleaved.
Result RunLogLine(const Options& options);
// `push`: changes of the user's Touch value to the selection on the
// virtual controller's wire, with the service running.
Result RunPush(const Options& options);
// `hid`: with the service stopped, the HID write+read round trip on the
// controller, and Connect against a bare enumeration of the HID interfaces.
Result RunHid(const Options& options);

}  // namespace winbench
