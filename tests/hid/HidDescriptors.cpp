#include "HidDescriptors.h"

#include <winsim/sim/touch_controller.h>

#include <cstdio>
#include <stdexcept>

namespace hidtest {

namespace {

void AddReport(std::vector<uint8_t>& bytes, uint8_t reportId, uint8_t count, uint8_t mainItem) {
  if (count == 0) return;
  if (reportId != 0) bytes.insert(bytes.end(), {0x85, reportId});
  // Usage 1, 8-bit fields 0..255, `count` of them, Data/Var/Abs.
  bytes.insert(bytes.end(), {0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, count, mainItem, 0x02});
}

void AddTouchScreen(std::vector<uint8_t>& bytes, uint8_t reportId) {
  // One finger: tip switch, seven bits of padding, 16-bit X.
  bytes.insert(bytes.end(), {0x05, 0x0D, 0x09, 0x04, 0xA1, 0x01});
  if (reportId != 0) bytes.insert(bytes.end(), {0x85, reportId});
  bytes.insert(bytes.end(), {0x09, 0x22, 0xA1, 0x02, 0x09, 0x42, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x01,
                             0x81, 0x02, 0x95, 0x07, 0x81, 0x03, 0x05, 0x01, 0x09, 0x30, 0x26, 0xFF, 0x0F, 0x75,
                             0x10, 0x95, 0x01, 0x81, 0x02, 0xC0, 0xC0});
}

}  // namespace

Collection TouchScreen(uint8_t reportId) {
  Collection collection;
  collection.touchScreen = true;
  collection.inputId = reportId;
  return collection;
}

Collection VendorInput(uint8_t reportId) {
  Collection collection;
  collection.inputId = reportId;
  collection.inputBytes = 63;
  return collection;
}

Collection VendorOutput(uint8_t reportId) {
  Collection collection;
  collection.outputId = reportId;
  collection.outputBytes = 63;
  return collection;
}

std::vector<uint8_t> Descriptor(const std::vector<Collection>& collections) {
  std::vector<uint8_t> bytes;
  for (const Collection& collection : collections) {
    if (collection.touchScreen) {
      AddTouchScreen(bytes, collection.inputId);
      continue;
    }
    bytes.insert(bytes.end(), {0x06, static_cast<uint8_t>(collection.usagePage & 0xFF),
                               static_cast<uint8_t>(collection.usagePage >> 8), 0x09, collection.usage, 0xA1, 0x01});
    AddReport(bytes, collection.inputId, collection.inputBytes, 0x81);
    AddReport(bytes, collection.outputId, collection.outputBytes, 0x91);
    AddReport(bytes, collection.featureId, collection.featureBytes, 0xB1);
    bytes.push_back(0xC0);
  }
  return bytes;
}

std::vector<uint8_t> ArrayDescriptor(uint16_t usagePage, uint8_t usage, uint8_t reportId, unsigned usages,
                                     unsigned fields) {
  std::vector<uint8_t> bytes = {0x06, static_cast<uint8_t>(usagePage & 0xFF), static_cast<uint8_t>(usagePage >> 8),
                                0x09, usage, 0xA1, 0x01, 0x85, reportId};
  for (unsigned n = 1; n <= usages; ++n)
    bytes.insert(bytes.end(), {0x0A, static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)});
  // Logical 0..65535, 16-bit fields, `fields` of them, Data/Array/Abs.
  bytes.insert(bytes.end(), {0x15, 0x00, 0x27, 0xFF, 0xFF, 0x00, 0x00, 0x75, 0x10, 0x96,
                             static_cast<uint8_t>(fields & 0xFF), static_cast<uint8_t>(fields >> 8), 0x81, 0x00, 0xC0});
  return bytes;
}

std::wstring InterfacePath(const std::wstring& hardware, const std::wstring& pairNumber, int nCollection) {
  wchar_t szCollection[32];
  swprintf(szCollection, 32, L"&col%02d#7&", nCollection + 1);
  wchar_t szInstance[32];
  swprintf(szInstance, 32, L"&0&%04x", nCollection);
  return L"\\\\?\\hid#" + hardware + szCollection + pairNumber + szInstance +
         L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

std::shared_ptr<winsim::HidDevicePort> PlugDevice(winsim::Machine& machine, uint16_t vendorId, uint16_t productId,
                                                  const std::wstring& pairNumber,
                                                  const std::vector<Collection>& collections) {
  std::vector<std::wstring> paths;
  wchar_t szHardware[32];
  swprintf(szHardware, 32, L"vorn%04x", static_cast<unsigned>(productId));
  for (size_t i = 0; i < collections.size(); ++i)
    paths.push_back(InterfacePath(szHardware, pairNumber, static_cast<int>(i)));
  return PlugDeviceAt(machine, vendorId, productId, paths, collections);
}

std::shared_ptr<winsim::HidDevicePort> PlugDescriptor(winsim::Machine& machine, uint16_t vendorId,
                                                      uint16_t productId, const std::wstring& pairNumber,
                                                      const std::vector<uint8_t>& descriptor) {
  winsim::HidDeviceDesc desc;
  desc.vendorId = vendorId;
  desc.productId = productId;
  desc.reportDescriptor = descriptor;
  wchar_t szHardware[32];
  swprintf(szHardware, 32, L"vorn%04x", static_cast<unsigned>(productId));
  desc.hardwareId = szHardware;
  desc.instance = L"7&" + pairNumber + L"&0";
  std::string error;
  auto port = machine.Part<winsim::HidBus>().Plug(desc, std::make_shared<winsim::RecordingHidDevice>(), &error);
  if (!port) throw std::runtime_error("descriptor refused: " + error);
  return port;
}

std::shared_ptr<winsim::HidDevicePort> PlugDeviceAt(winsim::Machine& machine, uint16_t vendorId, uint16_t productId,
                                                    const std::vector<std::wstring>& paths,
                                                    const std::vector<Collection>& collections) {
  winsim::HidDeviceDesc desc;
  desc.vendorId = vendorId;
  desc.productId = productId;
  desc.reportDescriptor = Descriptor(collections);
  desc.hardwareId = L"vorn0201";
  desc.paths = paths;
  std::string error;
  auto port = machine.Part<winsim::HidBus>().Plug(desc, std::make_shared<winsim::RecordingHidDevice>(), &error);
  if (!port) throw std::runtime_error("descriptor refused: " + error);
  return port;
}

}  // namespace hidtest
