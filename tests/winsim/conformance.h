// Helpers of the conformance suite, in the manner of Wine's tests: a sentinel
// last error before a call, checked after it.
#pragma once

#include <platform/win32.h>

constexpr DWORD kSentinelError = 0xdeadbeef;

inline void ArmLastError() { SetLastError(kSentinelError); }

