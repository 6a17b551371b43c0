// advapi32: the service control manager's client side and the service
// process's side (dispatcher, control handler registration, status reports).
// Each entry checks what the RPC layer of Windows checks on the client (null
// handles and pointers) and hands the rest to the machine's SCM.
#include <winsim/sim/machine.h>
#include <winsim/sim/services.h>
#include <winsim/winsvc.h>
#include <winsim/sim/faults.h>

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
