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

DWORD SessionOfPid(DWORD pid) {
  DWORD session = 0xdeadbeef;
  EXPECT_TRUE(ProcessIdToSessionId(pid, &session)) << pid;
  return session;
}

std::wstring SessionUser(DWORD session) {
  LPWSTR name = nullptr;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name, &bytes)) return L"?";
  std::wstring text = name;
  WTSFreeMemory(name);
  return text;
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
  EXPECT_EQ(SessionOfPid(danaShell), 1u);
  EXPECT_EQ(SessionOfPid(FindPid(L"services.exe")), 0u);
  EXPECT_EQ(SessionUser(1), Identity::kDefaultUserName);

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
    if (std::wstring(entry.szExeFile) == L"explorer.exe") shellSessions.push_back(SessionOfPid(entry.th32ProcessID));
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
  EXPECT_EQ(SessionUser(3), L"");
  EXPECT_FALSE(identity.LogOff(L"Dana"));

  identity.LogOn(L"Sam");
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 3u);  // Sam takes the logon screen's session
  EXPECT_EQ(SessionUser(3), L"Sam");
  identity.LogOffAll();
  EXPECT_TRUE(identity.LoggedOnUserSids().empty());
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 4u);
  machine->clock().Sleep(Identity::kShellStartDelayMs + 1);
  EXPECT_EQ(FindPid(L"explorer.exe"), 0u) << "a shell due after a logoff does not start";

  machine.LogOn(L"Robin");  // and waits for the shell
  ASSERT_TRUE(ImpersonateOwner(FindPid(L"explorer.exe")));
  EXPECT_EQ(ThreadUser(), L"Robin");
  RevertToSelf();
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
