// advapi32: SIDs, accounts, process tokens and impersonation.
#include <winsim/security.h>
#include <winsim/sim/identity.h>

#include "sid.h"

#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

using namespace winsim;

namespace {

Identity& TheIdentity() { return CurrentMachine().Part<Identity>(); }

std::shared_ptr<TokenObject> TokenOf(HANDLE token) { return CurrentMachine().handles().GetAs<TokenObject>(token); }

bool IsCurrentProcess(HANDLE process) { return process == GetCurrentProcess(); }

}  // namespace

extern "C" {

BOOL WINAPI IsValidSid(PSID pSid) {
  auto* sid = static_cast<const SID*>(pSid);
  return sid && sid->Revision == SID_REVISION && sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

DWORD WINAPI GetLengthSid(PSID pSid) {
  if (!IsValidSid(pSid)) return Fail(ERROR_INVALID_SID, 0u);
  return static_cast<DWORD>(kSidHeaderBytes + static_cast<const SID*>(pSid)->SubAuthorityCount * sizeof(DWORD));
}

BOOL WINAPI LookupAccountNameW(LPCWSTR, LPCWSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                               LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                               PSID_NAME_USE peUse) {
  if (!lpAccountName || !cbSid || !cchReferencedDomainName || !peUse) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto account = TheIdentity().LookupAccount(lpAccountName);
  auto binary = account ? ParseSid(account->sid) : std::nullopt;
  if (!binary) return Fail(ERROR_NONE_MAPPED, FALSE);
  auto needSid = static_cast<DWORD>(binary->size());
  auto needDomain = static_cast<DWORD>(account->domain.size() + 1);
  if (!Sid || !ReferencedDomainName || *cbSid < needSid || *cchReferencedDomainName < needDomain) {
    *cbSid = needSid;
    *cchReferencedDomainName = needDomain;
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(Sid, binary->data(), needSid);
  std::wmemcpy(ReferencedDomainName, account->domain.c_str(), needDomain);
  *cbSid = needSid;
  *cchReferencedDomainName = needDomain - 1;
  *peUse = account->use;
  SetLastErrorCode(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  if (!TokenHandle) return Fail(ERROR_NOACCESS, FALSE);
  std::wstring userSid = kSystemSid;
  if (!IsCurrentProcess(ProcessHandle)) {
    auto process = CurrentMachine().handles().GetAs<ProcessObject>(ProcessHandle);
    if (!process) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(process->Access() & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)))
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    userSid = process->Record().userSid;
  }
  DWORD access = DesiredAccess & (GENERIC_ALL | MAXIMUM_ALLOWED) ? TOKEN_ALL_ACCESS : DesiredAccess;
  *TokenHandle = CurrentMachine().handles().Insert(std::make_shared<TokenObject>(userSid, access));
  return TRUE;
}

// A process token is a primary token: impersonating it needs query and
// duplicate rights.
BOOL WINAPI ImpersonateLoggedOnUser(HANDLE hToken) {
  auto token = TokenOf(hToken);
  if (!token) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((token->Access() & (TOKEN_QUERY | TOKEN_DUPLICATE)) != (TOKEN_QUERY | TOKEN_DUPLICATE))
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  TheIdentity().Impersonate(CurrentThreadId(), token->UserSid());
  return TRUE;
}

BOOL WINAPI RevertToSelf(void) {
  if (!TheIdentity().Revert(CurrentThreadId())) return Fail(ERROR_ACCESS_DENIED, FALSE);
  return TRUE;
}

// Only the calling thread (a null Thread) is supported; a null token ends its
// impersonation. Process tokens are primary tokens, which SetThreadToken refuses.
BOOL WINAPI SetThreadToken(PHANDLE Thread, HANDLE Token) {
  if (Thread) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (Token) return Fail(TokenOf(Token) ? ERROR_BAD_TOKEN_TYPE : ERROR_INVALID_HANDLE, FALSE);
  TheIdentity().ClearImpersonation(CurrentThreadId());
  return TRUE;
}

BOOL WINAPI GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer) {
  if (!pcbBuffer) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto account = TheIdentity().AccountBySid(TheIdentity().ThreadUserSid(CurrentThreadId()));
  std::wstring name = account ? account->name : L"SYSTEM";
  auto need = static_cast<DWORD>(name.size() + 1);
  if (*pcbBuffer < need) {
    *pcbBuffer = need;
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::wmemcpy(lpBuffer, name.c_str(), need);
  *pcbBuffer = need;
  return TRUE;
}

}  // extern "C"
