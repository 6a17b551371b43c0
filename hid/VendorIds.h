// The controller vendor's USB vendor ID: the one vendor the service, the
// diagnostic actions and the collection filter accept.
#pragma once

constexpr unsigned short kVendorId = 0x2C1A;
