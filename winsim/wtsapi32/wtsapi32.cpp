// wtsapi32: what a service asks about a session. The answers are buffers
// of the local heap, so a buffer never freed shows as a leak where the
// heap's blocks are counted.
#include <winsim/kernel32.h>
#include <winsim/sim/identity.h>
#include <winsim/wtsapi32.h>

#include <cstring>

using namespace winsim;

namespace {

// The connection state WTSConnectState answers: the console's session is
// active with a user and connected at the logon screen; the others are
// disconnected (session 0 included, as on Windows).
WTS_CONNECTSTATE_CLASS ConnectState(const SessionInfo& session) {
  if (!session.console) return WTSDisconnected;
  return session.userSid.empty() ? WTSConnected : WTSActive;
}

std::wstring UserName(const SessionInfo& session) {
  if (session.userSid.empty()) return {};
  const auto account = CurrentMachine().Part<Identity>().AccountBySid(session.userSid);
  return account ? account->name : std::wstring();
}

BOOL Answer(const void* data, DWORD bytes, LPWSTR* buffer, DWORD* returned) {
  void* block = LocalAlloc(LMEM_FIXED, bytes);
  if (!block) return FALSE;  // LocalAlloc has set the last error
  std::memcpy(block, data, bytes);
  *buffer = static_cast<LPWSTR>(block);
  *returned = bytes;
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId, WTS_INFO_CLASS WTSInfoClass,
                                        LPWSTR* ppBuffer, DWORD* pBytesReturned) {
  if (!ppBuffer || !pBytesReturned) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (hServer != WTS_CURRENT_SERVER_HANDLE) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (SessionId == WTS_CURRENT_SESSION) SessionId = kServicesSession;  // this process's, as a service's
  // As WTSQueryUserToken documents for the same look-up: no such session.
  const auto session = CurrentMachine().Part<Identity>().FindSession(SessionId);
  if (!session) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  switch (WTSInfoClass) {
    case WTSSessionId: return Answer(&session->id, sizeof(DWORD), ppBuffer, pBytesReturned);
    case WTSUserName: {
      const std::wstring name = UserName(*session);
      return Answer(name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)), ppBuffer, pBytesReturned);
    }
    case WTSConnectState: {
      const WTS_CONNECTSTATE_CLASS state = ConnectState(*session);
      return Answer(&state, sizeof(state), ppBuffer, pBytesReturned);
    }
    default: return Fail(ERROR_NOT_SUPPORTED, FALSE);
  }
}

VOID WINAPI WTSFreeMemory(PVOID pMemory) {
  if (pMemory) LocalFree(pMemory);
}

}  // extern "C"
