// The process-wide debug log: hourly files in C:\VornPalmix\VrnDbgLog, written
// only when that directory exists at start-up. A file is written only through
// a handle that names the hourly file itself, never through a link, and holds
// at most 16 MB.
#pragma once

#include "platform/results.h"
#include "platform/win32.h"

#if defined(__GNUC__)
#define VORN_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VORN_PRINTF_FORMAT(fmt, args)
#endif

// Receives every trace message (without its bracketed prefix) and that
// message's length in bytes (without the terminator).
typedef void (*DbgEchoHook)(const char* pszMessage, unsigned long long nLength);

void DbgLogInit();
void DbgLogShutdown();
int DbgLogWrite(const char* pszText);
int DbgLogTrace(const char* pszOperation, int nLine, const char* pszFormat, ...) VORN_PRINTF_FORMAT(3, 4);
int DbgLogError(const char* pszOperation, int nLine, const char* pszFormat, ...) VORN_PRINTF_FORMAT(3, 4);
int DbgLogSysError(const char* pszOperation, int nLine, DWORD dwCode, const char* pszFormat, ...)
    VORN_PRINTF_FORMAT(4, 5);
const char* DbgLogLastError();
void DbgLogSetEcho(DbgEchoHook pfnHook);
