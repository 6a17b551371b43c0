// The controller's HID appearance (report descriptors, identity, paths), the
// further devices of the discovery bench, and the WINSIM_CONTROLLER syntax.
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <cctype>
#include <cwchar>

namespace winsim {
namespace {

using Bytes = std::vector<uint8_t>;

// One finger: tip switch, contact identifier, X and Y in 0..4095 over a
// 29.40 cm x 16.50 cm panel; units are reset at its end.
Bytes FingerCollection() {
  return {
      0x05, 0x0D,              // Usage Page (Digitizer)
      0x09, 0x22,              // Usage (Finger)
      0xA1, 0x02,              // Collection (Logical)
      0x09, 0x42,              //   Usage (Tip Switch)
      0x15, 0x00,              //   Logical Minimum (0)
      0x25, 0x01,              //   Logical Maximum (1)
      0x75, 0x01,              //   Report Size (1)
      0x95, 0x01,              //   Report Count (1)
      0x81, 0x02,              //   Input (Data,Var,Abs)
      0x95, 0x07,              //   Report Count (7)
      0x81, 0x03,              //   Input (Const,Var,Abs)
      0x09, 0x51,              //   Usage (Contact Identifier)
      0x25, 0x0F,              //   Logical Maximum (15)
      0x75, 0x08,              //   Report Size (8)
      0x95, 0x01,              //   Report Count (1)
      0x81, 0x02,              //   Input (Data,Var,Abs)
      0x05, 0x01,              //   Usage Page (Generic Desktop)
      0x26, 0xFF, 0x0F,        //   Logical Maximum (4095)
      0x75, 0x10,              //   Report Size (16)
      0x55, 0x0E,              //   Unit Exponent (-2)
      0x65, 0x11,              //   Unit (cm)
      0x35, 0x00,              //   Physical Minimum (0)
      0x46, 0x7C, 0x0B,        //   Physical Maximum (2940)
      0x09, 0x30,              //   Usage (X)
      0x81, 0x02,              //   Input (Data,Var,Abs)
      0x46, 0x72, 0x06,        //   Physical Maximum (1650)
      0x09, 0x31,              //   Usage (Y)
      0x81, 0x02,              //   Input (Data,Var,Abs)
      0x45, 0x00,              //   Physical Maximum (0)
      0x55, 0x00,              //   Unit Exponent (0)
      0x65, 0x00,              //   Unit (none)
      0xC0,                    // End Collection
  };
}

// Touch screen (0x0D/0x04) or touch pad (0x0D/0x05): input report 1 with two
// fingers and the contact count, feature report 10 with the contact maximum.
Bytes DigitizerCollection(uint8_t usage) {
  Bytes bytes = {0x05, 0x0D, 0x09, usage, 0xA1, 0x01, 0x85, 0x01};
  for (int finger = 0; finger < 2; ++finger) {
    const Bytes one = FingerCollection();
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  const Bytes tail = {
      0x05, 0x0D,  //   Usage Page (Digitizer)
      0x09, 0x54,  //   Usage (Contact Count)
      0x25, 0x7F,  //   Logical Maximum (127)
      0x75, 0x08,  //   Report Size (8)
      0x95, 0x01,  //   Report Count (1)
      0x81, 0x02,  //   Input (Data,Var,Abs)
      0x85, 0x0A,  //   Report ID (10)
      0x09, 0x55,  //   Usage (Contact Count Maximum)
      0x25, 0x0A,  //   Logical Maximum (10)
      0xB1, 0x02,  //   Feature (Data,Var,Abs)
      0xC0,        // End Collection
  };
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

// One vendor report of 63 data bytes: report ID, usage, main item.
Bytes VendorReport(uint8_t reportId, uint8_t usage, uint8_t mainItem) {
  return {
      0x85, reportId,    // Report ID
      0x09, usage,       // Usage
      0x15, 0x00,        // Logical Minimum (0)
      0x26, 0xFF, 0x00,  // Logical Maximum (255)
      0x75, 0x08,        // Report Size (8)
      0x95, 0x3F,        // Report Count (63)
      mainItem, 0x02,    // Input or Output (Data,Var,Abs)
  };
}

// A vendor collection: page 0xFF00, usage 1, holding `reports`.
Bytes VendorCollection(std::initializer_list<Bytes> reports) {
  Bytes bytes = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};  // Usage Page (0xFF00), Usage (1), Collection (Application)
  for (const auto& report : reports) bytes.insert(bytes.end(), report.begin(), report.end());
  bytes.push_back(0xC0);  // End Collection
  return bytes;
}

constexpr uint8_t kInputItem = 0x81;
constexpr uint8_t kOutputItem = 0x91;

// Answers in input report 2, status in input report 4.
Bytes VendorInputCollection() {
  return VendorCollection({VendorReport(kVendorInputReportId, 0x02, kInputItem),
                           VendorReport(kVendorStatusReportId, 0x04, kInputItem)});
}

// Commands in output report 3.
Bytes VendorOutputCollection() { return VendorCollection({VendorReport(kVendorOutputReportId, 0x03, kOutputItem)}); }

Bytes Concatenate(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

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
  if (key == "fault" && ParseFault(LowerText(value), config.fault)) return true;
  if (key != "fw" && key != "pid" && key != "fault") return error = "unknown key '" + key + "' (fw, pid, fault)", false;
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
                       Concatenate({DigitizerCollection(0x05), VendorInputCollection(), VendorOutputCollection()}),
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
  static const Bytes descriptor =
      Concatenate({DigitizerCollection(0x04), VendorInputCollection(), VendorOutputCollection()});
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
  return desc;
}

std::string FaultName(ControllerFault fault) {
  static const char* const kNames[] = {"none",         "mute",       "late",        "wrong-report",
                                       "short-report", "fail-write", "stuck-write", "unplug"};
  return kNames[static_cast<int>(fault)];
}

bool ParseFault(const std::string& name, ControllerFault& fault) {
  for (int i = 0; i <= static_cast<int>(ControllerFault::kUnplug); ++i)
    if (FaultName(static_cast<ControllerFault>(i)) == name) return fault = static_cast<ControllerFault>(i), true;
  return false;
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
