// Emulated user32 subset: power-setting and device notifications.
#pragma once

#include <winsim/kernel32.h>

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000u
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001u

extern "C" {

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);

}  // extern "C"
