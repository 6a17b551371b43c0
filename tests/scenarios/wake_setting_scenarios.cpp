// Whole-service stories about the user's wake setting: what reaches the
// controller at service start for each kind of setting and user, whose
// setting counts, how a change of the setting follows, and what happens when
// nobody is logged on.
#include "simkit/ServiceMachine.h"
#include "wot/SampleService.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

using simkit::ServiceMachine;

std::wstring ReadMessage(ServiceMachine& machine, DWORD value) {
  wchar_t text[400];
  std::swprintf(text, 400, L"read %ls is %x", machine.UserKey().substr(4).c_str(), value);
  return text;
}

// The controller is sent the value's low byte, and the message names what
// that byte does: only byte 1 (from 1, 257, ...) is reported as enabling.
TEST(WakeSettingScenario, StartPushesTheUsersSetting) {
  struct Case {
    DWORD value;
    const wchar_t* message;
  } const cases[] = {{1, L"Enable Wake-on-touch"},   {0, L"Disable Wake-on-touch"},   {2, L"Disable Wake-on-touch"},
                     {257, L"Enable Wake-on-touch"}, {511, L"Disable Wake-on-touch"}, {256, L"Disable Wake-on-touch"}};
  for (const auto& c : cases) {
    ServiceMachine machine;
    ASSERT_TRUE(machine.SetTouch(c.value));
    ASSERT_TRUE(machine.Start());
    ASSERT_TRUE(machine.WaitForEvents(c.message, 1)) << c.value;
    ASSERT_TRUE(machine.WaitForWatching(1));
    EXPECT_EQ(machine.PushedFlags(), std::vector<uint8_t>{static_cast<uint8_t>(c.value)});
    EXPECT_EQ(machine.EventCount(ReadMessage(machine, c.value)), 1u) << c.value;
    EXPECT_EQ(machine.Log().Count("Init HidDevWoTCtrl success"), 1u);
  }
}

// Without a readable setting the controller is given wake-on-touch enabled
// and nothing is watched.
TEST(WakeSettingScenario, MissingValueOrKeyEnablesAndDoesNotWatch) {
  struct Case {
    bool deleteKey;
    const wchar_t* failure;
  } const cases[] = {{false, L"RegQueryValueEx, Code : 2"}, {true, L"Open Register Key, Code : 2"}};
  for (const auto& c : cases) {
    ServiceMachine machine;
    std::wstring key = machine.UserKey();
    if (c.deleteKey)
      ASSERT_TRUE(machine.Registry().DeleteKeyTree(key));
    else
      ASSERT_TRUE(machine.Registry().DeleteValue(key, L"Touch"));
    ASSERT_TRUE(machine.Start());
    ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 1));
    ASSERT_TRUE(machine.WaitForDebug("fRegExist is FALSE. Can't find register. Alwyas enable the wot"));
    ASSERT_TRUE(machine.WaitForNoWatcher());
    EXPECT_EQ(machine.EventCount(c.failure), 1u);
    EXPECT_EQ(machine.Log().Count("ReadWoTsetting fail."), 1u);
    EXPECT_EQ(machine.Registry().ArmedNotifications(key), 0u);
    EXPECT_EQ(machine.PushedFlags(), std::vector<uint8_t>{1});
  }
}

// A "Touch" value that is not 32-bit data is not a setting: the controller
// gets the default, and nothing is written past the 4-byte variable.
TEST(WakeSettingScenario, TouchDataOfAnotherLengthCountsAsUnreadable) {
  struct Case {
    std::vector<BYTE> data;
    const wchar_t* failure;
  } const cases[] = {{{0, 0, 0, 0, 0, 0, 0, 0}, L"RegQueryValueEx, Code : 234"}, {{0}, L"RegQueryValueEx, Code : 13"}};
  for (const auto& c : cases) {
    ServiceMachine machine;
    ASSERT_TRUE(machine.Registry().SetValue(machine.UserKey(), L"Touch", REG_BINARY, c.data));
    ASSERT_TRUE(machine.Start());
    ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 1));
    ASSERT_TRUE(machine.WaitForNoWatcher());
    EXPECT_EQ(machine.EventCount(c.failure), 1u);
    EXPECT_EQ(machine.PushedFlags(), std::vector<uint8_t>{1});
  }
}

// At boot before anyone logs on: 15 lookups 3 s apart, then the default, and
// no watching. A logon then brings the user's own setting, without waiting
// for a display-on.
TEST(WakeSettingScenario, NobodyLoggedOnFallsBackAndALogonBringsTheUsersSetting) {
  ServiceMachine machine;
  machine.Identity().LogOffAll();
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForDebug("fRegExist is FALSE. Can't find register. Alwyas enable the wot"));
  ASSERT_TRUE(machine.WaitForNoWatcher());
  EXPECT_EQ(machine.EventCount(L"Fail to OpenProcessToken"), 15u);
  EXPECT_EQ(machine.EventCount(L"GetSIDString Fail"), 15u);
  EXPECT_EQ(machine.Log().Count("Start to OpenProcessToken"), 15u);
  EXPECT_EQ(machine.Log().Count("RegGetCurrentWotPath fail."), 15u);
  EXPECT_EQ(machine.Log().Count("RetryRegGetWotPath fail."), 1u);

  std::wstring sid = machine.Identity().LogOn(L"Robin");
  ASSERT_TRUE(machine.Registry().SetDword(simkit::WakeKey(sid), L"Touch", 0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(1));
  EXPECT_EQ(machine.PushedFlags(), (std::vector<uint8_t>{1, 0}));
  const std::string logon = "Session Logon " + std::to_string(machine.Identity().ConsoleSession());
  EXPECT_EQ(machine.Log().Count(logon + " - Create new thread"), 1u);
  EXPECT_EQ(machine.Log().Count(logon + " - the thread is running"), 0u);  // no run to stop
}

// A run replaced during its lookup leaves quietly: no failure line and no
// default selection of its own; only the newer run, whose lookup runs out in
// turn, falls back to the default and pushes it once.
TEST(WakeSettingScenario, ARunReplacedDuringItsLookupLeavesTheSettingToTheNewerRun) {
  ServiceMachine machine;
  machine.Identity().LogOffAll();
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitUntil([&] { return machine.Log().Count("RegGetCurrentWotPath fail.") >= 2; }));
  machine.DisplayOn();
  ASSERT_TRUE(machine.WaitForDebug("fRegExist is FALSE. Can't find register. Alwyas enable the wot"));
  ASSERT_TRUE(machine.WaitForNoWatcher());
  EXPECT_EQ(machine.Log().Count("RetryRegGetWotPath fail."), 1u);
  EXPECT_EQ(machine.PushedFlags(), std::vector<uint8_t>{1});
}

// The computer's name as a bare account name is its domain; the qualified
// name finds the user, whose own setting is pushed.
TEST(WakeSettingScenario, AUserNamedLikeTheComputerIsFound) {
  ServiceMachine machine;
  auto& identity = machine.Identity();
  identity.LogOffAll();
  identity.SetComputerName(L"KIOSK");
  std::wstring sid = identity.LogOn(L"Kiosk");
  ASSERT_TRUE(machine.Registry().SetDword(simkit::WakeKey(sid), L"Touch", 0));
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(1));
  EXPECT_EQ(machine.Log().Count("User Name : Kiosk"), 1u);
  EXPECT_EQ(machine.EventCount(L"GetSIDString Fail"), 0u);
}

// Whose setting counts: the user at the console, by the shell in the
// console's session; while that shell does not run yet (it starts a moment
// after the logon) nobody's, and the lookup is tried again. With nobody at
// the console (the logon screen) the first "explorer.exe" of the process
// list decides, whatever its session; a name that differs in letter case is
// not the shell's.
TEST(WakeSettingScenario, TheUserAtTheConsoleElseTheFirstShellDecides) {
  ServiceMachine machine;
  auto& identity = machine.Identity();
  identity.LogOffAll();
  identity.StartProcess(L"Explorer.EXE", identity.AddUser(L"Casey"));
  const std::wstring robin = machine.LogOn(L"Robin");
  const std::wstring sam = machine.LogOn(L"Sam");
  CSampleService service;
  auto lookUp = [&]() -> std::wstring {
    LPWSTR pszSid = nullptr;
    if (!service.GetSIDString(&pszSid)) return L"nobody";
    std::wstring sid = pszSid;
    LocalFree(pszSid);
    return sid;
  };
  EXPECT_EQ(lookUp(), sam);
  ASSERT_TRUE(identity.SwitchTo(L"Robin"));
  EXPECT_EQ(lookUp(), robin);
  const std::wstring kim = identity.LogOn(L"Kim");
  EXPECT_EQ(lookUp(), L"nobody");
  ASSERT_TRUE(machine.WaitUntil([&] { return identity.ShellRunning(kim); }));
  EXPECT_EQ(lookUp(), kim);
  ASSERT_TRUE(identity.LogOff(L"Kim"));
  EXPECT_EQ(lookUp(), robin);
  identity.LogOffAll();
  EXPECT_EQ(lookUp(), L"nobody");
  EXPECT_EQ(machine.Log().Count("Fail to OpenProcessToken"), 2u);
}

// A failed RevertToSelf fails the lookup, which is retried; the pool thread
// is not left impersonating the user.
TEST(WakeSettingScenario, AFailedRevertIsRetriedAndLeavesNoImpersonation) {
  ServiceMachine machine;
  machine.Identity().FailReverts(1);
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(1));
  EXPECT_EQ(machine.EventCount(L"RevertToSelf Fail:4"), 1u);
  EXPECT_EQ(machine.EventCount(L"GetSIDString Fail"), 1u);
  EXPECT_EQ(machine.Log().Count("RegGetCurrentWotPath fail."), 1u);
  EXPECT_EQ(machine.Identity().ImpersonatingThreads(), 0u);
}

// Each change under the user's key wakes the watcher for one read and push;
// a deleted value pushes nothing and the watcher goes on.
TEST(WakeSettingScenario, TheWatcherFollowsEveryChangeUnderTheKey) {
  ServiceMachine machine;
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(1));

  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(2));
  ASSERT_TRUE(machine.SetTouch(1));
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 2));
  ASSERT_TRUE(machine.WaitForWatching(3));

  // Another value, and a value of a subkey: "Touch" is read and pushed again.
  ASSERT_TRUE(machine.Registry().SetDword(machine.UserKey(), L"Pen", 7));
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 3));
  ASSERT_TRUE(machine.WaitForWatching(4));
  ASSERT_TRUE(machine.Registry().SetDword(machine.UserKey() + L"\\Sub", L"X", 1));
  ASSERT_TRUE(machine.WaitForEvents(L"Enable Wake-on-touch", 4));
  ASSERT_TRUE(machine.WaitForWatching(5));

  ASSERT_TRUE(machine.Registry().DeleteValue(machine.UserKey(), L"Touch"));
  ASSERT_TRUE(machine.WaitForEvents(L"RegQueryValueEx, Code : 2", 1));
  ASSERT_TRUE(machine.WaitForWatching(6));
  EXPECT_EQ(machine.PushedFlags(), (std::vector<uint8_t>{1, 0, 1, 1, 1}));
  EXPECT_EQ(machine.EventCount(L"WAIT_OBJECT_0"), 5u);

  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 2));
  ASSERT_TRUE(machine.WaitForWatching(7));
}

// A change made while the first push is on its way, before the watch has
// begun, still reaches the controller.
TEST(WakeSettingScenario, AChangeBeforeTheWatchBeginsIsNotLost) {
  ServiceMachine machine;
  machine.Controller()->SetFault(winsim::ControllerFault::kLate);
  ASSERT_TRUE(machine.Start());
  ASSERT_TRUE(machine.WaitForDebug("---> VORNAPI::Connect"));
  ASSERT_TRUE(machine.SetTouch(0));
  ASSERT_TRUE(machine.WaitForEvents(L"Disable Wake-on-touch", 1));
  ASSERT_TRUE(machine.WaitForWatching(2));
  EXPECT_EQ(machine.PushedFlags(), (std::vector<uint8_t>{1, 0}));
}

}  // namespace
