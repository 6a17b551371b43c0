// user32: device-interface notifications. Nothing in the simulated machine
// registers one, so every handle passed here is unknown.
#include <winsim/user32.h>
#include <winsim/sim/object.h>

extern "C" {

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  return winsim::Fail(Handle ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER, FALSE);
}

}  // extern "C"
