// The HID bus through its control API: interface paths and enumeration order,
// the discovery bench devices, input queues, unplugging, feature reports and
// the WINSIM_CONTROLLER configuration.
#include "hid_machine.h"

#include <winsim/sim/faults.h>

#include <atomic>
#include <thread>

using namespace hidmachine;
using winsim::BenchDevice;
using winsim::TouchController;

namespace {

const std::wstring kGuidPart = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";

std::vector<std::wstring> PresentPaths(winsim::HidBus& bus) {
  std::vector<std::wstring> paths;
  for (const auto& entry : bus.Interfaces(true)) paths.push_back(entry.path);
  return paths;
}

HIDP_CAPS CapsOf(const std::wstring& path) {
  Handle handle(Open(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  HIDP_CAPS caps{};
  EXPECT_TRUE(HidD_GetPreparsedData(handle.Get(), &preparsed));
  EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
  HidD_FreePreparsedData(preparsed);
  return caps;
}

HIDD_ATTRIBUTES AttributesOf(const std::wstring& path) {
  Handle handle(Open(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  EXPECT_TRUE(HidD_GetAttributes(handle.Get(), &attributes));
  return attributes;
}

}  // namespace

TEST(MachineHidBus, ControllerPathsCarryMakerWordCollectionAndPairNumber) {
  VirtualMachine machine;
  const auto paths = PresentPaths(machine.Bus());
  ASSERT_EQ(paths.size(), 3u);
  const std::wstring pair = PairNumber(paths[0]);
  ASSERT_EQ(pair.size(), 8u);
  for (size_t i = 0; i < 3; ++i) {
    const std::wstring expected = L"\\\\?\\hid#vorn0101&col0" + std::to_wstring(i + 1) + L"#5&" + pair + L"&0&000" +
                                  std::to_wstring(i) + kGuidPart;
    EXPECT_EQ(paths[i], expected);
  }
  const auto controller = winsim::TouchControllers(*machine).at(0);
  EXPECT_EQ(controller->Path(TouchController::kVendorOutput), paths[2]);
  EXPECT_EQ(CapsOf(paths[0]).Usage, 0x04);
  EXPECT_EQ(CapsOf(paths[1]).InputReportByteLength, 64);
  EXPECT_EQ(CapsOf(paths[2]).OutputReportByteLength, 64);
  EXPECT_EQ(AttributesOf(paths[1]).VendorID, winsim::kTouchControllerVendorId);
}

TEST(MachineHidBus, DevicesEnumerateInPlugOrderWithTheirOwnPairNumbers) {
  VirtualMachine machine;
  winsim::AttachTouchController(*machine, {0x0456, 0x0007, winsim::ControllerFault::kNone});
  const auto paths = PresentPaths(machine.Bus());
  ASSERT_EQ(paths.size(), 6u);
  EXPECT_NE(PairNumber(paths[0]), PairNumber(paths[3]));
  EXPECT_EQ(PairNumber(paths[3]), PairNumber(paths[5]));
  EXPECT_NE(paths[3].find(L"vorn0007&col01"), std::wstring::npos);
  EXPECT_EQ(AttributesOf(paths[4]).ProductID, 0x0007);
  EXPECT_EQ(AttributesOf(paths[4]).VersionNumber, 0x0456);
}

TEST(MachineHidBus, BenchDevicesForTheDiscoveryFilters) {
  VirtualMachine machine({.controller = "none"});
  auto composite = winsim::PlugBenchDevice(*machine, BenchDevice::kComposite);
  auto other = winsim::PlugBenchDevice(*machine, BenchDevice::kOtherVendor);
  auto pad = winsim::PlugBenchDevice(*machine, BenchDevice::kTouchPadOnly);
  auto upper = winsim::PlugBenchDevice(*machine, BenchDevice::kUpperCaseMaker);
  auto unpaired = winsim::PlugBenchDevice(*machine, BenchDevice::kNoPairNumber);
  for (size_t i = 0; i < 3; ++i) EXPECT_NE(composite->Path(i).find(L"&mi_00&col0"), std::wstring::npos);
  EXPECT_NE(other->Path(0).find(L"vorn"), std::wstring::npos);
  EXPECT_NE(AttributesOf(other->Path(0)).VendorID, winsim::kTouchControllerVendorId);
  EXPECT_EQ(CapsOf(pad->Path(0)).UsagePage, 0x0D);
  EXPECT_EQ(CapsOf(pad->Path(0)).Usage, 0x05);
  EXPECT_EQ(upper->Path(0).find(L"vorn"), std::wstring::npos);
  EXPECT_NE(upper->Path(0).find(L"VORN"), std::wstring::npos);
  EXPECT_FALSE(PairNumber(upper->Path(0)).empty());
  ASSERT_EQ(unpaired->CollectionCount(), 1u);
  EXPECT_EQ(PairNumber(unpaired->Path(0)), L"");
  EXPECT_EQ(CapsOf(unpaired->Path(0)).UsagePage, 0xFF00);
  EXPECT_EQ(PresentPaths(machine.Bus()).size(), 3u * 4 + 1);
}

TEST(MachineHidBus, UnplugFailsPendingAndLaterTransfers) {
  VirtualMachine machine;
  auto controller = winsim::TouchControllers(*machine).at(0);
  const std::wstring path = controller->Path(TouchController::kVendorInput);
  Handle input(Open(path, GENERIC_READ));
  Transfer pending;
  ASSERT_TRUE(pending.StartRead(input.Get()));
  controller->Detach();
  EXPECT_EQ(WaitForSingleObject(pending.event.Get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(pending.Finish(input.Get()), (DWORD)ERROR_DEVICE_NOT_CONNECTED);

  Transfer later;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(ReadFile(input.Get(), later.buffer.data(), 64, &later.bytes, &later.overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
  HIDD_ATTRIBUTES attributes{};
  EXPECT_FALSE(HidD_GetAttributes(input.Get(), &attributes));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
  Handle reopened(Open(path, GENERIC_READ));
  EXPECT_FALSE(reopened.Valid());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(PresentPaths(machine.Bus()).empty());
  ASSERT_EQ(machine.Bus().Interfaces(false).size(), 3u);
  EXPECT_FALSE(machine.Bus().Interfaces(false)[0].present);

  controller->Attach();
  Handle fresh(Open(path, GENERIC_READ));
  EXPECT_TRUE(fresh.Valid());
  EXPECT_FALSE(ReadFile(input.Get(), later.buffer.data(), 64, &later.bytes, &later.overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED) << "a handle from before the unplug stays dead";
}

// A driver that never honours a cancel: CancelIo succeeds, the transfer stays
// pending until the device goes; once the knob is spent, cancels work again.
TEST(MachineHidBus, ADeafCancelLeavesTheTransferPendingUntilTheDeviceGoes) {
  VirtualMachine machine;
  auto controller = winsim::TouchControllers(*machine).at(0);
  auto& faults = (*machine).Part<winsim::Faults>();
  Handle input(Open(controller->Path(TouchController::kVendorInput), GENERIC_READ));
  Transfer cancelled, deaf;
  ASSERT_TRUE(cancelled.StartRead(input.Get()));
  faults.Arm(winsim::FaultPoint::kCancelIo, {});
  EXPECT_TRUE(CancelIo(input.Get()));
  EXPECT_FALSE(GetOverlappedResult(input.Get(), &cancelled.overlapped, &cancelled.bytes, FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
  EXPECT_EQ(faults.Hits(winsim::FaultPoint::kCancelIo), 1u);
  EXPECT_TRUE(CancelIo(input.Get()));
  EXPECT_EQ(cancelled.Finish(input.Get()), (DWORD)ERROR_OPERATION_ABORTED);

  ASSERT_TRUE(deaf.StartRead(input.Get()));
  faults.Arm(winsim::FaultPoint::kCancelIo, {});
  EXPECT_TRUE(CancelIo(input.Get()));
  EXPECT_EQ(WaitForSingleObject(deaf.event.Get(), 0), (DWORD)WAIT_TIMEOUT);
  controller->Detach();
  EXPECT_EQ(deaf.Finish(input.Get()), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

TEST(MachineHidBus, EachHandleQueuesItsOwnReportsInOrder) {
  VirtualMachine machine;
  auto port = machine.Bus().Devices().at(0);
  const std::wstring path = port->Path(TouchController::kVendorInput);
  Handle first(Open(path, GENERIC_READ)), second(Open(path, GENERIC_READ)), query(Open(path, 0));
  for (BYTE n = 1; n <= 3; ++n) {
    std::vector<BYTE> report(64, n);
    report[0] = 2;
    ASSERT_TRUE(port->SendInputReport(TouchController::kVendorInput, report));
  }
  Handle late(Open(path, GENERIC_READ));
  for (HANDLE handle : {first.Get(), second.Get()})
    for (BYTE n = 1; n <= 3; ++n) {
      Transfer read;
      EXPECT_FALSE(read.StartRead(handle)) << "a queued report completes the read at once";
      EXPECT_EQ(read.bytes, 64u);
      EXPECT_EQ(read.buffer[1], n);
    }
  Transfer nothing;
  EXPECT_TRUE(nothing.StartRead(late.Get())) << "reports sent before the open are not queued for it";
  CancelIo(late.Get());
}

TEST(MachineHidBus, QueueKeepsTheNewestReports) {
  VirtualMachine machine;
  auto port = machine.Bus().Devices().at(0);
  Handle input(Open(port->Path(TouchController::kVendorInput), GENERIC_READ));
  for (BYTE n = 0; n < 40; ++n) {
    std::vector<BYTE> report(64, n);
    report[0] = 2;
    port->SendInputReport(TouchController::kVendorInput, report);
  }
  for (size_t n = 40 - winsim::kHidInputBuffers; n < 40; ++n) {
    Transfer read;
    ASSERT_FALSE(read.StartRead(input.Get()));
    EXPECT_EQ(read.buffer[1], n);
  }
}

TEST(MachineHidBus, ReportsThatCannotBeTheCollectionsAreDropped) {
  VirtualMachine machine;
  auto port = machine.Bus().Devices().at(0);
  std::vector<BYTE> report(64, 0);
  report[0] = 9;
  EXPECT_FALSE(port->SendInputReport(TouchController::kVendorInput, report)) << "unknown report ID";
  report[0] = 2;
  report.resize(65);
  EXPECT_FALSE(port->SendInputReport(TouchController::kVendorInput, report)) << "longer than the input report";
  EXPECT_FALSE(port->SendInputReport(TouchController::kVendorInput, {})) << "empty";
  const std::vector<BYTE> small = {2, 0};
  EXPECT_FALSE(port->SendInputReport(TouchController::kVendorOutput, small)) << "no input reports";
  EXPECT_FALSE(port->SendInputReport(7, small)) << "no such collection";
}

TEST(MachineHidBus, SynchronousReadWaitsForTheDevice) {
  VirtualMachine machine;
  auto port = machine.Bus().Devices().at(0);
  Handle input(Open(port->Path(TouchController::kVendorInput), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  port->Schedule(50, [port] {
    std::vector<BYTE> report(64, 7);
    report[0] = 2;
    port->SendInputReport(TouchController::kVendorInput, report);
  });
  BYTE buffer[64] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(input.Get(), buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 64u);
  EXPECT_EQ(buffer[1], 7);
}

TEST(MachineHidBus, ClosingAHandleCompletesItsPendingRead) {
  VirtualMachine machine;
  auto port = machine.Bus().Devices().at(0);
  Handle input(Open(port->Path(TouchController::kVendorInput), GENERIC_READ));
  Transfer read;
  ASSERT_TRUE(read.StartRead(input.Get()));
  input.Reset();
  EXPECT_EQ(WaitForSingleObject(read.event.Get(), 5000), WAIT_OBJECT_0);
  EXPECT_NE(read.overlapped.Internal, (ULONG_PTR)STATUS_PENDING);
}

TEST(MachineHidBus, FeatureReportsAreSynchronousRequests) {
  VirtualMachine machine;
  auto port = machine.Bus().Devices().at(0);
  Handle screen(Open(port->Path(TouchController::kTouchScreen), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  BYTE feature[8] = {0x0A};
  ASSERT_TRUE(HidD_GetFeature(screen.Get(), feature, sizeof feature));
  EXPECT_EQ(feature[1], 2) << "contact count maximum";
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(HidD_SetFeature(screen.Get(), feature, sizeof feature));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
  feature[0] = 0x0B;
  EXPECT_FALSE(HidD_GetFeature(screen.Get(), feature, sizeof feature));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  feature[0] = 0x0A;
  EXPECT_FALSE(HidD_GetFeature(screen.Get(), feature, 1));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(HidD_GetFeature(screen.Get(), feature, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
  Handle output(Open(port->Path(TouchController::kVendorOutput), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  EXPECT_FALSE(HidD_GetFeature(output.Get(), feature, sizeof feature));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << "the collection has no feature report";
}

TEST(MachineHidBus, DeviceWithABadDescriptorGetsNoInterfaces) {
  VirtualMachine machine({.controller = "none"});
  winsim::HidDeviceDesc desc;
  desc.hardwareId = L"vorn0bad";
  desc.reportDescriptor = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01};
  std::string error;
  EXPECT_EQ(machine.Bus().Plug(desc, std::make_shared<winsim::RecordingHidDevice>(), &error), nullptr);
  EXPECT_EQ(error, "collection not closed");
  EXPECT_TRUE(machine.Bus().Interfaces(false).empty());
}

TEST(MachineHidBus, ConfigurationSeedsTheControllers) {
  {
    VirtualMachine machine({.controller = "none"});
    EXPECT_TRUE(machine.Bus().Interfaces(false).empty());
  }
  VirtualMachine machine({.controller = " fw=0x1234, PID=7 ,fault=mute "});
  const auto controllers = winsim::TouchControllers(*machine);
  ASSERT_EQ(controllers.size(), 1u);
  const auto state = controllers[0]->State();
  EXPECT_EQ(state.firmwareVersion, 0x1234);
  EXPECT_EQ(state.productId, 0x0007);
  EXPECT_EQ(state.fault, winsim::ControllerFault::kMute);
  EXPECT_NE(controllers[0]->Path(TouchController::kTouchScreen).find(L"vorn0007"), std::wstring::npos);
}

TEST(MachineHidBus, ControllerConfigurationSyntax) {
  std::vector<winsim::TouchControllerConfig> configs;
  std::string error;
  ASSERT_TRUE(winsim::ParseControllerConfig("", configs, error));
  ASSERT_EQ(configs.size(), 1u);
  EXPECT_EQ(configs[0].firmwareVersion, winsim::kTouchControllerDefaultFirmware);
  ASSERT_TRUE(winsim::ParseControllerConfig("NONE", configs, error));
  EXPECT_TRUE(configs.empty());
  ASSERT_TRUE(winsim::ParseControllerConfig("fault=stuck-write,fw=ffff,polled=1", configs, error));
  EXPECT_EQ(configs[0].fault, winsim::ControllerFault::kStuckWrite);
  EXPECT_EQ(configs[0].firmwareVersion, 0xFFFF);
  EXPECT_TRUE(configs[0].polled);
  ASSERT_TRUE(winsim::ParseControllerConfig("fault=hang", configs, error));  // the driver's fault, as vornsim names it
  EXPECT_TRUE(configs[0].hang);
  EXPECT_EQ(configs[0].fault, winsim::ControllerFault::kNone);
  const std::pair<const char*, const char*> bad[] = {
      {"fw=12345", "bad value for fw: '12345'"},   {"fw=xyz", "bad value for fw: 'xyz'"},
      {"fault=loud", "bad value for fault: 'loud'"}, {"speed=3", "unknown key 'speed' (fw, pid, fault, polled)"},
      {"polled=yes", "bad value for polled: 'yes'"},
      {"fw", "expected key=value, got 'fw'"},       {"fw=1,", "expected key=value, got ''"}};
  for (const auto& [text, message] : bad) {
    EXPECT_FALSE(winsim::ParseControllerConfig(text, configs, error)) << text;
    EXPECT_EQ(error, message) << text;
  }
}

// Readers, the device and cancellation race each other; the sanitizer builds
// check the locking, the test that every transfer finishes.
TEST(MachineHidBus, ConcurrentTransfersCancelsAndUnplug) {
  VirtualMachine machine;
  auto controller = winsim::TouchControllers(*machine).at(0);
  const std::wstring inputPath = controller->Path(TouchController::kVendorInput);
  const std::wstring outputPath = controller->Path(TouchController::kVendorOutput);
  std::atomic<int> finished{0};
  std::vector<std::unique_ptr<Handle>> handles;
  for (int t = 0; t < 3; ++t) {
    handles.push_back(std::make_unique<Handle>(Open(inputPath, GENERIC_READ)));
    handles.push_back(std::make_unique<Handle>(Open(outputPath, GENERIC_WRITE)));
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      const HANDLE input = handles[2 * t]->Get(), output = handles[2 * t + 1]->Get();
      for (int i = 0; i < 50; ++i) {
        Transfer read;
        if (ReadFile(input, read.buffer.data(), 64, &read.bytes, &read.overlapped)) continue;
        if (GetLastError() != ERROR_IO_PENDING) {
          EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
          continue;
        }
        WriteReport(output, CommandReport({0x53, 0x00, 0x00, 0x01}));
        if ((i + t) % 3 == 0) CancelIo(input);
        const DWORD result = read.Finish(input);
        EXPECT_TRUE(result == ERROR_SUCCESS || result == ERROR_OPERATION_ABORTED || result == ERROR_DEVICE_NOT_CONNECTED)
            << result;
      }
      ++finished;
    });
  std::thread unplugger([&] {
    controller->WaitForActions(winsim::ControllerAction::kVersionQuery, 40, 10000);
    controller->Detach();
  });
  for (auto& thread : threads) thread.join();
  unplugger.join();
  EXPECT_EQ(finished.load(), 3);
}
