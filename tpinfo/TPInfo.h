// CTPInfo: the trace geometry of a touch sensor, exported from the executable
// for external callers. Both layouts are part of the exported interface.
#pragma once

#include "platform/export.h"

struct _TRACE_INFORMATION {
  int nTraceMode;     // 2 or 3: the X count is reduced by nTraceAdjust once or twice
  int nXTrace;        // traces along X
  int nYTrace;        // traces along Y
  int nTraceValue[4];
  int nTraceAdjust;
};
typedef _TRACE_INFORMATION TRACE_INFORMATION;

class VORN_EXPORT CTPInfo {
 public:
  CTPInfo();
  CTPInfo& operator=(const CTPInfo& other);
  CTPInfo& operator=(CTPInfo&& other);

  int GetXTrace();
  int GetYTrace();
  void GetTraceInfo(_TRACE_INFORMATION* info);
  void SetTraceInfo(_TRACE_INFORMATION* info);

 private:
  static constexpr int kTraceTableSize = 18;
  static constexpr int kReservedCount = 10;
  static constexpr int kIntCount = kTraceTableSize + 8 + kReservedCount;

  void CopyFrom(const CTPInfo& other);

  int m_nTraceTable[kTraceTableSize];
  int m_nTraceMode;
  int m_nXTrace;
  int m_nYTrace;
  int m_nTraceValue[4];
  int m_nTraceAdjust;
  int m_nReserved[kReservedCount];

  friend struct CTPInfoLayout;
};

static_assert(sizeof(_TRACE_INFORMATION) == 32, "_TRACE_INFORMATION is eight 32-bit integers");
