// Report I/O with the simulated touch controller: the frames on the wire, the
// answers read back, and every failure path with its code and log entry.
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

using hidtest::Contains;
using hidtest::Dump;
using hidtest::InOrder;
using winsim::ControllerFault;

using hidtest::Bytes;
using hidtest::g_received;
using hidtest::g_sent;
using hidtest::RecordReceived;
using hidtest::RecordSent;

// A whole output report: the given leading bytes, then zeros.
Bytes Report(Bytes leading) {
  leading.resize(winsim::kVendorReportBytes, 0);
  return leading;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class ReportIoTest : public hidtest::ConnectedTransportTest {
 protected:
  Bytes LastReceivedByController() {
    const auto received = m_controller->Received();
    return received.empty() ? Bytes{} : received.back();
  }
  int Command(Bytes command) {
    command.reserve(1);  // a valid buffer also for an empty command
    return m_transport.WriteCommand(command.data(), static_cast<int>(command.size()), 1000, 0);
  }
  int QueryVersion() { return Command({0x53, 0x00, 0x00, 0x01}); }
};

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

TEST_F(ReportIoTest, UnansweredReadTimesOutAndLeavesTheHandlerUsable) {
  m_controller->SetFault(ControllerFault::kMute);
  ASSERT_EQ(QueryVersion(), 0);
  BYTE answer[64] = {};
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), 3);
  EXPECT_EQ(m_log.LastSince(), "ERR: Read Data Wait timeout.");
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Read Data Wait timeout.\r\n");

  // The cancelled read took nothing: the next answer goes to the next read.
  m_controller->SetFault(ControllerFault::kNone);
  ASSERT_EQ(QueryVersion(), 0);
  ASSERT_EQ(m_transport.ReadData(answer, 4, 1000, 0, true), 0);
  EXPECT_EQ(Bytes(answer, answer + 4), (Bytes{0x52, 0x01, 0x20, 0x30}));
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

TEST_F(ReportIoTest, FailedWriteIsASystemError) {
  m_controller->SetFault(ControllerFault::kFailWrite);
  EXPECT_EQ(QueryVersion(), -6);
  const std::string entry = m_log.LastSince();
  EXPECT_TRUE(StartsWith(entry, "ERROR: WriteAsync Failue.") || StartsWith(entry, "ERROR: GetOverlappedResult is failure."))
      << Dump(m_log.Since());
  EXPECT_GT(entry.size(), std::string("ERROR: WriteAsync Failue.").size());  // the system text follows
}

TEST_F(ReportIoTest, StuckWriteTimesOutAndIsCancelled) {
  m_controller->SetFault(ControllerFault::kStuckWrite);
  EXPECT_EQ(QueryVersion(), 3);
  EXPECT_EQ(m_log.LastSince(), "ERR: Write Data Wait timeout.");
  m_controller->SetFault(ControllerFault::kNone);
  ASSERT_EQ(Command({0xF0, 0x02, 0x00, 0x00}), 0);
  EXPECT_EQ(LastReceivedByController(), Report({0x03, 0x00, 0x04, 0xF0, 0x02, 0x00, 0x00}));
}

// Once the caller's ending event is signalled, a write or read the device
// holds is cancelled after the grace instead of waiting out its time-out,
// and says so; a write the device takes at once still goes. An ending event
// that cannot be waited on leaves the time-out as it was.
TEST_F(ReportIoTest, AnEndingCallerGivesUpAHeldTransferAfterTheGrace) {
  HANDLE hEnding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_transport.SetEndingEvent(hEnding, 100);
  m_controller->SetFault(ControllerFault::kStuckWrite);
  EXPECT_EQ(QueryVersion(), 3);
  EXPECT_EQ(m_log.LastSince(), "ERR: Write Data Wait timeout.");

  SetEvent(hEnding);
  EXPECT_EQ(QueryVersion(), 3);
  EXPECT_EQ(m_log.LastSince(), "ERR: Transfer cancelled: the caller is ending.");
  m_controller->SetFault(ControllerFault::kMute);
  ASSERT_EQ(QueryVersion(), 0);
  BYTE answer[64] = {};
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), 3);
  EXPECT_EQ(m_log.LastSince(), "ERR: Transfer cancelled: the caller is ending.");

  CloseHandle(hEnding);
  m_controller->SetFault(ControllerFault::kStuckWrite);
  EXPECT_EQ(QueryVersion(), 3);
  EXPECT_EQ(m_log.LastSince(), "ERR: Write Data Wait timeout.");
  m_transport.SetEndingEvent(nullptr, 0);
}

// A write whose cancel the driver ignores is given up 1 s after the cancel:
// its buffer is kept (a line says so), the connection dropped, the transfer
// failed as a time-out. A kept buffer goes once its transfer has ended
// (looked at by the next connection); past 16 kept, no transfer starts.
TEST_F(ReportIoTest, AWriteThatOutlivesItsCancelIsGivenUpWithItsBufferKept) {
  const std::string kKept =
      "CHIDWinGet::WriteAsyncWaitComplete: The transfer has not ended 1000 ms after its cancel: its report buffer is "
      "kept until it does.";
  winsim::Clock& clock = m_machine->clock();
  m_controller->SetHang(true);
  const uint64_t ullStart = clock.NowMs();
  EXPECT_EQ(QueryVersion(), 3);
  EXPECT_GE(clock.NowMs() - ullStart, 2000u);
  EXPECT_TRUE(InOrder(m_log.Since(), {kKept, "ERR: Write Data Wait timeout."})) << Dump(m_log.Since());
  EXPECT_EQ(m_transport.KeptTransferCount(), 1);
  EXPECT_EQ(QueryVersion(), -6);  // the dropped connection's handle is closed
  for (int nKept = 2; nKept <= CKeptTransfers::kMaxKept; ++nKept) {
    ASSERT_EQ(m_transport.GetDeviceHandle(kVendorId, 0), 0);
    EXPECT_EQ(QueryVersion(), 3);
    EXPECT_EQ(m_transport.KeptTransferCount(), nKept);
  }
  ASSERT_EQ(m_transport.GetDeviceHandle(kVendorId, 0), 0);
  m_log.Mark();
  EXPECT_EQ(QueryVersion(), -6);
  EXPECT_EQ(m_log.Since(), std::vector<std::string>{"ERR: 16 transfers given up on are still pending: no new transfer."});

  m_controller->SetHang(false);  // the held writes end at last, as cancelled
  ASSERT_EQ(m_transport.GetDeviceHandle(kVendorId, 0), 0);
  EXPECT_EQ(m_transport.KeptTransferCount(), 0);
  ASSERT_EQ(QueryVersion(), 0);
  BYTE answer[64] = {};
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), 0);
  EXPECT_TRUE(m_controller->Received().size() == 1);
}

TEST_F(ReportIoTest, IoAfterCloseMeetsAnInvalidHandle) {
  m_transport.Close();
  EXPECT_TRUE(m_transport.IsConnected());
  EXPECT_EQ(QueryVersion(), -6);
  EXPECT_TRUE(StartsWith(m_log.LastSince(), "ERROR: WriteAsync Failue.")) << Dump(m_log.Since());
  BYTE answer[64];
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), -6);
  EXPECT_TRUE(StartsWith(m_log.LastSince(), "ERROR: ReadAsync Failue.")) << Dump(m_log.Since());
  EXPECT_TRUE(m_controller->Received().empty());
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

TEST_F(ReportIoTest, UnplugWhileAnAnswerIsAwaitedFailsTheRead) {
  m_controller->SetFault(ControllerFault::kUnplug);
  QueryVersion();
  BYTE answer[64];
  EXPECT_NE(m_transport.ReadData(answer, 64, 1000, 0, true), 0);
  EXPECT_FALSE(m_log.Since().empty());
}

}  // namespace
