// advapi32: the service control manager's client side and the service
// process's side (dispatcher, control handler registration, status reports).
// Each entry checks what the RPC layer of Windows checks on the client (null
// handles and pointers) and hands the rest to the machine's SCM.
#include <winsim/sim/machine.h>
#include <winsim/sim/services.h>
#include <winsim/winsvc.h>
#include <winsim/sim/faults.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

using namespace winsim;

namespace {

Services& Scm() { return CurrentMachine().Part<Services>(); }

SC_HANDLE FailHandle(DWORD error) { return Fail(error, static_cast<SC_HANDLE>(nullptr)); }

BOOL Result(DWORD error) { return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE); }

// A REG_MULTI_SZ-style list: strings each ended by a zero, the list by one more.
std::vector<std::wstring> ReadMultiString(LPCWSTR list) {
  std::vector<std::wstring> items;
  for (const wchar_t* item = list; item && *item; item += wcslen(item) + 1) items.emplace_back(item);
  return items;
}

// The variable part of a QueryServiceConfig2W answer: the record first, then
// each block it points to, aligned as its type needs, in the caller's buffer.
class ConfigLayout {
 public:
  explicit ConfigLayout(size_t recordSize) : m_size(recordSize) {}
  // Reserves a block and returns its offset from the buffer's start.
  size_t Reserve(size_t bytes, size_t alignment) {
    m_size = (m_size + alignment - 1) / alignment * alignment;
    size_t offset = m_size;
    m_size += bytes;
    return offset;
  }
  size_t Size() const { return m_size; }

 private:
  size_t m_size;
};

// A text of the answer: null when there is none, as Windows gives it.
LPWSTR PlaceText(BYTE* buffer, std::optional<size_t> offset, const std::wstring& text) {
  if (!offset) return nullptr;
  auto* target = reinterpret_cast<WCHAR*>(buffer + *offset);
  std::copy(text.begin(), text.end(), target);
  target[text.size()] = L'\0';
  return target;
}

std::optional<size_t> ReserveText(ConfigLayout& layout, const std::wstring& text) {
  if (text.empty()) return std::nullopt;
  return layout.Reserve((text.size() + 1) * sizeof(WCHAR), alignof(WCHAR));
}

DWORD AnswerDescription(const ServiceConfig& config, BYTE* buffer, DWORD size, DWORD& needed) {
  ConfigLayout layout(sizeof(SERVICE_DESCRIPTIONW));
  auto text = ReserveText(layout, config.description);
  needed = static_cast<DWORD>(layout.Size());
  if (!buffer || size < needed) return ERROR_INSUFFICIENT_BUFFER;
  auto* answer = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer);
  answer->lpDescription = PlaceText(buffer, text, config.description);
  return ERROR_SUCCESS;
}

DWORD AnswerFailureActions(const ServiceConfig& config, BYTE* buffer, DWORD size, DWORD& needed) {
  const FailureActions& failure = config.failureActions;
  ConfigLayout layout(sizeof(SERVICE_FAILURE_ACTIONSW));
  std::optional<size_t> actions;
  if (!failure.actions.empty()) actions = layout.Reserve(failure.actions.size() * sizeof(SC_ACTION), alignof(SC_ACTION));
  auto reboot = ReserveText(layout, failure.rebootMessage);
  auto command = ReserveText(layout, failure.command);
  needed = static_cast<DWORD>(layout.Size());
  if (!buffer || size < needed) return ERROR_INSUFFICIENT_BUFFER;
  auto* answer = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer);
  answer->dwResetPeriod = failure.resetPeriodS;
  answer->cActions = static_cast<DWORD>(failure.actions.size());
  answer->lpsaActions = actions ? reinterpret_cast<SC_ACTION*>(buffer + *actions) : nullptr;
  if (actions) std::copy(failure.actions.begin(), failure.actions.end(), answer->lpsaActions);
  answer->lpRebootMsg = PlaceText(buffer, reboot, failure.rebootMessage);
  answer->lpCommand = PlaceText(buffer, command, failure.command);
  return ERROR_SUCCESS;
}

// A null pointer in the record leaves the stored value as it is.
Services::ConfigChange ReadChange(DWORD level, const void* info) {
  Services::ConfigChange change;
  if (!info) return change;
  if (level == SERVICE_CONFIG_DESCRIPTION) {
    if (auto* description = static_cast<const SERVICE_DESCRIPTIONW*>(info)->lpDescription)
      change.description = description;
    return change;
  }
  const auto* failure = static_cast<const SERVICE_FAILURE_ACTIONSW*>(info);
  if (failure->lpRebootMsg) change.rebootMessage = failure->lpRebootMsg;
  if (failure->lpCommand) change.command = failure->lpCommand;
  if (failure->lpsaActions) {
    change.actions.emplace(failure->lpsaActions, failure->lpsaActions + failure->cActions);
    change.resetPeriodS = failure->dwResetPeriod;
  }
  return change;
}

bool IsKnownConfigLevel(DWORD level) {
  return level == SERVICE_CONFIG_DESCRIPTION || level == SERVICE_CONFIG_FAILURE_ACTIONS;
}

}  // namespace

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  DWORD error = ERROR_SUCCESS;
  SC_HANDLE handle = Scm().OpenManager(lpMachineName, lpDatabaseName, dwDesiredAccess, error);
  if (!handle) return FailHandle(error);
  SetLastErrorCode(ERROR_SUCCESS);
  return handle;
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                                LPDWORD lpdwTagId, LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                                LPCWSTR /*lpPassword*/) {
  if (!Scm().IsManagerHandle(hSCManager)) return FailHandle(ERROR_INVALID_HANDLE);
  if (!lpServiceName || !lpBinaryPathName) return FailHandle(ERROR_INVALID_ADDRESS);
  // A tag exists only within a load-order group.
  if (lpdwTagId && (!lpLoadOrderGroup || !*lpLoadOrderGroup)) return FailHandle(ERROR_INVALID_PARAMETER);
  Services::CreateRequest request;
  request.config.name = lpServiceName;
  request.config.displayName = lpDisplayName ? lpDisplayName : L"";
  request.config.type = dwServiceType;
  request.config.startType = dwStartType;
  request.config.errorControl = dwErrorControl;
  request.config.binaryPath = lpBinaryPathName;
  request.config.dependencies = ReadMultiString(lpDependencies);
  request.config.account = lpServiceStartName ? lpServiceStartName : L"";
  request.access = dwDesiredAccess;
  DWORD error = ERROR_SUCCESS;
  SC_HANDLE handle = Scm().CreateService(hSCManager, request, error);
  if (!handle) return FailHandle(error);
  if (lpdwTagId) *lpdwTagId = 0;
  return handle;
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  if (!Scm().IsManagerHandle(hSCManager)) return FailHandle(ERROR_INVALID_HANDLE);
  if (!lpServiceName) return FailHandle(ERROR_INVALID_ADDRESS);
  DWORD error = ERROR_SUCCESS;
  SC_HANDLE handle = Scm().OpenService(hSCManager, lpServiceName, dwDesiredAccess, error);
  return handle ? handle : FailHandle(error);
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) {
  if (!Scm().IsServiceHandle(hService)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (dwNumServiceArgs && !lpServiceArgVectors) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  std::vector<std::wstring> args;
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
    if (!lpServiceArgVectors[i]) return Fail(ERROR_INVALID_ADDRESS, FALSE);
    args.emplace_back(lpServiceArgVectors[i]);
  }
  return Result(Scm().StartService(hService, args));
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  if (!Scm().IsServiceHandle(hService)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  return Result(Scm().ControlService(hService, dwControl, *lpServiceStatus));
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  if (!Scm().IsServiceHandle(hService)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  return Result(Scm().QueryStatus(hService, *lpServiceStatus));
}

BOOL WINAPI DeleteService(SC_HANDLE hService) { return Result(Scm().DeleteService(hService)); }

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) { return Result(Scm().CloseHandle(hSCObject)); }

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  if (!Scm().IsServiceHandle(hService)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!IsKnownConfigLevel(dwInfoLevel)) return Fail(ERROR_INVALID_LEVEL, FALSE);
  return Result(Scm().ChangeConfig(hService, ReadChange(dwInfoLevel, lpInfo)));
}

BOOL WINAPI QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded) {
  if (!Scm().IsServiceHandle(hService)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!IsKnownConfigLevel(dwInfoLevel)) return Fail(ERROR_INVALID_LEVEL, FALSE);
  if (!pcbBytesNeeded) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  ServiceConfig config;
  if (DWORD error = Scm().QueryConfig(hService, config)) return Fail(error, FALSE);
  DWORD needed = 0;
  DWORD error = dwInfoLevel == SERVICE_CONFIG_DESCRIPTION ? AnswerDescription(config, lpBuffer, cbBufSize, needed)
                                                          : AnswerFailureActions(config, lpBuffer, cbBufSize, needed);
  *pcbBytesNeeded = needed;
  return Result(error);
}

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  DWORD error = ERROR_SUCCESS;
  return Scm().RunDispatcher(lpServiceStartTable, error) ? TRUE : Fail(error, FALSE);
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
  if (!lpServiceName) return Fail(ERROR_INVALID_ADDRESS, static_cast<SERVICE_STATUS_HANDLE>(nullptr));
  if (DWORD error = Faults::Take(FaultPoint::kRegisterServiceCtrlHandler, lpServiceName))
    return Fail(error, static_cast<SERVICE_STATUS_HANDLE>(nullptr));
  DWORD error = ERROR_SUCCESS;
  SERVICE_STATUS_HANDLE handle = Scm().RegisterHandler(lpServiceName, lpHandlerProc, lpContext, error);
  return handle ? handle : Fail(error, static_cast<SERVICE_STATUS_HANDLE>(nullptr));
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  return Result(Scm().SetStatus(hServiceStatus, *lpServiceStatus));
}

}  // extern "C"
