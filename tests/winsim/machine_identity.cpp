// The identity part: sessions and their processes, impersonation of a
// user's shell token, the account lookup when a user shares the computer's
// name, and the RevertToSelf fault knob.
#include "conformance.h"

#include <gtest/gtest.h>
#include <winsim/sim/identity.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "simkit/Machine.h"

namespace {

using winsim::Identity;

DWORD FindPid(const wchar_t* exe) {
  const auto pids = PidsOf(exe);
  return pids.empty() ? 0 : pids.front();
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

// Session 0 for the system, one session per logon at the console, the
// logon screen in a session nobody is logged on in; a user's shell starts a
// moment after the logon and ends with the logoff.
TEST(MachineIdentity, SessionsFollowLogonsSwitchesAndLogoffs) {
  simkit::VirtualMachine machine;  // the test's thread on the clock: a shell due is started when it wakes
  auto& identity = machine->Part<Identity>();
  const std::wstring dana = identity.ConsoleUserSid();
  const DWORD danaShell = FindPid(L"explorer.exe");
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  EXPECT_EQ(SessionOf(danaShell), 1u);
  EXPECT_EQ(SessionOf(FindPid(L"services.exe")), 0u);
  EXPECT_EQ(UserOf(1), Identity::kDefaultUserName);

  const std::wstring robin = identity.LogOn(L"Robin");
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 2u);
  EXPECT_EQ(identity.LoggedOnUserSids(), (std::vector<std::wstring>{dana, robin}));
  const uint64_t logonMs = machine->clock().NowMs();
  ASSERT_TRUE(machine.WaitUntil([&] { return identity.ShellRunning(robin); }));
  EXPECT_EQ(machine->clock().NowMs() - logonMs, Identity::kShellStartDelayMs);
  EXPECT_EQ(identity.LogOn(L"robin"), robin);  // logged on already: nothing changes
  EXPECT_EQ(identity.Sessions().size(), 3u);
  std::vector<DWORD> shellSessions;
  for (const auto& entry : Snapshot())
    if (std::wstring(entry.szExeFile) == L"explorer.exe") shellSessions.push_back(SessionOf(entry.th32ProcessID));
  EXPECT_EQ(shellSessions, (std::vector<DWORD>{1, 2}));

  EXPECT_TRUE(identity.SwitchTo(L"Dana"));
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  EXPECT_FALSE(identity.SwitchTo(L"Nobody"));
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, danaShell);
  ASSERT_TRUE(identity.LogOff(L"Dana"));
  EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0);
  CloseHandle(process);
  DWORD session = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(ProcessIdToSessionId(danaShell, &session));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 3u);  // the logon screen
  EXPECT_EQ(identity.ConsoleUserSid(), L"");
  EXPECT_EQ(UserOf(3), L"");
  EXPECT_FALSE(identity.LogOff(L"Dana"));

  identity.LogOn(L"Sam");
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 3u);  // Sam takes the logon screen's session
  EXPECT_EQ(UserOf(3), L"Sam");
  identity.LogOffAll();
  EXPECT_TRUE(identity.LoggedOnUserSids().empty());
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 4u);
  machine->clock().Sleep(Identity::kShellStartDelayMs + 1);
  EXPECT_EQ(FindPid(L"explorer.exe"), 0u) << "a shell due after a logoff does not start";

  machine.LogOn(L"Robin");  // and waits for the shell
  EXPECT_EQ(OwnerOf(FindPid(L"explorer.exe")), L"Robin");
}

TEST(MachineIdentity, NobodyLoggedOnLeavesOnlySystemProcesses) {
  simkit::VirtualMachine machine({.userLoggedOn = false});
  EXPECT_EQ(FindPid(L"explorer.exe"), 0u);
  EXPECT_NE(FindPid(L"winlogon.exe"), 0u);
  for (const auto& entry : Snapshot()) EXPECT_EQ(OwnerOf(entry.th32ProcessID), L"SYSTEM") << entry.szExeFile;
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
