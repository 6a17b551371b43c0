// Paths of the transport that only a failing machine or an unusual device
// reaches: enumeration calls that fail, a role whose collection cannot be
// opened, command reports near the length bound and the feature route.
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
#include <vector>

namespace {

using hidtest::Collection;
using hidtest::Dump;
using hidtest::TestTransport;
using winsim::FaultPlan;
using winsim::FaultPoint;

bool AnyContains(const std::vector<std::string>& entries, const std::string& text) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const std::string& entry) { return entry.find(text) != std::string::npos; });
}

class FaultPathsTest : public hidtest::MachineTest {
 protected:
  int Discover() {
    m_transport.SetReportID(2, 3);
    m_log.Mark();
    return m_transport.GetDeviceHandle(kVendorId, 0);
  }
  winsim::Faults& Faults() { return m_machine->Part<winsim::Faults>(); }

  TestTransport m_transport;
};

// --- Enumeration -----------------------------------------------------------

TEST_F(FaultPathsTest, FailedDeviceSetIsLoggedAndConnectsNothing) {
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

TEST_F(FaultPathsTest, AFailedInterfaceIndexIsSkippedAndTheRestAreListed) {
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

TEST_F(FaultPathsTest, EnumerationThatKeepsFailingEndsInsteadOfLooping) {
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

// --- A role that cannot be opened ------------------------------------------

// The collection goes away between discovery's first open and the open of
// its role: the entry is refused with 65535 and the role stays free.
TEST_F(FaultPathsTest, RoleWhoseCollectionCannotBeOpenedFailsTheEntry) {
  struct Case {
    Collection collection;
    ERoleFlag flag;
    const char* pszMessage;
  };
  for (const Case& c : {Case{hidtest::VendorOutput(3), kRoleVendorOutputFound, "Can't get output handle"},
                        Case{hidtest::VendorInput(2), kRoleVendorInputFound,
                             "Can't get asynchronous read handle of Vendor input"}}) {
    SCOPED_TRACE(c.pszMessage);
    auto port = hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"12345678", {c.collection});
    m_transport.SetReportID(2, 3);
    HID_DEVICE_INFO info;
    memset(&info, 0, sizeof(info));
    ASSERT_EQ(m_transport.OpenHidDevice(port->Path(0).c_str(), info, 0, FALSE), 0);
    port->Unplug();
    CHIDCols entry;
    m_log.Mark();
    EXPECT_EQ(m_transport.SetHidColsEntrySimple(info, entry), 65535);
    EXPECT_TRUE(AnyContains(m_log.Since(), c.pszMessage)) << Dump(m_log.Since());
    EXPECT_FALSE(entry.RoleFlags[c.flag]);
    m_transport.CloseHidDevice(info);
  }
  EXPECT_EQ(m_transport.m_iOpenHidDevCnt, m_transport.m_iCloseHidDevCnt);
}

// --- Command report length bound --------------------------------------------

// One vendor output collection, report ID 3, with `dataBytes` bytes after the ID.
std::vector<uint8_t> LongOutputCollection(uint16_t dataBytes) {
  return {0x06, 0x00, 0xFF,  // usage page 0xFF00
          0x09, 0x01,        // usage 1
          0xA1, 0x01,        // application collection
          0x85, 0x03,        // report ID 3
          0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
          0x96, static_cast<uint8_t>(dataBytes & 0xFF), static_cast<uint8_t>(dataBytes >> 8),  // report count
          0x91, 0x02,  // output (data, variable)
          0xC0};
}

class LongReportTest : public FaultPathsTest {
 protected:
  std::shared_ptr<winsim::HidDevicePort> PlugWithOutputOf(uint16_t dataBytes) {
    std::vector<uint8_t> descriptor = hidtest::Descriptor({hidtest::TouchScreen(1), hidtest::VendorInput(2)});
    const std::vector<uint8_t> output = LongOutputCollection(dataBytes);
    descriptor.insert(descriptor.end(), output.begin(), output.end());
    return hidtest::PlugDescriptor(*m_machine, kVendorId, 0x0201, L"12345678", descriptor);
  }
  int Command(int nLength) {
    const std::vector<BYTE> command(static_cast<size_t>(nLength), 0x5A);
    m_log.Mark();
    return m_transport.WriteCommand(command.data(), nLength, 1000, 0);
  }
};

TEST_F(LongReportTest, ReportOf2048BytesCarriesCommands) {
  auto port = PlugWithOutputOf(2047);
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]) << Dump(m_log.Since());
  EXPECT_EQ(Command(2045), 0) << Dump(m_log.Since());
  auto model = std::dynamic_pointer_cast<winsim::RecordingHidDevice>(port->Model());
  ASSERT_EQ(model->Received().size(), 1u);
  const std::vector<uint8_t> report = model->Received().back();
  ASSERT_EQ(report.size(), 2048u);
  EXPECT_EQ(report[0], 0x03);
  EXPECT_EQ(report[2], static_cast<uint8_t>(2045 & 0xFF));
  EXPECT_EQ(report.back(), 0x5A);
  EXPECT_EQ(Command(2046), -6);
  EXPECT_TRUE(AnyContains(m_log.Since(), "nCommandLen = 2046, ReportByteLength = 2048")) << Dump(m_log.Since());
}

TEST_F(LongReportTest, LongerReportsAreRefusedWhateverTheCommand) {
  auto port = PlugWithOutputOf(2048);
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]) << Dump(m_log.Since());
  EXPECT_EQ(Command(4), -6);
  EXPECT_TRUE(AnyContains(m_log.Since(), "nCommandLen = 4, ReportByteLength = 2049")) << Dump(m_log.Since());
  auto model = std::dynamic_pointer_cast<winsim::RecordingHidDevice>(port->Model());
  EXPECT_TRUE(model->Received().empty());
}

// --- The feature route --------------------------------------------------------

// With output report ID 0x80 commands go as feature requests with a two-byte
// header; a refused request is 3 and nothing is written as an output report.
TEST_F(FaultPathsTest, ReportId80SendsCommandsAsFeatureRequests) {
  auto port = hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"12345678",
                                  {hidtest::TouchScreen(1), hidtest::VendorInput(2), hidtest::VendorOutput(0x80)});
  m_transport.SetReportID(2, 0x80);
  m_log.Mark();
  ASSERT_EQ(m_transport.GetDeviceHandle(kVendorId, 0), 0) << Dump(m_log.Since());
  ASSERT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]) << Dump(m_log.Since());
  const std::vector<BYTE> command(62, 0x11);  // 64-byte report less the two header bytes
  m_log.Mark();
  EXPECT_EQ(m_transport.WriteCommand(command.data(), 62, 1000, 0), 3);
  EXPECT_TRUE(m_log.Since().empty()) << Dump(m_log.Since());
  EXPECT_EQ(m_transport.WriteCommand(command.data(), 63, 1000, 0), -6);
  EXPECT_TRUE(AnyContains(m_log.Since(), "nCommandLen = 63, ReportByteLength = 64")) << Dump(m_log.Since());
  auto model = std::dynamic_pointer_cast<winsim::RecordingHidDevice>(port->Model());
  EXPECT_TRUE(model->Received().empty());
}

}  // namespace
