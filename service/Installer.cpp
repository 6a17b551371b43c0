#include "service/Installer.h"

#include "platform/win32.h"
#include "service/ServiceIdentity.h"

#include <cstdarg>
#include <cwchar>

namespace {

// Pause between two status checks while the service is stop-pending.
constexpr DWORD kStopPollMs = 1000;
// An empty dependency list: the string holds only its two terminating zeros.
const WCHAR kNoDependencies[] = L"\0";

void Print(FILE* pOut, const WCHAR* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  std::vfwprintf(pOut, pszFormat, args);
  va_end(args);
  std::fflush(pOut);
}

void PrintFailure(FILE* pOut, const WCHAR* pszCall, DWORD dwError) {
  Print(pOut, L"%ls failed w/err 0x%08lx\n", pszCall, static_cast<unsigned long>(dwError));
}

// The image path registered for the service: the running executable. A path
// with a space is quoted, or the service control manager would try to run
// every prefix that ends at a space (C:\Program.exe for C:\Program Files\...).
// A path that did not fit the buffer is a failure, not a truncated image path.
bool GetServiceImagePath(WCHAR* pszImage, DWORD nImageSize, DWORD* pdwError) {
  WCHAR szPath[MAX_PATH];
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
  Print(pOut, L"Stopping %ls.", kServiceName);
  for (;;) {
    Sleep(kStopPollMs);
    SERVICE_STATUS ssStatus = {};
    if (!QueryServiceStatus(schService, &ssStatus)) break;
    dwState = ssStatus.dwCurrentState;
    if (dwState != SERVICE_STOP_PENDING) break;
    Print(pOut, L".");
  }
  return dwState;
}

void StopIfRunning(FILE* pOut, SC_HANDLE schService) {
  SERVICE_STATUS ssStatus = {};
  if (!ControlService(schService, SERVICE_CONTROL_STOP, &ssStatus)) return;
  if (WaitWhileStopPending(pOut, schService, ssStatus.dwCurrentState) == SERVICE_STOPPED)
    Print(pOut, L"\n%ls is stopped.\n", kServiceName);
  else
    Print(pOut, L"\n%ls failed to stop.\n", kServiceName);
}

}  // namespace

void InstallService(FILE* pOut) {
  WCHAR szImage[MAX_PATH + 2];
  DWORD dwError = ERROR_SUCCESS;
  if (!GetServiceImagePath(szImage, MAX_PATH + 2, &dwError)) {
    PrintFailure(pOut, L"GetModuleFileName", dwError);
    return;
  }
  SC_HANDLE schSCManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (!schSCManager) {
    PrintFailure(pOut, L"OpenSCManager", GetLastError());
    return;
  }
  SC_HANDLE schService = CreateServiceW(schSCManager, kServiceName, kServiceDisplayName, SERVICE_QUERY_STATUS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                        szImage, nullptr, nullptr, kNoDependencies, nullptr, nullptr);
  if (!schService) {
    PrintFailure(pOut, L"CreateService", GetLastError());
    CloseServiceHandle(schSCManager);
    return;
  }
  Print(pOut, L"%ls is installed.\n", kServiceName);
  CloseServiceHandle(schService);
  CloseServiceHandle(schSCManager);
}

void UninstallService(FILE* pOut) {
  SC_HANDLE schSCManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!schSCManager) {
    PrintFailure(pOut, L"OpenSCManager", GetLastError());
    return;
  }
  SC_HANDLE schService = OpenServiceW(schSCManager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!schService) {
    PrintFailure(pOut, L"OpenService", GetLastError());
    CloseServiceHandle(schSCManager);
    return;
  }
  StopIfRunning(pOut, schService);
  if (DeleteService(schService))
    Print(pOut, L"%ls is removed.\n", kServiceName);
  else
    PrintFailure(pOut, L"DeleteService", GetLastError());
  CloseServiceHandle(schService);
  CloseServiceHandle(schSCManager);
}
