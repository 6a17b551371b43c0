// The virtual controller's root devices: one per top-level collection,
// created and removed through SetupAPI, the driver installed from the INF
// beside vorndev.exe.
#pragma once

#include <windows.h>

#include <string>

namespace vorndev {

constexpr int kCollections = 3;

// A failed step: what was done and the system error code.
struct Failure {
  std::string step;
  DWORD error = 0;
  bool failed() const { return !step.empty(); }
  std::string Describe() const;
};

// The device instance id of one collection of a controller with this
// product id: ROOT\VORN<pid>&COL0<n>\1&2C1A<pid>&0&000<n-1>. The part after
// the device id is shaped as Windows shapes a HID collection's instance, with
// one pair number for the three collections of the controller.
std::wstring InstanceId(USHORT productId, int collection);

// Creates the three devices and installs the driver for them.
Failure CreateDevices(USHORT productId);
// Removes every device with the driver's hardware id; `removed` counts them.
Failure RemoveDevices(int& removed);
// The HID interfaces the driver's devices show (paths \\?\hid#vorn...).
int PresentCollections();
// Waits up to `timeoutMs` until PresentCollections() is `count`.
bool WaitForCollections(int count, DWORD timeoutMs);

}  // namespace vorndev
