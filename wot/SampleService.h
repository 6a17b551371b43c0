// CSampleService: the one service object of the process. It composes the
// wake-on-touch policy's parts (the user's setting, the push to the
// controller and the watcher whose runs use both) and turns the service's
// hooks into their operations.
//
// Teardown: the members are destroyed in reverse order, so the watcher goes
// first and its destructor waits for the last run before the setting, the
// push and its lock go. The owner of the object waits for the runs itself,
// bounded by kWatcherEndWaitMs, and leaves the object undestroyed when they
// do not end in time (app/ServiceProcess.cpp).
#pragma once

#include "service/ServiceBase.h"
#include "touchic/TouchIC.h"
#include "wot/DeviceArrival.h"
#include "wot/RegWatch.h"
#include "wot/WotPush.h"
#include "wot/WotSetting.h"

class CSampleService : public CServiceBase {
 public:
  // Bound of the wait for running watchers after the dispatcher has returned.
  // Once the service ends, the pauses of a run and its waits for the push
  // lock and the controller's mutex end at once and its device writes get only a short
  // grace (the ending event is handed to the controller), so what is left is
  // the one push under way: those graces and the bounded wait after a cancel
  // the driver ignores, with room to spare for the facade's settle pause, the
  // enumeration and the logging. The sum stays where it was before the wait
  // after a cancel had a bound (5 080 ms).
  static constexpr DWORD kWatcherEndMarginMs = 3000;
  static constexpr DWORD kWatcherEndWaitMs = CTouchIC::kPushEndingWaitMs + kWatcherEndMarginMs;
  static_assert(kWatcherEndWaitMs == 5080,
                "the teardown bound is part of the stop's observable timing: change it on purpose");

  CSampleService();  // raises a Win32 error code when an event or the lock cannot be created
  ~CSampleService() override;

  // The user's setting (CWotSetting); pauses outside a watcher run end only
  // with the service.
  BOOL GetSIDString(LPWSTR* ppszStringSid);
  BOOL GetAccountSid(LPCWSTR pszAccountName, PSID* ppSid);
  int RetryRegGetWotPath(WCHAR (&szRegPath)[MAX_PATH]);
  int ReadWoTsetting(const WCHAR (&szRegPath)[MAX_PATH], DWORD* pdwSel);

  // The watcher (CRegWatch).
  void RestartRegWatch(LPCWSTR pszRunningText, LPCWSTR pszEventText);
  void StartRegWatchThread();
  BOOL WaitForWatchers(DWORD dwMilliseconds);  // TRUE when no run or device check is queued or running
  LONG WatchRuns() const;
  HANDLE EndingEvent() const;

  // The push (CWotPush).
  int RetryHidDevWoTCtrl(DWORD dwSel);
  int HidDevWoTCtrl(DWORD dwSel);

  const CRegWatch& Watch() const { return m_Watch; }
  const CWotPush& Push() const { return m_Push; }

 protected:
  void OnStart(DWORD dwArgc, LPWSTR* pszArgv) override;
  void OnStop() override;
  void OnShutdown() override;
  void OnMonitorOn() override;
  void OnMonitorOff() override;
  // A logon, a logoff and another session at the console restart the
  // watcher as a display-on does; other session changes do nothing more.
  void OnSessionEvent(DWORD dwEventType, DWORD dwSessionId) override;
  void OnDeviceArrival(LPCWSTR pszDevicePath) override;

 private:
  CWotSetting m_Setting;
  CWotPush m_Push;
  CDeviceArrival m_Arrival;  // its checks are counted with the runs, so it outlives them
  CRegWatch m_Watch;         // last: its runs use the parts above, and its end waits for them
};
