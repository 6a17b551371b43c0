// The emulated Win32 API as one header: what platform/win32.h includes on a
// non-Windows host. Laid out like the DLLs it stands in for.
#pragma once

#include <winsim/wintypes.h>
#include <winsim/winerror.h>
#include <winsim/kernel32.h>
#include <winsim/tlhelp32.h>
#include <winsim/winsvc.h>
#include <winsim/winreg.h>
#include <winsim/security.h>
#include <winsim/eventlog.h>
#include <winsim/user32.h>
#include <winsim/dbt.h>
#include <winsim/wtsapi32.h>
#include <winsim/setupapi.h>
#include <winsim/hid.h>
#include <winsim/version.h>
#include <winsim/winmm.h>
