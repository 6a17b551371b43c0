// BM_ParseDescriptor/<name>: the HID report-descriptor parser on each real
// device's descriptor of the test data (read at run time).
// BM_ParsedReport: the product's parsed report of a ten-finger touch report,
// decoded against the profile of a real ten-finger touch screen.
#include "BenchLog.h"
#include "ParseBench.h"

#include "hid/HIDWinGet.h"
#include "hid/VendorIds.h"
#include "simkit/ReportBuilder.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <winsim/sim/hidbus.h>
#include <winsim/sim/hidparse.h>
#include <winsim/sim/touch_controller.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const char kDescriptorFile[] = VORN_BENCH_DATA_DIR "/touch-descriptors.json";
// The real screen whose reports carry ten fingers.
const char kTenFingerScreen[] = "touchscreen-b";
constexpr int kFingers = 10;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

nlohmann::json Descriptors() {
  std::ifstream file(kDescriptorFile);
  if (!file) throw std::runtime_error(std::string("cannot read ") + kDescriptorFile);
  return nlohmann::json::parse(file).at("descriptors");
}

// Descriptors recorded from real devices; the synthetic one is left out.
bool IsReal(const nlohmann::json& descriptor) {
  return descriptor.at("kind").get<std::string>().find("real device") != std::string::npos;
}

Bytes DescriptorBytes(const std::string& id) {
  for (const auto& descriptor : Descriptors())
    if (descriptor.at("id") == id) return FromHex(descriptor.at("descriptor_hex").get<std::string>());
  throw std::runtime_error("no descriptor " + id);
}

void BM_ParseDescriptor(benchmark::State& state, const Bytes& descriptor) {
  size_t nCollections = 0;
  for (auto _ : state) {
    auto parsed = winsim::hid::ParseReportDescriptor(descriptor);
    nCollections = parsed.collections.size();
    benchmark::DoNotOptimize(parsed);
  }
  if (nCollections == 0) state.SkipWithError("the descriptor did not parse");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * descriptor.size()));
}

using simkit::ReportBuilder;

// A transport whose entry the benchmark gives a touch-screen role.
class ScreenTransport : public CHIDWinGet {
 public:
  // Opens collection 0 of `port` into a new touch-screen role of entry 0.
  bool AddTouchScreen(const winsim::HidDevicePort& port) {
    CHIDCols* pEntry = EntryAt(m_listHidCols, 0);
    if (pEntry == nullptr) return false;
    auto* pInfo = new HID_DEVICE_INFO{};
    pInfo->hHidDevice = INVALID_HANDLE_VALUE;
    pEntry->TouchScreenInfos.push_back(pInfo);
    pEntry->TouchScreenHandlers.emplace_back();
    REPORT_HANDLER& handler = pEntry->TouchScreenHandlers.back();
    const std::wstring path = port.Path(0);
    if (OpenHidDevice(path.c_str(), *pInfo, 0, FALSE) != kResultOk) return false;
    InitReportHandler(handler);
    wcsncpy(handler.szDevicePath, path.c_str(), kPathChars - 1);
    pEntry->RoleFlags[kRoleTouchScreen] = TRUE;
    return true;
  }
};

// Ten fingers down: contact count 10, each with tip switch, identifier, X and Y.
Bytes TenFingerReport(const winsim::hid::CollectionLayout& layout, uint8_t nReportId) {
  ReportBuilder builder(layout, nReportId);
  builder.Value(0x0D, 0x54, 0, kFingers);
  for (USHORT nFinger = 1; nFinger <= kFingers; ++nFinger)
    builder.Button(0x0D, 0x42, nFinger)
        .Value(0x0D, 0x51, nFinger, nFinger)
        .Value(0x01, 0x30, nFinger, 100u * nFinger)
        .Value(0x01, 0x31, nFinger, 50u * nFinger);
  return builder.Get();
}

void BM_ParsedReport(benchmark::State& state) {
  simkit::VirtualMachine machine(vornbench::MachineOptions(false, ""));
  ScreenTransport transport;
  transport.SetReportID(2, 3);
  winsim::HidDeviceDesc desc;
  desc.vendorId = 0x1234;
  desc.productId = 0x0510;
  desc.hardwareId = L"vid_1234&pid_0510";
  desc.reportDescriptor = DescriptorBytes(kTenFingerScreen);
  auto port = machine.Bus().Plug(desc, std::make_shared<winsim::RecordingHidDevice>());
  DEV_PROFILE profile;
  if (!port || transport.GetDeviceHandle(kVendorId, 0) != kResultOk || !transport.AddTouchScreen(*port) ||
      transport.GetDevProfile(&profile, 0) != kResultOk || profile.FingerCount < 1) {
    state.SkipWithError("no touch-screen profile");
    return;
  }
  const Bytes report = TenFingerReport(port->Layout(0), static_cast<uint8_t>(profile.Fingers[0].ReportID));
  FINGER_REPORT parsed{};
  for (auto _ : state) {
    if (transport.GetDevParsedReport(report.data(), static_cast<int>(report.size()), &parsed, 0) != kResultOk) {
      state.SkipWithError("the report did not parse");
      break;
    }
    benchmark::DoNotOptimize(parsed);
  }
  if (parsed.ContactCount != kFingers) state.SkipWithError("the report did not give ten contacts");
}
BENCHMARK(BM_ParsedReport);

}  // namespace

namespace vornbench {

void RegisterDescriptorBenchmarks() {
  for (const auto& descriptor : Descriptors()) {
    if (!IsReal(descriptor)) continue;
    const std::string id = descriptor.at("id").get<std::string>();
    benchmark::RegisterBenchmark(("BM_ParseDescriptor/" + id).c_str(), BM_ParseDescriptor,
                                 FromHex(descriptor.at("descriptor_hex").get<std::string>()));
  }
}

}  // namespace vornbench
