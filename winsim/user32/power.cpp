// user32: power-setting notifications. Only services register here (through
// their status handle); the simulated machine has no windows to send
// WM_POWERBROADCAST to.
#include <winsim/sim/machine.h>
#include <winsim/sim/services.h>
#include <winsim/user32.h>

using namespace winsim;

extern "C" {

const GUID GUID_MONITOR_POWER_ON = {0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};

HPOWERNOTIFY WINAPI RegisterPowerSettingNotification(HANDLE hRecipient, LPCGUID PowerSettingGuid, DWORD Flags) {
  if (!PowerSettingGuid) return Fail(ERROR_INVALID_PARAMETER, static_cast<HPOWERNOTIFY>(nullptr));
  if (Flags == DEVICE_NOTIFY_WINDOW_HANDLE) return Fail(ERROR_INVALID_WINDOW_HANDLE, static_cast<HPOWERNOTIFY>(nullptr));
  if (Flags != DEVICE_NOTIFY_SERVICE_HANDLE) return Fail(ERROR_INVALID_PARAMETER, static_cast<HPOWERNOTIFY>(nullptr));
  DWORD error = ERROR_SUCCESS;
  HPOWERNOTIFY notify = CurrentMachine().Part<Services>().RegisterPowerSetting(
      reinterpret_cast<SERVICE_STATUS_HANDLE>(hRecipient), *PowerSettingGuid, error);
  return notify ? notify : Fail(error, static_cast<HPOWERNOTIFY>(nullptr));
}

}  // extern "C"
