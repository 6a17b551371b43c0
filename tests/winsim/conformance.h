// Helpers of the conformance suite, in the manner of Wine's tests: a sentinel
// last error before a call, checked after it; the processes and sessions of
// the machine as the service finds its user (the machine's own tests use
// them too).
#pragma once

#include <platform/win32.h>

#include <gtest/gtest.h>
#include <handles/win32.h>

#include <string>
#include <vector>

constexpr DWORD kSentinelError = 0xdeadbeef;

inline void ArmLastError() { SetLastError(kSentinelError); }

inline std::vector<PROCESSENTRY32W> Snapshot() {
  std::vector<PROCESSENTRY32W> entries;
  const handles::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry))
    entries.push_back(entry);
  return entries;
}

// The running processes of that executable name, in snapshot order.
inline std::vector<DWORD> PidsOf(const wchar_t* exe) {
  std::vector<DWORD> pids;
  for (const auto& entry : Snapshot())
    if (std::wstring(entry.szExeFile) == exe) pids.push_back(entry.th32ProcessID);
  return pids;
}

// The user of the calling thread.
inline std::wstring ThreadUser() {
  WCHAR name[257];
  DWORD size = 257;
  EXPECT_TRUE(GetUserNameW(name, &size)) << GetLastError();
  return name;
}

// Impersonates the owner of `pid` as the service does: through the token of
// the user's shell.
inline bool ImpersonateOwner(DWORD pid) {
  const handles::ObjectHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
  handles::ObjectHandle token;
  return process && OpenProcessToken(process.Get(), TOKEN_DUPLICATE | TOKEN_QUERY, token.Receive()) &&
         ImpersonateLoggedOnUser(token.Get());
}

// The user of a process's token, found that way; "?" when it cannot be.
inline std::wstring OwnerOf(DWORD pid) {
  if (!ImpersonateOwner(pid)) return L"?";
  std::wstring name = ThreadUser();
  RevertToSelf();
  return name;
}

inline DWORD SessionOf(DWORD pid) {
  DWORD session = kSentinelError;
  EXPECT_TRUE(ProcessIdToSessionId(pid, &session)) << pid << ": " << GetLastError();
  return session;
}

// WTSUserName of a session, with the size it is answered in checked.
inline std::wstring UserOf(DWORD session) {
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &buffer, &bytes)) {
    ADD_FAILURE() << "session " << session << ": " << GetLastError();
    return L"?";
  }
  std::wstring name = buffer;
  EXPECT_EQ(bytes, (name.size() + 1) * sizeof(WCHAR));
  WTSFreeMemory(buffer);
  return name;
}
