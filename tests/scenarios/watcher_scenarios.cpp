// Whole-service stories about the watcher's life: display-on restarts, a
// missing controller, stops at every stage of a run, and -wotchk.
#include "app/ServiceProcess.h"
#include "service/ServiceIdentity.h"
#include "simkit/ServiceMachine.h"
#include "wot/SampleService.h"
#include "wot/ServiceEntry.h"

#include <gtest/gtest.h>
#include <handles/win32.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/threadpool.h>

#include <algorithm>

#include <optional>

namespace {

using simkit::ServiceMachine;

// The waiting watcher wakes, pushes once more and ends; the new one pushes
// after its delay and is then the only one watching.
TEST(WatcherScenario, DisplayOnRestartsAWaitingWatcher) {
  ServiceMachine machine;
  ASSERT_TRUE(machine.StartWatching());
  EXPECT_TRUE(machine.DisplayOn());
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 3));
  ASSERT_TRUE(machine.WaitForWatching(2));
  EXPECT_EQ(machine.Log().Count("Monitor On - the thread is running"), 1u);
  EXPECT_EQ(machine.Log().Count("Monitor On - SetEvent m_hRegWatchEvent"), 1u);
  EXPECT_EQ(machine.Log().Count("Monitor On - Create new thread"), 1u);
  EXPECT_EQ(machine.EventCount(L"WAIT_OBJECT_0"), 1u);

  // One watcher is left: a change is pushed once.
  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(3));
  EXPECT_EQ(machine.PushedFlags(), (std::vector<uint8_t>{1, 1, 1, 0}));
}

// A storm of display-on events 1 ms apart: the later ones find the stop
// already requested and only queue another run; a run replaced while it
// waits out its start delay leaves at once without a push, so the pool holds
// no more than the woken watcher, the newest run and one on its way out, and
// one watcher is left.
TEST(WatcherScenario, ADisplayOnStormLeavesOneWatcherAndFewThreads) {
  ServiceMachine machine;
  ASSERT_TRUE(machine.StartWatching());
  size_t nPeakRuns = 0;
  for (int nEvent = 0; nEvent < 200; ++nEvent) {
    EXPECT_TRUE(machine.DisplayOn());
    nPeakRuns = std::max(nPeakRuns, machine->Part<winsim::ThreadPool>().Pending());
    machine->clock().Sleep(1);
  }
  EXPECT_LE(nPeakRuns, 3u);
  EXPECT_EQ(machine.Log().Count("Monitor On - SetEvent m_hRegWatchEvent"), 1u);
  ASSERT_TRUE(machine.WaitForWatching(2));
  machine->clock().Sleep(10000);  // the replaced runs' start delays are over
  // The start, the woken watcher's last push, the newest run's push.
  EXPECT_EQ(machine.EventCount(L"Enable Wake-on-touch"), 3u);
  EXPECT_EQ(machine.Log().Count("A newer watcher runs - this one does not watch"), 0u);
  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(3));
  EXPECT_EQ(machine.EventCount(L"Disable Wake-on-touch"), 1u);
}

// Restarts from the dispatcher's thread (display-ons, console connects) and
// from pool threads (the checks of a controller's arrivals) interleaved: one
// watcher is left and a change is pushed once. A stop right after an arrival
// ends cleanly: the object goes only after the arrival's checks.
TEST(WatcherScenario, RestartsFromEveryThreadLeaveOneWatcherAndEndWithTheService) {
  ServiceMachine machine;
  auto controller = machine.Controller();
  ASSERT_TRUE(machine.StartWatching());
  for (int nCycle = 0; nCycle < 20; ++nCycle) {
    controller->Detach();
    controller->Attach();
    EXPECT_TRUE(machine.DisplayOn());
    EXPECT_TRUE(machine.Scm().SessionChange(kServiceName, WTS_CONSOLE_CONNECT, 1).Delivered());
    machine->clock().Sleep(nCycle % 3);
  }
  machine->clock().Sleep(10000);
  EXPECT_EQ(machine.Registry().ArmedNotifications(machine.UserKey()), 1u);
  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  machine->clock().Sleep(10000);
  EXPECT_EQ(machine.EventCount(L"Disable Wake-on-touch"), 1u);

  controller->Detach();
  controller->Attach();
  ASSERT_TRUE(machine.Stop());
  EXPECT_EQ(machine.Log().Count("Service Destroy"), 1u);
  EXPECT_EQ(machine.Scm().ProcessExitCode(kServiceName), std::optional<DWORD>(0));
}

// Without a controller: 15 pushes 2 s apart, then the failure messages and no
// watching. A display-on later, with the controller back, starts over.
TEST(WatcherScenario, NoControllerGivesUpAndTheNextDisplayOnTriesAgain) {
  ServiceMachine machine;
  machine.Controller()->Detach();
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForEvents(L"RetryHidDevWoTCtrl fail.", 1));
  ASSERT_TRUE(machine.WaitForDebug("m_fDevExist is FALSE. Can't detect device."));
  ASSERT_TRUE(machine.WaitForNoWatcher());
  EXPECT_EQ(machine.Log().Count("Init HidDevWoTCtrl fail"), 15u);
  EXPECT_EQ(machine.EventCount(L"Init HidDevWoTCtrl fail."), 1u);
  EXPECT_EQ(machine.EventCount(L"Connect fail. [ERR]Device is not connected.\r\n"), 15u);
  EXPECT_EQ(machine.Registry().ArmedNotifications(machine.UserKey()), 0u);

  machine.Controller()->Attach();
  EXPECT_TRUE(machine.DisplayOn());
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(1));
}

// A burst of display off/on cycles without a controller: each display-on
// queues a run, but a replaced run stops at its next pause, so only the
// newest keeps retrying and the failed pushes come no faster than its spacing.
TEST(WatcherScenario, ABurstOfDisplayEventsLeavesOnlyTheNewestRunRetrying) {
  ServiceMachine machine;
  machine.Controller()->Detach();
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForDebug("Init HidDevWoTCtrl fail", 1));
  for (int nCycle = 0; nCycle < 12; ++nCycle) {
    EXPECT_TRUE(machine.Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {0}).Delivered());
    EXPECT_TRUE(machine.DisplayOn());
    machine->clock().Sleep(500);
  }
  ASSERT_TRUE(machine.WaitForNoWatcher());
  // The first run's pushes until it was replaced, then the newest run's 15.
  EXPECT_LE(machine.Log().Count("Init HidDevWoTCtrl fail"), 15u + 5u);
  EXPECT_EQ(machine.EventCount(L"Init HidDevWoTCtrl fail."), 1u);
}

// A controller that comes back while the pushes are retried gets the setting.
TEST(WatcherScenario, AControllerBackDuringTheRetriesGetsTheSetting) {
  ServiceMachine machine;
  auto controller = machine.Controller();
  controller->Detach();
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForDebug("Init HidDevWoTCtrl fail", 2));
  controller->Attach();
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(1));
  EXPECT_EQ(machine.EventCount(L"Init HidDevWoTCtrl fail."), 0u);
}

// A stop while the watcher waits: it wakes and ends without another push.
TEST(WatcherScenario, StopWhileWaiting) {
  ServiceMachine machine;
  ASSERT_TRUE(machine.StartWatching());
  ASSERT_TRUE(machine.Stop());
  EXPECT_EQ(machine.Log().Count("Service Destroy"), 1u);
  EXPECT_EQ(machine.PushedFlags(), std::vector<uint8_t>{1});
  EXPECT_EQ(machine.Registry().ArmedNotifications(machine.UserKey()), 0u);
  EXPECT_EQ(machine.EventCount(L"OnStop OK."), 1u);
}

// A stop while the pushes are retried ends the retries at once, without the
// failure messages of a run that gave up.
TEST(WatcherScenario, StopWhileRetrying) {
  ServiceMachine machine;
  machine.Controller()->Detach();
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForDebug("Init HidDevWoTCtrl fail"));
  ASSERT_TRUE(machine.Stop());
  EXPECT_EQ(machine.Log().Count("Service Destroy"), 1u);
  EXPECT_LT(machine.Log().Count("Init HidDevWoTCtrl fail"), 15u);
  EXPECT_EQ(machine.EventCount(L"Init HidDevWoTCtrl fail."), 0u);
  EXPECT_EQ(machine.EventCount(L"RetryHidDevWoTCtrl fail."), 0u);
}

// A stop while a push is on the wire (the controller never completes the
// write): the push runs into its time-out and ends, no retry follows, and the
// object goes only after the run.
TEST(WatcherScenario, StopWhilePushing) {
  ServiceMachine machine;
  machine.Controller()->SetFault(winsim::ControllerFault::kStuckWrite);
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForDebug("---> VORNAPI::Connect"));
  ASSERT_TRUE(machine.Stop());
  EXPECT_EQ(machine.Log().Count("<--- VORNAPI::Disconnect"), 1u);
  EXPECT_EQ(machine.Log().Count("Service Destroy"), 1u);
  EXPECT_EQ(machine.Log().Count("---> VORNAPI::Connect"), 1u);
  EXPECT_EQ(machine.EventCount(L"Init HidDevWoTCtrl fail."), 0u);
}

// A push whose write hangs and whose driver ignores the cancel no longer
// holds the stop: the transfer is given up after its bounded wait, its buffer
// kept, and the process ends with 0. Only a call that never returns (here the
// cancel itself) still runs out the teardown wait: the process then ends
// through ExitProcess rather than returning from its entry under the push.
TEST(WatcherScenario, AHungPushEndsWithinTheTeardownBoundUnlessACallNeverReturns) {
  for (const bool fCancelNeverReturns : {false, true}) {
    SCOPED_TRACE(fCancelNeverReturns ? "cancel never returns" : "cancel ignored");
    ServiceMachine machine;
    auto& faults = machine.Faults();
    HANDLE hRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    machine.Controller()->SetFault(winsim::ControllerFault::kStuckWrite);
    winsim::FaultPlan plan;
    if (fCancelNeverReturns) plan.action = [hRelease] { WaitForSingleObject(hRelease, INFINITE); };
    faults.Arm(winsim::FaultPoint::kCancelIo, plan);
    ASSERT_TRUE(machine.Start());
    ASSERT_TRUE(machine.WaitUntil([&] { return faults.Hits(winsim::FaultPoint::kCancelIo) == 1; }));

    const uint64_t ullStop = machine->clock().NowMs();
    const auto outcome = machine.Scm().Stop(kServiceName);
    ASSERT_TRUE(outcome.Delivered());
    EXPECT_EQ(outcome.status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    ASSERT_TRUE(machine.Scm().WaitForProcessEnd(kServiceName, simkit::kWaitBoundMs));
    const uint64_t ullTook = machine->clock().NowMs() - ullStop;
    EXPECT_EQ(machine.Log().Count("Service object left to the process's end: a watcher did not end in time"),
              fCancelNeverReturns ? 1u : 0u);
    EXPECT_EQ(machine.Scm().ProcessExitCode(kServiceName),
              std::optional<DWORD>(fCancelNeverReturns ? ERROR_TIMEOUT : NO_ERROR));
    EXPECT_EQ(machine.Log().Count("Service Destroy"), fCancelNeverReturns ? 0u : 1u);
    EXPECT_EQ(machine.Scm().Status(kServiceName).dwWin32ExitCode, (DWORD)NO_ERROR);
    if (fCancelNeverReturns) {
      EXPECT_GE(ullTook, uint64_t{CSampleService::kWatcherEndWaitMs});
      EXPECT_NE(g_pLeftService, nullptr);
      SetEvent(hRelease);
      ASSERT_TRUE(machine.WaitForNoWatcher());
    } else {
      EXPECT_LT(ullTook, uint64_t{CSampleService::kWatcherEndWaitMs});
    }
    machine.Controller()->Detach();
    EXPECT_EQ(machine.Log().Count("<--- VORNAPI::Disconnect"), 1u);
    EXPECT_EQ(machine.EventCount(L"Init HidDevWoTCtrl fail."), 0u);
    faults.Disarm(winsim::FaultPoint::kCancelIo);
    CloseHandle(hRelease);
  }
}

// A stop while a bridge frame is held (the 0x0007 bridge never takes it): the
// frame under way and every later write of the push get only a short grace,
// so the process ends well before that one frame's 5 s time-out.
TEST(WatcherScenario, StopDuringAHeldBridgeFrameEndsWellUnderItsTimeOut) {
  ServiceMachine machine({.controller = "pid=0007,fault=stuck-write"});
  std::atomic<int> nHeld{0};
  machine.Controller()->SetObserver([&](const winsim::ControllerEvent& event) {
    if (event.kind == winsim::ControllerEvent::Kind::kWriteFailed) ++nHeld;
  });
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitUntil([&] { return nHeld.load() >= 1; }));

  const uint64_t ullStop = machine->clock().NowMs();
  ASSERT_TRUE(machine.Stop());
  EXPECT_LT(machine->clock().NowMs() - ullStop, uint64_t{CTouchIC::kBridgeFrameTimeoutMs});
  EXPECT_EQ(machine.Log().Count("Service Destroy"), 1u);
  EXPECT_EQ(machine.Log().Count("Service object left to the process's end: a watcher did not end in time"), 0u);
  EXPECT_EQ(machine.Scm().ProcessExitCode(kServiceName), std::optional<DWORD>(0));
  machine.Controller()->SetObserver(nullptr);
}

// Holds the controller's mutex on the test's thread, as another process would.
class MutexHeld {
 public:
  MutexHeld() : m_mutex(CreateMutexA(nullptr, FALSE, "GMutexTouchIC")) {
    EXPECT_EQ(WaitForSingleObject(m_mutex.Get(), 0), WAIT_OBJECT_0);
  }
  ~MutexHeld() { ReleaseMutex(m_mutex.Get()); }
  MutexHeld(const MutexHeld&) = delete;
  MutexHeld& operator=(const MutexHeld&) = delete;

 private:
  const handles::ObjectHandle m_mutex;
};

// A stop while a push waits for a mutex someone else holds, in Connect or in
// the Disconnect after the failed Connect (a push after a first one, so the
// controller object has its transport): the wait ends with the stop, the
// object is destroyed, and the stop costs no mutex time-out.
TEST(WatcherScenario, StopWhileThePushWaitsForTheMutex) {
  constexpr uint64_t kMutexTimeoutMs = 15000;
  for (bool fAfterFailedConnect : {false, true}) {
    SCOPED_TRACE(fAfterFailedConnect ? "after the failed Connect" : "in Connect");
    ServiceMachine machine;
    ASSERT_TRUE(machine.StartWatching());
    MutexHeld held;
    ASSERT_TRUE(machine.SetTouch(0));
    ASSERT_TRUE(machine.WaitForDebug("---> VORNAPI::Connect", 2));
    if (fAfterFailedConnect) {
      ASSERT_TRUE(machine.WaitUntil([&] { return machine.EventsStartingWith(L"Connect fail.") >= 1; }));
    }
    const uint64_t ullStop = machine->clock().NowMs();
    ASSERT_TRUE(machine.Stop());
    EXPECT_LT(machine->clock().NowMs() - ullStop, kMutexTimeoutMs);
    EXPECT_EQ(machine.Log().Count("Service object left to the process's end: a watcher did not end in time"), 0u);
    EXPECT_EQ(machine.Log().Count("Service Destroy"), 1u);
    EXPECT_EQ(machine.Log().Count("<--- VORNAPI::Disconnect"), 2u);
    EXPECT_EQ(machine.PushedFlags(), std::vector<uint8_t>{1});
  }
}

// -wotchk pushes the enabling selection once, whatever the user's setting.
TEST(WotCheckScenario, PushesEnableOnceWithOrWithoutAController) {
  for (bool attached : {true, false}) {
    ServiceMachine machine;
    ASSERT_TRUE(machine.SetTouch(0));
    auto controller = machine.Controller();
    if (!attached) controller->Detach();

    RunWotCheck();

    EXPECT_EQ(machine.Log().Count("Read WoT setting by wotchk"), 1u);
    EXPECT_EQ(machine.Log().Count("---> VORNAPI::Connect"), 1u);
    auto texts = machine.EventTexts();
    ASSERT_EQ(texts.size(), 1u) << attached;
    if (attached) {
      EXPECT_EQ(texts[0], L"Enable Wake-on-touch");
      EXPECT_EQ(machine.PushedFlags(), std::vector<uint8_t>{1});
    } else {
      EXPECT_EQ(texts[0].rfind(L"Connect fail. ", 0), 0u) << texts[0];
    }
  }
}

}  // namespace
