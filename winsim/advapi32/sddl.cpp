// advapi32 (sddl.h): SIDs to and from their string form. The strings and
// SIDs handed out are LocalAlloc blocks the caller frees with LocalFree.
#include <winsim/security.h>
#include <winsim/sim/object.h>

#include <cstring>

#include "sid.h"

using namespace winsim;

namespace {

template <class T>
T* LocalCopy(const void* bytes, size_t size) {
  void* block = LocalAlloc(LMEM_FIXED, size);
  if (block) std::memcpy(block, bytes, size);
  return static_cast<T*>(block);
}

}  // namespace

extern "C" {

BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid) {
  if (!StringSid) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!IsValidSid(Sid)) return Fail(ERROR_INVALID_SID, FALSE);
  std::wstring text = FormatSid(static_cast<const SID*>(Sid));
  *StringSid = LocalCopy<WCHAR>(text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return *StringSid ? TRUE : Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
}

BOOL WINAPI ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid) {
  if (!StringSid || !Sid) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto binary = ParseSid(StringSid);
  if (!binary) return Fail(ERROR_INVALID_SID, FALSE);
  *Sid = LocalCopy<void>(binary->data(), binary->size());
  return *Sid ? TRUE : Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
}

}  // extern "C"
