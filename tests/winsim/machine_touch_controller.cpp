// The touch controller model: the answer to the firmware query written and
// read through CreateFileW/WriteFile/ReadFile, the commands it takes and
// remembers, the bridge frames, the observer and the fault knobs.
#include "hid_machine.h"

using namespace hidmachine;
using winsim::ControllerAction;
using winsim::ControllerEvent;
using winsim::ControllerFault;
using winsim::TouchController;

namespace {

const std::vector<BYTE> kVersionQuery = CommandReport({0x53, 0x00, 0x00, 0x01});

// The controller of a machine with its vendor collections opened as the
// product opens them: overlapped, read-only input and write-only output.
class ControllerTest : public testing::Test {
 protected:
  explicit ControllerTest(const std::string& config = "")
      : m_machine({.controller = config}),
        m_controller(winsim::TouchControllers(*m_machine).at(0)),
        m_input(Open(m_controller->Path(TouchController::kVendorInput), GENERIC_READ)),
        m_output(Open(m_controller->Path(TouchController::kVendorOutput), GENERIC_WRITE)) {}

  DWORD Write(const std::vector<BYTE>& report) { return WriteReport(m_output.Get(), report); }

  VirtualMachine m_machine;
  std::shared_ptr<TouchController> m_controller;
  Handle m_input, m_output;
};

}  // namespace

TEST_F(ControllerTest, AnswersTheFirmwareQueryAsTheProductExpectsIt) {
  std::vector<ControllerEvent> events;
  m_controller->SetObserver([&](const ControllerEvent& event) { events.push_back(event); });
  ASSERT_EQ(Write(kVersionQuery), (DWORD)ERROR_SUCCESS);
  Transfer read;
  if (read.StartRead(m_input.Get())) {
    ASSERT_EQ(read.Finish(m_input.Get()), (DWORD)ERROR_SUCCESS);
  }
  std::vector<BYTE> expected(64, 0);
  expected[0] = 0x02;
  expected[1] = 0x04;
  expected[2] = 0x52;
  expected[3] = 0x01;  // firmware 0x1203
  expected[4] = 0x20;
  expected[5] = 0x30;
  EXPECT_EQ(read.bytes, 64u);
  EXPECT_EQ(read.buffer, expected);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, ControllerEvent::Kind::kReportOut);
  EXPECT_EQ(events[0].bytes, kVersionQuery);
  EXPECT_EQ(events[1].action, ControllerAction::kVersionQuery);
  EXPECT_EQ(events[2].kind, ControllerEvent::Kind::kReportIn);
  EXPECT_EQ(events[2].bytes, expected);
}

TEST_F(ControllerTest, TakesAndRemembersItsCommands) {
  for (const auto& command : {CommandReport({0xF0, 0x02, 0x00, 0x01}), CommandReport({0x54, 0x50, 0x00, 0x01})})
    ASSERT_EQ(Write(command), (DWORD)ERROR_SUCCESS);
  auto state = m_controller->State();
  EXPECT_TRUE(state.wakeOnTouch);
  EXPECT_TRUE(state.sleeping);
  for (const auto& command : {CommandReport({0x54, 0x58, 0x00, 0x01}), CommandReport({0xF0, 0x02, 0x00, 0x00}),
                              CommandReport({0x77, 0x77, 0x77, 0x77})})
    ASSERT_EQ(Write(command), (DWORD)ERROR_SUCCESS);
  state = m_controller->State();
  EXPECT_FALSE(state.wakeOnTouch);
  EXPECT_FALSE(state.sleeping);
  EXPECT_EQ(state.resets, 1u);
  const std::vector<ControllerAction> expected = {ControllerAction::kWakeOnTouchOn, ControllerAction::kSleep,
                                                  ControllerAction::kWake, ControllerAction::kWakeOnTouchOff,
                                                  ControllerAction::kReset};
  EXPECT_EQ(state.actions, expected);
  EXPECT_EQ(m_controller->Received().size(), 5u);
  EXPECT_EQ(winsim::ActionName(ControllerAction::kWakeOnTouchOn), "wake-on-touch on");
  EXPECT_EQ(winsim::ActionName(ControllerAction::kVersionQuery), "version query");
}

TEST_F(ControllerTest, FixedLengthCommandsAreTaken) {
  ASSERT_EQ(Write(CommandReport({0xF0, 0x02, 0x00, 0x01}, 6)), (DWORD)ERROR_SUCCESS);
  EXPECT_TRUE(m_controller->State().wakeOnTouch);
  ASSERT_EQ(Write(CommandReport({0x53, 0x00, 0x00, 0x01}, 6)), (DWORD)ERROR_SUCCESS);
  Transfer read;
  if (read.StartRead(m_input.Get())) read.Finish(m_input.Get());
  EXPECT_EQ(read.buffer[2], 0x52);
}

TEST_F(ControllerTest, MalformedCommandsAreRecordedAndNotAnswered) {
  for (const auto& report : {CommandReport({0x53, 0x00, 0x00, 0x02}), CommandReport({0x53, 0x00, 0x00, 0x01}, 3),
                             CommandReport({0x12, 0x00, 0x00, 0x80})})
    ASSERT_EQ(Write(report), (DWORD)ERROR_SUCCESS);
  auto bridgeLike = CommandReport({});
  bridgeLike[1] = 0x12;  // a bridge frame sent to a controller without a bridge
  ASSERT_EQ(Write(bridgeLike), (DWORD)ERROR_SUCCESS);
  const auto state = m_controller->State();
  EXPECT_EQ(std::count(state.actions.begin(), state.actions.end(), ControllerAction::kMalformed), 4);
  EXPECT_EQ(state.versionQueries, 0u);
  Transfer read;
  ASSERT_TRUE(read.StartRead(m_input.Get()));
  EXPECT_EQ(WaitForSingleObject(read.event.Get(), 1000), (DWORD)WAIT_TIMEOUT);
  CancelIo(m_input.Get());
  EXPECT_EQ(read.Finish(m_input.Get()), (DWORD)ERROR_OPERATION_ABORTED);
}

class BridgeTest : public ControllerTest {
 protected:
  BridgeTest() : ControllerTest("pid=0007") {}
  DWORD Frame(std::initializer_list<BYTE> frame) {
    std::vector<BYTE> report(64, 0);
    std::copy(frame.begin(), frame.end(), report.begin());
    return Write(report);
  }
};

TEST_F(BridgeTest, PowerSequencesSwitchTheBridge) {
  for (auto frame : {std::initializer_list<BYTE>{3, 0x12, 0, 0, 0, 0x80}, {3, 0x12, 0, 0, 0, 0x82},
                     {3, 0x02, 0x20, 0, 0, 0}, {3, 0x01, 0x3F, 0, 0, 0}})
    ASSERT_EQ(Frame(frame), (DWORD)ERROR_SUCCESS);
  auto bridge = m_controller->State().bridge;
  EXPECT_TRUE(bridge.poweredOn);
  EXPECT_EQ(bridge.param2, 0x20);
  EXPECT_EQ(bridge.param1, 0x3F);
  EXPECT_EQ(bridge.supplyByte5, 0x82);
  ASSERT_EQ(bridge.frames.size(), 4u);
  EXPECT_EQ(bridge.frames[1], (std::vector<uint8_t>{3, 0x12, 0, 0, 0, 0x82}));
  for (auto frame : {std::initializer_list<BYTE>{3, 0x12, 0, 0, 0, 0xA0}, {3, 0x12, 0, 0, 0, 0x20},
                     {3, 0x12, 0, 0, 0, 0x00}, {3, 0x11, 0, 0, 0, 0}})
    ASSERT_EQ(Frame(frame), (DWORD)ERROR_SUCCESS);
  bridge = m_controller->State().bridge;
  EXPECT_FALSE(bridge.poweredOn);
  EXPECT_EQ(bridge.frames.size(), 8u);
  ASSERT_EQ(Write(kVersionQuery), (DWORD)ERROR_SUCCESS) << "commands still go through the bridge";
  EXPECT_EQ(m_controller->State().versionQueries, 1u);
}

TEST(MachineTouchController, TheNoIdsBridgeTakesFramesToo) {
  VirtualMachine machine({.controller = "pid=b"});
  auto controller = winsim::TouchControllers(*machine).at(0);
  Handle output(Open(controller->Path(TouchController::kVendorOutput), GENERIC_WRITE));
  std::vector<BYTE> frame(64, 0);
  frame[0] = 3;
  frame[1] = 0x02;
  frame[2] = 0x20;
  ASSERT_EQ(WriteReport(output.Get(), frame), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(controller->State().bridge.param2, 0x20);
}

TEST_F(ControllerTest, TouchReportsReachTheTouchScreen) {
  Handle screen(Open(m_controller->Path(TouchController::kTouchScreen), GENERIC_READ));
  ASSERT_TRUE(m_controller->Touch(1234, 567, true));
  std::vector<char> report(14);
  DWORD read = 0;
  OVERLAPPED overlapped{};
  ASSERT_TRUE(ReadFile(screen.Get(), report.data(), 14, &read, &overlapped));
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  ASSERT_TRUE(HidD_GetPreparsedData(screen.Get(), &preparsed));
  ULONG x = 0, y = 0;
  EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0x01, 0, 0x30, &x, preparsed, report.data(), 14), HIDP_STATUS_SUCCESS);
  EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0x01, 0, 0x31, &y, preparsed, report.data(), 14), HIDP_STATUS_SUCCESS);
  USAGE usages[4];
  ULONG count = 4;
  EXPECT_EQ(HidP_GetUsages(HidP_Input, 0x0D, 0, usages, &count, preparsed, report.data(), 14), HIDP_STATUS_SUCCESS);
  HidD_FreePreparsedData(preparsed);
  EXPECT_EQ(x, 1234u);
  EXPECT_EQ(y, 567u);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(usages[0], 0x42) << "tip switch";
}

// ---- fault knobs ----

class FaultTest : public ControllerTest {
 protected:
  // The read of the answer after a version query: its result and bytes.
  DWORD QueryAndRead(Transfer& read, DWORD waitMs = 1000) {
    if (!read.StartRead(m_input.Get())) return ERROR_SUCCESS;
    EXPECT_EQ(Write(kVersionQuery), (DWORD)ERROR_SUCCESS);
    if (WaitForSingleObject(read.event.Get(), waitMs) != WAIT_OBJECT_0) {
      CancelIo(m_input.Get());
      read.Finish(m_input.Get());
      return WAIT_TIMEOUT;
    }
    return read.Finish(m_input.Get());
  }
};

TEST_F(FaultTest, MuteTakesTheQueryButNeverAnswers) {
  m_controller->SetFault(ControllerFault::kMute);
  Transfer read;
  EXPECT_EQ(QueryAndRead(read), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(m_controller->State().versionQueries, 1u);
}

TEST_F(FaultTest, WrongReportAnswersWithAnotherReportId) {
  m_controller->SetFault(ControllerFault::kWrongReport);
  Transfer read;
  ASSERT_EQ(QueryAndRead(read, 10000), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(read.buffer[0], winsim::kVendorStatusReportId);
  EXPECT_EQ(read.bytes, 64u);
}

// As Windows' class driver does: the short answer of a device it reads is
// dropped, though the controller sent it (its wire record says so).
TEST_F(FaultTest, ShortReportIsDroppedByTheClassDriver) {
  m_controller->SetFault(ControllerFault::kShortReport);
  std::vector<ControllerEvent> events;
  m_controller->SetObserver([&](const ControllerEvent& event) { events.push_back(event); });
  Transfer read;
  EXPECT_EQ(QueryAndRead(read), (DWORD)WAIT_TIMEOUT);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, ControllerEvent::Kind::kReportIn);
  EXPECT_EQ(events.back().bytes.size(), ctlmodel::kShortAnswerBytes);
}

TEST_F(FaultTest, FailedWriteNeverReachesTheController) {
  m_controller->SetFault(ControllerFault::kFailWrite);
  std::vector<ControllerEvent> events;
  m_controller->SetObserver([&](const ControllerEvent& event) { events.push_back(event); });
  Transfer write;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(WriteFile(m_output.Get(), kVersionQuery.data(), 64, &write.bytes, &write.overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
  EXPECT_TRUE(m_controller->Received().empty());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, ControllerEvent::Kind::kWriteFailed);
}

TEST_F(FaultTest, StuckWriteStaysPendingUntilCancelled) {
  m_controller->SetFault(ControllerFault::kStuckWrite);
  Transfer write;
  ASSERT_FALSE(WriteFile(m_output.Get(), kVersionQuery.data(), 64, &write.bytes, &write.overlapped));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(write.event.Get(), 1000), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(CancelIo(m_output.Get()));
  EXPECT_EQ(write.Finish(m_output.Get()), (DWORD)ERROR_OPERATION_ABORTED);
}

// A driver that hangs (a setting of the bus device, not a controller fault):
// the write outlasts its cancel and its handle, and ends only when the hang
// is lifted (as cancelled) or the device goes.
TEST_F(FaultTest, HungWriteOutlastsCancelAndCloseUntilTheHangEndsOrTheDeviceGoes) {
  for (bool unplug : {false, true}) {
    m_controller->SetHang(true);
    Handle output(Open(m_controller->Path(TouchController::kVendorOutput), GENERIC_WRITE));
    Transfer write;
    ASSERT_FALSE(WriteFile(output.Get(), kVersionQuery.data(), 64, &write.bytes, &write.overlapped));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIo(output.Get()));
    output.Reset();  // closing the handle cancels nothing either
    EXPECT_EQ(WaitForSingleObject(write.event.Get(), 1000), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(m_controller->Received().empty());
    EXPECT_TRUE(m_controller->State().hang);
    if (unplug) {
      m_controller->Detach();
    } else {
      m_controller->SetHang(false);
    }
    ASSERT_EQ(WaitForSingleObject(write.event.Get(), 1000), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<DWORD>(write.overlapped.Internal & 0xFFFF), unplug ? (DWORD)ERROR_DEVICE_NOT_CONNECTED : (DWORD)ERROR_OPERATION_ABORTED);
  }
}

TEST_F(FaultTest, UnplugDuringTheAnswerFailsThePendingRead) {
  m_controller->SetFault(ControllerFault::kUnplug);
  Transfer read;
  EXPECT_EQ(QueryAndRead(read, 10000), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(m_controller->Attached());
  EXPECT_EQ(WriteReport(m_output.Get(), kVersionQuery), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

// The answer must miss a 1000 ms wait and still arrive.
class LateControllerTest : public ControllerTest {
 protected:
  LateControllerTest() : ControllerTest("fault=late") {}
};

TEST_F(LateControllerTest, AnswerMissesTheTransferTimeOutAndArrivesAfterIt) {
  static_assert(winsim::kLateAnswerMs > 1000);
  Transfer read;
  ASSERT_TRUE(read.StartRead(m_input.Get()));
  ASSERT_EQ(Write(kVersionQuery), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(read.event.Get(), 1000), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(read.event.Get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(read.Finish(m_input.Get()), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(read.buffer[2], 0x52);
}

// Behind a polling minidriver the short answer reaches the reader as it is.
class PolledControllerTest : public ControllerTest {
 protected:
  PolledControllerTest() : ControllerTest("polled=1,fault=short-report") {}
};

TEST_F(PolledControllerTest, ShortReportIsDeliveredAsItIs) {
  Transfer read;
  ASSERT_TRUE(read.StartRead(m_input.Get()));
  ASSERT_EQ(Write(kVersionQuery), (DWORD)ERROR_SUCCESS);
  ASSERT_EQ(read.Finish(m_input.Get()), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(read.bytes, ctlmodel::kShortAnswerBytes);
  EXPECT_EQ(read.buffer[2], 0x52);
}

TEST(MachineTouchController, FaultNamesRoundTrip) {
  for (int i = 0; i <= static_cast<int>(ControllerFault::kUnplug); ++i) {
    ControllerFault parsed = ControllerFault::kNone;
    ASSERT_TRUE(winsim::ParseFault(winsim::FaultName(static_cast<ControllerFault>(i)), parsed));
    EXPECT_EQ(static_cast<int>(parsed), i);
  }
}
