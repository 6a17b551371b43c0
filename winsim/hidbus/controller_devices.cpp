// The controller's HID appearance on the bus (the model's report descriptor,
// identity, paths), the further devices of the discovery bench, and the
// WINSIM_CONTROLLER syntax.
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <cctype>
#include <cwchar>

namespace winsim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Part(ctlmodel::Descriptor descriptor) { return Bytes(descriptor.bytes, descriptor.bytes + descriptor.length); }

Bytes Concatenate(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

// The maker's touch pad: the controller's touch-screen collection with the
// touch pad usage (0x0D/0x05) in its Usage item.
Bytes TouchPadCollection() {
  Bytes bytes = Part(ctlmodel::CollectionDescriptor(ctlmodel::Collection::kTouchScreen));
  constexpr size_t kUsageItem = 2;  // after Usage Page (Digitizer)
  if (bytes.size() > kUsageItem + 1 && bytes[kUsageItem] == 0x09) bytes[kUsageItem + 1] = 0x05;
  return bytes;
}

Bytes VendorInputCollection() { return Part(ctlmodel::CollectionDescriptor(ctlmodel::Collection::kVendorInput)); }
Bytes VendorOutputCollection() { return Part(ctlmodel::CollectionDescriptor(ctlmodel::Collection::kVendorOutput)); }

std::wstring Hex4(unsigned value) {
  wchar_t buffer[8];
  std::swprintf(buffer, 8, L"%04x", value);
  return buffer;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string LowerText(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool ParseHex16(std::string text, USHORT& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
  if (text.empty() || text.size() > 4) return false;
  unsigned parsed = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    parsed = parsed * 16 + (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
  }
  value = static_cast<USHORT>(parsed);
  return true;
}

bool ParsePair(const std::string& item, TouchControllerConfig& config, std::string& error) {
  const auto eq = item.find('=');
  const std::string key = LowerText(Trim(item.substr(0, eq)));
  const std::string value = eq == std::string::npos ? "" : Trim(item.substr(eq + 1));
  if (eq == std::string::npos || key.empty()) return error = "expected key=value, got '" + item + "'", false;
  if (key == "fw" && ParseHex16(value, config.firmwareVersion)) return true;
  if (key == "pid" && ParseHex16(value, config.productId)) return true;
  if (key == "fault" && ParseFault(LowerText(value), config.fault)) return config.hang = false, true;
  if (key == "fault" && LowerText(value) == "hang") return config.fault = ControllerFault::kNone, config.hang = true;
  if (key == "polled" && (value == "0" || value == "1")) return config.polled = value == "1", true;
  if (key != "fw" && key != "pid" && key != "fault" && key != "polled")
    return error = "unknown key '" + key + "' (fw, pid, fault, polled)", false;
  return error = "bad value for " + key + ": '" + value + "'", false;
}

HidDeviceDesc BenchDesc(Machine& machine, USHORT vendorId, Bytes descriptor, const std::wstring& hardwareId) {
  HidDeviceDesc desc;
  desc.vendorId = vendorId;
  desc.productId = kTouchControllerDefaultProductId;
  desc.versionNumber = kTouchControllerDefaultFirmware;
  desc.reportDescriptor = std::move(descriptor);
  desc.hardwareId = hardwareId;
  desc.instance = L"5&" + machine.Part<HidBus>().NextPairNumber() + L"&0";
  return desc;
}

HidDeviceDesc BenchDeviceDesc(Machine& machine, BenchDevice device) {
  const Bytes controller = TouchController::ReportDescriptor();
  switch (device) {
    case BenchDevice::kComposite: {
      auto desc = BenchDesc(machine, kTouchControllerVendorId, controller, L"vorn0101");
      desc.interfaceNumber = 0;
      return desc;
    }
    case BenchDevice::kOtherVendor: return BenchDesc(machine, 0x04F3, controller, L"vorn0101");
    case BenchDevice::kTouchPadOnly:
      return BenchDesc(machine, kTouchControllerVendorId,
                       Concatenate({TouchPadCollection(), VendorInputCollection(), VendorOutputCollection()}),
                       L"vorn0101");
    case BenchDevice::kUpperCaseMaker: {
      auto desc = BenchDesc(machine, kTouchControllerVendorId, controller, L"VORN0101");
      std::transform(desc.instance.begin(), desc.instance.end(), desc.instance.begin(), ::towupper);
      return desc;
    }
    case BenchDevice::kNoPairNumber: {
      auto desc = BenchDesc(machine, kTouchControllerVendorId, VendorInputCollection(), L"vorn0101");
      desc.instance = L"serial0001";  // a device instance without the '&' fields
      return desc;
    }
  }
  return {};
}

}  // namespace

const std::vector<uint8_t>& TouchController::ReportDescriptor() {
  static const Bytes descriptor = Part(ctlmodel::DeviceDescriptor());
  return descriptor;
}

HidDeviceDesc TouchController::DeviceDesc(const TouchControllerConfig& config, const std::wstring& pairNumber) {
  HidDeviceDesc desc;
  desc.vendorId = kTouchControllerVendorId;
  desc.productId = config.productId;
  desc.versionNumber = config.firmwareVersion;
  desc.reportDescriptor = ReportDescriptor();
  desc.hardwareId = L"vorn" + Hex4(config.productId);
  desc.instance = L"5&" + pairNumber + L"&0";
  desc.polled = config.polled;
  return desc;
}

std::string FaultName(ControllerFault fault) { return ctlmodel::FaultName(fault); }

bool ParseFault(const std::string& name, ControllerFault& fault) {
  return ctlmodel::ParseFault(name.data(), name.size(), fault);
}

bool ParseControllerConfig(const std::string& text, std::vector<TouchControllerConfig>& controllers,
                           std::string& error) {
  const std::string trimmed = Trim(text);
  controllers.clear();
  if (LowerText(trimmed) == "none") return true;
  TouchControllerConfig config;
  size_t start = 0;
  while (!trimmed.empty() && start <= trimmed.size()) {
    const size_t comma = std::min(trimmed.find(',', start), trimmed.size());
    if (!ParsePair(trimmed.substr(start, comma - start), config, error)) return false;
    start = comma + 1;
  }
  controllers.push_back(config);
  return true;
}

std::shared_ptr<HidDevicePort> PlugBenchDevice(Machine& machine, BenchDevice device) {
  return machine.Part<HidBus>().Plug(BenchDeviceDesc(machine, device), std::make_shared<RecordingHidDevice>());
}

HidTransferResult RecordingHidDevice::OnOutputReport(size_t, std::span<const uint8_t> report) {
  std::lock_guard lock(m_mutex);
  m_received.emplace_back(report.begin(), report.end());
  return HidTransferResult::Done();
}

std::vector<std::vector<uint8_t>> RecordingHidDevice::Received() const {
  std::lock_guard lock(m_mutex);
  return m_received;
}

}  // namespace winsim
