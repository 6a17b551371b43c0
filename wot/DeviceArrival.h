// A HID interface that arrived, checked on the thread pool: the controller
// coming back (after an unplug, a dock, a firmware reset or a re-enumeration)
// is a push opportunity, since it comes up with whatever state it likes. Each
// of the controller's collections arrives on its own; the restarts they make
// replace one another, so the newest run alone pushes.
#pragma once

#include "platform/win32.h"

class CRegWatch;
class CServiceBase;
class CWotPush;

class CDeviceArrival {
 public:
  CDeviceArrival(CServiceBase& service, CRegWatch& watch, const CWotPush& push)
      : m_Service(service), m_Watch(watch), m_Push(push) {}
  CDeviceArrival(const CDeviceArrival&) = delete;
  CDeviceArrival& operator=(const CDeviceArrival&) = delete;

  // Copies the path (valid only during the device event) and queues its
  // check, counted with the watcher's runs; the check restarts the watcher
  // when the interface is the controller's. What cannot be queued is written
  // to the debug log only.
  void CheckArrival(LPCWSTR pszDevicePath);

 private:
  struct SCheck;
  static DWORD WINAPI CheckTrampoline(LPVOID pContext);
  void Check(LPCWSTR pszDevicePath);
  bool IsController(LPCWSTR pszDevicePath) const;
  void LogError(PCWSTR pszWhat, DWORD dwError);

  CServiceBase& m_Service;  // writes the debug-log lines
  CRegWatch& m_Watch;
  const CWotPush& m_Push;  // the controller addressed
};
