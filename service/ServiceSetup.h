// What -install adds around the service's registration and -remove takes away
// again: the description and failure actions of the service, and the event
// source whose message file renders its event-log entries. Each failure
// prints one line with the failing call and its error code to pOut; the
// service stays installed or removed all the same.
#pragma once

#include "platform/win32.h"

#include <cstdio>

// Sets the description and the failure actions (restart after 5 s, again after
// 60 s, then nothing; the count starts again after a day without a failure).
void DescribeService(FILE* pOut, SC_HANDLE schSCManager);

// Registers pszExePath as the message file of the service's event source.
void RegisterEventSourceKey(FILE* pOut, const WCHAR* pszExePath);

// Deletes the event source's key; one that is not there is no failure.
void RemoveEventSourceKey(FILE* pOut);
