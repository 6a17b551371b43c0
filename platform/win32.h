// The product's one door to the platform. On Windows these are the system
// headers; on any other host they are winsim's declarations of the same API.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsvc.h>
#include <dbt.h>
#include <tlhelp32.h>
#include <sddl.h>
#include <setupapi.h>
#include <mmsystem.h>
#include <winver.h>
#include <wtsapi32.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#else
#include <winsim/windows.h>
#endif
