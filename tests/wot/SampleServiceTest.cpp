// CSampleService: its members after construction, its service start under the
// simulated SCM and from a console, its stop, shutdown and display hooks, and
// the teardown that never lets a watcher run into released resources.
#include "support/ServiceHostHarness.h"
#include "wot/SampleService.h"

#include <gtest/gtest.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/threadpool.h>

#include <algorithm>

#include <future>
#include <memory>

namespace {

using vorntest::kServiceNameW;
using vorntest::kWaitMs;
using vorntest::StateReport;

// On virtual time, with the test's thread a simulated one: the service runs
// only while the test waits, so a stop reaches it before the watcher's start
// delay has passed however busy the host is.
class SampleServiceTest : public testing::Test {
 protected:
  explicit SampleServiceTest(winsim::Clock::Kind clock = winsim::Clock::Kind::kVirtual)
      : m_host(vorntest::RunServiceProcess, true, clock) {}
  winsim::Services& Scm() { return m_host.Scm(); }
  void StartRunning() {
    ASSERT_EQ(Scm().Start(kServiceNameW), (DWORD)ERROR_SUCCESS);
    ASSERT_TRUE(Scm().WaitForReports(kServiceNameW, 2, kWaitMs));
    ASSERT_EQ(Scm().Status(kServiceNameW).dwCurrentState, (DWORD)SERVICE_RUNNING);
  }
  vorntest::ServiceHostHarness m_host;
};

TEST_F(SampleServiceTest, ConstructionSetsTheTableValues) {
  CSampleService service;
  EXPECT_STREQ(service.GetServiceName(), L"VornPalmixSvc");
  EXPECT_EQ(service.m_dwVid, 0x2C1Au);
  EXPECT_EQ(service.m_dwPid, 0u);
  EXPECT_EQ(service.m_dwStartDelay, 5000u);
  EXPECT_FALSE(service.m_fThreadRunning.load());
  EXPECT_EQ(service.m_dwWotSel.load(), 0u);
  EXPECT_EQ(service.m_szRegPath[0], L'\0');
  EXPECT_FALSE(service.fRegExist.load());
  EXPECT_FALSE(service.m_fStopWatch.load());
  EXPECT_EQ(service.m_hNotifyKey, nullptr);
  for (HANDLE hEvent : {service.m_hStoppedEvent, service.m_hRegWatchEvent}) {
    ASSERT_NE(hEvent, nullptr);
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(hEvent);
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0) << "manual reset";
  }
  EXPECT_TRUE(TryEnterCriticalSection(&service.m_csPush));
  LeaveCriticalSection(&service.m_csPush);
  EXPECT_EQ(WaitForSingleObject(service.m_hStoppedEvent, 0), WAIT_OBJECT_0);
}

TEST_F(SampleServiceTest, DestructionReleasesEverythingAndWritesServiceDestroy) {
  auto& handles = winsim::CurrentMachine().handles();
  const size_t before = handles.Count();
  { CSampleService service; }
  EXPECT_EQ(handles.Count(), before);
  EXPECT_TRUE(m_host.DebugLogHas("Service Destroy"));
  EXPECT_TRUE(m_host.EventTexts().empty());
}

TEST_F(SampleServiceTest, RunsUnderTheScmFromStartToStop) {
  StartRunning();
  SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceW(hManager, kServiceNameW, SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(hService, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceNameW, kWaitMs));
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{{SERVICE_START_PENDING, 1, 0},
                                                        {SERVICE_RUNNING, 0, 0},
                                                        {SERVICE_STOP_PENDING, 2, 0},
                                                        {SERVICE_STOPPED, 0, 0}}));
  EXPECT_EQ(m_host.EventTexts(), (std::vector<std::wstring>{L"CppWindowsService in OnStart",
                                                            L"CppWindowsService in OnStop", L"OnStop OK."}));
  auto debug = m_host.DebugMessages();
  EXPECT_NE(std::find(debug.begin(), debug.end(), "OnStop OK."), debug.end());
  EXPECT_EQ(debug.back(), "Service Destroy");
  EXPECT_EQ(g_pService, nullptr);
}

TEST_F(SampleServiceTest, ConsoleStartPrintsTheDispatcherFailure) {
  EXPECT_EQ(vorntest::CaptureWide(RunServiceTo), L"Service failed to run w/err 0x00000427\n");
  EXPECT_TRUE(m_host.DebugLogHas("Service Destroy"));
  EXPECT_EQ(g_pService, nullptr);
}

TEST_F(SampleServiceTest, DisplayOffWritesOneMessageAndChangesNothing) {
  StartRunning();
  const size_t nEntries = m_host.Events().Count();
  ASSERT_TRUE(Scm().PowerSettingChange(kServiceNameW, GUID_MONITOR_POWER_ON, {0, 0, 0, 0}).Delivered());
  auto texts = m_host.EventTexts();
  EXPECT_EQ(std::vector<std::wstring>(texts.begin() + nEntries, texts.end()),
            std::vector<std::wstring>{L"Monitor Off - Do nothing"});
  EXPECT_EQ(m_host.Reports().size(), 2u);
}

TEST_F(SampleServiceTest, DisplayOnStartsWithItsMessage) {
  StartRunning();
  const size_t nEntries = m_host.Events().Count();
  ASSERT_TRUE(Scm().PowerSettingChange(kServiceNameW, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  auto texts = m_host.EventTexts();
  ASSERT_GT(texts.size(), nEntries);
  EXPECT_EQ(texts[nEntries], L"Monitor On - Pass WoT selection to low level touch controller");
}

TEST_F(SampleServiceTest, ShutdownWritesItsMessageAndStops) {
  StartRunning();
  ASSERT_TRUE(Scm().Shutdown(kServiceNameW).Delivered());
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceNameW, kWaitMs));
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
  ASSERT_EQ(Scm().Start(kServiceNameW), (DWORD)ERROR_SUCCESS);
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceNameW, kWaitMs));
  EXPECT_EQ(m_host.Reports().back(), (StateReport{SERVICE_STOPPED, 0, ERROR_NOT_ENOUGH_MEMORY}));
  EXPECT_EQ(m_host.EventTexts().back(), L"Service Start failed w/err 0x00000008");

  StartRunning();
  faults.Arm(winsim::FaultPoint::kHeapAlloc, plan);
  ASSERT_TRUE(Scm().PowerSettingChange(kServiceNameW, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  EXPECT_EQ(m_host.EventTexts().back(), L"Service handle power event failed w/err 0x00000008");
  EXPECT_EQ(Scm().Status(kServiceNameW).dwCurrentState, (DWORD)SERVICE_RUNNING);
  const size_t nEntries = m_host.Events().Count();
  ASSERT_TRUE(Scm().PowerSettingChange(kServiceNameW, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  const auto texts = m_host.EventTexts();
  EXPECT_EQ(std::count(texts.begin() + nEntries, texts.end(), L"Service handle power event failed w/err 0x00000008"), 0);
  EXPECT_EQ(faults.Hits(winsim::FaultPoint::kHeapAlloc), 2u);
}

// ---- Teardown ------------------------------------------------------------------------

// Watcher runs of the test's own, some held up by the test by host means: a
// scaled clock, on which threads run freely.
class SampleServiceTeardown : public SampleServiceTest {
 protected:
  SampleServiceTeardown() : SampleServiceTest(winsim::Clock::Kind::kScaled) {}
};

// Exposes the hooks and the run queue to drive watcher runs of the test's own.
class CProbeService : public CSampleService {
 public:
  using CSampleService::OnShutdown;
  using CSampleService::OnStop;
  using CSampleService::QueueWatchRun;
};

std::shared_future<void> g_hangGate;
std::atomic<DWORD> g_wakeResult{0};
std::atomic<bool> g_pauseEnded{false};

// A watcher waiting for a registry change the way the real one does, then,
// once the test lets it go on, using the object's lock: a use after release
// would show.
void WaitingWatcher(CSampleService* pService) {
  pService->m_fThreadRunning = true;
  g_wakeResult = WaitForSingleObject(pService->m_hRegWatchEvent, INFINITE);
  g_hangGate.wait();
  g_pauseEnded = !pService->WatchPause(60000);
  EnterCriticalSection(&pService->m_csPush);
  LeaveCriticalSection(&pService->m_csPush);
  pService->m_fThreadRunning = false;
  SetEvent(pService->m_hStoppedEvent);
}

void HungWatcher(CSampleService*) { g_hangGate.wait(); }

bool WaitUntil(const std::function<bool()>& fnDone) {
  for (int i = 0; i < 10000 && !fnDone(); ++i) Sleep(10);
  return fnDone();
}

TEST_F(SampleServiceTeardown, StopWakesAWaitingWatcherAndKeepsWhatItUses) {
  std::promise<void> gate;
  g_hangGate = gate.get_future().share();
  auto pService = std::make_unique<CProbeService>();
  pService->QueueWatchRun(WaitingWatcher);
  ASSERT_TRUE(WaitUntil([&] { return pService->m_fThreadRunning.load(); }));
  pService->OnStop();
  EXPECT_NE(pService->m_hRegWatchEvent, nullptr) << "released while a run may still use it";
  gate.set_value();
  EXPECT_TRUE(pService->WaitForWatchers(kWaitMs));
  EXPECT_EQ(g_wakeResult.load(), WAIT_OBJECT_0);
  EXPECT_TRUE(g_pauseEnded.load());
  EXPECT_TRUE(pService->m_fStopWatch.load());
  pService.reset();
  EXPECT_EQ(m_host.EventTexts(), (std::vector<std::wstring>{L"CppWindowsService in OnStop", L"OnStop OK."}));
}

TEST_F(SampleServiceTeardown, StopWithoutWatcherReleasesTheWatchEvent) {
  CProbeService service;
  service.OnStop();
  EXPECT_EQ(service.m_hRegWatchEvent, nullptr);
  EXPECT_TRUE(service.m_fStopWatch.load());
  EXPECT_EQ(m_host.EventTexts(), (std::vector<std::wstring>{L"CppWindowsService in OnStop", L"OnStop OK."}));
}

TEST_F(SampleServiceTeardown, NoWatcherIsQueuedOnceTheServiceIsEnding) {
  CProbeService service;
  service.OnShutdown();
  service.QueueWatchRun(HungWatcher);
  service.StartRegWatchThread();
  EXPECT_EQ(service.WatchRuns(), 0);
  EXPECT_EQ(m_host.EventTexts(), std::vector<std::wstring>{L"CppWindowsService in OnShutdown"});
}

TEST_F(SampleServiceTeardown, TeardownWaitIsBoundedWhileAWatcherHangs) {
  std::promise<void> gate;
  g_hangGate = gate.get_future().share();
  CProbeService service;
  service.QueueWatchRun(HungWatcher);
  EXPECT_FALSE(service.WaitForWatchers(1000));
  gate.set_value();
  EXPECT_TRUE(service.WaitForWatchers(kWaitMs));
}

TEST_F(SampleServiceTeardown, ARunThatCannotBeQueuedRaisesItsCode) {
  CProbeService service;
  winsim::CurrentMachine().Part<winsim::ThreadPool>().Shutdown();
  try {
    service.QueueWatchRun(HungWatcher);
    ADD_FAILURE() << "no error raised";
  } catch (DWORD dwError) {
    EXPECT_EQ(dwError, (DWORD)ERROR_SHUTDOWN_IN_PROGRESS);
  }
  EXPECT_EQ(service.WatchRuns(), 0);
}

}  // namespace
