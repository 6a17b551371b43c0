// CSampleService: its parts after construction, its service start under the
// simulated SCM and from a console, its stop, shutdown and display hooks, and
// the teardown that never lets a watcher run into released resources.
#include "app/ServiceProcess.h"
#include "service/ServiceIdentity.h"
#include "simkit/ServiceMachine.h"
#include "tests/support/CaptureWide.h"
#include "wot/SampleService.h"

#include <gtest/gtest.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/threadpool.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using simkit::kWaitBoundMs;
using simkit::StateReport;

// On virtual time, with the test's thread a simulated one: the service runs
// only while the test waits, so a stop reaches it before the watcher's start
// delay has passed however busy the host is.
class SampleServiceTest : public testing::Test {
 protected:
  winsim::Services& Scm() { return m_host.Scm(); }
  simkit::ServiceMachine m_host;
};

TEST_F(SampleServiceTest, ConstructionSetsTheTableValues) {
  auto& handles = winsim::CurrentMachine().handles();
  const size_t nBefore = handles.Count();
  CSampleService service;
  EXPECT_STREQ(service.GetServiceName(), L"VornPalmixSvc");
  EXPECT_EQ(service.Push().Vid(), 0x2C1Au);
  EXPECT_EQ(service.Push().Pid(), 0u);
  const CRegWatch& watch = service.Watch();
  EXPECT_EQ(watch.StartDelay(), 5000u);
  EXPECT_FALSE(watch.IsThreadRunning());
  EXPECT_EQ(watch.WotSel(), 0u);
  EXPECT_FALSE(watch.RegExist());
  EXPECT_FALSE(watch.StopWatch());
  EXPECT_EQ(service.WatchRuns(), 0);
  EXPECT_EQ(WaitForSingleObject(service.EndingEvent(), 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(handles.Count(), nBefore + 4) << "the stopped, watch and ending events, the push lock";
}

TEST_F(SampleServiceTest, DestructionReleasesEverythingAndWritesServiceDestroy) {
  auto& handles = winsim::CurrentMachine().handles();
  const size_t before = handles.Count();
  { CSampleService service; }
  EXPECT_EQ(handles.Count(), before);
  EXPECT_TRUE(m_host.Log().Has("Service Destroy"));
  EXPECT_TRUE(m_host.EventTexts().empty());
}

TEST_F(SampleServiceTest, RunsUnderTheScmFromStartToStop) {
  ASSERT_TRUE(m_host.StartRunning());
  SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceW(hManager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(hService, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{{SERVICE_START_PENDING, 1, 0},
                                                        {SERVICE_RUNNING, 0, 0},
                                                        {SERVICE_STOP_PENDING, 2, 0},
                                                        {SERVICE_STOPPED, 0, 0}}));
  EXPECT_EQ(m_host.EventTexts(), (std::vector<std::wstring>{L"CppWindowsService in OnStart",
                                                            L"CppWindowsService in OnStop", L"OnStop OK."}));
  auto debug = m_host.Log().Messages();
  EXPECT_NE(std::find(debug.begin(), debug.end(), "OnStop OK."), debug.end());
  EXPECT_EQ(debug.back(), "Service Destroy");
  EXPECT_EQ(g_pService, nullptr);
}

TEST_F(SampleServiceTest, ConsoleStartPrintsTheDispatcherFailure) {
  EXPECT_EQ(vorntest::CaptureWide(RunServiceTo), L"Service failed to run w/err 0x00000427\n");
  EXPECT_TRUE(m_host.Log().Has("Service Destroy"));
  EXPECT_EQ(g_pService, nullptr);
}

TEST_F(SampleServiceTest, DisplayOffWritesOneMessageAndChangesNothing) {
  ASSERT_TRUE(m_host.StartRunning());
  const size_t nEntries = m_host.Events().Count();
  ASSERT_TRUE(Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {0, 0, 0, 0}).Delivered());
  auto texts = m_host.EventTexts();
  EXPECT_EQ(std::vector<std::wstring>(texts.begin() + nEntries, texts.end()),
            std::vector<std::wstring>{L"Monitor Off - Do nothing"});
  EXPECT_EQ(m_host.Reports().size(), 2u);
}

TEST_F(SampleServiceTest, DisplayOnStartsWithItsMessage) {
  ASSERT_TRUE(m_host.StartRunning());
  const size_t nEntries = m_host.Events().Count();
  ASSERT_TRUE(Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  auto texts = m_host.EventTexts();
  ASSERT_GT(texts.size(), nEntries);
  EXPECT_EQ(texts[nEntries], L"Monitor On - Pass WoT selection to low level touch controller");
}

TEST_F(SampleServiceTest, ShutdownWritesItsMessageAndStops) {
  ASSERT_TRUE(m_host.StartRunning());
  ASSERT_TRUE(Scm().Shutdown(kServiceName).Delivered());
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(m_host.Reports().back(), (StateReport{SERVICE_STOPPED, 0, 0}));
  EXPECT_EQ(m_host.Reports().size(), 3u);
  EXPECT_EQ(m_host.EventTexts().back(), L"CppWindowsService in OnShutdown");
}

// A watcher run whose record cannot be allocated: at the start the service
// stops with the error; on a display-on the failure is logged and the
// service goes on, and the next display-on starts a run.
TEST_F(SampleServiceTest, AWatcherRunWithoutMemoryIsReportedNotLost) {
  winsim::Faults& faults = winsim::CurrentMachine().Part<winsim::Faults>();
  winsim::FaultPlan plan;
  plan.error = ERROR_NOT_ENOUGH_MEMORY;
  plan.subject = L"new";
  faults.Arm(winsim::FaultPoint::kHeapAlloc, plan);
  ASSERT_EQ(Scm().Start(kServiceName), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(m_host.Reports().back(), (StateReport{SERVICE_STOPPED, 0, ERROR_NOT_ENOUGH_MEMORY}));
  EXPECT_EQ(m_host.EventTexts().back(), L"Service Start failed w/err 0x00000008");

  ASSERT_TRUE(m_host.StartRunning());
  faults.Arm(winsim::FaultPoint::kHeapAlloc, plan);
  ASSERT_TRUE(Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  EXPECT_EQ(m_host.EventTexts().back(), L"Service handle power event failed w/err 0x00000008");
  EXPECT_EQ(Scm().Status(kServiceName).dwCurrentState, (DWORD)SERVICE_RUNNING);
  const size_t nEntries = m_host.Events().Count();
  ASSERT_TRUE(Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  const auto texts = m_host.EventTexts();
  EXPECT_EQ(std::count(texts.begin() + nEntries, texts.end(), L"Service handle power event failed w/err 0x00000008"), 0);
  EXPECT_EQ(faults.Hits(winsim::FaultPoint::kHeapAlloc), 2u);
}

// ---- Teardown ------------------------------------------------------------------------

// Exposes the hooks, to drive the service object without the SCM.
class CHookedService : public CSampleService {
 public:
  using CSampleService::OnShutdown;
  using CSampleService::OnStart;
  using CSampleService::OnStop;
};

// A stop while a run waits for a change: the watch event stays open for the
// run, which wakes and ends without another push.
TEST_F(SampleServiceTest, StopWakesAWaitingWatcherAndKeepsWhatItUses) {
  auto& handles = winsim::CurrentMachine().handles();
  CHookedService service;
  service.OnStart(0, nullptr);
  ASSERT_TRUE(m_host.WaitForEvents(L"RegNotifyChangeKeyValue success.", 1));
  const size_t nHandles = handles.Count();
  service.OnStop();
  EXPECT_EQ(handles.Count(), nHandles) << "released while a run may still use it";
  EXPECT_TRUE(service.WaitForWatchers(kWaitBoundMs));
  EXPECT_TRUE(service.Watch().StopWatch());
  const auto texts = m_host.EventTexts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(std::vector<std::wstring>(texts.end() - 3, texts.end()),
            (std::vector<std::wstring>{L"CppWindowsService in OnStop", L"OnStop OK.", L"WAIT_OBJECT_0"}));
  EXPECT_EQ(std::count(texts.begin(), texts.end(), L"Enable Wake-on-touch"), 1);
}

TEST_F(SampleServiceTest, StopWithoutWatcherReleasesTheWatchEvent) {
  auto& handles = winsim::CurrentMachine().handles();
  CHookedService service;
  const size_t nHandles = handles.Count();
  service.OnStop();
  EXPECT_EQ(handles.Count(), nHandles - 1);
  EXPECT_TRUE(service.Watch().StopWatch());
  EXPECT_EQ(m_host.EventTexts(), (std::vector<std::wstring>{L"CppWindowsService in OnStop", L"OnStop OK."}));
}

TEST_F(SampleServiceTest, NoWatcherIsQueuedOnceTheServiceIsEnding) {
  CHookedService service;
  service.OnShutdown();
  service.StartRegWatchThread();
  EXPECT_EQ(service.WatchRuns(), 0);
  EXPECT_EQ(m_host.EventTexts(), std::vector<std::wstring>{L"CppWindowsService in OnShutdown"});
}

TEST_F(SampleServiceTest, ARunThatCannotBeQueuedRaisesItsCode) {
  CSampleService service;
  winsim::CurrentMachine().Part<winsim::ThreadPool>().Shutdown();
  try {
    service.StartRegWatchThread();
    ADD_FAILURE() << "no error raised";
  } catch (DWORD dwError) {
    EXPECT_EQ(dwError, (DWORD)ERROR_SHUTDOWN_IN_PROGRESS);
  }
  EXPECT_EQ(service.WatchRuns(), 0);
}

}  // namespace
