// Emulated user32 subset: power-setting and device-interface notifications,
// and the session-change record a service's control handler receives.
#pragma once

#include <winsim/kernel32.h>

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000u
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001u
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004u

// Session-change event types (wParam of WM_WTSSESSION_CHANGE, dwEventType of
// SERVICE_CONTROL_SESSIONCHANGE).
#define WTS_CONSOLE_CONNECT 0x1u
#define WTS_CONSOLE_DISCONNECT 0x2u
#define WTS_REMOTE_CONNECT 0x3u
#define WTS_REMOTE_DISCONNECT 0x4u
#define WTS_SESSION_LOGON 0x5u
#define WTS_SESSION_LOGOFF 0x6u
#define WTS_SESSION_LOCK 0x7u
#define WTS_SESSION_UNLOCK 0x8u
#define WTS_SESSION_REMOTE_CONTROL 0x9u

typedef struct tagWTSSESSION_NOTIFICATION {
  DWORD cbSize;
  DWORD dwSessionId;
} WTSSESSION_NOTIFICATION, *PWTSSESSION_NOTIFICATION;

extern "C" {

// The power setting of the display's state (data: 0 off, 1 on), declared as
// the Windows headers declare it and defined in the library.
extern const GUID GUID_MONITOR_POWER_ON;

HPOWERNOTIFY WINAPI RegisterPowerSettingNotification(HANDLE hRecipient, LPCGUID PowerSettingGuid, DWORD Flags);
// Device-interface notifications (a DEV_BROADCAST_DEVICEINTERFACE_W filter)
// on a service status handle; the simulated machine has no windows.
HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);

}  // extern "C"
