// advapi32: the registry functions. Each returns its Win32 error code and,
// as on Windows, leaves the thread's last error alone.
#include <winsim/sim/registry.h>
#include <winsim/winreg.h>

using winsim::CurrentMachine;
using winsim::Registry;

namespace {
Registry& TheRegistry() { return CurrentMachine().Part<Registry>(); }
}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return TheRegistry().OpenKey(hKey, lpSubKey, samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  if (Reserved) return ERROR_INVALID_PARAMETER;
  return TheRegistry().CreateKey(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) { return TheRegistry().CloseKey(hKey); }

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved) return ERROR_INVALID_PARAMETER;
  return TheRegistry().QueryValue(hKey, lpValueName, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  return TheRegistry().SetValue(hKey, lpValueName, dwType, lpData, cbData);
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return TheRegistry().DeleteValue(hKey, lpValueName);
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return TheRegistry().DeleteKey(hKey, lpSubKey); }

LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                       BOOL fAsynchronous) {
  return TheRegistry().Notify(hKey, bWatchSubtree != FALSE, dwNotifyFilter, hEvent, fAsynchronous != FALSE);
}

}  // extern "C"
