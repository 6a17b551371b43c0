// The service's registered identity: the name doubles as the dispatcher entry
// name and the event-log source.
#pragma once

#include "platform/win32.h"

inline constexpr WCHAR kServiceName[] = L"VornPalmixSvc";
inline constexpr WCHAR kServiceDisplayName[] = L"VORN Palmix Service";
