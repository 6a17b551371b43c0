// Discovery over the simulated HID bus: which interfaces become entries, and
// which collections of an entry take the vendor roles.
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

using hidtest::Collection;
using hidtest::Contains;
using hidtest::Dump;
using hidtest::InOrder;
using hidtest::TestTransport;
using winsim::BenchDevice;

size_t CountStartingWith(const std::vector<std::string>& entries, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(entries.begin(), entries.end(),
                                           [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; }));
}

std::string Ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

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

class DiscoveryTest : public hidtest::MachineTest {
 protected:
  // Discovery as the controller layer runs it.
  int Discover(int nVid = kVendorId, int nPid = 0) {
    m_transport.SetReportID(2, 3);
    m_log.Mark();
    return m_transport.GetDeviceHandle(nVid, nPid);
  }
  // A collection opened as discovery opens it, for attribute queries only.
  HID_DEVICE_INFO OpenCollection(const std::wstring& path) {
    HID_DEVICE_INFO info;
    memset(&info, 0, sizeof(info));
    EXPECT_EQ(m_transport.OpenHidDevice(path.c_str(), info, 0, FALSE), 0);
    return info;
  }
  std::wstring VendorInputPath(int nDevIdx) {
    return m_transport.Entry(nDevIdx).Handlers[kHandlerVendorInput].szDevicePath;
  }

  TestTransport m_transport;
};

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

TEST_F(DiscoveryTest, TouchPadWithoutTouchScreenMakesNoEntry) {
  winsim::PlugBenchDevice(*m_machine, BenchDevice::kTouchPadOnly);
  EXPECT_EQ(Discover(), 4100);
  EXPECT_TRUE(InOrder(m_log.Since(), {"CHIDWinGet::FilterTouchPadCols: !! Vorn Touch Pad UsagePage =000D, Usage = 05",
                                      "ERR: No Touch screen is exist !!!"}))
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

TEST_F(DiscoveryTest, TwoTouchScreensOfOnePairMakeTwoEntries) {
  const std::wstring pair = L"5a5a5a5a";
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, pair,
                      {hidtest::TouchScreen(1), hidtest::VendorInput(2), hidtest::VendorOutput(3),
                       hidtest::TouchScreen(5)});
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_EQ(m_transport.GetDeviceCount(), 2);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
  EXPECT_FALSE(m_transport.Entry(1).RoleFlags[kRoleVendorInputFound]);
  EXPECT_FALSE(m_transport.Entry(1).RoleFlags[kRoleVendorOutputFound]);
  EXPECT_STREQ(m_transport.Entry(1).PairNum, pair.c_str());
  EXPECT_TRUE(InOrder(m_log.Since(), {"CHIDWinGet::GetDeviceHandle: Device count = 2",
                                      "CHIDWinGet::GetDeviceHandle: Supported Device Count. = 2."}))
      << Dump(m_log.Since());
}

TEST_F(DiscoveryTest, CollectionWithoutPairNumberJoinsTheTouchScreenOfItsDevice) {
  // The controller's own input collection is missing; an input collection of
  // the same device (the same text before "&col") without pair number joins
  // the controller's entry.
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"0badcafe", {hidtest::TouchScreen(1), hidtest::VendorOutput(3)});
  hidtest::PlugDeviceAt(*m_machine, kVendorId, 0x0201, {L"\\\\?\\hid#vorn0201&col01#nopair#{4d1e55b2}"},
                        {hidtest::VendorInput(2)});
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  CHIDCols& entry = m_transport.Entry(0);
  EXPECT_TRUE(entry.RoleFlags[kRoleVendorInputFound]);
  EXPECT_EQ(VendorInputPath(0), L"\\\\?\\hid#vorn0201&col01#nopair#{4d1e55b2}");
  EXPECT_STREQ(entry.PairNum, L"0badcafe");  // the entry keeps its own pair number
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: Did not find pair number"));
}

TEST_F(DiscoveryTest, AVendorDeviceWithoutPairNumberTakesNoRoleOfTheController) {
  // Plugged before the controller: another device of the vendor, whose only
  // collection has output report 3 and whose path has no pair number.
  const std::wstring otherPath = L"\\\\?\\hid#vorn0777#serial01#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  auto other = hidtest::PlugDeviceAt(*m_machine, kVendorId, 0x0777, {otherPath}, {hidtest::VendorOutput(3)});
  auto controller = winsim::AttachTouchController(*m_machine);
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  EXPECT_EQ(std::wstring(m_transport.Entry(0).Handlers[kHandlerVendorOutput].szDevicePath),
            controller->Path(winsim::TouchController::kVendorOutput));
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FilterTouchPadCols: No pair number and no touch screen of its "
                                      "device, collection left alone: " + Ascii(otherPath)))
      << Dump(m_log.Since());
  // The command reaches the controller, and only the controller.
  const BYTE command[] = {0xF0, 0x02, 0x00, 0x01};
  EXPECT_EQ(m_transport.WriteCommand(command, 4, 1000, 0), 0);
  EXPECT_TRUE(std::static_pointer_cast<winsim::RecordingHidDevice>(other->Model())->Received().empty());
  EXPECT_EQ(controller->Received().size(), 1u);
}

TEST_F(DiscoveryTest, CollectionsWithoutPairNumbersPairByTheirDevice) {
  // As Wine names HID interfaces: no pair number; the collections of one
  // device differ in their "&colNN" only. Another device of the vendor,
  // named the same way, is plugged first.
  const std::wstring kClass = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  const std::wstring otherPath = L"\\\\?\\hid#vorn0202&col01#0000" + kClass;
  auto other = hidtest::PlugDeviceAt(*m_machine, kVendorId, 0x0202, {otherPath}, {hidtest::VendorOutput(3)});
  const std::vector<std::wstring> paths = {L"\\\\?\\hid#vorn0101&col01#0000" + kClass,
                                           L"\\\\?\\hid#vorn0101&col02#0000" + kClass,
                                           L"\\\\?\\hid#vorn0101&col03#0000" + kClass};
  hidtest::PlugDeviceAt(*m_machine, kVendorId, 0x0101, paths,
                        {hidtest::TouchScreen(1), hidtest::VendorInput(2), hidtest::VendorOutput(3)});
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  EXPECT_EQ(VendorInputPath(0), paths[1]);
  EXPECT_EQ(std::wstring(m_transport.Entry(0).Handlers[kHandlerVendorOutput].szDevicePath), paths[2]);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FilterTouchPadCols: No pair number and no touch screen of its "
                                      "device, collection left alone: " + Ascii(otherPath)))
      << Dump(m_log.Since());
}

TEST_F(DiscoveryTest, BenchCollectionWithoutPairNumberFindsNoEntryOfItsOwn) {
  winsim::PlugBenchDevice(*m_machine, BenchDevice::kNoPairNumber);
  EXPECT_EQ(Discover(), 4100);
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: No Touch screen is exist !!!")) << Dump(m_log.Since());
}

TEST_F(DiscoveryTest, OverlongPairNumberIsRefused) {
  const std::wstring fits(259, L'c');
  const std::wstring tooLong(300, L'c');
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, tooLong, {hidtest::TouchScreen(1)});
  EXPECT_EQ(Discover(), 4100);
  EXPECT_TRUE(InOrder(m_log.Since(), {"CHIDWinGet::ParsePairNum: Pair number too long (300 characters), collection refused",
                                      "ERR: No Touch screen is exist !!!"}))
      << Dump(m_log.Since());

  // Cut to the buffer, this pair number would pass for the first device's.
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, fits, {hidtest::TouchScreen(1), hidtest::VendorOutput(3)});
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, tooLong, {hidtest::VendorInput(2)});
  ASSERT_EQ(Discover(), 0);
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
  EXPECT_FALSE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
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

// --- Which collection takes which role -------------------------------------

struct RoleCase {
  const char* name;
  Collection collection;
  USHORT wVendorId;
  int nExpected;
  ERoleFlag flag;  // the role taken when nExpected is 0
};

class RoleTest : public DiscoveryTest, public testing::WithParamInterface<RoleCase> {};

// Opens the collection on the bus as discovery does and offers it to an entry.
TEST_P(RoleTest, CollectionIsTakenOrRefused) {
  const RoleCase& role = GetParam();
  auto port = hidtest::PlugDevice(*m_machine, role.wVendorId, 0x0201, L"12345678", {role.collection});
  m_transport.SetReportID(2, 3);
  HID_DEVICE_INFO info = OpenCollection(port->Path(0));
  CHIDCols entry;
  EXPECT_EQ(m_transport.SetHidColsEntrySimple(info, entry), role.nExpected);
  for (int flag = 0; flag < kRoleFlags; ++flag)
    EXPECT_EQ(entry.RoleFlags[flag] != 0, role.nExpected == 0 && flag == role.flag && role.flag != kRoleFlags)
        << "flag " << flag;
  EXPECT_EQ(entry.wVendorID, role.wVendorId);
  EXPECT_STREQ(entry.PairNum, L"12345678");
  m_transport.CloseHidDevice(info);
}

Collection WithFeature(Collection collection, uint8_t featureId) {
  collection.featureId = featureId;
  collection.featureBytes = 8;
  return collection;
}

Collection OnPage(Collection collection, uint16_t usagePage) {
  collection.usagePage = usagePage;
  return collection;
}

Collection Bidirectional() {
  Collection collection = hidtest::VendorOutput(3);
  collection.inputId = 2;
  collection.inputBytes = 63;
  return collection;
}

constexpr ERoleFlag kNoRole = kRoleFlags;

INSTANTIATE_TEST_SUITE_P(
    Roles, RoleTest,
    testing::Values(RoleCase{"OutputOnly", hidtest::VendorOutput(3), kVendorId, 0, kRoleVendorOutputFound},
                    RoleCase{"OutputWithFeature3", WithFeature(hidtest::VendorOutput(3), 3), kVendorId, 0,
                             kRoleVendorOutputFound},
                    RoleCase{"OutputWithOtherFeature", WithFeature(hidtest::VendorOutput(3), 5), kVendorId, 7, kNoRole},
                    RoleCase{"InputOnly", hidtest::VendorInput(2), kVendorId, 0, kRoleVendorInputFound},
                    RoleCase{"InputAndOutput", Bidirectional(), kVendorId, 7, kNoRole},
                    RoleCase{"OtherInputReport", hidtest::VendorInput(4), kVendorId, 7, kNoRole},
                    RoleCase{"SecondInputPageAnyVendor", OnPage(hidtest::VendorInput(2), 0x01FF), 0x1234, 0,
                             kRoleVendorInputFound},
                    RoleCase{"ForeignVendorPage", hidtest::VendorInput(2), 0x1234, 0, kNoRole},
                    RoleCase{"TouchScreen", hidtest::TouchScreen(1), kVendorId, 0, kNoRole},
                    RoleCase{"OtherPage", OnPage(hidtest::VendorInput(2), 0xFF01), kVendorId, 0, kNoRole}),
    [](const testing::TestParamInfo<RoleCase>& info) { return std::string(info.param.name); });

TEST_F(DiscoveryTest, ASecondCollectionForATakenRoleIsRefused) {
  auto port = hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"12345678",
                                  {hidtest::VendorOutput(3), hidtest::VendorOutput(3)});
  m_transport.SetReportID(2, 3);
  HID_DEVICE_INFO first = OpenCollection(port->Path(0));
  HID_DEVICE_INFO second = OpenCollection(port->Path(1));
  CHIDCols entry;
  EXPECT_EQ(m_transport.SetHidColsEntrySimple(first, entry), 0);
  m_log.Mark();
  EXPECT_EQ(m_transport.SetHidColsEntrySimple(second, entry), 7);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::SetHidColsEntrySimple: Found vendor output already."));
  EXPECT_EQ(std::wstring(entry.Handlers[kHandlerVendorOutput].szDevicePath), port->Path(0));
  m_transport.CloseHidDevice(first);
  m_transport.CloseHidDevice(second);
}

TEST_F(DiscoveryTest, ReportIdsZeroTakeCollectionsWithoutReportIds) {
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"00000000",
                      {hidtest::TouchScreen(0), hidtest::VendorInput(0), hidtest::VendorOutput(0)});
  m_transport.SetReportID(0, 0);
  ASSERT_EQ(m_transport.GetDeviceHandle(kVendorId, 0), 0);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
  // With the usual IDs the same collections are refused.
  EXPECT_EQ(Discover(), 0);
  EXPECT_FALSE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
  EXPECT_FALSE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
}

}  // namespace
