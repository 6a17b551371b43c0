// A USB mouse of another maker on the HID bus: one top-level collection
// (Generic Desktop, Mouse) with three buttons, X, Y and a wheel. Like every
// mouse and keyboard on Windows it is the system's: an open that asks to
// read or write it fails with ERROR_ACCESS_DENIED, one with access 0 gets its
// attributes and capabilities.
#pragma once

#include <winsim/sim/hidbus.h>

#include <memory>

namespace winsim {

// A vendor other than the touch controller's.
constexpr USHORT kMouseVendorId = 0x0F1E;
constexpr USHORT kMouseProductId = 0x0002;

// Plugs a new mouse into the machine's bus (its arrival is announced to the
// services registered for HID interfaces); Unplug and Replug of the port
// detach and attach it again.
std::shared_ptr<HidDevicePort> AttachMouse(Machine& machine);
// The mice plugged into the machine's bus, attached or not, in plug order.
std::vector<std::shared_ptr<HidDevicePort>> Mice(Machine& machine);

}  // namespace winsim
