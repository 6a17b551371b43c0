// Emulated winmm subset: the system timer resolution requests.
#pragma once

#include <winsim/kernel32.h>

typedef UINT MMRESULT;

#define TIMERR_BASE 96
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO (TIMERR_BASE + 1)
#define TIMERR_STRUCT (TIMERR_BASE + 33)

extern "C" {

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod);
MMRESULT WINAPI timeEndPeriod(UINT uPeriod);

}  // extern "C"
