#include "service/ServiceSetup.h"

#include "service/InstallerOutput.h"
#include "service/ServiceIdentity.h"

#include <cwchar>
#include <iterator>

namespace {

// A crashed service is restarted 5 s after its first failure and 60 s after
// its second; a third within the reset period is left alone, so a service
// that cannot run does not restart for ever.
constexpr DWORD kFirstRestartDelayMs = 5000;
constexpr DWORD kSecondRestartDelayMs = 60000;
// The failure count starts again after a day without a failure.
constexpr DWORD kFailureResetPeriodS = 24 * 60 * 60;
// Every event type the service could report (error, warning, information),
// though it writes information entries only.
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

BOOL SetDescription(SC_HANDLE schService) {
  WCHAR szDescription[std::size(kServiceDescription)];
  std::wcscpy(szDescription, kServiceDescription);
  SERVICE_DESCRIPTIONW sdDescription = {szDescription};
  return ChangeServiceConfig2W(schService, SERVICE_CONFIG_DESCRIPTION, &sdDescription);
}

BOOL SetFailureActions(SC_HANDLE schService) {
  SC_ACTION rgActions[] = {
      {SC_ACTION_RESTART, kFirstRestartDelayMs},
      {SC_ACTION_RESTART, kSecondRestartDelayMs},
      {SC_ACTION_NONE, 0},
  };
  SERVICE_FAILURE_ACTIONSW sfaActions = {};
  sfaActions.dwResetPeriod = kFailureResetPeriodS;
  sfaActions.cActions = static_cast<DWORD>(std::size(rgActions));
  sfaActions.lpsaActions = rgActions;
  return ChangeServiceConfig2W(schService, SERVICE_CONFIG_FAILURE_ACTIONS, &sfaActions);
}

LSTATUS SetEventSourceValues(HKEY hKey, const WCHAR* pszExePath) {
  auto cbPath = static_cast<DWORD>((std::wcslen(pszExePath) + 1) * sizeof(WCHAR));
  LSTATUS lStatus = RegSetValueExW(hKey, L"EventMessageFile", 0, REG_EXPAND_SZ,
                                   reinterpret_cast<const BYTE*>(pszExePath), cbPath);
  if (lStatus != ERROR_SUCCESS) return lStatus;
  return RegSetValueExW(hKey, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kTypesSupported),
                        sizeof(kTypesSupported));
}

}  // namespace

// The service was created with SERVICE_QUERY_STATUS only; it is reopened with
// the rights its configuration needs (a restart action needs SERVICE_START).
void DescribeService(FILE* pOut, SC_HANDLE schSCManager) {
  SC_HANDLE schService = OpenServiceW(schSCManager, kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START);
  if (!schService) {
    InstallerPrintFailure(pOut, L"OpenService", GetLastError());
    return;
  }
  if (!SetDescription(schService) || !SetFailureActions(schService))
    InstallerPrintFailure(pOut, L"ChangeServiceConfig2", GetLastError());
  CloseServiceHandle(schService);
}

void RegisterEventSourceKey(FILE* pOut, const WCHAR* pszExePath) {
  HKEY hKey = nullptr;
  LSTATUS lStatus = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE, nullptr, &hKey, nullptr);
  if (lStatus != ERROR_SUCCESS) {
    InstallerPrintFailure(pOut, L"RegCreateKeyEx", static_cast<DWORD>(lStatus));
    return;
  }
  lStatus = SetEventSourceValues(hKey, pszExePath);
  if (lStatus != ERROR_SUCCESS) InstallerPrintFailure(pOut, L"RegSetValueEx", static_cast<DWORD>(lStatus));
  RegCloseKey(hKey);
}

void RemoveEventSourceKey(FILE* pOut) {
  LSTATUS lStatus = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
  if (lStatus != ERROR_SUCCESS && lStatus != ERROR_FILE_NOT_FOUND)
    InstallerPrintFailure(pOut, L"RegDeleteKey", static_cast<DWORD>(lStatus));
}
