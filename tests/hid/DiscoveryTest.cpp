// Discovery over the simulated HID bus: the walk over the HID interfaces
// (enumeration calls that fail among them), the vendor and product filter,
// the whole pipeline's log, and the transport's life around it.
#include "HidDescriptors.h"
#include "HidTestSupport.h"

#include "hid/VendorIds.h"
#include "log/DbgLog.h"

#include <gtest/gtest.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using hidtest::AnyContains;
using hidtest::Ascii;
using hidtest::Contains;
using hidtest::CountStartingWith;
using hidtest::Dump;
using hidtest::InOrder;
using hidtest::TestTransport;
using winsim::BenchDevice;
using winsim::FaultPlan;
using winsim::FaultPoint;

// The lines OpenHidDevice writes for a successful open.
void AddOpenLines(std::vector<std::string>& lines, const std::string& path, int nOpened, int nClosed) {
  const std::string op = "CHIDWinGet::OpenHidDevice: ";
  lines.push_back(op + "OpenHidDevice");
  lines.push_back(op + path);
  lines.push_back(op + "CreateFile Success. Get valid hHidDevice handle.");
  lines.push_back(op + "m_iOpenHidDevCnt = " + std::to_string(nOpened) + ", m_iCloseHidDevCnt = " + std::to_string(nClosed));
}

void AddCloseLines(std::vector<std::string>& lines, const std::string& path, int nOpened, int nClosed) {
  const std::string op = "CHIDWinGet::CloseHidDevice: ";
  lines.push_back(op + "CloseHidDevice, " + path);
  lines.push_back(op + "m_iOpenHidDevCnt = " + std::to_string(nOpened) + ", m_iCloseHidDevCnt = " + std::to_string(nClosed));
}

// The report layout SetHidColsEntrySimple writes for a collection.
void AddLayoutLines(std::vector<std::string>& lines, const winsim::hid::CollectionLayout& layout) {
  int ids[3] = {};
  for (int type = 0; type < 3; ++type)
    for (const auto& cap : layout.caps[static_cast<size_t>(type)])
      if (!cap.isButton) {
        ids[type] = cap.reportId;
        break;
      }
  const auto length = [&](int type) { return std::to_string(layout.reportByteLength[static_cast<size_t>(type)]); };
  char szUsage[96];
  snprintf(szUsage, sizeof(szUsage), "UsagePage =%04X, Usage = %02X, Feature ReportID  = %d", layout.usagePage,
           layout.usage, ids[2]);
  const std::string op = "CHIDWinGet::SetHidColsEntrySimple: ";
  lines.push_back(op + std::string(80, '-'));
  lines.push_back(op + "Output ReportID=" + std::to_string(ids[1]) + ", OutputReportByteLength=" + length(1));
  lines.push_back(op + "Input ReportID=" + std::to_string(ids[0]) + ", InputReportByteLength=" + length(0));
  lines.push_back(op + "Feature ReportID=" + std::to_string(ids[2]) + ", FeatureReportByteLength=" + length(2));
  lines.push_back(op + szUsage);
}

// Everything GetDeviceHandle writes when it finds one controller.
std::vector<std::string> ExpectedDiscoveryLog(winsim::Machine& machine,
                                              const std::shared_ptr<winsim::TouchController>& controller) {
  using winsim::TouchController;
  std::shared_ptr<winsim::HidDevicePort> port;
  for (const auto& device : machine.Part<winsim::HidBus>().Devices())
    if (device->Model() == controller) port = device;
  const std::string screen = Ascii(port->Path(TouchController::kTouchScreen));
  const std::string input = Ascii(port->Path(TouchController::kVendorInput));
  const std::string output = Ascii(port->Path(TouchController::kVendorOutput));
  std::vector<std::string> lines;
  AddOpenLines(lines, screen, 1, 0);
  AddOpenLines(lines, input, 2, 0);
  AddOpenLines(lines, output, 3, 0);
  lines.push_back("CHIDWinGet::FindKnownHidDevices: Total 3 HID devices found.");
  for (const std::string& path : {screen, input, output}) {
    lines.push_back("CHIDWinGet::GetAllHidDeviceList: Close device handle only.");
    lines.push_back("CHIDWinGet::GetAllHidDeviceList: " + path);
  }
  lines.push_back("CHIDWinGet::FilterTouchPadCols: !! Vorn Touch screen UsagePage =000D, Usage = 04");
  AddLayoutLines(lines, port->Layout(TouchController::kTouchScreen));
  AddLayoutLines(lines, port->Layout(TouchController::kTouchScreen));
  AddCloseLines(lines, screen, 3, 1);
  AddLayoutLines(lines, port->Layout(TouchController::kVendorInput));
  AddOpenLines(lines, input, 4, 1);
  lines.push_back("CHIDWinGet::SetHidColsEntrySimple: device status: Vendor-Input Read ok");
  AddCloseLines(lines, input, 4, 2);
  AddLayoutLines(lines, port->Layout(TouchController::kVendorOutput));
  AddOpenLines(lines, output, 5, 2);
  lines.push_back("CHIDWinGet::SetHidColsEntrySimple: device status: Vendor-Output Write ok");
  AddCloseLines(lines, output, 5, 3);
  lines.push_back("CHIDWinGet::GetDeviceHandle: " + std::string(57, '='));
  lines.push_back("CHIDWinGet::GetDeviceHandle: Supported Device Count. = 1.");
  return lines;
}

class DiscoveryTest : public hidtest::TransportTest {};

TEST_F(DiscoveryTest, NoDeviceGivesNotConnected) {
  EXPECT_EQ(Discover(), 4100);
  EXPECT_EQ(m_transport.GetDeviceCount(), 0);
  EXPECT_FALSE(m_transport.IsConnected());
  EXPECT_TRUE(InOrder(m_log.Since(), {"CHIDWinGet::FindKnownHidDevices: Total 0 HID devices found.",
                                      "ERR: No any HID device in physical device list",
                                      "ERR: No Touch screen is exist !!!", "ERR: Device is not connected."}))
      << Dump(m_log.Since());
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Device is not connected.\r\n");
}

TEST_F(DiscoveryTest, FindsTheControllerAndOpensItsVendorRoles) {
  auto controller = winsim::AttachTouchController(*m_machine);
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  EXPECT_TRUE(m_transport.IsConnected());
  CHIDCols& entry = m_transport.Entry(0);
  EXPECT_TRUE(entry.RoleFlags[kRoleVendorInputFound]);
  EXPECT_TRUE(entry.RoleFlags[kRoleVendorOutputFound]);
  EXPECT_FALSE(entry.RoleFlags[kRoleTouchScreen]);
  EXPECT_EQ(entry.Handlers[kHandlerVendorInput].ReportID, 2u);
  EXPECT_EQ(entry.Handlers[kHandlerVendorOutput].ReportID, 3u);
  EXPECT_EQ(entry.Handlers[kHandlerVendorOutput].ReportByteLength, winsim::kVendorReportBytes);
  EXPECT_NE(entry.Handlers[kHandlerVendorOutput].Overlapped.hEvent, nullptr);
  EXPECT_EQ(VendorInputPath(0), controller->Path(winsim::TouchController::kVendorInput));
  EXPECT_EQ(m_transport.m_nMatchedColsCnt, 3);  // the touch screen matches its own entry again

  int nVid = 0, nPid = 0;
  ASSERT_EQ(m_transport.GetDevVidPid(&nVid, &nPid, 0), 0);
  EXPECT_EQ(nVid, kVendorId);
  EXPECT_EQ(nPid, winsim::kTouchControllerDefaultProductId);
  WCHAR szPath[260];
  ASSERT_EQ(m_transport.GetDevPath(0, szPath, 520), 0);
  EXPECT_EQ(std::wstring(szPath), controller->Path(winsim::TouchController::kVendorInput));

  // Three interfaces opened for discovery and closed again, then the two roles.
  EXPECT_EQ(m_transport.m_iOpenHidDevCnt, 5);
  EXPECT_EQ(m_transport.m_iCloseHidDevCnt, 3);
  EXPECT_EQ(m_log.Since(), ExpectedDiscoveryLog(*m_machine, controller)) << Dump(m_log.Since());
}

TEST_F(DiscoveryTest, ForeignVendorIsDroppedUnlessAnyVendorIsAsked) {
  auto port = winsim::PlugBenchDevice(*m_machine, BenchDevice::kOtherVendor);
  const USHORT wOther = port->Desc().vendorId;
  ASSERT_NE(wOther, kVendorId);
  EXPECT_EQ(Discover(), 4100);
  char szExpected[64];
  snprintf(szExpected, sizeof(szExpected), "CloseHidDevice, Not vendorID %04X != %04X, ", kVendorId, wOther);
  EXPECT_EQ(CountStartingWith(m_log.Since(), std::string("CHIDWinGet::FindSupportDevice: ") + szExpected),
            port->CollectionCount())
      << Dump(m_log.Since());
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FindSupportDevice: No any support device found."));

  // Vendor ID 0 takes every vendor: the touch screen makes an entry, but the
  // vendor roles belong to the controller vendor only.
  ASSERT_EQ(Discover(0, 0), 0) << Dump(m_log.Since());
  CHIDCols& entry = m_transport.Entry(0);
  EXPECT_FALSE(entry.RoleFlags[kRoleVendorInputFound]);
  EXPECT_FALSE(entry.RoleFlags[kRoleVendorOutputFound]);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::SetHidColsEntrySimple: UsagePage =FF00, Usage = 01, ReportID  = 2"))
      << Dump(m_log.Since());
  BYTE command[4] = {0x53, 0x00, 0x00, 0x01};
  EXPECT_EQ(m_transport.WriteCommand(command, 4, 1000, 0), -6);  // an entry without roles is refused
}

TEST_F(DiscoveryTest, ProductIdFilterAppliesWithAnyVendor) {
  winsim::AttachTouchController(*m_machine);
  EXPECT_EQ(Discover(0, 0x7777), 4100);
  EXPECT_EQ(CountStartingWith(m_log.Since(), "CHIDWinGet::FindSupportDevice: CloseHidDevice, Not ProductID 7777 != 0101"),
            3u)
      << Dump(m_log.Since());
  EXPECT_EQ(Discover(0, winsim::kTouchControllerDefaultProductId), 0);
}

TEST_F(DiscoveryTest, CompositeInterfacesAreNeverUsed) {
  auto port = winsim::PlugBenchDevice(*m_machine, BenchDevice::kComposite);
  EXPECT_EQ(Discover(), 4100);
  EXPECT_EQ(CountStartingWith(m_log.Since(), "CHIDWinGet::FindSupportDevice: CloseHidDevice, mi searched, "),
            port->CollectionCount())
      << Dump(m_log.Since());
}

TEST_F(DiscoveryTest, MakerWordIsCaseSensitive) {
  auto port = winsim::PlugBenchDevice(*m_machine, BenchDevice::kUpperCaseMaker);
  EXPECT_EQ(Discover(), 4100);
  const std::string skipped =
      "CHIDWinGet::FindKnownHidDevices: Can't find vorn in device path = " + Ascii(port->Path(0));
  EXPECT_TRUE(Contains(m_log.Since(), skipped)) << Dump(m_log.Since());
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FindKnownHidDevices: Total 0 HID devices found."));
  EXPECT_EQ(m_transport.m_iOpenHidDevCnt, 0);
}

TEST_F(DiscoveryTest, AFailedDetailQuerySkipsThatInterfaceOnly) {
  // The first controller's input collection goes away between the snapshot
  // and its detail query, as when a device is unplugged during enumeration.
  auto first = winsim::AttachTouchController(*m_machine);
  auto second = winsim::AttachTouchController(*m_machine);
  winsim::FaultPlan plan;
  plan.error = ERROR_GEN_FAILURE;
  plan.subject = first->Path(winsim::TouchController::kVendorInput);
  m_machine->Part<winsim::Faults>().Arm(winsim::FaultPoint::kSetupDiGetDeviceInterfaceDetail, plan);
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  EXPECT_EQ(m_machine->Part<winsim::Faults>().Hits(winsim::FaultPoint::kSetupDiGetDeviceInterfaceDetail), 1u);
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: SetupDiGetDeviceInterfaceDetail failure")) << Dump(m_log.Since());
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FindKnownHidDevices: Total 5 HID devices found."));
  ASSERT_EQ(m_transport.GetDeviceCount(), 2);
  EXPECT_FALSE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
  EXPECT_EQ(VendorInputPath(1), second->Path(winsim::TouchController::kVendorInput));
}

TEST_F(DiscoveryTest, MoreThanEightInterfacesAreAllExaminedInOrder) {
  std::vector<std::shared_ptr<winsim::TouchController>> controllers;
  for (USHORT wPid = 0x0101; wPid <= 0x0105; ++wPid) {
    winsim::TouchControllerConfig config;
    config.productId = wPid;
    controllers.push_back(winsim::AttachTouchController(*m_machine, config));
  }
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FindKnownHidDevices: Total 15 HID devices found."));
  ASSERT_EQ(m_transport.GetDeviceCount(), 5);
  for (int i = 0; i < 5; ++i) {
    int nVid = 0, nPid = 0;
    ASSERT_EQ(m_transport.GetDevVidPid(&nVid, &nPid, i), 0);
    EXPECT_EQ(nPid, 0x0101 + i);
    EXPECT_EQ(VendorInputPath(i), controllers[static_cast<size_t>(i)]->Path(winsim::TouchController::kVendorInput));
  }
}

TEST_F(DiscoveryTest, RepeatedDiscoveryRebuildsTheEntriesWithoutLeaks) {
  winsim::AttachTouchController(*m_machine);
  ASSERT_EQ(Discover(), 0);
  const size_t nHandles = m_machine->handles().Count();
  // Without Close in between: the old entry is discarded with its handles.
  ASSERT_EQ(Discover(), 0);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FilterTouchPadCols: Current Vorn hid device count = 1 ?? Why ??"));
  EXPECT_EQ(m_machine->handles().Count(), nHandles);
  m_transport.Close();
  ASSERT_EQ(Discover(), 0);
  EXPECT_EQ(m_machine->handles().Count(), nHandles);
  EXPECT_EQ(m_transport.GetDeviceCount(), 1);
}

TEST_F(DiscoveryTest, DestructionReleasesEverythingWithOrWithoutClose) {
  winsim::AttachTouchController(*m_machine);
  const size_t nBaseline = m_machine->handles().Count();
  for (bool bClose : {true, false}) {
    {
      TestTransport transport;
      transport.SetReportID(2, 3);
      ASSERT_EQ(transport.GetDeviceHandle(kVendorId, 0), 0);
      EXPECT_GT(m_machine->handles().Count(), nBaseline);
      if (bClose) {
        transport.Close();  // closes the roles but keeps the entries
        EXPECT_EQ(transport.GetDeviceCount(), 1);
        EXPECT_TRUE(transport.IsConnected());
        EXPECT_EQ(transport.Entry(0).Handlers[kHandlerVendorOutput].hHidDevice, INVALID_HANDLE_VALUE);
        EXPECT_EQ(transport.m_iCloseHidDevCnt, 5);
      }
      m_log.Mark();
    }
    EXPECT_EQ(m_machine->handles().Count(), nBaseline) << "close first: " << bClose;
    EXPECT_TRUE(InOrder(m_log.Since(), {"CHIDWinGet::~CHIDWinGet: CHIDWinGet::~CHIDWinGet --> ",
                                        "CHIDCols::CloseDevice: CHIDCols::CloseDevice --> ",
                                        "CHIDCols::CloseDevice: CHIDCols::CloseDevice <--",
                                        "CHIDWinGet::Close: CHIDWinGet::Close --> ",
                                        "CHIDWinGet::Close: CHIDWinGet::Close <-- ",
                                        "CHIDWinGet::~CHIDWinGet: CHIDWinGet::~CHIDWinGet <-- "}))
        << Dump(m_log.Since());
  }
}

// --- The interface walk when enumeration fails ------------------------------

TEST_F(DiscoveryTest, FailedDeviceSetIsLoggedAndConnectsNothing) {
  winsim::AttachTouchController(*m_machine);
  Faults().Arm(FaultPoint::kSetupDiGetClassDevs, FaultPlan{});
  EXPECT_NE(Discover(), 0);
  EXPECT_EQ(Faults().Hits(FaultPoint::kSetupDiGetClassDevs), 1u);
  EXPECT_TRUE(AnyContains(m_log.Since(), "SetupDiGetClassDevs failure")) << Dump(m_log.Since());
  EXPECT_EQ(m_transport.GetDeviceCount(), 0);
  EXPECT_EQ(m_transport.m_iOpenHidDevCnt, m_transport.m_iCloseHidDevCnt);
  // The knob disarmed itself: the next discovery finds the controller.
  EXPECT_EQ(Discover(), 0) << Dump(m_log.Since());
  EXPECT_EQ(m_transport.GetDeviceCount(), 1);
}

TEST_F(DiscoveryTest, AFailedInterfaceIndexIsSkippedAndTheRestAreListed) {
  auto controller = winsim::AttachTouchController(*m_machine);
  FaultPlan plan;
  plan.subject = controller->Path(winsim::TouchController::kTouchScreen);
  Faults().Arm(FaultPoint::kSetupDiEnumDeviceInterfaces, plan);
  Discover();
  EXPECT_EQ(Faults().Hits(FaultPoint::kSetupDiEnumDeviceInterfaces), 1u);
  EXPECT_TRUE(AnyContains(m_log.Since(), "SetupDiEnumDeviceInterfaces failure, index = 0, error = 31"))
      << Dump(m_log.Since());
  // The two vendor collections behind the failed index are still examined.
  EXPECT_TRUE(AnyContains(m_log.Since(), "Total 2 HID devices found.")) << Dump(m_log.Since());
  EXPECT_EQ(m_transport.GetDeviceCount(), 0);  // its touch screen was the interface lost
}

TEST_F(DiscoveryTest, EnumerationThatKeepsFailingEndsInsteadOfLooping) {
  winsim::AttachTouchController(*m_machine);
  FaultPlan plan;
  plan.count = UINT_MAX;
  Faults().Arm(FaultPoint::kSetupDiEnumDeviceInterfaces, plan);
  EXPECT_NE(Discover(), 0);
  const unsigned nHits = Faults().Hits(FaultPoint::kSetupDiEnumDeviceInterfaces);
  EXPECT_GT(nHits, 1u);
  EXPECT_LT(nHits, 100u);
  EXPECT_TRUE(AnyContains(m_log.Since(), "Total 0 HID devices found.")) << Dump(m_log.Since());
  EXPECT_EQ(m_transport.GetDeviceCount(), 0);
  Faults().Disarm(FaultPoint::kSetupDiEnumDeviceInterfaces);
}

}  // namespace
