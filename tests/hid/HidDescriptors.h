// Report descriptors and devices built by the tests, for collections the
// controller model does not have.
#pragma once

#include <winsim/sim/hidbus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hidtest {

// One top-level collection. A report ID of 0 declares no report ID item
// (use it only in a descriptor without report IDs); a length of 0 leaves
// that kind of report out. Lengths count the data bytes, without the ID byte.
struct Collection {
  bool touchScreen = false;  // a finger collection; the fields below are then unused
  uint16_t usagePage = 0xFF00;
  uint8_t usage = 0x01;
  uint8_t inputId = 0, outputId = 0, featureId = 0;
  uint8_t inputBytes = 0, outputBytes = 0, featureBytes = 0;
};

// A touch screen (digitizer page, usage 4) with report ID `reportId`.
Collection TouchScreen(uint8_t reportId);
Collection VendorInput(uint8_t reportId);   // page 0xFF00, 63-byte input report
Collection VendorOutput(uint8_t reportId);  // page 0xFF00, 63-byte output report

std::vector<uint8_t> Descriptor(const std::vector<Collection>& collections);

// One application collection (page `usagePage`, usage `usage`, report ID
// `reportId`) whose only input item is an array of `fields` 16-bit fields
// over `usages` usages declared one by one (1, 2, ...): the HID parser makes
// one button cap per usage, all over the same fields.
std::vector<uint8_t> ArrayDescriptor(uint16_t usagePage, uint8_t usage, uint8_t reportId, unsigned usages,
                                     unsigned fields);

// A device of the maker on the machine's bus whose collections share the
// pair number `pairNumber`; it records writes and answers nothing.
std::shared_ptr<winsim::HidDevicePort> PlugDevice(winsim::Machine& machine, uint16_t vendorId, uint16_t productId,
                                                  const std::wstring& pairNumber,
                                                  const std::vector<Collection>& collections);

// The same with explicit interface paths, one per collection.
std::shared_ptr<winsim::HidDevicePort> PlugDeviceAt(winsim::Machine& machine, uint16_t vendorId, uint16_t productId,
                                                    const std::vector<std::wstring>& paths,
                                                    const std::vector<Collection>& collections);

// A device of the maker with a report descriptor of its own, the collections'
// paths built as PlugDevice builds them.
std::shared_ptr<winsim::HidDevicePort> PlugDescriptor(winsim::Machine& machine, uint16_t vendorId,
                                                      uint16_t productId, const std::wstring& pairNumber,
                                                      const std::vector<uint8_t>& descriptor);

// A path as Windows builds it for collection `nCollection` (from 0) of a
// device with this hardware part and pair number.
std::wstring InterfacePath(const std::wstring& hardware, const std::wstring& pairNumber, int nCollection);

}  // namespace hidtest
