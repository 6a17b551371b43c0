// The installer's console lines: flushed one by one, so that the dots of a
// stop appear as they come.
#pragma once

#include "platform/win32.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

inline void InstallerPrint(FILE* pOut, const WCHAR* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  std::vfwprintf(pOut, pszFormat, args);
  va_end(args);
  std::fflush(pOut);
}

// "<call> failed w/err 0x%08lx": the form of every failure line of the installer.
inline void InstallerPrintFailure(FILE* pOut, const WCHAR* pszCall, DWORD dwError) {
  InstallerPrint(pOut, L"%ls failed w/err 0x%08lx\n", pszCall, static_cast<unsigned long>(dwError));
}
