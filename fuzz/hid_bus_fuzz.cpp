// Discovery and report I/O against a simulated bus of random devices that
// give random answers: descriptors, vendor and product IDs, interface paths
// (maker word, pair numbers, composite markers, any characters), the
// controller's model with its faults beside devices whose every answer to a
// write or feature request comes from the input (done, failed, stuck, input
// reports on any collection, unplugged mid-transfer). The product's calls come
// from the input too. After the transport is gone, no handle of the run may be
// left open. The controller layer (CTouchIC) runs its commands over the same
// bus beside the transport the target drives directly.
//
// Input: the device count, each device's description, the transport's report
// IDs, then operations; a fuzzed device takes its answers from the same
// stream at the moment the product's request reaches it.
#include "FuzzSupport.h"

#include "hid/HIDWinGet.h"
#include "hid/VendorIds.h"
#include "touchic/TouchIC.h"

#include <winsim/sim/hidbus.h>
#include <winsim/sim/touch_controller.h>

#include <cstring>
#include <memory>

namespace {

constexpr size_t kMaxDevices = 4;
constexpr size_t kMaxOperations = 48;
constexpr size_t kMaxBuffer = 4096;
constexpr DWORD kTimeoutsMs[] = {0, 1, 20, 1000};
constexpr DWORD kErrors[] = {ERROR_GEN_FAILURE, ERROR_DEVICE_NOT_CONNECTED, ERROR_INVALID_PARAMETER,
                             ERROR_OPERATION_ABORTED, ERROR_ACCESS_DENIED};

// Path text from input bytes: ASCII as it is, a few bytes stand for
// characters outside Latin-1 (a Cyrillic letter, a lone surrogate).
std::wstring Wide(const std::string& bytes) {
  std::wstring text;
  for (unsigned char byte : bytes) {
    if (byte == 0xFE) text += static_cast<wchar_t>(0x0416);
    else if (byte == 0xFF) text += static_cast<wchar_t>(0xD800);
    else text += static_cast<wchar_t>(byte);
  }
  return text;
}

// A device whose every answer is read from the input when the request comes.
class FuzzedDevice : public winsim::HidDeviceModel {
 public:
  explicit FuzzedDevice(FuzzedDataProvider& input) : m_input(input) {}

  void OnPlugged(const std::shared_ptr<winsim::HidDevicePort>& port) override { m_port = port; }

  winsim::HidTransferResult OnOutputReport(size_t, std::span<const uint8_t>) override {
    const uint8_t action = m_input.ConsumeIntegral<uint8_t>();
    switch (action & 7) {
      case 4: return winsim::HidTransferResult::Failed(m_input.PickValueInArray(kErrors));
      case 5: return winsim::HidTransferResult::Stuck();
      case 6:
        if (auto port = m_port.lock()) port->Unplug();
        return winsim::HidTransferResult::Done();
      default:
        for (unsigned i = 0; i < ((action >> 3) & 3u); ++i) SendInput();
        return winsim::HidTransferResult::Done();
    }
  }
  winsim::HidTransferResult OnSetFeature(size_t, std::span<const uint8_t>) override { return Answer(); }
  winsim::HidTransferResult OnGetFeature(size_t, std::span<uint8_t> report) override { return Fill(report); }
  winsim::HidTransferResult OnGetInputReport(size_t, std::span<uint8_t> report) override { return Fill(report); }

 private:
  winsim::HidTransferResult Answer() {
    const uint8_t action = m_input.ConsumeIntegral<uint8_t>();
    if (action & 1) return winsim::HidTransferResult::Failed(m_input.PickValueInArray(kErrors));
    return winsim::HidTransferResult::Done();
  }
  winsim::HidTransferResult Fill(std::span<uint8_t> report) {
    const uint8_t action = m_input.ConsumeIntegral<uint8_t>();
    if (action & 1) return winsim::HidTransferResult::Failed(m_input.PickValueInArray(kErrors));
    // Byte 0 holds the report ID asked for; the answer keeps it or not.
    const uint8_t id = report.empty() ? 0 : report[0];
    const std::vector<uint8_t> bytes = m_input.ConsumeBytes<uint8_t>(report.size());
    std::copy(bytes.begin(), bytes.end(), report.begin());
    if ((action & 2) && !report.empty()) report[0] = id;
    return winsim::HidTransferResult::Done();
  }
  // An input report on any collection, its ID one the collection knows when asked.
  void SendInput() {
    auto port = m_port.lock();
    if (!port || port->CollectionCount() == 0) return;
    const size_t collection = vornfuzz::ConsumeIndex(m_input, port->CollectionCount());
    const uint8_t shape = m_input.ConsumeIntegral<uint8_t>();
    const auto& layout = port->Layout(collection);
    std::vector<uint8_t> report = (shape & 1) ? std::vector<uint8_t>(layout.reportByteLength[HidP_Input])
                                              : m_input.ConsumeBytes<uint8_t>(m_input.ConsumeIntegral<uint8_t>());
    if (shape & 1) {
      const std::vector<uint8_t> bytes = m_input.ConsumeBytes<uint8_t>(report.size());
      std::copy(bytes.begin(), bytes.end(), report.begin());
    }
    const auto& ids = layout.reportIds[HidP_Input];
    if ((shape & 2) && !report.empty() && !ids.empty()) report[0] = ids[vornfuzz::ConsumeIndex(m_input, ids.size())];
    port->SendInputReport(collection, report);
  }

  FuzzedDataProvider& m_input;
  std::weak_ptr<winsim::HidDevicePort> m_port;
};

// One device of the run, as the input describes it.
void PlugDevice(FuzzedDataProvider& input, winsim::HidBus& bus) {
  const uint8_t kind = input.ConsumeIntegral<uint8_t>();
  const bool bController = kind & 0x20;
  winsim::TouchControllerConfig config;
  config.productId = input.ConsumeIntegral<uint16_t>();
  config.firmwareVersion = input.ConsumeIntegral<uint16_t>();
  config.fault = static_cast<winsim::ControllerFault>(input.ConsumeIntegralInRange(0, 7));
  winsim::HidDeviceDesc desc = winsim::TouchController::DeviceDesc(config, bus.NextPairNumber());
  if ((kind & 3) != 0) desc.reportDescriptor = vornfuzz::ConsumeBlock(input);
  if (kind & 4) desc.vendorId = input.ConsumeIntegral<uint16_t>();
  if (kind & 8) desc.hardwareId = Wide(input.ConsumeRandomLengthString(vornfuzz::kMaxText));
  if (kind & 0x10) desc.instance = Wide(input.ConsumeRandomLengthString(vornfuzz::kMaxText));
  if (kind & 0x40) desc.interfaceNumber = input.ConsumeIntegral<uint8_t>();
  if (kind & 0x80) {
    const auto parsed = winsim::hid::ParseReportDescriptor(desc.reportDescriptor);
    if (!parsed.ok()) return;
    for (size_t i = 0; i < parsed.collections.size(); ++i)
      desc.paths.push_back(L"\\\\?\\hid#" + Wide(input.ConsumeRandomLengthString(vornfuzz::kMaxText)));
  }
  std::shared_ptr<winsim::HidDeviceModel> model;
  if (bController) model = std::make_shared<winsim::TouchController>(config);
  else model = std::make_shared<FuzzedDevice>(input);
  bus.Plug(std::move(desc), model);
}

// A buffer of exactly the length the product is told, from the input.
std::vector<BYTE> Buffer(FuzzedDataProvider& input, size_t length) {
  std::vector<BYTE> buffer(length == 0 ? 1 : length);
  const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(length);
  std::copy(bytes.begin(), bytes.end(), buffer.begin());
  return buffer;
}

int DevIdx(FuzzedDataProvider& input) {
  const uint8_t choice = input.ConsumeIntegral<uint8_t>();
  return choice == 0xFF ? -1 : choice % 3;
}

// The time-out and entry of a transfer, read in this order.
struct Call {
  DWORD dwTimeout;
  int nDevIdx;
};

Call CallOf(FuzzedDataProvider& input) {
  const DWORD dwTimeout = input.PickValueInArray(kTimeoutsMs);
  return {dwTimeout, DevIdx(input)};
}

void ParsedReport(FuzzedDataProvider& input, CHIDWinGet& transport) {
  DEV_PROFILE profile;
  const int nDevIdx = DevIdx(input);
  transport.GetDevProfile(&profile, nDevIdx);
  const size_t length = input.ConsumeIntegral<uint16_t>() % kMaxBuffer;
  std::vector<BYTE> report = Buffer(input, length);
  union {
    FINGER_REPORT finger;
    PEN_REPORT pen;
  } parsed;
  memset(&parsed, 0, sizeof(parsed));
  transport.GetDevParsedReport(report.data(), static_cast<int>(length), &parsed, nDevIdx);
}

// The controller layer over its own transport, as the service and the
// diagnostic actions drive it.
void Command(FuzzedDataProvider& input, CTouchIC& controller) {
  DWORD dwVersion = 0;
  switch (input.ConsumeIntegral<uint8_t>() % 8) {
    case 0: {
      const int nPid = input.ConsumeBool() ? 0 : input.ConsumeIntegral<uint16_t>();
      controller.Connect(kVendorId, nPid);
      break;
    }
    case 1: controller.Disconnect(); break;
    case 2: controller.GetFwVerEx(dwVersion); break;
    case 3: controller.SWSetSystemInfo(input.ConsumeIntegral<uint8_t>()); break;
    case 4: controller.ICSleep(); break;
    case 5: controller.ICWake(); break;
    case 6: controller.ICReset(); break;
    default: {
      WCHAR szPath[64];
      controller.GetDevPath(0, szPath, static_cast<int>(sizeof(szPath) / sizeof(WCHAR) * 2));
      break;
    }
  }
}

void Operate(FuzzedDataProvider& input, CHIDWinGet& transport, CTouchIC& controller, winsim::HidBus& bus) {
  const uint8_t op = input.ConsumeIntegral<uint8_t>();
  const size_t length = input.ConsumeIntegral<uint16_t>() % kMaxBuffer;
  switch (op % 15) {
    case 0: {
      const int nVid = input.ConsumeBool() ? kVendorId : input.ConsumeIntegral<uint16_t>();
      const int nPid = input.ConsumeBool() ? 0 : input.ConsumeIntegral<uint16_t>();
      transport.GetDeviceHandle(nVid, nPid);
      break;
    }
    case 1: {
      std::vector<BYTE> command = Buffer(input, length);
      const Call call = CallOf(input);
      transport.WriteCommand(command.data(), static_cast<int>(length), call.dwTimeout, call.nDevIdx);
      break;
    }
    case 2: {
      std::vector<BYTE> buffer(length == 0 ? 1 : length);
      const Call call = CallOf(input);
      transport.ReadData(buffer.data(), static_cast<int>(length), call.dwTimeout, call.nDevIdx, input.ConsumeBool());
      break;
    }
    case 3: {
      std::vector<BYTE> bytes = Buffer(input, length);
      const Call call = CallOf(input);
      transport.WriteRawBytes(bytes.data(), static_cast<int>(length), call.dwTimeout, call.nDevIdx);
      break;
    }
    case 4: {
      std::vector<BYTE> buffer(length == 0 ? 1 : length);
      const Call call = CallOf(input);
      transport.ReadRawBytes(buffer.data(), static_cast<int>(length), call.dwTimeout, call.nDevIdx);
      break;
    }
    case 5: {
      std::vector<BYTE> bytes = Buffer(input, length);
      const int nMode = input.ConsumeIntegralInRange(0, 2);
      const Call call = CallOf(input);
      transport.WriteEEPROMCommand(nMode, bytes.data(), static_cast<int>(length), call.dwTimeout, call.nDevIdx);
      break;
    }
    case 6: {
      std::vector<BYTE> bytes = Buffer(input, length);
      transport.SetPenFeature(bytes.data(), static_cast<int>(length), 0, DevIdx(input));
      break;
    }
    case 7: {
      std::vector<BYTE> buffer(length == 0 ? 1 : length);
      transport.GetPenFeature(buffer.data(), static_cast<int>(length), 0, DevIdx(input));
      break;
    }
    case 8: ParsedReport(input, transport); break;
    case 9: {
      // The length counts 2-byte characters; the buffer holds that many WCHARs.
      std::vector<WCHAR> path(length / 2 == 0 ? 1 : length / 2);
      transport.GetDevPath(DevIdx(input), path.data(), static_cast<int>(length));
      char szType[64];
      const int nDevIdx = DevIdx(input);
      transport.GetIcDevType(nDevIdx, szType, input.ConsumeIntegralInRange<int>(0, sizeof(szType)));
      break;
    }
    case 10: {
      int nVersion = 0, nVid = 0, nPid = 0;
      transport.GetDevVersion(&nVersion, DevIdx(input));
      transport.GetDevVidPid(&nVid, &nPid, DevIdx(input));
      transport.IsConnected();
      break;
    }
    case 11: {
      const auto devices = bus.Devices();
      if (devices.empty()) break;
      auto& device = devices[vornfuzz::ConsumeIndex(input, devices.size())];
      if (input.ConsumeBool()) device->Unplug();
      else device->Replug();
      break;
    }
    case 12: transport.Close(); break;
    case 13: Command(input, controller); break;
    default: {
      const int nInputID = input.ConsumeIntegral<uint8_t>();
      transport.SetReportID(nInputID, input.ConsumeIntegral<uint8_t>());
      transport.SetFixedCmdLen(input.ConsumeIntegral<uint8_t>() & 1);
      break;
    }
  }
}

void Run(FuzzedDataProvider& input, winsim::Machine& machine) {
  winsim::HidBus& bus = machine.Part<winsim::HidBus>();
  const size_t nDevices = input.ConsumeIntegralInRange<size_t>(1, kMaxDevices);
  for (size_t i = 0; i < nDevices; ++i) PlugDevice(input, bus);
  CHIDWinGet transport;
  CTouchIC controller;
  const int nInputID = input.ConsumeBool() ? winsim::kVendorInputReportId : input.ConsumeIntegral<uint8_t>();
  const int nOutputID = input.ConsumeBool() ? winsim::kVendorOutputReportId : input.ConsumeIntegral<uint8_t>();
  transport.SetReportID(nInputID, nOutputID);
  transport.GetDeviceHandle(kVendorId, 0);
  for (size_t i = 0; i < kMaxOperations && input.remaining_bytes() != 0; ++i)
    Operate(input, transport, controller, bus);
}

}  // namespace

VORN_FUZZ_ON_FRESH_MACHINE(Run)
