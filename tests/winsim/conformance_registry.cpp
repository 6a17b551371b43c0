// The registry functions as Windows does them: opening and creating keys,
// reading values with their size rules, access rights, deleted keys and
// change notifications.
#include "conformance.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

constexpr const wchar_t* kTestRoot = L"Software\\WinsimConformance";

struct KeyCloser {
  HKEY key;
  ~KeyCloser() {
    if (key) RegCloseKey(key);
  }
};

struct EventCloser {
  HANDLE event;
  ~EventCloser() {
    if (event) CloseHandle(event);
  }
};

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
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_root, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    if (m_root) RegCloseKey(m_root);
    RemoveTree();
  }
  HKEY Create(const wchar_t* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(m_root, path, 0, nullptr, 0, access, nullptr, &key, nullptr), ERROR_SUCCESS);
    return key;
  }
  HKEY Open(const wchar_t* path, REGSAM access) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(m_root, path, 0, access, &key), ERROR_SUCCESS);
    return key;
  }

  HKEY m_root = nullptr;

 private:
  // The tests create at most two levels below the root.
  static void RemoveTree() {
    HKEY root;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kTestRoot, 0, KEY_ALL_ACCESS, &root) != ERROR_SUCCESS) return;
    const wchar_t* const leaves[] = {L"A\\B", L"A", L"Sub", L"Deep\\Er", L"Deep", L"Trail"};
    for (const wchar_t* leaf : leaves) RegDeleteKeyW(root, leaf);
    RegDeleteKeyW(root, L"");
    RegCloseKey(root);
  }
};

TEST_F(ConformanceRegistry, OpenReportsMissingKeysAndBadArguments) {
  HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
  EXPECT_EQ(RegOpenKeyExW(m_root, L"Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExW(m_root, L"Missing", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);

  EXPECT_EQ(RegOpenKeyExW(nullptr, L"Software", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"\\Software", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);

  // The empty path of a predefined key hands back the predefined key itself.
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_CURRENT_USER);
  // ... of an open key, a new handle.
  EXPECT_EQ(RegOpenKeyExW(m_root, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_NE(key, m_root);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(ConformanceRegistry, CreateReportsWhetherTheKeyIsNew) {
  DWORD disposition = 0;
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(m_root, L"A\\B", 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExW(m_root, L"a\\b", 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
  // Trailing backslashes are ignored; a leading one is a bad path.
  ASSERT_EQ(RegCreateKeyExW(m_root, L"Trail\\\\", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegCreateKeyExW(m_root, L"\\Lead", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr), ERROR_BAD_PATHNAME);
  // The parent handle's own rights do not matter for creating below it.
  HKEY notifyOnly = Open(L"A", KEY_NOTIFY);
  KeyCloser closer{notifyOnly};
  EXPECT_EQ(RegCreateKeyExW(notifyOnly, L"B", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(ConformanceRegistry, QueryValueFollowsTheSizeRules) {
  ASSERT_EQ(WriteDword(m_root, L"Touch", 0x01020304), ERROR_SUCCESS);
  DWORD type = 0xdeadbeef, size = 0xdeadbeef;
  ArmLastError();
  EXPECT_EQ(RegQueryValueExW(m_root, L"Touch", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(type, (DWORD)REG_DWORD);
  EXPECT_EQ(size, 4u);

  BYTE buffer[8];
  std::memset(buffer, 0xbd, sizeof(buffer));
  size = 3;
  EXPECT_EQ(RegQueryValueExW(m_root, L"Touch", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(buffer[3], 0xbd);

  size = 4;
  EXPECT_EQ(RegQueryValueExW(m_root, L"touch", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  DWORD value;
  std::memcpy(&value, buffer, sizeof(value));
  EXPECT_EQ(value, 0x01020304u);
  EXPECT_EQ(buffer[4], 0xbd);  // nothing written past the data

  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(m_root, L"Touch", &reserved, &type, buffer, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(m_root, L"Touch", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(m_root, L"Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(ConformanceRegistry, ValuesKeepTypeAndLength) {
  const BYTE longData[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  ASSERT_EQ(RegSetValueExW(m_root, L"Touch", 0, REG_BINARY, longData, sizeof(longData)), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(m_root, L"Touch", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, (DWORD)REG_BINARY);
  EXPECT_EQ(size, 8u);
  DWORD small = 4;
  EXPECT_EQ(RegQueryValueExW(m_root, L"Touch", nullptr, &type, reinterpret_cast<BYTE*>(&size), &small),
            ERROR_MORE_DATA);

  EXPECT_EQ(RegDeleteValueW(m_root, L"TOUCH"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(m_root, L"Touch"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(m_root, L"Touch", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(ConformanceRegistry, AccessRightsOfTheHandleAreChecked) {
  HKEY sub = Create(L"Sub");
  WriteDword(sub, L"Touch", 1);
  RegCloseKey(sub);

  HKEY notifyOnly = Open(L"Sub", KEY_NOTIFY);
  KeyCloser a{notifyOnly};
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(notifyOnly, L"Touch", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);

  HKEY readOnly = Open(L"Sub", KEY_READ);
  KeyCloser b{readOnly};
  EXPECT_EQ(ReadDword(readOnly, L"Touch"), 1u);
  EXPECT_EQ(WriteDword(readOnly, L"Touch", 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(readOnly, L"Touch"), ERROR_ACCESS_DENIED);

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EventCloser c{event};
  HKEY queryOnly = Open(L"Sub", KEY_QUERY_VALUE);
  KeyCloser d{queryOnly};
  EXPECT_EQ(RegNotifyChangeKeyValue(queryOnly, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegNotifyChangeKeyValue(readOnly, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
}

TEST_F(ConformanceRegistry, DeletedKeysRefuseEveryOperation) {
  HKEY a = Create(L"A");
  HKEY b = Create(L"A\\B");
  KeyCloser ca{a}, cb{b};
  EXPECT_EQ(RegDeleteKeyW(m_root, L"A"), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(RegDeleteKeyW(m_root, L"Missing"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegDeleteKeyW(a, L"B"), ERROR_SUCCESS);

  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(b, L"Touch", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(WriteDword(b, L"Touch", 1), ERROR_KEY_DELETED);
  HKEY again;
  EXPECT_EQ(RegOpenKeyExW(m_root, L"A\\B", 0, KEY_READ, &again), ERROR_FILE_NOT_FOUND);
}

class ConformanceRegistryNotify : public ConformanceRegistry {
 protected:
  void SetUp() override {
    ConformanceRegistry::SetUp();
    m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(m_event, nullptr);
  }
  void TearDown() override {
    CloseHandle(m_event);
    ConformanceRegistry::TearDown();
  }
  bool Signalled() { return WaitForSingleObject(m_event, 0) == WAIT_OBJECT_0; }

  HANDLE m_event = nullptr;
};

TEST_F(ConformanceRegistryNotify, RefusesABadKey) {
  EXPECT_EQ(RegNotifyChangeKeyValue(nullptr, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_INVALID_HANDLE);
  HKEY key = Open(L"", KEY_NOTIFY);
  RegCloseKey(key);
  EXPECT_EQ(RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_INVALID_HANDLE);
}

TEST_F(ConformanceRegistryNotify, FiresOnceForAValueChangeAndResetsWhenArmed) {
  SetEvent(m_event);
  ASSERT_EQ(RegNotifyChangeKeyValue(m_root, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled());  // arming resets the event
  WriteDword(m_root, L"Touch", 0);
  EXPECT_TRUE(Signalled());
  // One-shot: without re-arming, a further change signals nothing.
  ResetEvent(m_event);
  WriteDword(m_root, L"Touch", 1);
  EXPECT_FALSE(Signalled());
  // Deleting a value is a change of the same kind. (A fresh handle: Windows
  // remembers the change above for the next arm on the same handle.)
  HKEY fresh = Open(L"", KEY_NOTIFY);
  KeyCloser closer{fresh};
  ASSERT_EQ(RegNotifyChangeKeyValue(fresh, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled());
  RegDeleteValueW(m_root, L"Touch");
  EXPECT_TRUE(Signalled());
}

TEST_F(ConformanceRegistryNotify, HonoursTheFilter) {
  ASSERT_EQ(RegNotifyChangeKeyValue(m_root, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  HKEY sub = Create(L"Sub");  // a new subkey is a name change, not a value change
  KeyCloser closer{sub};
  EXPECT_FALSE(Signalled());
  WriteDword(sub, L"Other", 7);  // a value below the key, watched with its subtree
  EXPECT_TRUE(Signalled());

  HKEY other = Open(L"", KEY_NOTIFY);
  KeyCloser otherCloser{other};
  ASSERT_EQ(RegNotifyChangeKeyValue(other, TRUE, REG_NOTIFY_CHANGE_NAME, m_event, TRUE), ERROR_SUCCESS);
  WriteDword(m_root, L"Touch", 1);
  EXPECT_FALSE(Signalled());
  HKEY deep = Create(L"Deep");
  KeyCloser deepCloser{deep};
  EXPECT_TRUE(Signalled());
}

TEST_F(ConformanceRegistryNotify, WithoutSubtreeOnlyTheKeyItselfCounts) {
  HKEY sub = Create(L"Sub");
  KeyCloser closer{sub};
  ASSERT_EQ(RegNotifyChangeKeyValue(m_root, FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  WriteDword(sub, L"Other", 7);
  EXPECT_FALSE(Signalled());
  WriteDword(m_root, L"Touch", 7);
  EXPECT_TRUE(Signalled());
}

TEST_F(ConformanceRegistryNotify, ClosingTheKeySignalsTheEvent) {
  HKEY watched = Open(L"", KEY_NOTIFY);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled());
  EXPECT_EQ(RegCloseKey(watched), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled());
}

// Windows keeps a handle's notification state from its first arm: a change
// that arrives while nothing is armed completes the next arm at once.
TEST_F(ConformanceRegistryNotify, AChangeBetweenTwoArmsIsRemembered) {
  ASSERT_EQ(RegNotifyChangeKeyValue(m_root, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  WriteDword(m_root, L"Touch", 0);
  EXPECT_TRUE(Signalled());
  WriteDword(m_root, L"Touch", 1);
  ASSERT_EQ(RegNotifyChangeKeyValue(m_root, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled());
  ASSERT_EQ(RegNotifyChangeKeyValue(m_root, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled());
}

// Deleting a key flushes the notifications armed on its handles.
TEST_F(ConformanceRegistryNotify, DeletingTheKeySignalsTheEvent) {
  HKEY sub = Create(L"Sub");
  KeyCloser closer{sub};
  ASSERT_EQ(RegNotifyChangeKeyValue(sub, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(m_root, L"Sub"), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled());
}

TEST_F(ConformanceRegistryNotify, AChangeFromAnotherThreadWakesAWaiter) {
  ASSERT_EQ(RegNotifyChangeKeyValue(m_root, TRUE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE), ERROR_SUCCESS);
  std::thread writer([key = m_root] { WriteDword(key, L"Touch", 0); });
  EXPECT_EQ(WaitForSingleObject(m_event, 10000), WAIT_OBJECT_0);
  writer.join();
}

}  // namespace
