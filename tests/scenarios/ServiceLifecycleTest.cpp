// The service's life on a simulated machine, told end to end: installed with
// the product's installer, started by the SCM, given display, power and
// session events, removed while it runs; stopped by a machine shutdown; and
// run with an event log that refuses its source.
#include "service/Installer.h"
#include "service/ServiceIdentity.h"
#include "simkit/ServiceMachine.h"
#include "tests/support/CaptureWide.h"
#include "tests/support/InOrder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using simkit::kWaitBoundMs;
using simkit::StateReport;
using vorntest::InOrder;

class ServiceLifecycle : public testing::Test {
 protected:
  winsim::Services& Scm() { return m_host.Scm(); }

  void InstallAndStart() {
    ASSERT_EQ(vorntest::CaptureWide(InstallService), L"VornPalmixSvc is installed.\n");
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService = OpenServiceW(hManager, kServiceName, SERVICE_START);
    ASSERT_TRUE(StartServiceW(hService, 0, nullptr)) << GetLastError();
    CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
    ASSERT_TRUE(Scm().WaitForState(kServiceName, SERVICE_RUNNING, kWaitBoundMs));
  }

  simkit::ServiceMachine m_host{{}, {.install = false}};
};

TEST_F(ServiceLifecycle, InstalledStartedGivenEventsAndRemovedWhileRunning) {
  InstallAndStart();
  EXPECT_TRUE(Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {0, 0, 0, 0}).Delivered());
  EXPECT_TRUE(Scm().PowerSettingChange(kServiceName, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  EXPECT_FALSE(Scm().PowerEvent(kServiceName, PBT_APMSUSPEND).Delivered());
  EXPECT_FALSE(Scm().PowerEvent(kServiceName, PBT_APMRESUMEAUTOMATIC).Delivered());
  EXPECT_TRUE(Scm().SessionChange(kServiceName, WTS_SESSION_LOCK, 1).Delivered());
  EXPECT_TRUE(Scm().Control(kServiceName, SERVICE_CONTROL_INTERROGATE).Delivered());

  EXPECT_EQ(vorntest::CaptureWide(UninstallService),
            L"Stopping VornPalmixSvc.\nVornPalmixSvc is stopped.\nVornPalmixSvc is removed.\n");
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_FALSE(Scm().Find(kServiceName).has_value());
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{{SERVICE_START_PENDING, 1, 0},
                                                        {SERVICE_RUNNING, 0, 0},
                                                        {SERVICE_STOP_PENDING, 2, 0},
                                                        {SERVICE_STOPPED, 0, 0}}));
  auto texts = m_host.EventTexts();
  EXPECT_TRUE(InOrder(texts, {L"CppWindowsService in OnStart", L"Monitor Off - Do nothing",
                              L"Monitor On - Pass WoT selection to low level touch controller",
                              L"Service receive session change", L"CppWindowsService in OnStop", L"OnStop OK."}));
  for (const auto& text : texts) EXPECT_EQ(text.find(L"Service receive PBT"), std::wstring::npos) << "not delivered";
  EXPECT_TRUE(m_host.Log().Has("Service Destroy"));
}

TEST_F(ServiceLifecycle, MachineShutdownStopsTheServiceDirectly) {
  InstallAndStart();
  Scm().Shutdown();
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{
                                  {SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0}, {SERVICE_STOPPED, 0, 0}}));
  EXPECT_TRUE(InOrder(m_host.EventTexts(), {L"CppWindowsService in OnStart", L"CppWindowsService in OnShutdown"}));
  EXPECT_TRUE(m_host.Log().Has("Service Destroy"));
}

TEST_F(ServiceLifecycle, RefusedEventSourceCostsOnlyTheEventLog) {
  m_host.Events().SetRegistrationFailure(ERROR_ACCESS_DENIED);
  InstallAndStart();
  ASSERT_TRUE(Scm().Stop(kServiceName).Delivered());
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceName, kWaitBoundMs));
  EXPECT_EQ(m_host.Events().Count(), 0u);
  EXPECT_EQ(m_host.Reports().back(), (StateReport{SERVICE_STOPPED, 0, 0}));
  for (const char* message : {"CppWindowsService in OnStart", "CppWindowsService in OnStop", "OnStop OK."})
    EXPECT_TRUE(m_host.Log().Has(message)) << message;
}

}  // namespace
