// Whole-service stories where the machine fails the watcher: a push whose
// write fails every time, a user key that cannot be opened for
// notifications, and memory that runs out.
#include "simkit/ServiceMachine.h"

#include <gtest/gtest.h>

#include <winsim/sim/faults.h>

#include <algorithm>

namespace {

using simkit::ServiceMachine;

// A change whose every push fails: fifteen attempts, then one event that the
// selection did not reach the controller; the watcher keeps watching and the
// next change gets through once the controller accepts writes again.
TEST(FaultScenario, AChangeThatCannotBeWrittenIsReportedAndWatchingGoesOn) {
  ServiceMachine machine;
  ASSERT_TRUE(machine.StartWatching());
  machine.Controller()->SetFault(winsim::ControllerFault::kFailWrite);
  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Can not send wot-sel command to device", 1));
  EXPECT_EQ(machine.Log().Count("Init HidDevWoTCtrl fail"), 15u);
  EXPECT_EQ(machine.EventCount(L"Init HidDevWoTCtrl fail."), 1u);
  EXPECT_EQ(machine.EventCount(L"Disable Wake-on-touch"), 0u) << "a failed write is no success";
  ASSERT_TRUE(machine.WaitForWatching(2));

  machine.Controller()->SetFault(winsim::ControllerFault::kNone);
  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  EXPECT_EQ(machine.PushedFlags(), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(machine.EventCount(L"Can not send wot-sel command to device"), 1u);
  // Each failure's message keeps the controller's error text whole, its line break included.
  const auto texts = machine.EventTexts();
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::wstring& text) {
                            return text.starts_with(L"SWSetSystemInfo fail. [") && text.ends_with(L"\r\n");
                          }),
            15);

  // A display-on wakes the watcher, whose one more push fails and is not
  // retried (the newer run pushes): only the debug log says it was not sent.
  ASSERT_TRUE(machine.WaitForWatching(3));
  machine.Controller()->SetFault(winsim::ControllerFault::kFailWrite);
  ASSERT_TRUE(machine.DisplayOn());
  ASSERT_TRUE(machine.WaitForDebug("Can not send wot-sel command to device", 2));
  EXPECT_EQ(machine.EventCount(L"Can not send wot-sel command to device"), 1u);
}

// The first push fails, after the run has read the setting: the controller
// fails its writes. Meanwhile the user's key goes, and the writes work again
// (a controller that came back would restart the run, which reads anew).
void LoseTheUserKeyDuringTheFirstPush(ServiceMachine& machine) {
  auto controller = machine.Controller();
  controller->SetFault(winsim::ControllerFault::kFailWrite);
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForDebug("Init HidDevWoTCtrl fail", 1));
  ASSERT_TRUE(machine.Registry().DeleteKeyTree(machine.UserKey()));
  controller->SetFault(winsim::ControllerFault::kNone);
}

// The user's key goes away after the setting was read: the notification key
// is tried ten times, then the run gives up with one event and watches nothing.
TEST(FaultScenario, ANotificationKeyThatCannotBeOpenedIsTriedTenTimes) {
  ServiceMachine machine;
  ASSERT_NO_FATAL_FAILURE(LoseTheUserKeyDuringTheFirstPush(machine));
  ASSERT_TRUE(machine.WaitForEvents(L"RegSetNotify fail.", 1));
  ASSERT_TRUE(machine.WaitForNoWatcher());
  EXPECT_EQ(machine.EventCount(L"RegOpenKeyEx KEY_NOTIFY fail."), 10u);
  EXPECT_EQ(machine.Log().Count("RegSetNotify fail. Can't run registry changing detection."), 1u);
  EXPECT_EQ(machine.EventCount(L"RegNotifyChangeKeyValue success."), 0u);
  EXPECT_EQ(machine.Registry().ArmedNotifications(machine.UserKey()), 0u);
  EXPECT_EQ(machine.PushedFlags(), std::vector<uint8_t>{1});
}

// The key comes back during the attempts: the run opens it, takes up the
// value written meanwhile and watches.
TEST(FaultScenario, ANotificationKeyBackDuringTheAttemptsIsWatched) {
  ServiceMachine machine;
  ASSERT_NO_FATAL_FAILURE(LoseTheUserKeyDuringTheFirstPush(machine));
  ASSERT_TRUE(machine.WaitUntil([&] { return machine.EventCount(L"RegOpenKeyEx KEY_NOTIFY fail.") >= 2; }));
  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(2));
  EXPECT_EQ(machine.EventCount(L"RegSetNotify fail."), 0u);
  EXPECT_LT(machine.EventCount(L"RegOpenKeyEx KEY_NOTIFY fail."), 10u);
}

// Memory runs out while the service works: first while it looks the user up,
// then while it connects for a change. Each failure is reported and retried;
// once memory is back the user's setting goes through, and no handle is left
// behind by the failed attempts.
TEST(FaultScenario, MemoryThatRunsOutIsReportedAndTheWorkIsRetried) {
  ServiceMachine machine;
  winsim::Faults& faults = machine.Faults();
  winsim::FaultPlan everything;
  everything.error = ERROR_NOT_ENOUGH_MEMORY;
  everything.count = UINT_MAX;
  ASSERT_TRUE(machine.StartRunning());
  // The run is in its start delay: its record was made before the start was reported.
  faults.Arm(winsim::FaultPoint::kHeapAlloc, everything);
  ASSERT_TRUE(machine.WaitForEvents(L"GetSIDString Fail", 2));
  faults.Disarm(winsim::FaultPoint::kHeapAlloc);
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(1));
  const size_t nHandles = machine->handles().Count();

  faults.Arm(winsim::FaultPoint::kHeapAlloc, everything);
  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitUntil([&] { return machine.EventsStartingWith(L"Connect fail.") >= 2; }));
  EXPECT_EQ(machine.EventCount(L"Disable Wake-on-touch"), 0u) << "a push without memory is no success";
  faults.Disarm(winsim::FaultPoint::kHeapAlloc);
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(2));
  EXPECT_EQ(machine.PushedFlags(), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(machine->handles().Count(), nHandles);
  EXPECT_GT(faults.Hits(winsim::FaultPoint::kHeapAlloc), 2u);
}

}  // namespace
