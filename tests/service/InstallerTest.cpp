// Install and remove against the simulated service control manager, with the
// console output captured.
#include "service/Installer.h"
#include "simkit/Machine.h"
#include "tests/support/CaptureWide.h"

#include "platform/win32.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>
#include <winsim/sim/executable.h>
#include <winsim/sim/process_entry.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using vorntest::CaptureWide;

const std::wstring kName = L"VornPalmixSvc";
const std::wstring kEventSource = L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\VornPalmixSvc";

class InstallerTest : public testing::Test {
 protected:
  winsim::Services& Scm() { return m_machine.Scm(); }
  winsim::Registry& Registry() { return m_machine.Registry(); }
  simkit::VirtualMachine m_machine;
};

TEST_F(InstallerTest, RegistersTheRunningExecutableAsAutoStartService) {
  EXPECT_EQ(CaptureWide(InstallService), L"VornPalmixSvc is installed.\n");
  auto config = Scm().Find(kName);
  ASSERT_TRUE(config);
  WCHAR szExe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, szExe, MAX_PATH);
  EXPECT_EQ(config->binaryPath, szExe);
  EXPECT_EQ(config->displayName, L"VORN Palmix Service");
  EXPECT_EQ(config->type, (DWORD)SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(config->startType, (DWORD)SERVICE_AUTO_START);
  EXPECT_EQ(config->errorControl, (DWORD)SERVICE_ERROR_NORMAL);
  EXPECT_TRUE(config->dependencies.empty());
  EXPECT_TRUE(config->account.empty());
  EXPECT_NE(config->description.find(L"wake-on-touch"), std::wstring::npos);
  const auto& failure = config->failureActions;
  EXPECT_EQ(failure.resetPeriodS, 86400u);
  ASSERT_EQ(failure.actions.size(), 3u);
  EXPECT_EQ(failure.actions[0].Type, SC_ACTION_RESTART);
  EXPECT_EQ(failure.actions[0].Delay, 5000u);
  EXPECT_EQ(failure.actions[1].Type, SC_ACTION_RESTART);
  EXPECT_EQ(failure.actions[1].Delay, 60000u);
  EXPECT_EQ(failure.actions[2].Type, SC_ACTION_NONE);
  auto messageFile = Registry().GetValue(kEventSource, L"EventMessageFile");
  ASSERT_TRUE(messageFile);
  EXPECT_EQ(messageFile->type, (DWORD)REG_EXPAND_SZ);
  std::wstring path(szExe);
  std::vector<BYTE> expected(reinterpret_cast<const BYTE*>(path.c_str()),
                             reinterpret_cast<const BYTE*>(path.c_str() + path.size() + 1));
  EXPECT_EQ(messageFile->data, expected);
  EXPECT_EQ(Registry().GetDword(kEventSource, L"TypesSupported"), 7u);

  EXPECT_EQ(CaptureWide(UninstallService), L"VornPalmixSvc is removed.\n");
  EXPECT_FALSE(Scm().Find(kName));
  EXPECT_FALSE(Registry().KeyExists(kEventSource));
  EXPECT_TRUE(Registry().KeyExists(L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"));
}

TEST_F(InstallerTest, ImagePathQuotedWithSpacesAndNeverTruncated) {
  auto& exe = m_machine->Part<winsim::Executable>();
  exe.SetHostPath(m_machine->DriveC() / "Program Files" / "VORN" / "VornPalmixSvc.exe");
  CaptureWide(InstallService);
  EXPECT_EQ(Scm().Find(kName)->binaryPath, L"\"C:\\Program Files\\VORN\\VornPalmixSvc.exe\"");
  CaptureWide(UninstallService);

  const std::string folder(100, 'd');
  exe.SetHostPath(m_machine->DriveC() / folder / folder / folder / "VornPalmixSvc.exe");
  EXPECT_EQ(CaptureWide(InstallService), L"GetModuleFileName failed w/err 0x0000007a\n");
  EXPECT_FALSE(Scm().Find(kName));
}

TEST_F(InstallerTest, FailuresOfEachCallWithTheirCodes) {
  Scm().SetAdministrator(false);
  EXPECT_EQ(CaptureWide(InstallService), L"OpenSCManager failed w/err 0x00000005\n");
  EXPECT_EQ(CaptureWide(UninstallService), L"OpenService failed w/err 0x00000424\n");
  winsim::ServiceConfig config;
  config.name = kName;
  config.binaryPath = L"C:\\VornPalmixSvc.exe";
  ASSERT_EQ(Scm().Install(config), (DWORD)ERROR_SUCCESS);
  EXPECT_EQ(CaptureWide(UninstallService), L"OpenService failed w/err 0x00000005\n");
  Scm().SetAdministrator(true);
  EXPECT_EQ(CaptureWide(InstallService), L"CreateService failed w/err 0x00000431\n");
  EXPECT_TRUE(Scm().Find(kName)->description.empty());
  EXPECT_FALSE(Registry().KeyExists(kEventSource));
  ASSERT_TRUE(Registry().SetDword(kEventSource, L"TypesSupported", 7));

  // A handle held elsewhere keeps the deleted service in the database.
  SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceW(hManager, kName.c_str(), SERVICE_QUERY_STATUS);
  ASSERT_NE(hService, nullptr);
  EXPECT_EQ(CaptureWide(UninstallService), L"VornPalmixSvc is removed.\n");
  EXPECT_FALSE(Registry().KeyExists(kEventSource));
  ASSERT_TRUE(Registry().SetDword(kEventSource, L"TypesSupported", 7));
  // The event source stays with a service that could not be deleted.
  EXPECT_EQ(CaptureWide(UninstallService), L"DeleteService failed w/err 0x00000430\n");
  EXPECT_TRUE(Registry().KeyExists(kEventSource));
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  EXPECT_EQ(CaptureWide(UninstallService), L"OpenService failed w/err 0x00000424\n");
}

// A service of this process that stays stop-pending until the test ends its stop.
std::atomic<SERVICE_STATUS_HANDLE> g_hStatus{nullptr};

void Report(DWORD dwState) {
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, dwState, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  SetServiceStatus(g_hStatus.load(), &status);
}

DWORD WINAPI SlowStopHandler(DWORD dwControl, DWORD, LPVOID, LPVOID) {
  if (dwControl == SERVICE_CONTROL_STOP) Report(SERVICE_STOP_PENDING);
  return NO_ERROR;
}

void WINAPI SlowStopMain(DWORD, LPWSTR*) {
  g_hStatus = RegisterServiceCtrlHandlerExW(kName.c_str(), SlowStopHandler, nullptr);
  Report(SERVICE_RUNNING);
}

int SlowStopEntry(int, wchar_t**) {
  static WCHAR szName[] = L"VornPalmixSvc";
  SERVICE_TABLE_ENTRYW table[] = {{szName, SlowStopMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}

class RemoveRunningTest : public InstallerTest {
 protected:
  void SetUp() override {
    winsim::SetProcessEntry(SlowStopEntry);
    CaptureWide(InstallService);
    ASSERT_EQ(Scm().Start(kName), (DWORD)ERROR_SUCCESS);
    ASSERT_TRUE(Scm().WaitForState(kName, SERVICE_RUNNING, 60000));
  }
  void TearDown() override {
    if (Scm().Status(kName).dwCurrentState != SERVICE_STOPPED) Report(SERVICE_STOPPED);
    Scm().Shutdown();
    winsim::SetProcessEntry(nullptr);
  }

  // Removes the service while it is stop-pending; once two dots are out, the
  // service reports dwFinalState. Returns all that was printed. The remover
  // is a simulated thread: its one-second polls pass in virtual time.
  std::string RemoveEndingIn(DWORD dwFinalState) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    FILE* pOut = ::fdopen(fds[1], "w");
    std::thread remover = m_machine->clock().StartThread("remover", [pOut] {
      UninstallService(pOut);
      std::fclose(pOut);
    });
    std::string text;
    auto readSoFar = [&] {
      char buffer[256];
      for (ssize_t n; (n = ::read(fds[0], buffer, sizeof(buffer))) > 0;) text.append(buffer, static_cast<size_t>(n));
    };
    EXPECT_TRUE(m_machine.WaitUntil([&] {
      readSoFar();
      return text.find("..") != std::string::npos;
    }));
    Report(dwFinalState);
    m_machine->clock().Join(remover);
    readSoFar();
    ::close(fds[0]);
    return text;
  }
};

// "Stopping VornPalmixSvc." with at least one more dot, then tail.
void ExpectStoppingDotsThen(const std::string& text, const std::string& tail) {
  const std::string head = "Stopping VornPalmixSvc..";
  ASSERT_EQ(text.rfind(head, 0), 0u) << text;
  size_t nEnd = text.find_first_not_of('.', head.size());
  EXPECT_EQ(nEnd == std::string::npos ? "" : text.substr(nEnd), tail) << text;
}

TEST_F(RemoveRunningTest, WaitsWithDotsUntilStopped) {
  ExpectStoppingDotsThen(RemoveEndingIn(SERVICE_STOPPED),
                         "\nVornPalmixSvc is stopped.\nVornPalmixSvc is removed.\n");
  EXPECT_FALSE(Scm().Find(kName));
}

TEST_F(RemoveRunningTest, DeletesEvenWhenTheStopFails) {
  ExpectStoppingDotsThen(RemoveEndingIn(SERVICE_RUNNING),
                         "\nVornPalmixSvc failed to stop.\nVornPalmixSvc is removed.\n");
  ASSERT_TRUE(Scm().Find(kName));
  EXPECT_TRUE(Scm().Find(kName)->deletePending);
}

}  // namespace
