#include "service/Installer.h"

#include "platform/win32.h"
#include "service/InstallerOutput.h"
#include "service/ServiceIdentity.h"
#include "service/ServiceSetup.h"

#include <cwchar>

namespace {

// Pause between two status checks while the service is stop-pending.
constexpr DWORD kStopPollMs = 1000;
// An empty dependency list: the string holds only its two terminating zeros.
const WCHAR kNoDependencies[] = L"\0";

// The image path registered for the service: the running executable (its
// plain path in szPath). A path with a space is quoted, or the service control
// manager would try to run every prefix that ends at a space (C:\Program.exe
// for C:\Program Files\...). A path that did not fit the buffer is a failure,
// not a truncated image path.
bool GetServiceImagePath(WCHAR (&szPath)[MAX_PATH], WCHAR* pszImage, DWORD nImageSize, DWORD* pdwError) {
  DWORD nLen = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
  if (nLen == 0 || nLen >= MAX_PATH) {
    *pdwError = GetLastError();
    if (nLen != 0 && *pdwError == ERROR_SUCCESS) *pdwError = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  const WCHAR* pszFormat = std::wcschr(szPath, L' ') ? L"\"%ls\"" : L"%ls";
  std::swprintf(pszImage, nImageSize, pszFormat, szPath);
  return true;
}

// Polls until the service leaves SERVICE_STOP_PENDING or the query fails;
// returns the last state that was known.
DWORD WaitWhileStopPending(FILE* pOut, SC_HANDLE schService, DWORD dwState) {
  InstallerPrint(pOut, L"Stopping %ls.", kServiceName);
  for (;;) {
    Sleep(kStopPollMs);
    SERVICE_STATUS ssStatus = {};
    if (!QueryServiceStatus(schService, &ssStatus)) break;
    dwState = ssStatus.dwCurrentState;
    if (dwState != SERVICE_STOP_PENDING) break;
    InstallerPrint(pOut, L".");
  }
  return dwState;
}

void StopIfRunning(FILE* pOut, SC_HANDLE schService) {
  SERVICE_STATUS ssStatus = {};
  if (!ControlService(schService, SERVICE_CONTROL_STOP, &ssStatus)) return;
  if (WaitWhileStopPending(pOut, schService, ssStatus.dwCurrentState) == SERVICE_STOPPED)
    InstallerPrint(pOut, L"\n%ls is stopped.\n", kServiceName);
  else
    InstallerPrint(pOut, L"\n%ls failed to stop.\n", kServiceName);
}

}  // namespace

void InstallService(FILE* pOut) {
  WCHAR szPath[MAX_PATH];
  WCHAR szImage[MAX_PATH + 2];
  DWORD dwError = ERROR_SUCCESS;
  if (!GetServiceImagePath(szPath, szImage, MAX_PATH + 2, &dwError)) {
    InstallerPrintFailure(pOut, L"GetModuleFileName", dwError);
    return;
  }
  SC_HANDLE schSCManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (!schSCManager) {
    InstallerPrintFailure(pOut, L"OpenSCManager", GetLastError());
    return;
  }
  SC_HANDLE schService = CreateServiceW(schSCManager, kServiceName, kServiceDisplayName, SERVICE_QUERY_STATUS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                        szImage, nullptr, nullptr, kNoDependencies, nullptr, nullptr);
  if (!schService) {
    InstallerPrintFailure(pOut, L"CreateService", GetLastError());
    CloseServiceHandle(schSCManager);
    return;
  }
  InstallerPrint(pOut, L"%ls is installed.\n", kServiceName);
  CloseServiceHandle(schService);
  DescribeService(pOut, schSCManager);
  RegisterEventSourceKey(pOut, szPath);
  CloseServiceHandle(schSCManager);
}

void UninstallService(FILE* pOut) {
  SC_HANDLE schSCManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!schSCManager) {
    InstallerPrintFailure(pOut, L"OpenSCManager", GetLastError());
    return;
  }
  SC_HANDLE schService = OpenServiceW(schSCManager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!schService) {
    InstallerPrintFailure(pOut, L"OpenService", GetLastError());
    CloseServiceHandle(schSCManager);
    return;
  }
  StopIfRunning(pOut, schService);
  if (DeleteService(schService)) {
    InstallerPrint(pOut, L"%ls is removed.\n", kServiceName);
    RemoveEventSourceKey(pOut);
  } else {
    InstallerPrintFailure(pOut, L"DeleteService", GetLastError());
  }
  CloseServiceHandle(schService);
  CloseServiceHandle(schSCManager);
}
