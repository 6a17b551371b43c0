// The soak's parts that need no machine: the expected selection and when it
// is determined (soak_model.h), the seeded generator (random.h), and the
// timeline page's parsing and drawing (html.h).
#include "html.h"
#include "random.h"
#include "soak_model.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <set>
#include <string>

namespace {

using vornsim::WakeFacts;
using vornsim::WakeModel;

constexpr uint64_t kSettled = 200000;  // after any reaction of the service

WakeFacts User(std::optional<uint32_t> touch, bool key = true, const std::wstring& sid = L"S-1-5-21-1-1001") {
  WakeFacts facts;
  facts.user = sid;
  facts.keyExists = key;
  facts.touch = touch;
  return facts;
}

TEST(SoakSelection, FollowsTheProductsReading) {
  EXPECT_EQ(vornsim::ExpectedSelection(User(0)), 0u);
  EXPECT_EQ(vornsim::ExpectedSelection(User(2)), 2u);
  EXPECT_EQ(vornsim::ExpectedSelection(User(257)), 257u);
  EXPECT_EQ(vornsim::ExpectedSelection(User(std::nullopt)), 1u) << "missing value or data not 4 bytes";
  EXPECT_EQ(vornsim::ExpectedSelection(User(std::nullopt, false)), 1u) << "missing key";
  EXPECT_EQ(vornsim::ExpectedSelection(WakeFacts{}), 1u) << "nobody logged on";
}

// Stories told to the model, and what it makes of the check after them:
// holdable (kNone) or why not. Times in ms; every push opportunity's run
// reads 5 s after it.
TEST(SoakModel, HoldsTheProductWhereItMustPush) {
  using E = vornsim::Excuse;
  using Story = std::function<void(WakeModel&)>;
  const WakeFacts nobody;
  const auto deleted = User(std::nullopt);
  const auto noKey = User(std::nullopt, false);
  struct Case {
    const char* story;
    Story play;
    uint64_t checkMs;
    E excuse;
  };
  const Case cases[] = {
      {"a start, the run done", [&](WakeModel& m) { m.Opportunity(0, User(0)); }, kSettled, E::kNone},
      {"a start, nobody logged on", [&](WakeModel& m) { m.Opportunity(0, nobody); }, kSettled, E::kNone},
      {"a start, checked before its run pushed", [&](WakeModel& m) { m.Opportunity(0, User(0)); }, 3000,
       E::kStillReacting},
      {"stopped", [&](WakeModel& m) { m.Opportunity(0, User(0)), m.Stopped(kSettled); }, kSettled + 1000, E::kStopped},
      {"a change while stopped, then a start",
       [&](WakeModel& m) { m.Opportunity(0, User(0)), m.Stopped(kSettled), m.Opportunity(kSettled + 1000, User(1)); },
       2 * kSettled, E::kNone},
      {"a watched change", [&](WakeModel& m) { m.Opportunity(0, User(1)), m.SettingChanged(kSettled, User(0)); },
       kSettled + 1000, E::kNone},
      {"a change before the run reads", [&](WakeModel& m) { m.Opportunity(0, User(1)), m.SettingChanged(4000, User(0)); },
       kSettled, E::kNone},
      {"a change as the run reads", [&](WakeModel& m) { m.Opportunity(0, User(1)), m.SettingChanged(5000, User(0)); },
       kSettled, E::kNone},
      {"the value deleted as the run reads: followed or not",
       [&](WakeModel& m) { m.Opportunity(0, User(1)), m.SettingChanged(5000, deleted); }, kSettled, E::kRace},
      {"a second change while the watcher pushes the first: the next arm fires at once",
       [&](WakeModel& m) {
         m.Opportunity(0, User(1)), m.SettingChanged(kSettled, User(0)), m.SettingChanged(kSettled + 50, User(2));
       },
       kSettled + 1000, E::kNone},
      {"the value deleted", [&](WakeModel& m) { m.Opportunity(0, User(1)), m.SettingChanged(kSettled, deleted); },
       kSettled + 1000, E::kValueUnread},
      {"the value deleted, then set: the watcher re-armed",
       [&](WakeModel& m) {
         m.Opportunity(0, User(1)), m.SettingChanged(kSettled, deleted), m.SettingChanged(kSettled + 5000, User(2));
       },
       kSettled + 6000, E::kNone},
      {"the value deleted after the run read it: taken up, nothing pushed",
       [&](WakeModel& m) { m.Opportunity(0, User(1)), m.SettingChanged(5200, deleted); }, kSettled, E::kValueUnread},
      {"the value set after a run that found none read",
       [&](WakeModel& m) { m.Opportunity(0, deleted), m.SettingChanged(5200, User(0)); }, kSettled, E::kNotFollowed},
      {"the value missing at the look-up, then set",
       [&](WakeModel& m) { m.Opportunity(0, deleted), m.SettingChanged(kSettled, User(0)); }, kSettled + 1000,
       E::kNotFollowed},
      {"the watched key deleted, then the value set",
       [&](WakeModel& m) {
         m.Opportunity(0, User(1)), m.SettingChanged(kSettled, noKey), m.SettingChanged(kSettled + 60000, User(0));
       },
       2 * kSettled, E::kKeyDeleted},
      {"a logon, then the new user's change",
       [&](WakeModel& m) {
         m.Opportunity(0, User(0, true, L"S-A")), m.Opportunity(kSettled, User(1, true, L"S-B"));
         m.SettingChanged(2 * kSettled, User(2, true, L"S-B"));
       },
       2 * kSettled + 1000, E::kNone},
      {"no controller", [&](WakeModel& m) { m.Opportunity(0, User(0)), m.ControllerChanged(kSettled, false, false); },
       kSettled + 1000, E::kNoController},
      {"the controller re-plugged twice in a row",
       [&](WakeModel& m) {
         m.Opportunity(0, User(0));
         for (uint64_t t : {kSettled, kSettled + 1000}) {
           m.ControllerChanged(t, false, false);
           m.ControllerChanged(t + 500, true, false), m.Opportunity(t + 500, User(0));
         }
       },
       2 * kSettled, E::kNone},
      {"a fault now", [&](WakeModel& m) { m.Opportunity(0, User(0)), m.ControllerChanged(kSettled, true, true); },
       kSettled + 1000, E::kFault},
      {"a fault at the opportunity, since ended",
       [&](WakeModel& m) {
         m.ControllerChanged(0, true, true), m.Opportunity(1000, User(0)), m.ControllerChanged(kSettled, true, false);
       },
       2 * kSettled, E::kFaultAtPush},
      {"a fault at the opportunity that ended before the run pushed",
       [&](WakeModel& m) {
         m.ControllerChanged(0, true, true), m.Opportunity(1000, User(0)), m.ControllerChanged(3000, true, false);
       },
       kSettled, E::kNone},
      {"a fault at a watched change, since ended",
       [&](WakeModel& m) {
         m.Opportunity(0, User(1)), m.ControllerChanged(kSettled, true, true), m.SettingChanged(kSettled + 1000, User(0));
         m.ControllerChanged(kSettled + 2000, true, false);
       },
       2 * kSettled, E::kFaultAtPush},
      {"... and a watched change after it",
       [&](WakeModel& m) {
         m.Opportunity(0, User(1)), m.ControllerChanged(kSettled, true, true), m.SettingChanged(kSettled + 1000, User(0));
         m.ControllerChanged(kSettled + 2000, true, false), m.SettingChanged(2 * kSettled, User(2));
       },
       2 * kSettled + 1000, E::kNone},
      {"a fault that came and went as the run pushed",
       [&](WakeModel& m) {
         m.Opportunity(0, User(0)), m.ControllerChanged(5000, true, true), m.ControllerChanged(5100, true, false);
       },
       kSettled, E::kFaultAtPush},
      {"the mutex held as the run pushes, let go in time",
       [&](WakeModel& m) { m.MutexChanged(1000, true), m.Opportunity(2000, User(0)), m.MutexChanged(60000, false); },
       kSettled, E::kNone},
      {"the mutex held past the push's attempts",
       [&](WakeModel& m) { m.MutexChanged(1000, true), m.Opportunity(2000, User(0)), m.MutexChanged(600000, false); },
       800000, E::kMutex},
      {"two watched changes while the mutex is held, let go in time",
       [&](WakeModel& m) {
         m.Opportunity(0, User(1)), m.MutexChanged(kSettled, true), m.SettingChanged(kSettled + 1000, User(0));
         m.SettingChanged(kSettled + 9000, User(2)), m.MutexChanged(kSettled + 30000, false);
       },
       2 * kSettled, E::kNone},
      {"a watched change while the mutex is held past the push's attempts",
       [&](WakeModel& m) {
         m.Opportunity(0, User(1)), m.MutexChanged(kSettled, true), m.SettingChanged(kSettled + 1000, User(0));
         m.MutexChanged(kSettled + 600000, false);
       },
       kSettled + 800000, E::kMutex},
  };
  for (const auto& c : cases) {
    WakeModel model;
    c.play(model);
    EXPECT_EQ(model.Check(c.checkMs), c.excuse) << c.story << ": " << vornsim::ExcuseText(model.Check(c.checkMs));
  }
}

TEST(SoakWire, TheByteOfAWakeOnTouchCommand) {
  EXPECT_EQ(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 00 01 ..."), 0x01);
  EXPECT_EQ(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 00 FF ..."), 0xFF);
  EXPECT_EQ(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 ..."), 0x00) << "the zero byte folded into ...";
  EXPECT_EQ(vornsim::WakeOnTouchByteSent(L"out 03 00 06 F0 02 00 02 ..."), 0x02) << "fixed-length framing";
  EXPECT_FALSE(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 00 01 ... (write failed)"))
      << "the controller never saw it";
  EXPECT_FALSE(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 00 01 ... (write hangs)"));
  EXPECT_FALSE(vornsim::WakeOnTouchByteSent(L"out 03 00 04 53 00 00 01 ...")) << "version query";
  EXPECT_FALSE(vornsim::WakeOnTouchByteSent(L"in 02 04 52 01 20 30 ..."));
  EXPECT_FALSE(vornsim::WakeOnTouchByteSent(L"out 03 12 00 1F 00 05"));
  EXPECT_FALSE(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 00 1"));
}

TEST(SoakWakeUps, CountsWhatTheThreadsDidMeanwhile) {
  using Stats = winsim::Clock::ThreadStats;
  const std::vector<Stats> before = {{11, "service process", 40, false}, {12, "pool long function", 7, false},
                                     {13, "ServiceMain", 2, true}};
  EXPECT_EQ(vornsim::WakeUpsBetween(before, before), 0u) << "an idle hour";
  auto after = before;
  after[1].wakeUps += 3;
  EXPECT_EQ(vornsim::WakeUpsBetween(before, after), 3u) << "a watcher that polls";
  after = before;
  after.push_back({14, "pool long function", 2, true});
  EXPECT_EQ(vornsim::WakeUpsBetween(before, after), 3u) << "a run that started and ended meanwhile";
  after = before;
  after[1].ended = true;
  EXPECT_EQ(vornsim::WakeUpsBetween(before, after), 1u) << "a thread that ended";
  after = {before[0]};
  EXPECT_EQ(vornsim::WakeUpsBetween(before, after), 1u) << "an ended thread left the list; one that had ended already counts nothing";
}

TEST(SoakRandom, ASeedIsAStory) {
  vornsim::Random a(1), b(1), c(2);
  std::vector<uint64_t> first, second, other;
  for (int i = 0; i < 50; ++i) {
    first.push_back(a.Below(1000));
    second.push_back(b.Below(1000));
    other.push_back(c.Below(1000));
  }
  EXPECT_EQ(first, second);
  EXPECT_NE(first, other);
  // Pinned: the story of a seed must not change with the compiler or library.
  vornsim::Random pinned(1);
  EXPECT_EQ(pinned.Next(), 0xB3F2AF6D0FC710C5ull);
}

TEST(SoakRandom, DistributionsStayInRange) {
  vornsim::Random random(7);
  std::set<uint64_t> seen;
  for (int i = 0; i < 2000; ++i) {
    const uint64_t v = random.Between(3, 8);
    ASSERT_GE(v, 3u);
    ASSERT_LE(v, 8u);
    seen.insert(v);
    ASSERT_LT(random.Weighted({0, 5, 0, 1}), 4u);
    ASSERT_NE(random.Weighted({0, 5, 0, 1}), 0u);
  }
  EXPECT_EQ(seen.size(), 6u);
}

TEST(TimelinePage, ParsesTheTimelinesLines) {
  vornsim::TimelineEntry entry;
  ASSERT_TRUE(vornsim::ParseTimelineLine(L"12.345 wire out 03 00 04 F0 02 00 01 ...", entry));
  EXPECT_EQ(entry.timeMs, 12345u);
  EXPECT_EQ(entry.channel, L"wire");
  EXPECT_EQ(entry.text, L"out 03 00 04 F0 02 00 01 ...");
  EXPECT_FALSE(vornsim::ParseTimelineLine(L"soak: passed", entry));
  EXPECT_FALSE(vornsim::ParseTimelineLine(L"12.34 sim start", entry));
}

// What each kind of line draws as; new commands and faults need no change.
TEST(TimelinePage, MarksByMeaning) {
  using K = vornsim::MarkKind;
  const std::pair<const wchar_t*, K> cases[] = {
      {L"event VornPalmixSvc: Enable Wake-on-touch", K::kEnable},
      {L"event VornPalmixSvc: Disable Wake-on-touch", K::kDisable},
      {L"wire out 03 00 04 F0 02 00 01 ...", K::kEnable},
      {L"wire out 03 00 04 F0 02 ...", K::kDisable},
      {L"wire out 03 00 04 F0 02 00 01 ... (write failed)", K::kFailure},
      {L"wire in 02 ...", K::kInfo},
      {L"ctl wake-on-touch on", K::kEnable},
      {L"ctl wake-on-touch off", K::kDisable},
      {L"ctl version query", K::kInfo},
      {L"event VornPalmixSvc: Connect fail. [ERR]Device is not connected.", K::kFailure},
      {L"event VornPalmixSvc: SWSetSystemInfo fail. [ERR]Write Data Wait timeout.", K::kFailure},
      {L"event VornPalmixSvc: Monitor Off - Do nothing", K::kControl},
      {L"event VornPalmixSvc: RegNotifyChangeKeyValue success.", K::kInfo},
      {L"scm VornPalmixSvc RUNNING", K::kControl},
      {L"sim wait 5.000", K::kWait},
      {L"sim display on", K::kControl},
      {L"sim display on not delivered: the service does not accept it", K::kFailure},
      {L"sim start refused: the service is already running", K::kFailure},
      {L"sim controller fault hang", K::kFault},
      {L"sim controller fault none", K::kMachine},
      {L"sim mutex hold", K::kMachine},
      {L"odd something", K::kInfo},
  };
  for (const auto& [line, kind] : cases) {
    vornsim::TimelineEntry entry;
    ASSERT_TRUE(vornsim::ParseTimelineLine(std::wstring(L"1.000 ") + line, entry)) << line;
    EXPECT_EQ(vornsim::Classify(entry), kind) << vornsim::Utf8(line);
  }
}

// The page's data: lanes (with any other channel and the checks), bands, the
// failing check, and texts that cannot end the data block.
TEST(TimelinePage, DataBlockHoldsTheRunAndNoTextCanEndIt) {
  vornsim::RunRecord record;
  record.Add(L"0.000 sim start");
  record.Add(L"1.500 odd x </script><script>alert(1)</script> <!--");
  record.SetState(0, L"display", L"on");
  record.SetState(1200, L"display", L"off");
  record.AddCheck(2000, vornsim::CheckOutcome::kFailed, "#1 FAILED");
  record.SetSummary("soak: FAILED <here>\n", "soak: the end:\n  1.500 odd x\n");
  const std::string html = vornsim::HtmlPage(record.Data(), "a </title> title");
  EXPECT_EQ(html.find("</title> title"), std::string::npos);
  EXPECT_NE(html.find("<pre>soak: FAILED &lt;here&gt;\n</pre><details><summary>soak: the end:</summary><pre>  1.500 odd x\n"),
            std::string::npos);
  const std::string open = "<script id=\"vornsim-data\" type=\"application/json\">";
  const size_t start = html.find(open) + open.size();
  ASSERT_NE(start, std::string::npos + open.size());
  const auto data = nlohmann::json::parse(html.substr(start, html.find("</script>", start) - start));
  EXPECT_EQ(data["lanes"], nlohmann::json({"scm", "event", "wire", "ctl", "sim", "odd", "checks"}));
  EXPECT_EQ(data["failMs"], 2000);
  EXPECT_EQ(data["marks"].size(), 12u);
  const auto& texts = data["texts"];
  EXPECT_NE(std::find(texts.begin(), texts.end(), "x </script><script>alert(1)</script> <!--"), texts.end());
  ASSERT_EQ(data["bands"].size(), 1u);
  EXPECT_EQ(data["bands"][0][0], "display");
  EXPECT_EQ(data["bands"][0][1].size(), 4u);
}

TEST(TimelinePage, Utf8) {
  EXPECT_EQ(vornsim::Utf8(L"J\u00f6rg \u20ac"), "J\xc3\xb6rg \xe2\x82\xac");
}

}  // namespace
