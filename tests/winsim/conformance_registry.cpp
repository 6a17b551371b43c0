// The registry functions as Windows does them: opening and creating keys,
// reading values with their size rules, access rights, deleted keys and
// change notifications.
#include "conformance.h"

#include <gtest/gtest.h>
#include <handles/win32.h>

#include <cstring>
#include <thread>

namespace {

constexpr const wchar_t* kTestRoot = L"Software\\WinsimConformance";

using handles::ObjectHandle;
using handles::RegKey;

DWORD ReadDword(HKEY key, const wchar_t* name) {
  DWORD value = 0, size = sizeof(value), type = 0;
  EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  return value;
}

LONG WriteDword(HKEY key, const wchar_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// Every test works below a fresh key under HKEY_CURRENT_USER and removes it.
class ConformanceRegistry : public testing::Test {
 protected:
  void SetUp() override {
    RemoveTree();
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, kTestRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, m_root.Receive(), nullptr),
        ERROR_SUCCESS);
  }
  void TearDown() override {
    m_root.Reset();
    RemoveTree();
  }
  HKEY Root() const { return m_root.Get(); }
  RegKey Create(const wchar_t* path, REGSAM access = KEY_ALL_ACCESS) {
    RegKey key;
    EXPECT_EQ(RegCreateKeyExW(Root(), path, 0, nullptr, 0, access, nullptr, key.Receive(), nullptr), ERROR_SUCCESS);
    return key;
  }
  RegKey Open(const wchar_t* path, REGSAM access) {
    RegKey key;
    EXPECT_EQ(RegOpenKeyExW(Root(), path, 0, access, key.Receive()), ERROR_SUCCESS);
    return key;
  }

 private:
  // The tests create at most two levels below the root.
  static void RemoveTree() {
    RegKey root;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kTestRoot, 0, KEY_ALL_ACCESS, root.Receive()) != ERROR_SUCCESS) return;
    const wchar_t* const leaves[] = {L"A\\B", L"A", L"Sub", L"Deep\\Er", L"Deep", L"Trail"};
    for (const wchar_t* leaf : leaves) RegDeleteKeyW(root.Get(), leaf);
    RegDeleteKeyW(root.Get(), L"");
  }

  RegKey m_root;
};

TEST_F(ConformanceRegistry, OpenReportsMissingKeysAndBadArguments) {
  HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
  EXPECT_EQ(RegOpenKeyExW(Root(), L"Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExW(Root(), L"Missing", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);

  EXPECT_EQ(RegOpenKeyExW(nullptr, L"Software", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"\\Software", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);

  // The empty path of a predefined key hands back the predefined key itself.
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_CURRENT_USER);
  // ... of an open key, a new handle.
  EXPECT_EQ(RegOpenKeyExW(Root(), nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_NE(key, Root());
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(ConformanceRegistry, CreateReportsWhetherTheKeyIsNew) {
  DWORD disposition = 0;
  RegKey key;
  ASSERT_EQ(RegCreateKeyExW(Root(), L"A\\B", 0, nullptr, 0, KEY_READ, nullptr, key.Receive(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegCreateKeyExW(Root(), L"a\\b", 0, nullptr, 0, KEY_READ, nullptr, key.Receive(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
  // Trailing backslashes are ignored; a leading one is a bad path.
  ASSERT_EQ(RegCreateKeyExW(Root(), L"Trail\\\\", 0, nullptr, 0, KEY_READ, nullptr, key.Receive(), nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExW(Root(), L"\\Lead", 0, nullptr, 0, KEY_READ, nullptr, key.Receive(), nullptr),
            ERROR_BAD_PATHNAME);
  // The parent handle's own rights do not matter for creating below it.
  const RegKey notifyOnly = Open(L"A", KEY_NOTIFY);
  EXPECT_EQ(RegCreateKeyExW(notifyOnly.Get(), L"B", 0, nullptr, 0, KEY_READ, nullptr, key.Receive(), nullptr),
            ERROR_SUCCESS);
}

TEST_F(ConformanceRegistry, QueryValueFollowsTheSizeRules) {
  ASSERT_EQ(WriteDword(Root(), L"Touch", 0x01020304), ERROR_SUCCESS);
  DWORD type = 0xdeadbeef, size = 0xdeadbeef;
  ArmLastError();
  EXPECT_EQ(RegQueryValueExW(Root(), L"Touch", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(type, (DWORD)REG_DWORD);
  EXPECT_EQ(size, 4u);

  BYTE buffer[8];
  std::memset(buffer, 0xbd, sizeof(buffer));
  size = 3;
  EXPECT_EQ(RegQueryValueExW(Root(), L"Touch", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(buffer[3], 0xbd);

  size = 4;
  EXPECT_EQ(RegQueryValueExW(Root(), L"touch", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  DWORD value;
  std::memcpy(&value, buffer, sizeof(value));
  EXPECT_EQ(value, 0x01020304u);
  EXPECT_EQ(buffer[4], 0xbd);  // nothing written past the data

  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(Root(), L"Touch", &reserved, &type, buffer, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(Root(), L"Touch", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(Root(), L"Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(ConformanceRegistry, ValuesKeepTypeAndLength) {
  const BYTE longData[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  ASSERT_EQ(RegSetValueExW(Root(), L"Touch", 0, REG_BINARY, longData, sizeof(longData)), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(Root(), L"Touch", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, (DWORD)REG_BINARY);
  EXPECT_EQ(size, 8u);
  DWORD small = 4;
  EXPECT_EQ(RegQueryValueExW(Root(), L"Touch", nullptr, &type, reinterpret_cast<BYTE*>(&size), &small),
            ERROR_MORE_DATA);

  EXPECT_EQ(RegDeleteValueW(Root(), L"TOUCH"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(Root(), L"Touch"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(Root(), L"Touch", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(ConformanceRegistry, AccessRightsOfTheHandleAreChecked) {
  WriteDword(Create(L"Sub").Get(), L"Touch", 1);

  const RegKey notifyOnly = Open(L"Sub", KEY_NOTIFY);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(notifyOnly.Get(), L"Touch", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);

  const RegKey readOnly = Open(L"Sub", KEY_READ);
  EXPECT_EQ(ReadDword(readOnly.Get(), L"Touch"), 1u);
  EXPECT_EQ(WriteDword(readOnly.Get(), L"Touch", 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(readOnly.Get(), L"Touch"), ERROR_ACCESS_DENIED);

  const ObjectHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const RegKey queryOnly = Open(L"Sub", KEY_QUERY_VALUE);
  EXPECT_EQ(RegNotifyChangeKeyValue(queryOnly.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event.Get(), TRUE),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegNotifyChangeKeyValue(readOnly.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event.Get(), TRUE),
            ERROR_SUCCESS);
}

TEST_F(ConformanceRegistry, DeletedKeysRefuseEveryOperation) {
  const RegKey a = Create(L"A");
  const RegKey b = Create(L"A\\B");
  EXPECT_EQ(RegDeleteKeyW(Root(), L"A"), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(RegDeleteKeyW(Root(), L"Missing"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegDeleteKeyW(a.Get(), L"B"), ERROR_SUCCESS);

  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(b.Get(), L"Touch", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(WriteDword(b.Get(), L"Touch", 1), ERROR_KEY_DELETED);
  RegKey again;
  EXPECT_EQ(RegOpenKeyExW(Root(), L"A\\B", 0, KEY_READ, again.Receive()), ERROR_FILE_NOT_FOUND);
}

class ConformanceRegistryNotify : public ConformanceRegistry {
 protected:
  void SetUp() override {
    ConformanceRegistry::SetUp();
    ASSERT_TRUE(m_event);
  }
  HANDLE Event() const { return m_event.Get(); }
  bool Signalled() { return WaitForSingleObject(Event(), 0) == WAIT_OBJECT_0; }

 private:
  const ObjectHandle m_event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

TEST_F(ConformanceRegistryNotify, RefusesABadKey) {
  EXPECT_EQ(RegNotifyChangeKeyValue(nullptr, TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_INVALID_HANDLE);
  const HKEY closed = Open(L"", KEY_NOTIFY).Release();
  RegCloseKey(closed);
  EXPECT_EQ(RegNotifyChangeKeyValue(closed, TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_INVALID_HANDLE);
}

TEST_F(ConformanceRegistryNotify, FiresOnceForAValueChangeAndResetsWhenArmed) {
  SetEvent(Event());
  ASSERT_EQ(RegNotifyChangeKeyValue(Root(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled());  // arming resets the event
  WriteDword(Root(), L"Touch", 0);
  EXPECT_TRUE(Signalled());
  // One-shot: without re-arming, a further change signals nothing.
  ResetEvent(Event());
  WriteDword(Root(), L"Touch", 1);
  EXPECT_FALSE(Signalled());
  // Deleting a value is a change of the same kind. (A fresh handle: Windows
  // remembers the change above for the next arm on the same handle.)
  const RegKey fresh = Open(L"", KEY_NOTIFY);
  ASSERT_EQ(RegNotifyChangeKeyValue(fresh.Get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled());
  RegDeleteValueW(Root(), L"Touch");
  EXPECT_TRUE(Signalled());
}

TEST_F(ConformanceRegistryNotify, HonoursTheFilter) {
  ASSERT_EQ(RegNotifyChangeKeyValue(Root(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  const RegKey sub = Create(L"Sub");  // a new subkey is a name change, not a value change
  EXPECT_FALSE(Signalled());
  WriteDword(sub.Get(), L"Other", 7);  // a value below the key, watched with its subtree
  EXPECT_TRUE(Signalled());

  const RegKey other = Open(L"", KEY_NOTIFY);
  ASSERT_EQ(RegNotifyChangeKeyValue(other.Get(), TRUE, REG_NOTIFY_CHANGE_NAME, Event(), TRUE), ERROR_SUCCESS);
  WriteDword(Root(), L"Touch", 1);
  EXPECT_FALSE(Signalled());
  const RegKey deep = Create(L"Deep");
  EXPECT_TRUE(Signalled());
}

TEST_F(ConformanceRegistryNotify, WithoutSubtreeOnlyTheKeyItselfCounts) {
  const RegKey sub = Create(L"Sub");
  ASSERT_EQ(RegNotifyChangeKeyValue(Root(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  WriteDword(sub.Get(), L"Other", 7);
  EXPECT_FALSE(Signalled());
  WriteDword(Root(), L"Touch", 7);
  EXPECT_TRUE(Signalled());
}

TEST_F(ConformanceRegistryNotify, ClosingTheKeySignalsTheEvent) {
  RegKey watched = Open(L"", KEY_NOTIFY);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched.Get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled());
  EXPECT_EQ(RegCloseKey(watched.Release()), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled());
}

// Windows keeps a handle's notification state from its first arm: a change
// that arrives while nothing is armed completes the next arm at once.
TEST_F(ConformanceRegistryNotify, AChangeBetweenTwoArmsIsRemembered) {
  ASSERT_EQ(RegNotifyChangeKeyValue(Root(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  WriteDword(Root(), L"Touch", 0);
  EXPECT_TRUE(Signalled());
  WriteDword(Root(), L"Touch", 1);
  ASSERT_EQ(RegNotifyChangeKeyValue(Root(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled());
  ASSERT_EQ(RegNotifyChangeKeyValue(Root(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled());
}

// Deleting a key flushes the notifications armed on its handles.
TEST_F(ConformanceRegistryNotify, DeletingTheKeySignalsTheEvent) {
  const RegKey sub = Create(L"Sub");
  ASSERT_EQ(RegNotifyChangeKeyValue(sub.Get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(Root(), L"Sub"), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled());
}

TEST_F(ConformanceRegistryNotify, AChangeFromAnotherThreadWakesAWaiter) {
  ASSERT_EQ(RegNotifyChangeKeyValue(Root(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, Event(), TRUE), ERROR_SUCCESS);
  std::thread writer([key = Root()] { WriteDword(key, L"Touch", 0); });
  EXPECT_EQ(WaitForSingleObject(Event(), 10000), WAIT_OBJECT_0);
  writer.join();
}

}  // namespace
