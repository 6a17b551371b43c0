// The controller model on its own: the answer bytes and state change of every
// command, bridge frames, every fault knob, attach state, feature reports and
// the touch report. No bus, no clock: what is due later is read off the
// Reaction.
#include <gtest/gtest.h>

#include <ctlmodel/controller.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "model_test_support.h"

using ctlmodel::Action;
using ctlmodel::Collection;
using ctlmodel::Controller;
using ctlmodel::Fault;
using ctlmodel::Reaction;
using ctlmodel::WriteOutcome;
using namespace ctlmodeltest;

namespace {

class Commands : public ModelTest {};

TEST_F(Commands, VersionQueryIsAnsweredAtOnceWithReportTwo) {
  const Reaction reaction = Write(CommandReport({0x53, 0x00, 0x00, 0x01}));
  EXPECT_EQ(reaction.write, WriteOutcome::kDone);
  ASSERT_TRUE(reaction.acted);
  EXPECT_EQ(reaction.action, Action::kVersionQuery);
  ASSERT_TRUE(reaction.answers);
  EXPECT_EQ(reaction.answerDueMs, 0u);
  EXPECT_FALSE(reaction.unplugs);
  // firmware 0x1203: [2, 4, 0x52, 0x1, 0x20, 0x30, 0 ...], the whole 64-byte report
  Bytes expected(64, 0);
  expected[0] = 0x02, expected[1] = 0x04, expected[2] = 0x52, expected[3] = 0x01, expected[4] = 0x20,
  expected[5] = 0x30;
  EXPECT_EQ(AnswerOf(reaction), expected);
  EXPECT_EQ(model.GetState().versionQueries, 1u);
}

TEST_F(Commands, VersionAnswerCarriesEveryNibbleOfTheFirmware) {
  const struct {
    uint16_t firmware;
    Bytes head;
  } cases[] = {{0x0000, {2, 4, 0x52, 0x00, 0x00, 0x00}},
               {0xFFFF, {2, 4, 0x52, 0x0F, 0xFF, 0xF0}},
               {0x0A5C, {2, 4, 0x52, 0x00, 0xA5, 0xC0}},
               {0x8001, {2, 4, 0x52, 0x08, 0x00, 0x10}}};
  for (const auto& c : cases) {
    model.SetFirmwareVersion(c.firmware);
    const Bytes answer = AnswerOf(Write(CommandReport({0x53, 0x00, 0x00, 0x01})));
    ASSERT_EQ(answer.size(), 64u);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 6), c.head) << std::hex << c.firmware;
    EXPECT_EQ(Bytes(answer.begin() + 6, answer.end()), Bytes(58, 0));
  }
}

TEST_F(Commands, SleepWakeAndResetChangeThePowerStateAndAnswerNothing) {
  const struct {
    Bytes command;
    Action action;
    bool sleeping;
    uint32_t resets;
  } steps[] = {{{0x54, 0x50, 0x00, 0x01}, Action::kSleep, true, 0},
               {{0x54, 0x58, 0x00, 0x01}, Action::kWake, false, 0},
               {{0x54, 0x50, 0x00, 0x01}, Action::kSleep, true, 0},
               {{0x77, 0x77, 0x77, 0x77}, Action::kReset, false, 1},  // a reset wakes it
               {{0x77, 0x77, 0x77, 0x77}, Action::kReset, false, 2}};
  for (const auto& step : steps) {
    const Reaction reaction = Write(CommandReport(step.command));
    EXPECT_EQ(reaction.write, WriteOutcome::kDone);
    EXPECT_TRUE(reaction.acted);
    EXPECT_EQ(reaction.action, step.action);
    EXPECT_FALSE(reaction.answers);
    EXPECT_EQ(model.GetState().sleeping, step.sleeping);
    EXPECT_EQ(model.GetState().resets, step.resets);
  }
  EXPECT_EQ(model.GetState().versionQueries, 0u);
  EXPECT_EQ(model.GetState().reportsTaken, 5u);
}

TEST_F(Commands, FixedLengthCommandsNeedTheirTwoPaddingBytesZero) {
  EXPECT_EQ(Write(CommandReport({0x53, 0x00, 0x00, 0x01}, 6)).action, Action::kVersionQuery);
  EXPECT_TRUE(Write(CommandReport({0x53, 0x00, 0x00, 0x01}, 6)).answers);
  Bytes padded = CommandReport({0x53, 0x00, 0x00, 0x01}, 6);
  padded[8] = 0x01;
  const Reaction reaction = Write(padded);
  EXPECT_EQ(reaction.action, Action::kMalformed);
  EXPECT_FALSE(reaction.answers);
}

TEST_F(Commands, MalformedReportsAreTakenAndRecordedButNotAnswered) {
  Bytes cutShort = {3, 0x00, 4, 0x53, 0x00, 0x00};  // declares four command bytes, carries three
  Bytes badLength = CommandReport({0x53, 0x00, 0x00, 0x01}, 5);
  const std::vector<Bytes> reports = {CommandReport({0x53, 0x00, 0x00, 0x02}), CommandReport({0x12, 0x00, 0x00, 0x80}),
                                      CommandReport({0x54, 0x50, 0x00, 0x00}), badLength, cutShort,
                                      Bytes{3, 0x00}, Bytes{}};
  for (const auto& report : reports) {
    const Reaction reaction = Write(report);
    EXPECT_EQ(reaction.write, WriteOutcome::kDone);
    EXPECT_TRUE(reaction.acted);
    EXPECT_EQ(reaction.action, Action::kMalformed) << Hex(report);
    EXPECT_FALSE(reaction.answers);
    EXPECT_FALSE(reaction.frameTaken);
  }
  EXPECT_EQ(model.GetState().reportsTaken, reports.size());
  EXPECT_EQ(model.GetState().versionQueries, 0u);
  EXPECT_FALSE(model.GetState().sleeping);
}

TEST_F(Commands, OnlyTheVendorOutputCollectionTakesReports) {
  for (Collection collection : {Collection::kTouchScreen, Collection::kVendorInput}) {
    const Bytes query = CommandReport({0x53, 0x00, 0x00, 0x01});
    const Reaction reaction = model.TakeOutputReport(collection, query.data(), query.size());
    EXPECT_EQ(reaction.write, WriteOutcome::kDone);
    EXPECT_FALSE(reaction.acted);
    EXPECT_FALSE(reaction.answers);
  }
  EXPECT_EQ(model.Wire().Count(), 0u);
  EXPECT_EQ(model.GetState().reportsTaken, 0u);
}

// ---- wake-on-touch: byte 1 only ----

class WakeOnTouch : public ModelTest {};

TEST_F(WakeOnTouch, OnlyByteOneSwitchesItOn) {
  const struct {
    uint8_t flag;
    bool on;
  } steps[] = {{0x01, true}, {0x00, false}, {0x01, true}, {0x02, false}, {0x01, true}, {0xFF, false},
               {0x01, true}, {0x80, false}, {0x00, false}, {0x11, false}};
  for (const auto& step : steps) {
    const Reaction reaction = Write(CommandReport({0xF0, 0x02, 0x00, step.flag}));
    ASSERT_TRUE(reaction.acted);
    EXPECT_EQ(reaction.action, step.on ? Action::kWakeOnTouchOn : Action::kWakeOnTouchOff) << int(step.flag);
    EXPECT_FALSE(reaction.answers);
    EXPECT_EQ(model.GetState().wakeOnTouch, step.on) << int(step.flag);
    EXPECT_EQ(model.GetState().lastWakeOnTouchFlag, step.flag);
  }
}

TEST_F(WakeOnTouch, FixedLengthFormSwitchesTheSameWay) {
  EXPECT_EQ(Write(CommandReport({0xF0, 0x02, 0x00, 0x01}, 6)).action, Action::kWakeOnTouchOn);
  EXPECT_EQ(Write(CommandReport({0xF0, 0x02, 0x00, 0x02}, 6)).action, Action::kWakeOnTouchOff);
  EXPECT_FALSE(model.GetState().wakeOnTouch);
}

TEST_F(WakeOnTouch, AnotherPrefixIsNotTheCommand) {
  Write(CommandReport({0xF0, 0x02, 0x00, 0x01}));
  EXPECT_EQ(Write(CommandReport({0xF0, 0x03, 0x00, 0x00})).action, Action::kMalformed);
  EXPECT_EQ(Write(CommandReport({0xF0, 0x02, 0x01, 0x00})).action, Action::kMalformed);
  EXPECT_TRUE(model.GetState().wakeOnTouch) << "a malformed report changes nothing";
}

TEST_F(WakeOnTouch, PowerOnStateIsOffAwakeWithNoResets) {
  const ctlmodel::State& state = model.GetState();
  EXPECT_FALSE(state.wakeOnTouch);
  EXPECT_FALSE(state.sleeping);
  EXPECT_EQ(state.resets, 0u);
  EXPECT_TRUE(state.attached);
  EXPECT_EQ(state.firmwareVersion, ctlmodel::kDefaultFirmware);
  EXPECT_EQ(state.productId, ctlmodel::kDefaultProductId);
  EXPECT_EQ(state.fault, Fault::kNone);
}

// ---- bridge frames ----

class Bridge : public ModelTest, public testing::WithParamInterface<uint16_t> {
 protected:
  void SetUp() override { model.Init({ctlmodel::kDefaultFirmware, GetParam(), Fault::kNone}); }
  Reaction Frame(std::initializer_list<uint8_t> head) {
    Bytes report(64, 0);
    std::copy(head.begin(), head.end(), report.begin());
    return Write(report);
  }
};

TEST_P(Bridge, PowerSequenceSwitchesTheBridgeOnAndOff) {
  for (auto head : {std::initializer_list<uint8_t>{3, 0x12, 0, 0, 0, 0x80}, {3, 0x12, 0, 0, 0, 0x82},
                    {3, 0x02, 0x20, 0, 0, 0}, {3, 0x01, 0x3F, 0, 0, 0}}) {
    const Reaction reaction = Frame(head);
    EXPECT_EQ(reaction.action, Action::kBridgeFrame);
    EXPECT_TRUE(reaction.frameTaken);
    EXPECT_FALSE(reaction.answers);
  }
  ctlmodel::BridgeState bridge = model.GetState().bridge;
  EXPECT_TRUE(bridge.poweredOn);
  EXPECT_EQ(bridge.param2, 0x20);
  EXPECT_EQ(bridge.param1, 0x3F);
  EXPECT_EQ(bridge.supplyByte3, 0x00);
  EXPECT_EQ(bridge.supplyByte5, 0x82);
  EXPECT_EQ(bridge.frames, 4u);

  Frame({3, 0x11, 0, 0, 0, 0});
  EXPECT_FALSE(model.GetState().bridge.poweredOn) << "0x11 powers it off";
  Frame({3, 0x01, 0x3F, 0, 0, 0});
  EXPECT_TRUE(model.GetState().bridge.poweredOn);
  Frame({3, 0x12, 0, 0, 0, 0x00});
  EXPECT_FALSE(model.GetState().bridge.poweredOn) << "both supply bytes zero power it off";
  EXPECT_EQ(model.GetState().bridge.frames, 7u);
}

TEST_P(Bridge, OneIsOnlyPoweredWithAVioLevel) {
  Frame({3, 0x12, 0, 0x05, 0, 0x80});  // byte 5 has no level bits (0x1F)
  Frame({3, 0x01, 0x3F, 0, 0, 0});
  EXPECT_FALSE(model.GetState().bridge.poweredOn);
  EXPECT_EQ(model.GetState().bridge.supplyByte3, 0x05);
  Frame({3, 0x12, 0, 0x05, 0, 0xA1});
  EXPECT_FALSE(model.GetState().bridge.poweredOn) << "levels alone do not power it";
  Frame({3, 0x01, 0x3F, 0, 0, 0});
  EXPECT_TRUE(model.GetState().bridge.poweredOn);
}

TEST_P(Bridge, UnknownBridgeCommandIsCountedAndMalformed) {
  const Reaction reaction = Frame({3, 0x13, 1, 2, 3, 4});
  EXPECT_TRUE(reaction.frameTaken);
  EXPECT_EQ(reaction.action, Action::kMalformed);
  EXPECT_EQ(model.GetState().bridge.frames, 1u);
}

TEST_P(Bridge, FrameShorterThanSixBytesIsMalformed) {
  const Bytes frame = {3, 0x02, 0x20, 0, 0};
  const Reaction reaction = Write(frame);
  EXPECT_FALSE(reaction.frameTaken);
  EXPECT_EQ(reaction.action, Action::kMalformed);
  EXPECT_EQ(model.GetState().bridge.param2, 0);
}

TEST_P(Bridge, CommandsStillGoThroughTheBridge) {
  EXPECT_TRUE(Write(CommandReport({0x53, 0x00, 0x00, 0x01})).answers);
  EXPECT_EQ(Write(CommandReport({0xF0, 0x02, 0x00, 0x01})).action, Action::kWakeOnTouchOn);
  EXPECT_EQ(model.GetState().bridge.frames, 0u);
}

INSTANTIATE_TEST_SUITE_P(BridgeProducts, Bridge,
                         testing::Values(ctlmodel::kBridgePowerProductId, ctlmodel::kBridgeNoIdsProductId));

TEST_F(Commands, AControllerWithoutABridgeTakesNoFrames) {
  Bytes frame(64, 0);
  frame[0] = 3, frame[1] = 0x12, frame[5] = 0x80;
  const Reaction reaction = Write(frame);
  EXPECT_EQ(reaction.action, Action::kMalformed);
  EXPECT_FALSE(reaction.frameTaken);
  EXPECT_EQ(model.GetState().bridge.frames, 0u);
  EXPECT_FALSE(ctlmodel::IsBridgeProduct(ctlmodel::kDefaultProductId));
  EXPECT_TRUE(ctlmodel::IsBridgeProduct(0x0007));
  EXPECT_TRUE(ctlmodel::IsBridgeProduct(0x000B));
}

// ---- faults ----

class Faults : public ModelTest {
 protected:
  Reaction Query(Fault fault) {
    model.SetFault(fault);
    return Write(CommandReport({0x53, 0x00, 0x00, 0x01}));
  }
};

TEST_F(Faults, NoneAnswersAtOnce) {
  const Reaction reaction = Query(Fault::kNone);
  EXPECT_TRUE(reaction.answers);
  EXPECT_EQ(reaction.answerDueMs, 0u);
}

TEST_F(Faults, MuteTakesTheQueryAndNeverAnswers) {
  const Reaction reaction = Query(Fault::kMute);
  EXPECT_EQ(reaction.write, WriteOutcome::kDone);
  EXPECT_EQ(reaction.action, Action::kVersionQuery);
  EXPECT_FALSE(reaction.answers);
  EXPECT_EQ(model.GetState().versionQueries, 1u);
}

TEST_F(Faults, LateAnswersAfterTheProductsTimeOut) {
  static_assert(ctlmodel::kLateAnswerMs > 1000, "later than the product's 1000 ms transfer time-out");
  const Reaction reaction = Query(Fault::kLate);
  ASSERT_TRUE(reaction.answers);
  EXPECT_EQ(reaction.answerDueMs, ctlmodel::kLateAnswerMs);
  EXPECT_EQ(AnswerOf(reaction)[2], 0x52) << "the answer itself is the right one";
  EXPECT_EQ(AnswerOf(reaction).size(), 64u);
}

TEST_F(Faults, WrongReportAnswersWithTheStatusReport) {
  const Reaction reaction = Query(Fault::kWrongReport);
  ASSERT_TRUE(reaction.answers);
  EXPECT_EQ(reaction.answerDueMs, 0u);
  EXPECT_EQ(AnswerOf(reaction)[0], ctlmodel::kVendorStatusReportId);
  EXPECT_EQ(AnswerOf(reaction).size(), 64u);
  EXPECT_EQ(AnswerOf(reaction)[2], 0x52);
}

TEST_F(Faults, ShortReportAnswersWithSixteenBytes) {
  const Reaction reaction = Query(Fault::kShortReport);
  ASSERT_TRUE(reaction.answers);
  const Bytes answer = AnswerOf(reaction);
  EXPECT_EQ(answer.size(), ctlmodel::kShortAnswerBytes);
  EXPECT_LT(answer.size(), ctlmodel::kVendorReportBytes);
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 6), (Bytes{2, 4, 0x52, 0x01, 0x20, 0x30}));
}

TEST_F(Faults, FailWriteAndStuckWriteNeverReachTheController) {
  for (Fault fault : {Fault::kFailWrite, Fault::kStuckWrite}) {
    const Reaction reaction = Query(fault);
    EXPECT_EQ(reaction.write, fault == Fault::kFailWrite ? WriteOutcome::kFailed : WriteOutcome::kStuck);
    EXPECT_FALSE(reaction.acted);
    EXPECT_FALSE(reaction.answers);
    EXPECT_FALSE(Write(CommandReport({0xF0, 0x02, 0x00, 0x01})).acted);
  }
  EXPECT_EQ(model.GetState().versionQueries, 0u);
  EXPECT_EQ(model.GetState().reportsTaken, 0u);
  EXPECT_FALSE(model.GetState().wakeOnTouch);
  ASSERT_EQ(model.Wire().Count(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(model.Wire().At(i).kind, ctlmodel::EntryKind::kWriteFailed);
}

TEST_F(Faults, UnplugTakesTheReportThenLeavesWithoutAnswering) {
  const Reaction reaction = Query(Fault::kUnplug);
  EXPECT_EQ(reaction.write, WriteOutcome::kDone);
  EXPECT_EQ(reaction.action, Action::kVersionQuery);
  EXPECT_FALSE(reaction.answers);
  EXPECT_TRUE(reaction.unplugs);
  EXPECT_EQ(reaction.unplugDueMs, ctlmodel::kUnplugDelayMs);
  EXPECT_TRUE(model.GetState().attached) << "the caller unplugs when it is due";
  const Reaction other = Write(CommandReport({0x54, 0x50, 0x00, 0x01}));
  EXPECT_TRUE(other.unplugs) << "every report taken under the fault";
}

TEST_F(Faults, ClearingTheFaultRestoresTheAnswer) {
  Query(Fault::kMute);
  const Reaction reaction = Query(Fault::kNone);
  EXPECT_TRUE(reaction.answers);
  EXPECT_EQ(reaction.answerDueMs, 0u);
  EXPECT_EQ(model.GetState().versionQueries, 2u);
}

TEST_F(Faults, ConfiguredFaultActsFromTheStart) {
  model.Init({0x1203, 0x0101, Fault::kMute});
  EXPECT_EQ(model.GetState().fault, Fault::kMute);
  EXPECT_FALSE(Write(CommandReport({0x53, 0x00, 0x00, 0x01})).answers);
}

// ---- attach state, features, touches ----

class Device : public ModelTest {};

TEST_F(Device, DetachedControllerTakesNothing) {
  model.Detach();
  EXPECT_FALSE(model.GetState().attached);
  const Reaction reaction = Write(CommandReport({0x53, 0x00, 0x00, 0x01}));
  EXPECT_EQ(reaction.write, WriteOutcome::kNotConnected);
  EXPECT_FALSE(reaction.acted);
  EXPECT_EQ(model.Wire().Count(), 0u);
  model.Attach();
  EXPECT_TRUE(Write(CommandReport({0x53, 0x00, 0x00, 0x01})).answers);
}

TEST_F(Device, StateSurvivesADetach) {
  Write(CommandReport({0xF0, 0x02, 0x00, 0x01}));
  Write(CommandReport({0x77, 0x77, 0x77, 0x77}));
  model.Detach();
  model.Attach();
  EXPECT_TRUE(model.GetState().wakeOnTouch);
  EXPECT_EQ(model.GetState().resets, 1u);
}

TEST_F(Device, IdsCanBeChanged) {
  model.SetFirmwareVersion(0x2001);
  model.SetProductId(0x0007);
  EXPECT_EQ(model.GetState().firmwareVersion, 0x2001);
  EXPECT_EQ(model.GetState().productId, 0x0007);
  Bytes frame(64, 0);
  frame[0] = 3, frame[1] = 0x02, frame[2] = 0x20;
  EXPECT_TRUE(Write(frame).frameTaken) << "the product id decides the bridge";
}

TEST_F(Device, ContactMaximumIsReadOnlyFeatureTen) {
  uint8_t feature[2] = {10, 0};
  EXPECT_TRUE(model.GetFeature(Collection::kTouchScreen, feature, sizeof(feature)));
  EXPECT_EQ(feature[1], ctlmodel::kContactMaximum);
  uint8_t other[2] = {11, 0};
  EXPECT_FALSE(model.GetFeature(Collection::kTouchScreen, other, sizeof(other)));
  EXPECT_EQ(other[1], 0);
  EXPECT_FALSE(model.GetFeature(Collection::kTouchScreen, feature, 1));
  EXPECT_FALSE(model.GetFeature(Collection::kVendorInput, feature, sizeof(feature)));
  EXPECT_FALSE(model.GetFeature(Collection::kTouchScreen, nullptr, 2));
  EXPECT_FALSE(model.SetFeature(Collection::kTouchScreen, feature, sizeof(feature)));
}

TEST_F(Device, TouchReportCarriesFingerOne) {
  const ctlmodel::Report report = Controller::TouchReport(0x04D2, 0x0237, true);
  EXPECT_EQ(Bytes(report.bytes, report.bytes + report.length),
            (Bytes{1, 1, 0, 0xD2, 0x04, 0x37, 0x02, 0, 0, 0, 0, 0, 0, 1}));
  const ctlmodel::Report lifted = Controller::TouchReport(4095, 0, false);
  EXPECT_EQ(Bytes(lifted.bytes, lifted.bytes + lifted.length),
            (Bytes{1, 0, 0, 0xFF, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Device, LongReportsAreJudgedByTheirFirstBytes) {
  Bytes report = CommandReport({0x53, 0x00, 0x00, 0x01});
  report.resize(200, 0xEE);
  const Reaction reaction = Write(report);
  EXPECT_EQ(reaction.action, Action::kVersionQuery);
  ASSERT_GE(model.Wire().Count(), 1u);
  EXPECT_EQ(model.Wire().At(0).length, ctlmodel::kMaxReportBytes);
}

// A driver keeps its controller in static storage or in zeroed memory: it
// must need no constructor code (constinit fails to compile otherwise).
constinit Controller g_staticController;

TEST(StaticController, WorksAfterInitWithoutAConstructorRun) {
  g_staticController.Init({0x0A5C, ctlmodel::kDefaultProductId, Fault::kNone});
  const Bytes query = CommandReport({0x53, 0x00, 0x00, 0x01});
  const Reaction reaction =
      g_staticController.TakeOutputReport(Collection::kVendorOutput, query.data(), query.size());
  ASSERT_TRUE(reaction.answers);
  EXPECT_EQ(reaction.answer.bytes[4], 0xA5);
  EXPECT_EQ(g_staticController.Wire().Count(), 2u);
}

TEST_F(Device, InitStartsAfresh) {
  Write(CommandReport({0xF0, 0x02, 0x00, 0x01}));
  model.Detach();
  model.Init(ctlmodel::DefaultConfig());
  EXPECT_FALSE(model.GetState().wakeOnTouch);
  EXPECT_TRUE(model.GetState().attached);
  EXPECT_EQ(model.GetState().reportsTaken, 0u);
  EXPECT_EQ(model.Wire().Count(), 0u);
}

}  // namespace
