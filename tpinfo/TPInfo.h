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

// Only the public members are exported. They are exported twice: under the
// names this compiler gives them, and (tpinfo/msvc-exports.def) under the
// names a caller built with Microsoft's compiler links against.
class CTPInfo {
 public:
  VORN_EXPORT CTPInfo();
  VORN_EXPORT CTPInfo& operator=(const CTPInfo& other);
  VORN_EXPORT CTPInfo& operator=(CTPInfo&& other);

  VORN_EXPORT int GetXTrace();
  VORN_EXPORT int GetYTrace();
  VORN_EXPORT void GetTraceInfo(_TRACE_INFORMATION* info);
  VORN_EXPORT void SetTraceInfo(_TRACE_INFORMATION* info);

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

// Entry points behind the Microsoft-ABI export names. That ABI passes `this`
// in the first argument register as this one does, and returns references as
// pointers; only its constructor differs, handing `this` back in the return
// register. Each entry point is the member it stands for, called that way.
extern "C" {
CTPInfo* VornTPInfoMsvcConstruct(CTPInfo* self);
CTPInfo* VornTPInfoMsvcCopyAssign(CTPInfo* self, const CTPInfo* other);
CTPInfo* VornTPInfoMsvcMoveAssign(CTPInfo* self, CTPInfo* other);
int VornTPInfoMsvcGetXTrace(CTPInfo* self);
int VornTPInfoMsvcGetYTrace(CTPInfo* self);
void VornTPInfoMsvcGetTraceInfo(CTPInfo* self, _TRACE_INFORMATION* info);
void VornTPInfoMsvcSetTraceInfo(CTPInfo* self, _TRACE_INFORMATION* info);
}

static_assert(sizeof(_TRACE_INFORMATION) == 32, "_TRACE_INFORMATION is eight 32-bit integers");
