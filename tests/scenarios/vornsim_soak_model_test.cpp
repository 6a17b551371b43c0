// The soak's parts that need no machine: the expected selection and when it
// is determined (soak_model.h), the seeded generator (random.h), and the
// timeline page's parsing and drawing (html.h).
#include "html.h"
#include "random.h"
#include "soak_model.h"

#include <gtest/gtest.h>

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

TEST(SoakModel, StartDeterminesTheByteOnceTheRunIsDone) {
  WakeModel model;
  model.Opportunity(1000, User(0));
  EXPECT_FALSE(model.Expected(3000, User(0))) << "the run has not pushed yet";
  WakeModel settled;
  settled.Opportunity(1000, User(257));
  EXPECT_EQ(settled.Expected(kSettled, User(257)), 0x01) << "the low byte of 257";
}

TEST(SoakModel, NobodyLoggedOnGivesOne) {
  WakeModel model;
  model.Opportunity(0, WakeFacts{});
  EXPECT_EQ(model.Expected(kSettled, WakeFacts{}), 1);
}

TEST(SoakModel, WatchedChangesArePushedDeletionsAreNot) {
  WakeModel model;
  model.Opportunity(0, User(1));
  model.SettingChanged(kSettled, User(1), User(0));
  EXPECT_EQ(model.Expected(kSettled + 10000, User(0)), 0);
  model.SettingChanged(kSettled + 20000, User(0), User(std::nullopt));
  EXPECT_FALSE(model.Expected(kSettled + 30000, User(std::nullopt))) << model.Reason();
  model.SettingChanged(kSettled + 40000, User(std::nullopt), User(2));
  EXPECT_EQ(model.Expected(kSettled + 50000, User(2)), 2) << "the watcher re-armed after the failed read";
}

TEST(SoakModel, NoWatcherAfterAMissingValue) {
  WakeModel model;
  model.Opportunity(0, User(std::nullopt));
  EXPECT_EQ(model.Expected(kSettled, User(std::nullopt)), 1);
  model.SettingChanged(kSettled + 1000, User(std::nullopt), User(0));
  EXPECT_FALSE(model.Expected(kSettled + 5000, User(0))) << "the run did not watch: nothing follows the change";
  model.Opportunity(kSettled + 6000, User(0));
  EXPECT_EQ(model.Expected(2 * kSettled, User(0)), 0);
}

TEST(SoakModel, AChangeDuringTheRunsReactionLeavesItOpen) {
  WakeModel model;
  model.Opportunity(0, WakeFacts{});
  model.UsersChanged(20000, WakeFacts{}, User(0));
  EXPECT_FALSE(model.Expected(kSettled, User(0))) << "the run may have found the user or not";
  model.Opportunity(kSettled, User(0));
  EXPECT_EQ(model.Expected(2 * kSettled, User(0)), 0);
}

TEST(SoakModel, ANewUserCountsFromTheNextOpportunity) {
  WakeModel model;
  model.Opportunity(0, User(0, true, L"S-A"));
  model.UsersChanged(kSettled, User(0, true, L"S-A"), User(1, true, L"S-B"));
  EXPECT_FALSE(model.Expected(kSettled + 1000, User(1, true, L"S-B")));
  model.SettingChanged(kSettled + 2000, User(1, true, L"S-B"), User(2, true, L"S-B"));
  EXPECT_FALSE(model.Expected(kSettled + 3000, User(2, true, L"S-B"))) << "the watcher follows the first user";
  model.Opportunity(kSettled + 4000, User(2, true, L"S-B"));
  EXPECT_EQ(model.Expected(2 * kSettled, User(2, true, L"S-B")), 2);
}

TEST(SoakModel, AControllerThatArrivesNeedsAnOpportunity) {
  WakeModel model;
  model.Opportunity(0, User(0));
  model.ControllerChanged(kSettled, false, false);
  EXPECT_FALSE(model.Expected(kSettled + 1000, User(0)));
  model.ControllerChanged(kSettled + 2000, true, false);
  EXPECT_FALSE(model.Expected(kSettled + 3000, User(0))) << "no push when a controller arrives";
  model.SettingChanged(kSettled + 4000, User(0), User(1));
  EXPECT_EQ(model.Expected(kSettled + 5000, User(1)), 1) << "a watched change is a push opportunity";
}

TEST(SoakModel, AFaultAtTheOpportunityLeavesItOpen) {
  WakeModel model;
  model.ControllerChanged(0, true, true);
  model.Opportunity(1000, User(0));
  model.ControllerChanged(kSettled, true, false);
  EXPECT_FALSE(model.Expected(2 * kSettled, User(0)));
}

TEST(SoakModel, AStopKeepsTheByte) {
  WakeModel model;
  model.Opportunity(0, User(0));
  model.Stopped(kSettled);
  EXPECT_EQ(model.Expected(kSettled + 1000, User(0)), 0);
  EXPECT_FALSE(model.Running());
  model.SettingChanged(kSettled + 2000, User(0), User(1));
  EXPECT_FALSE(model.Expected(kSettled + 3000, User(1))) << "nobody watches a stopped service's setting";
}

TEST(SoakModel, AStopDuringTheReactionLeavesItOpen) {
  WakeModel model;
  model.Opportunity(0, User(0));
  model.Stopped(2000);
  EXPECT_FALSE(model.Expected(kSettled, User(0)));
}

TEST(SoakModel, ADeletedKeyEndsTheWatch) {
  WakeModel model;
  model.Opportunity(0, User(0));
  model.SettingChanged(kSettled, User(0), User(std::nullopt, false));
  model.SettingChanged(kSettled + 60000, User(std::nullopt, false), User(1));
  EXPECT_FALSE(model.Expected(kSettled + 70000, User(1)));
}

TEST(SoakWire, TheByteOfAWakeOnTouchCommand) {
  EXPECT_EQ(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 00 01 ..."), 0x01);
  EXPECT_EQ(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 00 FF ..."), 0xFF);
  EXPECT_EQ(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 ..."), 0x00) << "the zero byte folded into ...";
  EXPECT_EQ(vornsim::WakeOnTouchByteSent(L"out 03 00 06 F0 02 00 02 ..."), 0x02) << "fixed-length framing";
  EXPECT_FALSE(vornsim::WakeOnTouchByteSent(L"out 03 00 04 F0 02 00 01 ... (write failed)"))
      << "the controller never saw it";
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

TEST(TimelinePage, OneMarkPerLineInItsLane) {
  vornsim::HtmlTimeline page;
  page.Add(L"0.000 sim start");
  page.Add(L"0.010 scm VornPalmixSvc START_PENDING");
  page.Add(L"0.010 scm VornPalmixSvc RUNNING");
  page.Add(L"5.020 wire out 03 00 04 F0 02 00 01 ...");
  page.Add(L"5.020 ctl wake-on-touch on");
  page.Add(L"5.021 event VornPalmixSvc: Enable <Wake> & \"touch\"");
  page.Add(L"6.000 odd something else");
  const std::string html = page.Page("test");
  EXPECT_EQ(html.find("http"), std::string::npos) << "the page needs no network";
  for (const char* lane : {"scm", "event", "wire", "ctl", "sim", "odd"})
    EXPECT_NE(html.find(std::string("data-channel=\"") + lane + "\""), std::string::npos) << lane;
  size_t marks = 0;
  for (size_t at = html.find("<rect class=\"mark\""); at != std::string::npos; at = html.find("<rect class=\"mark\"", at + 1))
    marks += html.compare(html.find('>', at), 8, "><title>") == 0;
  EXPECT_EQ(marks, 7u) << "one mark with its hover text per line";
  EXPECT_NE(html.find("<title>5.021 event VornPalmixSvc: Enable &lt;Wake&gt; &amp; &quot;touch&quot;</title>"),
            std::string::npos);
  EXPECT_NE(html.find("id=\"mark-counts\""), std::string::npos);
}

TEST(TimelinePage, Utf8) {
  EXPECT_EQ(vornsim::Utf8(L"J\u00f6rg \u20ac"), "J\xc3\xb6rg \xe2\x82\xac");
}

}  // namespace
