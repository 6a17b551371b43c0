// The service's life on a simulated machine, told end to end: installed with
// the product's installer, started by the SCM, given display, power and
// session events, removed while it runs; stopped by a machine shutdown; run
// with an event log that refuses its source; and started from a console.
#include "service/Installer.h"
#include "support/ServiceHostHarness.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using vorntest::kServiceNameW;
using vorntest::kWaitMs;
using vorntest::StateReport;

// True when `expected` occurs in `texts` in this order (other entries, such
// as the watcher's, may come between).
bool InOrder(const std::vector<std::wstring>& texts, const std::vector<std::wstring>& expected) {
  size_t next = 0;
  for (const auto& text : texts)
    if (next < expected.size() && text == expected[next]) ++next;
  return next == expected.size();
}

class ServiceLifecycle : public testing::Test {
 protected:
  ServiceLifecycle() : m_host(vorntest::RunServiceProcess, false, winsim::Clock::Kind::kVirtual) {}
  winsim::Services& Scm() { return m_host.Scm(); }

  void InstallAndStart() {
    ASSERT_EQ(vorntest::CaptureWide(InstallService), L"VornPalmixSvc is installed.\n");
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService = OpenServiceW(hManager, kServiceNameW, SERVICE_START);
    ASSERT_TRUE(StartServiceW(hService, 0, nullptr)) << GetLastError();
    CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
    ASSERT_TRUE(Scm().WaitForState(kServiceNameW, SERVICE_RUNNING, kWaitMs));
  }

  vorntest::ServiceHostHarness m_host;
};

TEST_F(ServiceLifecycle, InstalledStartedGivenEventsAndRemovedWhileRunning) {
  InstallAndStart();
  EXPECT_TRUE(Scm().PowerSettingChange(kServiceNameW, GUID_MONITOR_POWER_ON, {0, 0, 0, 0}).Delivered());
  EXPECT_TRUE(Scm().PowerSettingChange(kServiceNameW, GUID_MONITOR_POWER_ON, {1, 0, 0, 0}).Delivered());
  EXPECT_FALSE(Scm().PowerEvent(kServiceNameW, PBT_APMSUSPEND).Delivered());
  EXPECT_FALSE(Scm().PowerEvent(kServiceNameW, PBT_APMRESUMEAUTOMATIC).Delivered());
  EXPECT_FALSE(Scm().SessionChange(kServiceNameW, WTS_SESSION_LOGON, 1).Delivered());
  EXPECT_TRUE(Scm().Control(kServiceNameW, SERVICE_CONTROL_INTERROGATE).Delivered());

  EXPECT_EQ(vorntest::CaptureWide(UninstallService),
            L"Stopping VornPalmixSvc.\nVornPalmixSvc is stopped.\nVornPalmixSvc is removed.\n");
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceNameW, kWaitMs));
  EXPECT_FALSE(Scm().Find(kServiceNameW).has_value());
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{{SERVICE_START_PENDING, 1, 0},
                                                        {SERVICE_RUNNING, 0, 0},
                                                        {SERVICE_STOP_PENDING, 2, 0},
                                                        {SERVICE_STOPPED, 0, 0}}));
  auto texts = m_host.EventTexts();
  EXPECT_TRUE(InOrder(texts, {L"CppWindowsService in OnStart", L"Monitor Off - Do nothing",
                              L"Monitor On - Pass WoT selection to low level touch controller",
                              L"CppWindowsService in OnStop", L"OnStop OK."}));
  for (const auto& text : texts) EXPECT_EQ(text.find(L"Service receive"), std::wstring::npos) << "not delivered";
  EXPECT_TRUE(m_host.DebugLogHas("Service Destroy"));
}

TEST_F(ServiceLifecycle, MachineShutdownStopsTheServiceDirectly) {
  InstallAndStart();
  Scm().Shutdown();
  EXPECT_EQ(m_host.Reports(), (std::vector<StateReport>{
                                  {SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0}, {SERVICE_STOPPED, 0, 0}}));
  EXPECT_TRUE(InOrder(m_host.EventTexts(), {L"CppWindowsService in OnStart", L"CppWindowsService in OnShutdown"}));
  EXPECT_TRUE(m_host.DebugLogHas("Service Destroy"));
}

TEST_F(ServiceLifecycle, RefusedEventSourceCostsOnlyTheEventLog) {
  m_host.Events().SetRegistrationFailure(ERROR_ACCESS_DENIED);
  InstallAndStart();
  ASSERT_TRUE(Scm().Stop(kServiceNameW).Delivered());
  ASSERT_TRUE(Scm().WaitForProcessEnd(kServiceNameW, kWaitMs));
  EXPECT_EQ(m_host.Events().Count(), 0u);
  EXPECT_EQ(m_host.Reports().back(), (StateReport{SERVICE_STOPPED, 0, 0}));
  for (const char* message : {"CppWindowsService in OnStart", "CppWindowsService in OnStop", "OnStop OK."})
    EXPECT_TRUE(m_host.DebugLogHas(message)) << message;
}

#ifdef VORN_SVC_EXE
// Started from a console, the executable prints its usage and then the
// dispatcher's refusal, and still exits with 0.
TEST(ServiceConsoleStart, UsageThenTheDispatcherFailure) {
  std::string root = (std::filesystem::temp_directory_path() / "vornscen-XXXXXX").string();
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  std::string command = "WINSIM_ROOT='" + root + "' '" VORN_SVC_EXE "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, n);
  int status = ::pclose(pipe);
  std::filesystem::remove_all(root);
  EXPECT_EQ(output,
            "Parameters:\n"
            " -install  to install the service.\n"
            " -remove   to remove the service.\n"
            "Service failed to run w/err 0x00000427\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
#endif

}  // namespace
