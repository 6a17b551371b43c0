// Install and remove against the simulated service control manager, with the
// console output captured.
#include "service/Installer.h"

#include <gtest/gtest.h>
#include <winsim/sim/machine.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Runs one installer call and returns what it printed.
template <class F>
std::wstring Output(F fnCall) {
  wchar_t* pBuffer = nullptr;
  size_t nSize = 0;
  FILE* pOut = open_wmemstream(&pBuffer, &nSize);
  fnCall(pOut);
  std::fclose(pOut);
  std::wstring text(pBuffer, nSize);
  std::free(pBuffer);
  return text;
}

class InstallerTest : public testing::Test {
 protected:
  winsim::ScopedMachine m_machine;
};

TEST_F(InstallerTest, InstallOnceRemoveOnce) {
  EXPECT_EQ(Output(InstallService), L"VornPalmixSvc is installed.\n");
  EXPECT_EQ(Output(InstallService), L"CreateService failed w/err 0x00000431\n");
  EXPECT_EQ(Output(UninstallService), L"VornPalmixSvc is removed.\n");
  EXPECT_EQ(Output(UninstallService), L"OpenService failed w/err 0x00000424\n");
  EXPECT_EQ(Output(InstallService), L"VornPalmixSvc is installed.\n");
}

TEST_F(InstallerTest, RemoveOfServiceMarkedForDelete) {
  Output(InstallService);
  SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(hManager, nullptr);
  SC_HANDLE hService = OpenServiceW(hManager, L"VornPalmixSvc", SERVICE_QUERY_STATUS);
  ASSERT_NE(hService, nullptr);
  // The open handle keeps the deleted service in the database until it closes.
  EXPECT_EQ(Output(UninstallService), L"VornPalmixSvc is removed.\n");
  EXPECT_EQ(Output(UninstallService), L"DeleteService failed w/err 0x00000430\n");
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  EXPECT_EQ(Output(UninstallService), L"OpenService failed w/err 0x00000424\n");
}

}  // namespace
