// The exported members as a caller built with Microsoft's compiler calls them
// (see TPInfo.h); tpinfo/msvc-exports.def gives them that compiler's names.
#include "tpinfo/TPInfo.h"

#include <new>
#include <utility>

extern "C" {

CTPInfo* VornTPInfoMsvcConstruct(CTPInfo* self) { return new (self) CTPInfo(); }

CTPInfo* VornTPInfoMsvcCopyAssign(CTPInfo* self, const CTPInfo* other) { return &(*self = *other); }

CTPInfo* VornTPInfoMsvcMoveAssign(CTPInfo* self, CTPInfo* other) { return &(*self = std::move(*other)); }

int VornTPInfoMsvcGetXTrace(CTPInfo* self) { return self->GetXTrace(); }

int VornTPInfoMsvcGetYTrace(CTPInfo* self) { return self->GetYTrace(); }

void VornTPInfoMsvcGetTraceInfo(CTPInfo* self, _TRACE_INFORMATION* info) { self->GetTraceInfo(info); }

void VornTPInfoMsvcSetTraceInfo(CTPInfo* self, _TRACE_INFORMATION* info) { self->SetTraceInfo(info); }

}  // extern "C"
