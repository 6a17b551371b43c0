// The hooks that start the wake-on-touch watcher. For now they only write
// their first message; the watcher itself is not started yet.
#include "wot/SampleService.h"

void CSampleService::OnStart(DWORD, LPWSTR*) {
  LogMessage(L"CppWindowsService in OnStart", EVENTLOG_INFORMATION_TYPE);
}

void CSampleService::OnMonitorOn() {
  LogMessage(L"Monitor On - Pass WoT selection to low level touch controller", EVENTLOG_INFORMATION_TYPE);
}

void CSampleService::RegWatchThread(CSampleService*) {}
