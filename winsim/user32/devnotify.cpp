// user32: device-interface notifications. Only services register here
// (through their status handle); the simulated machine has no windows.
#include <winsim/dbt.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/services.h>
#include <winsim/user32.h>

using namespace winsim;

namespace {

// The low two bits name the kind of recipient (0 a window, 1 a service);
// the third asks for every interface class.
constexpr DWORD kRecipientKinds = 0x3;
constexpr DWORD kKnownFlags = kRecipientKinds | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;

// The filter's own checks, in the order the configuration manager makes them.
DWORD CheckFilter(const void* filter, DWORD flags) {
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
  if (flags & ~kKnownFlags) return ERROR_INVALID_FLAGS;
  if (header->dbch_size < sizeof(DEV_BROADCAST_HDR)) return ERROR_INVALID_DATA;
  if ((flags & kRecipientKinds) == DEVICE_NOTIFY_WINDOW_HANDLE) return ERROR_INVALID_WINDOW_HANDLE;
  if ((flags & kRecipientKinds) != DEVICE_NOTIFY_SERVICE_HANDLE) return ERROR_INVALID_PARAMETER;
  // Interface notifications are the emulated subset; handle and volume ones are not.
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return ERROR_NOT_SUPPORTED;
  if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
  if (!hRecipient || !NotificationFilter) return Fail(ERROR_INVALID_PARAMETER, HDEVNOTIFY{nullptr});
  if (DWORD error = CheckFilter(NotificationFilter, Flags)) return Fail(error, HDEVNOTIFY{nullptr});
  if (DWORD error = Faults::Take(FaultPoint::kRegisterDeviceNotification)) return Fail(error, HDEVNOTIFY{nullptr});
  const auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(NotificationFilter);
  DWORD error = ERROR_SUCCESS;
  HDEVNOTIFY notify = CurrentMachine().Part<Services>().RegisterDeviceInterface(
      reinterpret_cast<SERVICE_STATUS_HANDLE>(hRecipient), filter->dbcc_classguid,
      (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0, error);
  return notify ? notify : Fail(error, HDEVNOTIFY{nullptr});
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  if (!Handle) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  DWORD error = CurrentMachine().Part<Services>().UnregisterDeviceInterface(Handle);
  return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

}  // extern "C"
