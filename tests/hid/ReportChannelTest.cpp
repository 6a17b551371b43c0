// The report channel under the operations: transfers that time out and are
// cancelled, that fail, that meet a closed handle or an unplugged device, a
// caller that is ending, and a cancelled transfer the driver never ends.
#include "HidTestSupport.h"

#include "hid/KeptTransfers.h"
#include "log/DbgLog.h"

#include <gtest/gtest.h>
#include <winsim/sim/touch_controller.h>

#include <string>
#include <vector>

namespace {

using hidtest::Bytes;
using hidtest::Dump;
using hidtest::InOrder;
using hidtest::Report;
using hidtest::StartsWith;
using winsim::ControllerFault;

class ReportChannelTest : public hidtest::ConnectedTransportTest {};

TEST_F(ReportChannelTest, UnansweredReadTimesOutAndLeavesTheHandlerUsable) {
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

TEST_F(ReportChannelTest, FailedWriteIsASystemError) {
  m_controller->SetFault(ControllerFault::kFailWrite);
  EXPECT_EQ(QueryVersion(), -6);
  const std::string entry = m_log.LastSince();
  EXPECT_TRUE(StartsWith(entry, "ERROR: WriteAsync Failue.") || StartsWith(entry, "ERROR: GetOverlappedResult is failure."))
      << Dump(m_log.Since());
  EXPECT_GT(entry.size(), std::string("ERROR: WriteAsync Failue.").size());  // the system text follows
}

TEST_F(ReportChannelTest, StuckWriteTimesOutAndIsCancelled) {
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
TEST_F(ReportChannelTest, AnEndingCallerGivesUpAHeldTransferAfterTheGrace) {
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
TEST_F(ReportChannelTest, AWriteThatOutlivesItsCancelIsGivenUpWithItsBufferKept) {
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

TEST_F(ReportChannelTest, IoAfterCloseMeetsAnInvalidHandle) {
  m_transport.Close();
  EXPECT_TRUE(m_transport.IsConnected());
  EXPECT_EQ(QueryVersion(), -6);
  EXPECT_TRUE(StartsWith(m_log.LastSince(), "ERROR: WriteAsync Failue.")) << Dump(m_log.Since());
  BYTE answer[64];
  EXPECT_EQ(m_transport.ReadData(answer, 64, 1000, 0, true), -6);
  EXPECT_TRUE(StartsWith(m_log.LastSince(), "ERROR: ReadAsync Failue.")) << Dump(m_log.Since());
  EXPECT_TRUE(m_controller->Received().empty());
}

TEST_F(ReportChannelTest, UnplugWhileAnAnswerIsAwaitedFailsTheRead) {
  m_controller->SetFault(ControllerFault::kUnplug);
  QueryVersion();
  BYTE answer[64];
  EXPECT_NE(m_transport.ReadData(answer, 64, 1000, 0, true), 0);
  EXPECT_FALSE(m_log.Since().empty());
}

}  // namespace
