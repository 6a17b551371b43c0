// Identity functions as Windows does them: process snapshots, tokens and
// impersonation, user and computer names, account lookup and SID strings.
#include "conformance.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

std::wstring ComputerName() {
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  EXPECT_TRUE(GetComputerNameW(name, &size));
  return name;
}

TEST(ConformanceToolhelp, AWrongEntrySizeIsABadLength) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  PROCESSENTRY32W entry;
  entry.dwSize = 0;
  ArmLastError();
  EXPECT_FALSE(Process32FirstW(snapshot, &entry));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_LENGTH);
  CloseHandle(snapshot);
}

TEST(ConformanceToolhelp, WalksTheProcessListToItsEnd) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    EXPECT_LT(std::wcslen(entry.szExeFile), (size_t)MAX_PATH);
    ++count;
  }
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
  EXPECT_GT(count, 1);
  // The walk starts over with Process32FirstW.
  EXPECT_TRUE(Process32FirstW(snapshot, &entry));
  EXPECT_TRUE(CloseHandle(snapshot));

  ArmLastError();
  EXPECT_FALSE(Process32FirstW(snapshot, &entry));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(ConformanceProcess, OpenProcessRefusesIdZero) {
  ArmLastError();
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(ConformanceToken, ImpersonatingOwnTokenKeepsTheUserAndReverts) {
  std::wstring self = ThreadUser();
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  ArmLastError();
  EXPECT_FALSE(ImpersonateLoggedOnUser(token));  // a primary token also needs TOKEN_DUPLICATE
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  CloseHandle(token);

  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &token));
  ASSERT_TRUE(ImpersonateLoggedOnUser(token));
  CloseHandle(token);
  EXPECT_EQ(ThreadUser(), self);
  EXPECT_TRUE(RevertToSelf());
  EXPECT_TRUE(RevertToSelf());  // reverting without impersonation is fine
  EXPECT_TRUE(SetThreadToken(nullptr, nullptr));

  ArmLastError();
  EXPECT_FALSE(ImpersonateLoggedOnUser(nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  ArmLastError();
  EXPECT_FALSE(OpenProcessToken(nullptr, TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(ConformanceNames, SizeQueriesCountTheTerminator) {
  DWORD size = 0;
  ArmLastError();
  EXPECT_FALSE(GetUserNameW(nullptr, &size));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  std::wstring user(size, L'\0');
  DWORD needed = size;
  ASSERT_TRUE(GetUserNameW(user.data(), &size));
  EXPECT_EQ(size, needed);  // characters copied, terminator included
  EXPECT_EQ(std::wcslen(user.c_str()) + 1, (size_t)size);

  size = 0;
  ArmLastError();
  EXPECT_FALSE(GetComputerNameW(nullptr, &size));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUFFER_OVERFLOW);
  std::wstring computer(size, L'\0');
  needed = size;
  ASSERT_TRUE(GetComputerNameW(computer.data(), &size));
  EXPECT_EQ(size + 1, needed);  // length without the terminator
}

TEST(ConformanceAccounts, LookupOfTheComputerNameIsTheDomain) {
  std::wstring computer = ComputerName();
  DWORD sidSize = 0, domainSize = 0;
  SID_NAME_USE use = SidTypeInvalid;
  ArmLastError();
  EXPECT_FALSE(LookupAccountNameW(nullptr, computer.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_GT(sidSize, 8u);
  EXPECT_EQ(domainSize, computer.size() + 1);

  BYTE sid[SECURITY_MAX_SID_SIZE];
  WCHAR domain[256];
  domainSize = 256;
  sidSize = sizeof(sid);
  ASSERT_TRUE(LookupAccountNameW(nullptr, computer.c_str(), sid, &sidSize, domain, &domainSize, &use));
  EXPECT_EQ(use, SidTypeDomain);
  EXPECT_EQ(domainSize, computer.size());
  EXPECT_EQ(sidSize, GetLengthSid(sid));
}

TEST(ConformanceAccounts, LookupOfTheOwnUserAndOfSystem) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  WCHAR domain[256];
  DWORD sidSize = sizeof(sid), domainSize = 256;
  SID_NAME_USE use = SidTypeInvalid;
  ASSERT_TRUE(LookupAccountNameW(nullptr, ThreadUser().c_str(), sid, &sidSize, domain, &domainSize, &use));
  EXPECT_TRUE(use == SidTypeUser || use == SidTypeWellKnownGroup);
  EXPECT_TRUE(IsValidSid(sid));

  sidSize = sizeof(sid);
  domainSize = 256;
  ASSERT_TRUE(LookupAccountNameW(nullptr, L"NT AUTHORITY\\SYSTEM", sid, &sidSize, domain, &domainSize, &use));
  EXPECT_EQ(use, SidTypeWellKnownGroup);
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(sid, &text));
  EXPECT_STREQ(text, L"S-1-5-18");
  LocalFree(text);

  ArmLastError();
  EXPECT_FALSE(LookupAccountNameW(nullptr, L"no-such-account-7f3e", sid, &sidSize, domain, &domainSize, &use));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NONE_MAPPED);
}

TEST(ConformanceSid, StringFormRoundTrips) {
  PSID sid = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1004336348-1177238915-682003330-1001", &sid));
  EXPECT_EQ(GetLengthSid(sid), 8u + 5 * 4);
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(sid, &text));
  EXPECT_STREQ(text, L"S-1-5-21-1004336348-1177238915-682003330-1001");
  LocalFree(text);
  LocalFree(sid);

  ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-18", &sid));
  ASSERT_TRUE(ConvertSidToStringSidW(sid, &text));
  EXPECT_STREQ(text, L"S-1-5-18");
  LocalFree(text);
  LocalFree(sid);

  for (const wchar_t* bad : {L"S-2-5-18", L"X-1-5-18", L"S-1-5-", L"S-1-5-18-x"}) {
    sid = nullptr;
    ArmLastError();
    EXPECT_FALSE(ConvertStringSidToSidW(bad, &sid)) << bad;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SID) << bad;
  }
}

}  // namespace
