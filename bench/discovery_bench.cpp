// BM_Discovery/N: the product's discovery and role opening, as a connection
// runs it, with N HID interfaces on the simulated bus: the controller's three
// and, for the rest, other devices of the maker. Their paths carry the maker
// word and their vendor ID is the controller vendor's, so every interface is
// opened, queried and carried through the vendor, product-id, composite,
// usage and pair-number filters; none is a touch screen, so the controller
// stays the one entry.
#include "BenchLog.h"

#include "hid/HIDWinGet.h"
#include "hid/VendorIds.h"

#include <benchmark/benchmark.h>
#include <winsim/sim/hidbus.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kControllerInterfaces = 3;
constexpr size_t kCollectionsPerDevice = 4;
constexpr USHORT kFirstOtherProductId = 0x0300;

// A touch pad (digitizer page, usage 5): one finger with tip switch and X.
Bytes TouchPad() {
  return {0x05, 0x0D, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x22, 0xA1, 0x02, 0x09, 0x42, 0x15, 0x00,
          0x25, 0x01, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02, 0x95, 0x07, 0x81, 0x03, 0x05, 0x01, 0x09, 0x30,
          0x26, 0xFF, 0x0F, 0x75, 0x10, 0x95, 0x01, 0x81, 0x02, 0xC0, 0xC0};
}

// A vendor collection on `page` with one 63-byte input report `reportId`.
Bytes VendorInput(uint16_t page, uint8_t reportId) {
  return {0x06, static_cast<uint8_t>(page & 0xFF), static_cast<uint8_t>(page >> 8), 0x09, 0x01, 0xA1, 0x01,
          0x85, reportId, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x81, 0x02, 0xC0};
}

// A mouse (generic desktop page, usage 2): three buttons, X and Y.
Bytes Mouse() {
  return {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x05, 0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00,
          0x25, 0x01, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x95, 0x05, 0x81, 0x03, 0x05, 0x01, 0x09, 0x30,
          0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0};
}

// The collections of another device of the maker: the first `count` of a
// touch pad, a vendor input collection like the controller's (report 2 on
// page 0xFF00, but of another pair), one on page 0xFF01, and a mouse.
Bytes OtherDeviceDescriptor(size_t count) {
  const Bytes parts[kCollectionsPerDevice] = {TouchPad(), VendorInput(0xFF00, 2), VendorInput(0xFF01, 6), Mouse()};
  Bytes bytes;
  for (size_t i = 0; i < count; ++i) bytes.insert(bytes.end(), parts[i].begin(), parts[i].end());
  return bytes;
}

bool PlugOtherDevices(winsim::Machine& machine, int nInterfaces) {
  auto& bus = machine.Part<winsim::HidBus>();
  for (USHORT wProductId = kFirstOtherProductId; nInterfaces > 0; ++wProductId) {
    const size_t nCount = std::min(kCollectionsPerDevice, static_cast<size_t>(nInterfaces));
    winsim::HidDeviceDesc desc;
    desc.vendorId = kVendorId;
    desc.productId = wProductId;
    wchar_t szHardware[16];
    std::swprintf(szHardware, 16, L"vorn%04x", static_cast<unsigned>(wProductId));
    desc.hardwareId = szHardware;
    desc.reportDescriptor = OtherDeviceDescriptor(nCount);
    if (!bus.Plug(desc, std::make_shared<winsim::RecordingHidDevice>())) return false;
    nInterfaces -= static_cast<int>(nCount);
  }
  return true;
}

// GetDeviceHandle as a connection calls it; the roles are closed again
// between iterations, untimed, as a disconnection does.
void BM_Discovery(benchmark::State& state) {
  const int nInterfaces = static_cast<int>(state.range(0));
  simkit::VirtualMachine machine(vornbench::MachineOptions(false, ""));
  if (!PlugOtherDevices(*machine, nInterfaces - kControllerInterfaces) ||
      machine.Bus().Interfaces(true).size() != static_cast<size_t>(nInterfaces)) {
    state.SkipWithError("the bus did not take the devices");
    return;
  }
  CHIDWinGet transport;
  transport.SetReportID(2, 3);
  for (auto _ : state) {
    if (transport.GetDeviceHandle(kVendorId, 0) != kResultOk || transport.GetDeviceCount() != 1) {
      state.SkipWithError("discovery did not find the one controller");
      break;
    }
    state.PauseTiming();
    transport.Close();
    state.ResumeTiming();
  }
  state.counters["interfaces"] = nInterfaces;
}
BENCHMARK(BM_Discovery)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
