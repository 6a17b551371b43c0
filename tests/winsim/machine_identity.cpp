// The identity part: sessions and their processes, impersonation of a
// user's shell token, the account lookup when a user shares the computer's
// name, and the RevertToSelf fault knob.
#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/identity.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "simkit/Machine.h"

namespace {

using winsim::Identity;

std::vector<PROCESSENTRY32W> Snapshot() {
  std::vector<PROCESSENTRY32W> entries;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    entries.push_back(entry);
  CloseHandle(snapshot);
  return entries;
}

DWORD FindPid(const wchar_t* exe) {
  for (const auto& entry : Snapshot())
    if (std::wstring(entry.szExeFile) == exe) return entry.th32ProcessID;
  return 0;
}

std::wstring ThreadUser() {
  WCHAR name[257];
  DWORD size = 257;
  EXPECT_TRUE(GetUserNameW(name, &size));
  return name;
}

// Impersonates the owner of `pid` as the service does: through the token of
// the user's shell.
bool ImpersonateOwner(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
  if (!process) return false;
  HANDLE token = nullptr;
  bool ok = OpenProcessToken(process, TOKEN_DUPLICATE | TOKEN_QUERY, &token) && ImpersonateLoggedOnUser(token);
  if (token) CloseHandle(token);
  CloseHandle(process);
  return ok;
}

std::wstring LookupSid(const std::wstring& name, SID_NAME_USE& use) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  WCHAR domain[256];
  DWORD sidSize = sizeof(sid), domainSize = 256;
  if (!LookupAccountNameW(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use)) return L"";
  LPWSTR text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidW(sid, &text));
  std::wstring result = text;
  LocalFree(text);
  return result;
}

TEST(MachineIdentity, TheLoggedOnUsersShellCarriesTheUsersToken) {
  winsim::ScopedMachine machine;
  DWORD explorer = FindPid(L"explorer.exe");
  ASSERT_NE(explorer, 0u);
  EXPECT_EQ(ThreadUser(), L"SYSTEM");
  ASSERT_TRUE(ImpersonateOwner(explorer));
  EXPECT_EQ(ThreadUser(), Identity::kDefaultUserName);
  // Impersonation belongs to the thread that asked for it.
  std::wstring other;
  std::thread([&] { other = ThreadUser(); }).join();
  EXPECT_EQ(other, L"SYSTEM");
  EXPECT_TRUE(RevertToSelf());
  EXPECT_EQ(ThreadUser(), L"SYSTEM");
}

TEST(MachineIdentity, LogOffEndsTheShellAndLogOnStartsAnother) {
  winsim::ScopedMachine machine;
  auto& identity = machine->Part<Identity>();
  DWORD explorer = FindPid(L"explorer.exe");
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, explorer);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(WaitForSingleObject(process, 0), (DWORD)WAIT_TIMEOUT);
  identity.LogOffAll();
  EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0);
  CloseHandle(process);
  EXPECT_EQ(FindPid(L"explorer.exe"), 0u);
  EXPECT_TRUE(identity.LoggedOnUserSids().empty());
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, explorer), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

  std::wstring sid = identity.LogOn(L"Robin");
  EXPECT_EQ(identity.LoggedOnUserSids(), std::vector<std::wstring>{sid});
  ASSERT_TRUE(ImpersonateOwner(FindPid(L"explorer.exe")));
  EXPECT_EQ(ThreadUser(), L"Robin");
  RevertToSelf();
  // Logging on again does not start a second shell.
  identity.LogOn(L"robin");
  EXPECT_EQ(identity.LoggedOnUserSids().size(), 1u);
}

TEST(MachineIdentity, NobodyLoggedOnLeavesOnlySystemProcesses) {
  simkit::VirtualMachine machine({.userLoggedOn = false});
  EXPECT_EQ(FindPid(L"explorer.exe"), 0u);
  EXPECT_NE(FindPid(L"winlogon.exe"), 0u);
  for (const auto& entry : Snapshot()) {
    ASSERT_TRUE(ImpersonateOwner(entry.th32ProcessID)) << entry.szExeFile;
    EXPECT_EQ(ThreadUser(), L"SYSTEM");
    RevertToSelf();
  }
}

TEST(MachineIdentity, AUserNamedLikeTheComputerResolvesOnlyWhenQualified) {
  winsim::ScopedMachine machine;
  auto& identity = machine->Part<Identity>();
  identity.SetComputerName(L"KIOSK");
  std::wstring userSid = identity.LogOn(L"Kiosk");

  SID_NAME_USE use = SidTypeInvalid;
  EXPECT_EQ(LookupSid(L"kiosk", use), identity.MachineSid());
  EXPECT_EQ(use, SidTypeDomain);
  EXPECT_EQ(LookupSid(L"KIOSK\\Kiosk", use), userSid);
  EXPECT_EQ(use, SidTypeUser);
  EXPECT_EQ(LookupSid(L"SYSTEM", use), L"S-1-5-18");
  EXPECT_EQ(use, SidTypeWellKnownGroup);
  EXPECT_EQ(LookupSid(L"OTHERPC\\Kiosk", use), L"");
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NONE_MAPPED);
}

TEST(MachineIdentity, RevertFaultLeavesTheThreadImpersonatingUntilTheTokenIsDropped) {
  winsim::ScopedMachine machine;
  auto& identity = machine->Part<Identity>();
  ASSERT_TRUE(ImpersonateOwner(FindPid(L"explorer.exe")));
  identity.FailReverts(1);
  EXPECT_FALSE(RevertToSelf());
  EXPECT_EQ(ThreadUser(), Identity::kDefaultUserName);
  EXPECT_TRUE(SetThreadToken(nullptr, nullptr));
  EXPECT_EQ(ThreadUser(), L"SYSTEM");
  EXPECT_TRUE(RevertToSelf());  // the fault was one-shot
}

TEST(MachineIdentity, ProcessesOfTheSameNameInOtherCaseAreDistinct) {
  winsim::ScopedMachine machine;
  auto& identity = machine->Part<Identity>();
  identity.StartProcess(L"Explorer.EXE", winsim::kSystemSid);
  std::vector<std::wstring> names;
  for (const auto& entry : Snapshot()) names.emplace_back(entry.szExeFile);
  EXPECT_EQ(std::count(names.begin(), names.end(), L"explorer.exe"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), L"Explorer.EXE"), 1);
}

}  // namespace
