#include <winsim/sim/mouse.h>

#include <cwchar>

namespace winsim {

namespace {

// A boot-protocol mouse: buttons 1 to 3, then relative X, Y and wheel bytes.
const std::vector<uint8_t> kMouseDescriptor = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,  // Generic Desktop, Mouse, application collection
    0x09, 0x01, 0xA1, 0x00,              // Pointer, physical collection
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03,  // Buttons 1..3
    0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x05, 0x81, 0x03,  // padding to the byte
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x38,  // X, Y, wheel
    0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x03, 0x81, 0x06,
    0xC0, 0xC0};

// The mouse answers nothing: the system reads it, never a service.
class Mouse final : public HidDeviceModel {};

}  // namespace

std::shared_ptr<HidDevicePort> AttachMouse(Machine& machine) {
  auto& bus = machine.Part<HidBus>();
  HidDeviceDesc desc;
  desc.vendorId = kMouseVendorId;
  desc.productId = kMouseProductId;
  desc.reportDescriptor = kMouseDescriptor;
  wchar_t hardwareId[32];
  std::swprintf(hardwareId, 32, L"vid_%04x&pid_%04x", kMouseVendorId, kMouseProductId);
  desc.hardwareId = hardwareId;
  return bus.Plug(std::move(desc), std::make_shared<Mouse>());
}

std::vector<std::shared_ptr<HidDevicePort>> Mice(Machine& machine) {
  std::vector<std::shared_ptr<HidDevicePort>> mice;
  for (const auto& device : machine.Part<HidBus>().Devices())
    if (std::dynamic_pointer_cast<Mouse>(device->Model())) mice.push_back(device);
  return mice;
}

}  // namespace winsim
