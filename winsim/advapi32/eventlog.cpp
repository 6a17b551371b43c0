// advapi32: event sources and ReportEventW. Entries go to the machine's
// event log; there is no message file, so an entry is its insertion strings.
#include <winsim/sim/eventlog.h>

using namespace winsim;

namespace {
EventLog& Log() { return CurrentMachine().Part<EventLog>(); }
}  // namespace

extern "C" {

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  if (lpUNCServerName && *lpUNCServerName) return Fail(RPC_S_SERVER_UNAVAILABLE, static_cast<HANDLE>(nullptr));
  if (!lpSourceName) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  DWORD error = ERROR_SUCCESS;
  HANDLE source = Log().RegisterSource(lpSourceName, error);
  return source ? source : Fail(error, static_cast<HANDLE>(nullptr));
}

BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID /*lpUserSid*/,
                         WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
  if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  EventRecord record;
  record.type = wType;
  record.category = wCategory;
  record.eventId = dwEventID;
  for (WORD i = 0; i < wNumStrings; ++i) {
    if (!lpStrings[i]) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    record.strings.emplace_back(lpStrings[i]);
  }
  auto* data = static_cast<const BYTE*>(lpRawData);
  if (dwDataSize) record.data.assign(data, data + dwDataSize);
  DWORD error = Log().Report(hEventLog, std::move(record));
  return error ? Fail(error, FALSE) : TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
  DWORD error = Log().Deregister(hEventLog);
  return error ? Fail(error, FALSE) : TRUE;
}

}  // extern "C"
