// What hid.dll may ask of a handle opened on a HID collection. A real hid.dll
// reaches a device only through the class driver's requests (the collection's
// information, its descriptor, its feature reports); winsim's hid.dll asks
// the HID bus these and nothing more. Each answer is a Win32 error code:
// ERROR_DEVICE_NOT_CONNECTED once the device is gone.
#pragma once

#include <winsim/sim/hidparse.h>

#include <cstdint>

namespace winsim {

// The device's ids, as the class driver's collection information gives them.
struct HidCollectionInformation {
  USHORT vendorId = 0;
  USHORT productId = 0;
  USHORT versionNumber = 0;
};

class HidCollectionRequests {
 public:
  virtual DWORD GetInformation(HidCollectionInformation& information) const = 0;
  // The collection's layout, which hid.dll makes its preparsed data of; it
  // lives as long as the handle.
  virtual DWORD GetLayout(const hid::CollectionLayout*& layout) const = 0;
  // A whole feature report, report ID first.
  virtual DWORD GetFeature(uint8_t* report, DWORD length) = 0;
  virtual DWORD SetFeature(uint8_t* report, DWORD length) = 0;

 protected:
  ~HidCollectionRequests() = default;
};

}  // namespace winsim
