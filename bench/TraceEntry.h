// The trace entry the log benchmarks write, on winsim and under Wine alike:
// the one discovery writes at each device open, and the bytes DbgLogTrace
// appends for it, for the raw appends the benchmarks hold the log against.
#pragma once

#include "log/DbgLog.h"
#include "platform/win32.h"

#include <cstdio>
#include <string>

namespace vornbench {

inline constexpr char kTraceOperation[] = "CHIDWinGet::OpenHidDevice";
inline constexpr int kTraceSourceLine = 115;
inline constexpr char kTraceFormat[] = "m_iOpenHidDevCnt = %d, m_iCloseHidDevCnt = %d";
inline constexpr int kTraceOpened = 5, kTraceClosed = 3;

// One entry through the product's debug log; DbgLogTrace's result (0: written).
inline int WriteTrace() {
  return DbgLogTrace(kTraceOperation, kTraceSourceLine, kTraceFormat, kTraceOpened, kTraceClosed);
}

// The bytes WriteTrace appends, stamped now:
// "[MMDD-hh:mm:ss.mmm][PID=n] [operation#line]message\r\n".
inline std::string TraceLine() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  char line[512];
  const int length = std::snprintf(line, sizeof(line), "[%02d%02d-%02d:%02d:%02d.%03d][PID=%lu] [%s#%d]", st.wMonth,
                                   st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds,
                                   static_cast<unsigned long>(GetCurrentProcessId()), kTraceOperation,
                                   kTraceSourceLine);
  std::snprintf(line + length, sizeof(line) - static_cast<size_t>(length), kTraceFormat, kTraceOpened,
                kTraceClosed);
  return std::string(line) + "\r\n";
}

}  // namespace vornbench
