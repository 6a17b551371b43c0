// The service's registered identity: the name doubles as the dispatcher entry
// name and the event-log source.
#pragma once

#include "platform/win32.h"

inline constexpr WCHAR kServiceName[] = L"VornPalmixSvc";
inline constexpr WCHAR kServiceDisplayName[] = L"VORN Palmix Service";
// What services.msc shows under the name (the installer package sets the same text).
inline constexpr WCHAR kServiceDescription[] =
    L"Keeps the touch controller's wake-on-touch function in step with the logged-on user's Windows setting.";
// The event source's key: its EventMessageFile names the executable, whose
// message table renders the entries.
inline constexpr WCHAR kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\VornPalmixSvc";
