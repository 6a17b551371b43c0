// The facade through which the service and the diagnostic actions open and
// close the touch controller. Between a successful Connect and Disconnect the
// caller uses the commands of g_TouchIC directly.
#pragma once

namespace VORNAPI {

// Requests the 1 ms system timer resolution the bridge power-on sequence
// relies on, and loads the bridge defaults into g_TouchIC.
void LibTouchInitial();
int Connect(int nVendorId, int nProductId);
// Ends the timer request and closes the controller; call it also after a
// failed Connect where the device may have been opened.
int Disconnect();

}  // namespace VORNAPI
