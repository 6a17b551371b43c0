// The controller layer over the real HID transport against the simulated
// controller: the reports on the wire, the firmware answers, the bridge
// sequences and the facade.
#include <gtest/gtest.h>

#include <winsim/sim/timer.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>

#include "log/DbgLog.h"
#include "simkit/Machine.h"
#include "tests/support/CommandReport.h"

#include "hid/VendorIds.h"
#include "touchic/TouchIC.h"
#include "touchic/VornApi.h"

namespace {

using Bytes = std::vector<uint8_t>;
using winsim::ControllerAction;
using winsim::ControllerFault;
using vorntest::CommandReport;

class TouchICWire : public ::testing::Test {
 protected:
  winsim::TouchController& Controller() { return *winsim::TouchControllers(*m_machine).at(0); }

  simkit::VirtualMachine m_machine;
  simkit::EchoCapture m_echo;
  CTouchIC touch;
};

TEST_F(TouchICWire, CommandsReachTheControllerAsFramedReports) {
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  EXPECT_EQ(touch.SWSetSystemInfo(1), 0);
  EXPECT_EQ(touch.SWSetSystemInfo(0x100), 0);  // only the low byte travels
  EXPECT_EQ(touch.ICSleep(), 0);
  EXPECT_EQ(touch.ICWake(), 0);
  EXPECT_EQ(touch.ICReset(), 0);
  EXPECT_EQ(touch.Disconnect(), 0);

  EXPECT_EQ(Controller().Received(),
            (std::vector<Bytes>{CommandReport({0xF0, 0x02, 0x00, 0x01}), CommandReport({0xF0, 0x02, 0x00, 0x00}),
                                CommandReport({0x54, 0x50, 0x00, 0x01}), CommandReport({0x54, 0x58, 0x00, 0x01}),
                                CommandReport({0x77, 0x77, 0x77, 0x77})}));
  EXPECT_EQ(Controller().State().actions,
            (std::vector<ControllerAction>{ControllerAction::kWakeOnTouchOn, ControllerAction::kWakeOnTouchOff,
                                           ControllerAction::kSleep, ControllerAction::kWake,
                                           ControllerAction::kReset}));
}

TEST_F(TouchICWire, FirmwareVersionIsReadBack) {
  Controller().SetFirmwareVersion(0x0A5C);
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  DWORD dwVersion = 0;
  EXPECT_EQ(touch.GetFwVerEx(dwVersion), 0);
  EXPECT_EQ(dwVersion, 0x0A5Cu);
  EXPECT_EQ(Controller().Received(), (std::vector<Bytes>{CommandReport({0x53, 0x00, 0x00, 0x01})}));
  EXPECT_TRUE(m_echo.Has("FW VER.: 0x0a5c."));
}

struct FaultCase {
  ControllerFault fault;
  int nResult;
  const char* pszLastError;
};

TEST_F(TouchICWire, FaultyControllerFailsTheFirmwareQuery) {
  const FaultCase cases[] = {
      {ControllerFault::kMute, 3, "[ERR]Read Data Wait timeout.\r\n"},
      {ControllerFault::kWrongReport, -6, "[ERR]Got Wrong Report. Discare or do something...\r\n"},
      {ControllerFault::kStuckWrite, 3, "[ERR]Write Data Wait timeout.\r\n"},
  };
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  for (const FaultCase& c : cases) {
    Controller().SetFault(c.fault);
    DWORD dwVersion = 0x55AA;
    EXPECT_EQ(touch.GetFwVerEx(dwVersion), c.nResult) << winsim::FaultName(c.fault);
    EXPECT_EQ(dwVersion, 0x55AAu);
    EXPECT_STREQ(DbgLogLastError(), c.pszLastError);
  }
}

TEST_F(TouchICWire, PoweredBridgeIsPoweredOnConnectAndOffOnDisconnect) {
  Controller().Detach();
  auto bridge = winsim::AttachTouchController(*m_machine, {.productId = winsim::kBridgePowerProductId});
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  EXPECT_TRUE(bridge->State().bridge.poweredOn);
  EXPECT_EQ(bridge->State().bridge.frames, (std::vector<Bytes>{{0x03, 0x12, 0x00, 0x00, 0x00, 0x80},
                                                               {0x03, 0x12, 0x00, 0x00, 0x00, 0x82},
                                                               {0x03, 0x02, 0x20, 0x00, 0x00, 0x00},
                                                               {0x03, 0x01, 0x3F, 0x00, 0x00, 0x00}}));
  ASSERT_EQ(touch.Disconnect(), 0);
  auto frames = bridge->State().bridge.frames;
  frames.erase(frames.begin(), frames.begin() + 4);
  EXPECT_EQ(frames, (std::vector<Bytes>{{0x03, 0x12, 0x00, 0x00, 0x00, 0xA0},
                                        {0x03, 0x12, 0x00, 0x00, 0x00, 0x20},
                                        {0x03, 0x12, 0x00, 0x00, 0x00, 0x00},
                                        {0x03, 0x11, 0x00, 0x00, 0x00, 0x00}}));
  EXPECT_FALSE(bridge->State().bridge.poweredOn);
}

TEST_F(TouchICWire, QueriesDescribeTheOpenController) {
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  EXPECT_EQ(touch.GetDeviceCount(), 1);
  WCHAR szPath[260] = {};
  EXPECT_EQ(touch.GetDevPath(0, szPath, 260), 0);
  EXPECT_NE(std::wstring(szPath).find(L"vorn"), std::wstring::npos);
  ASSERT_EQ(touch.Disconnect(), 0);
  EXPECT_EQ(touch.GetDeviceCount(), 0);
}

// The facade drives the controller object it was handed.
TEST_F(TouchICWire, FacadeHoldsTheTimerResolutionWhileConnected) {
  auto& timer = m_machine->Part<winsim::TimerResolution>();
  VORNAPI::SetTouchIC(&touch);
  ASSERT_EQ(VORNAPI::Connect(kVendorId, 0), 0);
  EXPECT_TRUE(m_echo.Has("Connect\n"));
  EXPECT_EQ(timer.Active(1), 1);
  EXPECT_EQ(VORNAPI::SWSetSystemInfo(1), 0);
  EXPECT_EQ(VORNAPI::Disconnect(), 0);
  EXPECT_TRUE(m_echo.Has("Disconnect\n"));
  EXPECT_EQ(timer.Active(1), 0);
  EXPECT_EQ(Controller().Received(), (std::vector<Bytes>{CommandReport({0xF0, 0x02, 0x00, 0x01})}));

  Controller().Detach();
  EXPECT_EQ(VORNAPI::Connect(kVendorId, 0), 4100);
  EXPECT_EQ(VORNAPI::Disconnect(), 0);
  EXPECT_EQ(timer.Active(1), 0);
  VORNAPI::SetTouchIC(nullptr);
}

// Before a controller object is handed in (or after it is taken back) every
// call fails with a logged error, requests no timer resolution and reaches no
// device.
TEST_F(TouchICWire, FacadeWithoutAControllerObjectFailsEveryCall) {
  auto& timer = m_machine->Part<winsim::TimerResolution>();
  m_machine.Log().Mark();
  WCHAR szPath[8] = L"keep";
  EXPECT_EQ(VORNAPI::Connect(kVendorId, 0), -6);
  EXPECT_EQ(timer.Active(1), 0);
  EXPECT_EQ(VORNAPI::GetDeviceCount(), 0);
  EXPECT_EQ(VORNAPI::GetDevPath(0, szPath, sizeof(szPath)), -6);
  EXPECT_EQ(VORNAPI::SWSetSystemInfo(1), -6);
  VORNAPI::SetEndingEvent(nullptr);
  VORNAPI::SetCancelEvent(nullptr);
  EXPECT_EQ(VORNAPI::Disconnect(), -6);
  EXPECT_STREQ(szPath, L"keep");
  EXPECT_STREQ(DbgLogLastError(), "[ERR]No controller object.\r\n");
  const auto entries = m_machine.Log().Since();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "ERR: No controller object."), 7);
  EXPECT_TRUE(Controller().Received().empty());
}

}  // namespace
