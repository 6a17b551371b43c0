// The facade through which the service and the diagnostic actions open and
// close the touch controller, and the service's one door to it: its push
// queries and commands the connected controller here too. (The diagnostic
// actions, beside the controller object, use its commands directly.)
#pragma once

#include "platform/win32.h"

class CTouchIC;

namespace VORNAPI {

// The process's one controller object, handed in by whoever owns it before
// any other call here; nullptr takes it back. A call made without one writes
// "No controller object." to the debug log and fails: -6, or 0 devices.
void SetTouchIC(CTouchIC* pTouchIC);
// The controller object handed in; null, logged under pszOperation, when
// there is none.
CTouchIC* TouchIC(const char* pszOperation);

// Requests the 1 ms system timer resolution the bridge power-on sequence
// relies on, and loads the bridge defaults into the controller object.
void LibTouchInitial();
int Connect(int nVendorId, int nProductId);
// Ends the timer request and closes the controller; call it also after a
// failed Connect where the device may have been opened (when nothing was, it
// does not wait for the mutex).
int Disconnect();
// Hands the controller an event that ends its mutex waits once signalled (the
// service's ending event); nullptr takes it back. The diagnostic actions never
// call it and wait out the time-out.
void SetEndingEvent(HANDLE hEnding);
// Hands the controller an event of the current caller that, once signalled,
// ends its waits for the mutex (a push's call-off); nullptr takes it back.
void SetCancelEvent(HANDLE hCancel);

// Between a successful Connect and Disconnect: the controller object's
// queries and its wake-on-touch command (CTouchIC).
int GetDeviceCount();
int GetDevPath(int nIndex, WCHAR* pszPath, int nSize);
int SWSetSystemInfo(int nFlag);

}  // namespace VORNAPI
