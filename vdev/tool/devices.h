// The virtual controller's root devices: one per top-level collection,
// created and removed through SetupAPI, the driver installed from the INF
// beside vorndev.exe.
#pragma once

#include <windows.h>

#include <string>

#include "../control.h"

namespace vorndev {

constexpr int kCollections = 3;

// A failed step: what was done and the system error code.
struct Failure {
  std::string step;
  DWORD error = 0;
  bool failed() const { return !step.empty(); }
  std::string Describe() const;
};

// The device instance ids of a controller with this product id. Split: one
// device per collection, ROOT\VORN<pid>&COL0<n>\1&2C1A<pid>&0&000<n-1>,
// shaped as Windows shapes a HID collection's instance, with one pair number
// for the three. Single: the whole controller, ROOT\VORN<pid>\0000, whose
// collections the class driver makes devices of.
std::wstring InstanceId(USHORT productId, int collection);
std::wstring SingleInstanceId(USHORT productId);

// Creates the controller's devices and installs the driver for them.
Failure CreateDevices(USHORT productId, vdev::Layout layout);
// Removes every device with the driver's hardware id; `removed` counts them.
Failure RemoveDevices(int& removed);
// The HID interfaces the driver's devices show (paths \\?\hid#vorn...).
int PresentCollections();
// Waits up to `timeoutMs` until PresentCollections() is `count`.
bool WaitForCollections(int count, DWORD timeoutMs);
// The HID interfaces a controller of this layout shows once it is plugged in.
int CollectionsShown(vdev::Layout layout);

// Wine's ntdll exports wine_get_version; Windows' does not.
bool UnderWine();

}  // namespace vorndev
