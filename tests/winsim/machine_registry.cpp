// The registry part's control API, its user hives, and the notification
// behaviour that only the machine can show (changes remembered while nothing
// is armed, concurrent writers and watchers).
#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/registry.h>

#include <atomic>
#include <thread>

#include "simkit/Machine.h"

namespace {

using winsim::Identity;
using winsim::Registry;
using winsim::RegistryChange;

std::wstring UserKey(winsim::Machine& machine) {
  auto sids = machine.Part<Identity>().LoggedOnUserSids();
  EXPECT_EQ(sids.size(), 1u);
  return L"HKEY_USERS\\" + simkit::WakeKeyUnderUsers(sids.at(0));
}

TEST(MachineRegistry, DefaultMachineHasTheLoggedOnUsersWakeSetting) {
  winsim::ScopedMachine machine;
  auto& registry = machine->Part<Registry>();
  EXPECT_EQ(registry.GetDword(UserKey(*machine), L"Touch"), 1u);
  EXPECT_TRUE(registry.KeyExists(L"HKLM\\SYSTEM\\CurrentControlSet\\Services"));
  EXPECT_TRUE(registry.KeyExists(L"hku\\s-1-5-18"));
}

TEST(MachineRegistry, NobodyLoggedOnMeansNoUserHiveUntilALogon) {
  simkit::VirtualMachine machine({.userLoggedOn = false});
  auto& identity = machine->Part<Identity>();
  EXPECT_TRUE(identity.LoggedOnUserSids().empty());
  std::wstring sid = identity.LogOn(L"Robin");
  EXPECT_EQ(machine->Part<Registry>().GetDword(simkit::WakeKey(sid), L"Touch"), 1u);
}

TEST(MachineRegistry, ControlApiChangesAreSeenThroughTheApiAndObservers) {
  winsim::ScopedMachine machine;
  auto& registry = machine->Part<Registry>();
  std::vector<RegistryChange> seen;
  int id = registry.AddObserver([&](const RegistryChange& change) { seen.push_back(change); });
  std::wstring path = UserKey(*machine);
  ASSERT_TRUE(registry.SetDword(path, L"Touch", 0));
  ASSERT_TRUE(registry.DeleteValue(path, L"Touch"));
  EXPECT_FALSE(registry.DeleteValue(path, L"Touch"));
  ASSERT_TRUE(registry.DeleteKeyTree(path));
  EXPECT_FALSE(registry.KeyExists(path));
  registry.RemoveObserver(id);
  registry.SetDword(path, L"Touch", 1);

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].kind, RegistryChange::Kind::ValueSet);
  EXPECT_EQ(seen[0].keyPath, path);
  EXPECT_EQ(seen[1].kind, RegistryChange::Kind::ValueDeleted);
  EXPECT_EQ(seen[2].kind, RegistryChange::Kind::KeyDeleted);
  EXPECT_FALSE(registry.DeleteKeyTree(L"HKLM"));
  EXPECT_FALSE(registry.SetDword(L"HKEY_NOWHERE\\X", L"Y", 1));
}

TEST(MachineRegistry, AChangeWhileNothingIsArmedFiresTheNextArmAtOnce) {
  winsim::ScopedMachine machine;
  auto& registry = machine->Part<Registry>();
  std::wstring path = UserKey(*machine);
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, path.substr(11).c_str(), 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(registry.ArmedNotifications(path), 1u);
  registry.SetDword(path, L"Touch", 0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(registry.ArmedNotifications(path), 0u);

  // Between two arms the handle remembers a change, as Windows does.
  registry.SetDword(path, L"Touch", 1);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);

  // Deleting the watched key through the control API ends the notification.
  registry.DeleteKeyTree(path);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_KEY_DELETED);
  RegCloseKey(key);
  CloseHandle(event);
}

TEST(MachineRegistry, ClosingTheKeyWithCloseHandleAlsoEndsTheNotification) {
  winsim::ScopedMachine machine;
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME, event, TRUE), ERROR_SUCCESS);
  EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(key)));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  CloseHandle(event);
}

// Windows flushes the notifications armed on a key that is deleted (Wine
// does not, which is why this lives here and not with the conformance tests).
// Filters with unknown bits and an asynchronous request without an event are
// refused before anything is armed.
TEST(MachineRegistry, DeletingAWatchedKeyEndsItsNotifications) {
  winsim::ScopedMachine machine;
  HKEY parent, child;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Test\\Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &child, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Test", 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(RegNotifyChangeKeyValue(child, TRUE, 0, event, TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(child, TRUE, 0x100, event, TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(child, TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, TRUE), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(RegNotifyChangeKeyValue(child, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(parent, L"Child"), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(RegDeleteKeyW(HKEY_USERS, L"S-1-5-18"), ERROR_ACCESS_DENIED);
  RegCloseKey(child);
  RegCloseKey(parent);
  CloseHandle(event);
}

TEST(MachineRegistry, SynchronousNotificationReturnsAfterTheChange) {
  winsim::ScopedMachine machine;
  auto& registry = machine->Part<Registry>();
  std::wstring path = UserKey(*machine);
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, path.substr(11).c_str(), 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
  std::thread writer([&] {
    while (registry.ArmedNotifications(path) == 0) std::this_thread::yield();
    registry.SetDword(path, L"Touch", 0);
  });
  EXPECT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE), ERROR_SUCCESS);
  writer.join();
  RegCloseKey(key);
}

// Writers and a watcher that re-arms after every wake-up: no change is lost
// between the last write and the watcher's last read. The writer is a host
// thread racing the watcher, so the clock is the scaled one.
TEST(MachineRegistry, ConcurrentWritersNeverLeaveTheWatcherBehind) {
  winsim::ScopedMachine machine(winsim::Clock::Kind::kScaled);
  auto& registry = machine->Part<Registry>();
  std::wstring path = UserKey(*machine);
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, path.substr(11).c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  constexpr DWORD kLast = 200;
  std::atomic<bool> armed{false};
  std::thread writer([&] {
    while (!armed) std::this_thread::yield();
    for (DWORD i = 1; i <= kLast; ++i) registry.SetDword(path, L"Touch", i);
  });
  DWORD seen = 0;
  while (seen != kLast) {
    ASSERT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
    armed = true;
    ASSERT_EQ(WaitForSingleObject(event, 10000000), WAIT_OBJECT_0);
    DWORD size = sizeof(seen);
    ASSERT_EQ(RegQueryValueExW(key, L"Touch", nullptr, nullptr, reinterpret_cast<BYTE*>(&seen), &size), ERROR_SUCCESS);
  }
  writer.join();
  RegCloseKey(key);
  CloseHandle(event);
}

}  // namespace
