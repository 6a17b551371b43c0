// Sessions as a service sees them: the console's session, the session of a
// process, the user logged on in a session, and the registration for
// device-interface events; what a service is sent is pinned by the machine's
// own tests, since only a logon or a device can cause it.
#include "conformance.h"
#include "hid_conformance.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

namespace {

constexpr DWORD kUnusedPid = 0xFFFFFFF0;  // process ids are multiples of 4, and never this high

std::wstring Upper(std::wstring text) {
  for (auto& c : text) c = static_cast<WCHAR>(std::towupper(c));
  return text;
}

TEST(ConformanceSessions, ProcessIdToSessionIdFailsForAProcessThatDoesNotRun) {
  DWORD session = kSentinelError;
  EXPECT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_NE(session, kSentinelError);
  for (DWORD pid : {kUnusedPid, (DWORD)0}) {
    session = kSentinelError;
    ArmLastError();
    EXPECT_FALSE(ProcessIdToSessionId(pid, &session)) << pid;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << pid;
    EXPECT_EQ(session, kSentinelError) << pid;
  }
}

TEST(ConformanceSessions, ProcessIdToSessionIdRefusesANullOutPointer) {
  ArmLastError();
  EXPECT_FALSE(ProcessIdToSessionId(GetCurrentProcessId(), nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// The service's rule for the user at the console rests on this: the shell
// of the console's session runs as the user that session reports.
TEST(ConformanceSessions, TheConsoleUsersShellRunsInTheConsoleSession) {
  const DWORD console = WTSGetActiveConsoleSessionId();
  ASSERT_NE(console, 0xFFFFFFFFu) << "a machine with a console";
  const std::wstring user = UserOf(console);
  ASSERT_FALSE(user.empty()) << "somebody is logged on at the console";
  size_t shells = 0;
  for (DWORD pid : PidsOf(L"explorer.exe")) {
    if (SessionOf(pid) != console) continue;
    ++shells;
    EXPECT_EQ(Upper(OwnerOf(pid)), Upper(user));
  }
  EXPECT_GE(shells, 1u);
}

TEST(ConformanceSessions, ServicesRunInSessionZeroWithNobodyLoggedOn) {
  const auto scm = PidsOf(L"services.exe");
  ASSERT_EQ(scm.size(), 1u);
  EXPECT_EQ(SessionOf(scm.front()), 0u);
  EXPECT_EQ(UserOf(0), L"");
  for (DWORD pid : PidsOf(L"explorer.exe")) EXPECT_NE(SessionOf(pid), 0u);
}

TEST(ConformanceWts, QueryAnswersTheCallersSessionAndChecksItsBuffers) {
  DWORD own = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &own));
  EXPECT_EQ(UserOf(WTS_CURRENT_SESSION), UserOf(own));
  LPWSTR buffer = nullptr;
  DWORD bytes = 7;
  ArmLastError();
  EXPECT_FALSE(WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, own, WTSUserName, nullptr, &bytes));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
  EXPECT_EQ(bytes, 7u);
  ArmLastError();
  EXPECT_FALSE(WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, own, WTSUserName, &buffer, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
  WTSFreeMemory(nullptr);  // nothing to free is no fault
}

TEST(ConformanceDeviceNotify, RegisterChecksItsArguments) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = hidtest::HidGuid();
  HANDLE recipient = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1234));
  struct Case {
    HANDLE recipient;
    void* filter;
    DWORD size, error;
  } const cases[] = {
      {nullptr, &filter, sizeof(filter), ERROR_INVALID_PARAMETER},
      {recipient, nullptr, sizeof(filter), ERROR_INVALID_PARAMETER},
      {recipient, &filter, sizeof(DEV_BROADCAST_HDR) - 1, ERROR_INVALID_DATA},
  };
  for (const auto& c : cases) {
    filter.dbcc_size = c.size;
    ArmLastError();
    EXPECT_EQ(RegisterDeviceNotificationW(c.recipient, c.filter, DEVICE_NOTIFY_SERVICE_HANDLE), nullptr) << c.error;
    EXPECT_EQ(GetLastError(), c.error);
  }
  ArmLastError();
  EXPECT_FALSE(UnregisterDeviceNotification(nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// Mice and keyboards are the system's: it holds them open exclusively.
TEST(ConformanceHidInput, KeyboardsAndMiceOpenOnlyWithoutAccess) {
  size_t held = 0;
  for (const auto& entry : hidtest::PresentInterfaces()) {
    const bool input = entry.caps.UsagePage == 0x01 && (entry.caps.Usage == 0x02 || entry.caps.Usage == 0x06);
    if (!input) continue;
    ++held;
    for (DWORD access : {(DWORD)GENERIC_READ, (DWORD)GENERIC_WRITE}) {
      ArmLastError();
      hidtest::Handle refused(hidtest::Open(entry.path, access));
      EXPECT_FALSE(refused.Valid()) << access;
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED) << access;
    }
    hidtest::Handle query(hidtest::Open(entry.path, 0));
    ASSERT_TRUE(query.Valid()) << GetLastError();
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    EXPECT_TRUE(HidD_GetAttributes(query.Get(), &attributes));
    EXPECT_EQ(attributes.VendorID, entry.attributes.VendorID);
  }
  if (!held) GTEST_SKIP() << "no keyboard or mouse present";
}

}  // namespace
