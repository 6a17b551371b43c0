// Report I/O with the simulated touch controller: the frames on the wire, the
// answers read back and checked, command reports near the length bound and
// the feature route, each refusal with its code and log entry.
#include "HidDescriptors.h"
#include "HidTestSupport.h"

#include "hid/VendorIds.h"
#include "log/DbgLog.h"

#include <gtest/gtest.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using hidtest::AnyContains;
using hidtest::Contains;
using hidtest::Dump;
using hidtest::InOrder;
using hidtest::Report;
using hidtest::StartsWith;
using winsim::ControllerFault;

using hidtest::Bytes;
using hidtest::g_received;
using hidtest::g_sent;
using hidtest::RecordReceived;
using hidtest::RecordSent;

class ReportIoTest : public hidtest::ConnectedTransportTest {};

// Behind a polling minidriver, where a short report reaches the reader.
class PolledReportIoTest : public ReportIoTest {
 protected:
  PolledReportIoTest() { m_config.polled = true; }
};

TEST_F(ReportIoTest, WriteCommandFramesOneWholeReport) {
  ASSERT_EQ(Command({0xF0, 0x02, 0x00, 0x01}), 0);
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x00, 0x04, 0xF0, 0x02, 0x00, 0x01}));
  EXPECT_TRUE(m_controller->State().wakeOnTouch);

  ASSERT_EQ(Command({}), 0);  // header only
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x00, 0x00}));

  Bytes longest(61, 0xAB);  // fills the report exactly
  ASSERT_EQ(Command(longest), 0);
  Bytes expected = {0x03, 0x00, 61};
  expected.insert(expected.end(), longest.begin(), longest.end());
  EXPECT_EQ(LastReceivedByController(), expected);
  EXPECT_TRUE(m_log.Since().empty()) << Dump(m_log.Since());
}

TEST_F(ReportIoTest, FixedCommandLengthAlwaysSaysSix) {
  m_transport.SetFixedCmdLen(1);
  ASSERT_EQ(Command({0xF0, 0x02, 0x00, 0x00}), 0);
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x00, 0x06, 0xF0, 0x02, 0x00, 0x00}));
  ASSERT_EQ(Command({}), 0);
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x00, 0x06}));
}

TEST_F(ReportIoTest, WriteCommandRefusesWhatDoesNotFit) {
  const std::vector<BYTE> command(62, 0x11);
  EXPECT_EQ(m_transport.WriteCommand(command.data(), 62, 1000, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : nCommandLen = 62, ReportByteLength = 64");
  EXPECT_EQ(m_transport.WriteCommand(command.data(), -1, 1000, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : nCommandLen = -1, ReportByteLength = 64");
  EXPECT_EQ(m_transport.WriteCommand(nullptr, 4, 1000, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : pszCommandBuf = NULL");
  EXPECT_TRUE(m_controller->Received().empty());
}

TEST_F(ReportIoTest, WriteRawBytesNeverSendsTheCallersFirstByte) {
  const Bytes frame = {0xAA, 0x12, 0x00, 0x00, 0x00, 0x80};
  ASSERT_EQ(m_transport.WriteRawBytes(frame.data(), 6, 5000, 0), 0);
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x12, 0x00, 0x00, 0x00, 0x80}));

  const Bytes whole(64, 0x5C);  // the whole report length is allowed here
  ASSERT_EQ(m_transport.WriteRawBytes(whole.data(), 64, 5000, 0), 0);
  Bytes expected = whole;
  expected[0] = 0x03;
  EXPECT_EQ(LastReceivedByController(), expected);

  const Bytes tooLong(65, 0x5C);
  EXPECT_EQ(m_transport.WriteRawBytes(tooLong.data(), 65, 5000, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : nCommandLen = 65, ReportByteLength = 64");
}

TEST_F(ReportIoTest, EepromCommandFramesPerMode) {
  const Bytes data = {0xDE, 0xAD, 0xBE};
  ASSERT_EQ(m_transport.WriteEEPROMCommand(0, data.data(), 3, 1000, 0), 0);
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x17, 0x00, 0x03, 0xDE, 0xAD, 0xBE}));
  ASSERT_EQ(m_transport.WriteEEPROMCommand(1, data.data(), 3, 1000, 0), 0);
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x17, 0x01, 0x03}));
  ASSERT_EQ(m_transport.WriteEEPROMCommand(2, nullptr, 3, 1000, 0), 0);
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x17}));

  EXPECT_EQ(m_transport.WriteEEPROMCommand(0, nullptr, 3, 1000, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : pszBuf = NULL");
  const Bytes big(61, 0x01);
  EXPECT_EQ(m_transport.WriteEEPROMCommand(0, big.data(), 61, 1000, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : Size = 61, ReportByteLength = 64");
  EXPECT_EQ(m_transport.WriteEEPROMCommand(0, big.data(), 60, 1000, 0), 0);
}

TEST_F(ReportIoTest, VersionQueryIsAnsweredAndStrippedToTheCallersLength) {
  m_transport.m_pfnSendHook = RecordSent;
  m_transport.m_pfnRecvHook = RecordReceived;
  ASSERT_EQ(QueryVersion(), 0);
  BYTE answer[8];
  std::fill(std::begin(answer), std::end(answer), 0xEE);
  ASSERT_EQ(m_transport.ReadData(answer, 4, 1000, 0, true), 0) << Dump(m_log.Since());
  // 0x1203 answers 0x52 0x01 0x20 0x30 after the report ID and a length byte.
  EXPECT_EQ(Bytes(answer, answer + 5), (Bytes{0x52, 0x01, 0x20, 0x30, 0xEE}));
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0], Report({0x03, 0x00, 0x04, 0x53, 0x00, 0x00, 0x01}));
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0], Report({0x02, 0x04, 0x52, 0x01, 0x20, 0x30}));
  EXPECT_TRUE(m_log.Since().empty()) << Dump(m_log.Since());
}

TEST_F(ReportIoTest, ReadDataWithoutStrippingCopiesTheWholeReport) {
  ASSERT_EQ(QueryVersion(), 0);
  BYTE answer[64];
  ASSERT_EQ(m_transport.ReadData(answer, 64, 1000, 0, false), 0);
  EXPECT_EQ(Bytes(answer, answer + 64), Report({0x02, 0x04, 0x52, 0x01, 0x20, 0x30}));

  ASSERT_EQ(QueryVersion(), 0);
  BYTE raw[6];
  ASSERT_EQ(m_transport.ReadRawBytes(raw, 6, 1000, 0), 0);
  EXPECT_EQ(Bytes(raw, raw + 6), (Bytes{0x02, 0x04, 0x52, 0x01, 0x20, 0x30}));
}

TEST_F(ReportIoTest, ReadBuffersAreChecked) {
  BYTE answer[64];
  EXPECT_EQ(m_transport.ReadData(nullptr, 64, 1000, 0, true), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error: pRcvBuf is not valid.");
  EXPECT_EQ(m_transport.ReadData(answer, -1, 1000, 0, true), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error: nRcvLen is too small.");
  EXPECT_EQ(m_transport.ReadRawBytes(answer, 65, 1000, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : nRcvLen = 65, ReportByteLength = 64");
  EXPECT_EQ(m_transport.ReadRawBytes(nullptr, 4, 1000, 0), -6);
}

// The class driver drops the short answer of a device it reads.
TEST_F(ReportIoTest, ShortAnswerNeverArrives) {
  m_controller->SetFault(ControllerFault::kShortReport);
  ASSERT_EQ(QueryVersion(), 0);
  BYTE answer[64];
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), 3);
  EXPECT_EQ(m_log.LastSince(), "ERR: Read Data Wait timeout.");
}

TEST_F(PolledReportIoTest, ShortAnswerIsRefused) {
  m_controller->SetFault(ControllerFault::kShortReport);
  ASSERT_EQ(QueryVersion(), 0);
  BYTE answer[64];
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), -6);
  const std::string entry = m_log.LastSince();
  EXPECT_TRUE(StartsWith(entry, "ERR: Only ")) << entry;
  EXPECT_NE(entry.find(" bytes return. Total should be 64 bytes."), std::string::npos) << entry;
}

TEST_F(ReportIoTest, ForeignReportIsDroppedWithoutRetry) {
  m_controller->SetFault(ControllerFault::kWrongReport);
  ASSERT_EQ(QueryVersion(), 0);
  BYTE answer[64];
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Got Wrong Report. Discare or do something...");
}

// No memory for a transfer's report: the write and the read fail with a
// logged error and nothing reaches the wire; the next ones work.
TEST_F(ReportIoTest, AReportWithoutMemoryFailsTheTransfer) {
  winsim::Faults& faults = m_machine->Part<winsim::Faults>();
  winsim::FaultPlan plan;
  plan.error = ERROR_NOT_ENOUGH_MEMORY;
  plan.subject = L"new";
  faults.Arm(winsim::FaultPoint::kHeapAlloc, plan);
  EXPECT_EQ(QueryVersion(), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: No memory for the report.");
  EXPECT_TRUE(m_controller->Received().empty());
  ASSERT_EQ(QueryVersion(), 0);
  faults.Arm(winsim::FaultPoint::kHeapAlloc, plan);
  BYTE answer[64];
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: No memory for the report.");
  ASSERT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), 0) << "the answer waits for the next read";
  EXPECT_EQ(answer[0], 0x52);
  EXPECT_EQ(faults.Hits(winsim::FaultPoint::kHeapAlloc), 2u);
}

TEST_F(ReportIoTest, IndicesOutsideTheListAreRefused) {
  const BYTE command[4] = {0xF0, 0x02, 0x00, 0x01};
  BYTE answer[64];
  for (int nDevIdx : {1, -1}) {
    m_log.Mark();
    EXPECT_EQ(m_transport.WriteCommand(command, 4, 1000, nDevIdx), -6);
    EXPECT_EQ(m_transport.WriteRawBytes(command, 4, 1000, nDevIdx), -6);
    EXPECT_EQ(m_transport.WriteEEPROMCommand(0, command, 4, 1000, nDevIdx), -6);
    EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, nDevIdx, true), -6);
    EXPECT_EQ(m_transport.ReadRawBytes(answer, 4, 1000, nDevIdx), -6);
    const std::vector<std::string> expected = {
        "ERR: No valid PREPORT_HANDLER", "ERR: No valid PREPORT_HANDLER", "ERR: No valid PREPORT_HANDLER",
        "ERR: Parameters Error - nDevIdx is not exist.", "ERR: Parameters Error - nDevIdx is not exist."};
    EXPECT_EQ(m_log.Since(), expected) << Dump(m_log.Since());
  }
  EXPECT_TRUE(m_controller->Received().empty());
}

// --- Command reports near the length bound, and the feature route ---------

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

class LongReportTest : public hidtest::TransportTest {
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

// With output report ID 0x80 commands go as feature requests with a two-byte
// header; a refused request is 3 and nothing is written as an output report.
TEST_F(LongReportTest, ReportId80SendsCommandsAsFeatureRequests) {
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
