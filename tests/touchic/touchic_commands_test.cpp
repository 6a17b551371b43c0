// The controller commands, the firmware answer and the bridge frames, over a
// scripted transport.
#include <gtest/gtest.h>

#include "FakeInterface.h"
#include "log/DbgLog.h"

#include "hid/VendorIds.h"
#include "touchic/TouchIC.h"

namespace {

using Bytes = std::vector<BYTE>;

class TouchICCommands : public FakeTransportTest {
 protected:
  void SetUp() override { ASSERT_EQ(touch.Connect(kVendorId, 0), 0); }
};

TEST_F(TouchICCommands, TransportFailuresComeBackUnchanged) {
  touch.fake().m_nWriteResult = 3;
  EXPECT_EQ(touch.ICSleep(), 3);
  touch.fake().m_nWriteResult = -6;
  EXPECT_EQ(touch.SWSetSystemInfo(1), -6);
}

TEST_F(TouchICCommands, ClosedControllerRefusesEveryCommand) {
  ASSERT_EQ(touch.Disconnect(), 0);
  sent.commands.clear();
  DWORD dwVersion = 0x1111;
  EXPECT_EQ(touch.SWSetSystemInfo(1), 4100);
  EXPECT_EQ(touch.ICSleep(), 4100);
  EXPECT_EQ(touch.ICWake(), 4100);
  EXPECT_EQ(touch.ICReset(), 4100);
  EXPECT_EQ(touch.GetDeviceData(nullptr, 4), 4100);
  EXPECT_EQ(touch.SendDeviceBridgeCmd(0x11, 0, 0, 0, 0), 4100);
  EXPECT_EQ(touch.GetDeviceFWVer(dwVersion), 4100);
  EXPECT_EQ(dwVersion, 0x1111u);
  EXPECT_TRUE(m_echo.Has("FW VER.: 0x1111."));
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Device is not connected.\r\n");
  EXPECT_TRUE(sent.commands.empty());
  EXPECT_TRUE(sent.frames.empty());
  EXPECT_TRUE(sent.readLengths.empty());
}

struct FwCase {
  Bytes answer;
  int nResult;
  DWORD dwVersion;  // what the caller holds afterwards, starting from 0xABCD
};

TEST_F(TouchICCommands, FirmwareAnswersAreCheckedAndDecoded) {
  const FwCase cases[] = {
      {{0x52, 0x01, 0x23, 0x40}, 0, 0x1234},
      {{0x52, 0x0F, 0xFF, 0xF0}, 0, 0xFFFF},
      {{0x52, 0x00, 0x00, 0x0F}, 0, 0x0000},  // low nibble of byte 3 is ignored
      {{0x53, 0x01, 0x23, 0x40}, 5, 0xABCD},  // not an answer
      {{0x52, 0x10, 0x00, 0x00}, 5, 0xABCD},  // byte 1 above 0x0F
  };
  for (const FwCase& c : cases) {
    touch.fake().m_answer = c.answer;
    DWORD dwVersion = 0xABCD;
    EXPECT_EQ(touch.GetDeviceFWVer(dwVersion), c.nResult);
    EXPECT_EQ(dwVersion, c.dwVersion);
    char szTrace[32];
    snprintf(szTrace, sizeof(szTrace), "FW VER.: 0x%04x.", (unsigned)c.dwVersion);
    EXPECT_EQ(m_echo.Traces().back(), szTrace);
  }
  for (const Bytes& command : sent.commands) EXPECT_EQ(command, (Bytes{0x53, 0x00, 0x00, 0x01}));
  // The whole receive buffer is offered, so the transport can refuse what does not fit.
  for (int nLen : sent.readLengths) EXPECT_EQ(nLen, CTouchIC::kRecvBufSize);
}

TEST_F(TouchICCommands, FirmwareQueryStopsAtTheFirstFailure) {
  DWORD dwVersion = 7;
  touch.fake().m_nWriteResult = 3;
  EXPECT_EQ(touch.GetFwVerEx(dwVersion), 3);
  EXPECT_TRUE(sent.readLengths.empty());
  EXPECT_TRUE(m_echo.Has("FW VER.: 0x0007."));

  touch.fake().m_nWriteResult = 0;
  touch.fake().m_nReadResult = -6;
  EXPECT_EQ(touch.GetFwVerEx(dwVersion), -6);
  EXPECT_EQ(dwVersion, 7u);
}

struct LevelCase {
  int nDvdd, nVio;
  Bytes first, second;  // the two level frames of the power-on sequence
};

TEST_F(TouchICCommands, VoltageCodesSetTheirLevelBits) {
  const LevelCase cases[] = {
      {50, 50, {0x03, 0x12, 0x00, 0x00, 0x00, 0x40}, {0x03, 0x12, 0x00, 0x00, 0x00, 0x41}},
      {33, 33, {0x03, 0x12, 0x00, 0x00, 0x00, 0x80}, {0x03, 0x12, 0x00, 0x00, 0x00, 0x82}},
      {30, 28, {0x03, 0x12, 0x00, 0x02, 0x00, 0x00}, {0x03, 0x12, 0x00, 0x02, 0x00, 0x08}},
      {28, 30, {0x03, 0x12, 0x00, 0x04, 0x00, 0x00}, {0x03, 0x12, 0x00, 0x04, 0x00, 0x04}},
      {18, -1, {0x03, 0x12, 0x00, 0x08, 0x00, 0x00}, {0x03, 0x12, 0x00, 0x08, 0x00, 0x10}},
  };
  for (const LevelCase& c : cases) {
    sent.frames.clear();
    touch.SetBridgeLevels(c.nDvdd, c.nVio);
    EXPECT_EQ(touch.BridgePowerOn(), 0);
    ASSERT_EQ(sent.frames.size(), 4u);
    EXPECT_EQ(sent.frames[0], c.first) << c.nDvdd << "/" << c.nVio;
    EXPECT_EQ(sent.frames[1], c.second) << c.nDvdd << "/" << c.nVio;
  }
}

TEST_F(TouchICCommands, BridgeParametersTravelAsTheirLowByte) {
  touch.SetBridgeParams(0x120, 0x1FF);
  touch.BridgePowerOn();
  ASSERT_EQ(sent.frames.size(), 4u);
  EXPECT_EQ(sent.frames[2], (Bytes{0x03, 0x02, 0x20, 0x00, 0x00, 0x00}));
  EXPECT_EQ(sent.frames[3], (Bytes{0x03, 0x01, 0xFF, 0x00, 0x00, 0x00}));
}

TEST_F(TouchICCommands, BridgeFramesCarryTheOutputReportId) {
  FakeTransportLog other;
  CTouchICWithFake bridged(other);
  bridged.fake().m_nPid = 0x000B;
  ASSERT_EQ(bridged.Connect(kVendorId, 0), 0);
  EXPECT_EQ(bridged.SendDeviceBridgeCmd(0x11, 1, 2, 3, 4), 0);
  EXPECT_EQ(other.frames, (std::vector<Bytes>{{0x00, 0x11, 1, 2, 3, 4}}));
}

TEST_F(TouchICCommands, PowerOffReturnsTheLastFrameResult) {
  touch.fake().m_frameResults = {3, 3, 3, 0};
  EXPECT_EQ(touch.BridgePowerOff(), 0);
  touch.fake().m_frameResults = {0, 0, 0, -6};
  EXPECT_EQ(touch.BridgePowerOff(), -6);
  EXPECT_EQ(sent.frames.size(), 8u);
}

}  // namespace
