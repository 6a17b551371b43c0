// Fault and action names: the words vornsim's scripts, WINSIM_CONTROLLER and
// vorndev use.
#include <gtest/gtest.h>

#include <ctlmodel/controller.h>

#include <cstring>
#include <string>

using ctlmodel::Action;
using ctlmodel::Fault;

namespace {

TEST(Names, EveryFaultHasItsWord) {
  const char* const expected[] = {"none",         "mute",       "late",        "wrong-report",
                                  "short-report", "fail-write", "stuck-write", "unplug"};
  static_assert(sizeof(expected) / sizeof(expected[0]) == ctlmodel::kFaultCount);
  for (int i = 0; i < ctlmodel::kFaultCount; ++i) {
    EXPECT_STREQ(ctlmodel::FaultName(static_cast<Fault>(i)), expected[i]);
    Fault parsed = Fault::kNone;
    ASSERT_TRUE(ctlmodel::ParseFault(expected[i], parsed)) << expected[i];
    EXPECT_EQ(static_cast<int>(parsed), i);
  }
}

TEST(Names, ParseFaultTakesExactWordsOnly) {
  Fault fault = Fault::kMute;
  for (const char* bad : {"", "Mute", "mute ", "mut", "muted", "stuck", "stuck-write-", "wrong_report"})
    EXPECT_FALSE(ctlmodel::ParseFault(bad, fault)) << '"' << bad << '"';
  EXPECT_FALSE(ctlmodel::ParseFault(nullptr, fault));
  EXPECT_EQ(fault, Fault::kMute) << "left alone on failure";
  const char text[] = "late,fw=1203";
  ASSERT_TRUE(ctlmodel::ParseFault(text, 4, fault)) << "a word inside a longer text, by length";
  EXPECT_EQ(fault, Fault::kLate);
  EXPECT_FALSE(ctlmodel::ParseFault(text, 3, fault));
  EXPECT_FALSE(ctlmodel::ParseFault(text, 5, fault));
}

TEST(Names, EveryActionHasItsWord) {
  const char* const expected[] = {"wake-on-touch on", "wake-on-touch off", "sleep",        "wake",
                                  "reset",            "version query",     "bridge frame", "malformed"};
  static_assert(sizeof(expected) / sizeof(expected[0]) == ctlmodel::kActionCount);
  for (int i = 0; i < ctlmodel::kActionCount; ++i) EXPECT_STREQ(ctlmodel::ActionName(static_cast<Action>(i)), expected[i]);
}

TEST(Names, OutOfRangeValuesGetAQuestionMark) {
  EXPECT_STREQ(ctlmodel::FaultName(static_cast<Fault>(200)), "?");
  EXPECT_STREQ(ctlmodel::ActionName(static_cast<Action>(200)), "?");
}

}  // namespace
