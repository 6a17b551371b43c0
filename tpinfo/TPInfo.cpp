#include "tpinfo/TPInfo.h"

#include <cstddef>

// The exported layout: 36 signed 32-bit integers, 144 bytes, in this order.
struct CTPInfoLayout {
  static_assert(sizeof(int) == 4, "the record holds 32-bit integers");
  static_assert(sizeof(CTPInfo) == 144, "callers allocate CTPInfo with 144 bytes");
  static_assert(offsetof(CTPInfo, m_nTraceMode) == 72, "trace record follows the 18-entry table");
  static_assert(offsetof(CTPInfo, m_nTraceAdjust) == 100, "record fields keep their order");
  static_assert(offsetof(CTPInfo, m_nReserved) == 104, "ten further integers close the object");
};

namespace {
// Trace table positions that mirror the record.
constexpr int kTableYTrace = 3;
constexpr int kTableValue0 = 2;
constexpr int kTableValue1 = 6;
constexpr int kTableValue2 = 10;
}  // namespace

CTPInfo::CTPInfo()
    : m_nTraceTable{}, m_nTraceMode(0), m_nXTrace(0), m_nYTrace(0), m_nTraceValue{}, m_nTraceAdjust(0), m_nReserved{} {}

// Reads every member before writing any, so that the copy is right also when
// source and destination overlap.
void CTPInfo::CopyFrom(const CTPInfo& other) {
  int nValues[kIntCount];
  int n = 0;
  for (int v : other.m_nTraceTable) nValues[n++] = v;
  nValues[n++] = other.m_nTraceMode;
  nValues[n++] = other.m_nXTrace;
  nValues[n++] = other.m_nYTrace;
  for (int v : other.m_nTraceValue) nValues[n++] = v;
  nValues[n++] = other.m_nTraceAdjust;
  for (int v : other.m_nReserved) nValues[n++] = v;

  n = 0;
  for (int& v : m_nTraceTable) v = nValues[n++];
  m_nTraceMode = nValues[n++];
  m_nXTrace = nValues[n++];
  m_nYTrace = nValues[n++];
  for (int& v : m_nTraceValue) v = nValues[n++];
  m_nTraceAdjust = nValues[n++];
  for (int& v : m_nReserved) v = nValues[n++];
}

CTPInfo& CTPInfo::operator=(const CTPInfo& other) {
  CopyFrom(other);
  return *this;
}

CTPInfo& CTPInfo::operator=(CTPInfo&& other) {
  CopyFrom(other);
  return *this;
}

int CTPInfo::GetXTrace() {
  // Plain 32-bit arithmetic as the record defines it; computed unsigned so
  // that extreme values wrap instead of overflowing.
  unsigned int uX = static_cast<unsigned int>(m_nXTrace);
  unsigned int uAdjust = static_cast<unsigned int>(m_nTraceAdjust);
  if (m_nTraceMode == 2) return static_cast<int>(uX - uAdjust);
  if (m_nTraceMode == 3) return static_cast<int>(uX - 2u * uAdjust);
  return m_nXTrace;
}

int CTPInfo::GetYTrace() { return m_nYTrace; }

void CTPInfo::GetTraceInfo(_TRACE_INFORMATION* info) {
  if (!info) return;
  info->nTraceMode = m_nTraceMode;
  info->nXTrace = m_nXTrace;
  info->nYTrace = m_nYTrace;
  for (int i = 0; i < 4; ++i) info->nTraceValue[i] = m_nTraceValue[i];
  info->nTraceAdjust = m_nTraceAdjust;
}

void CTPInfo::SetTraceInfo(_TRACE_INFORMATION* info) {
  if (!info) return;
  m_nTraceMode = info->nTraceMode;
  m_nXTrace = info->nXTrace;
  m_nYTrace = info->nYTrace;
  for (int i = 0; i < 4; ++i) m_nTraceValue[i] = info->nTraceValue[i];
  m_nTraceAdjust = info->nTraceAdjust;
  m_nTraceTable[kTableValue0] = m_nTraceValue[0];
  m_nTraceTable[kTableValue1] = m_nTraceValue[1];
  m_nTraceTable[kTableValue2] = m_nTraceValue[2];
  m_nTraceTable[kTableYTrace] = m_nYTrace;
}
