// The simulated machine's registry: a tree of keys with values, open key
// handles and change notifications with Windows' rules (a notification is
// one-shot, honours its filter and subtree flag, resets its event when armed,
// remembers a change that arrives while none is armed, and fires when its key
// handle is closed or its key deleted).
//
// Paths of the control API are full paths that start with a root name
// ("HKEY_LOCAL_MACHINE" or "HKLM", "HKEY_USERS" or "HKU"); letter case does not
// matter in key and value names, as on Windows.
#pragma once

#include <winsim/sim/machine.h>
#include <winsim/winreg.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

struct RegistryValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// A change of the tree, as observers see it.
struct RegistryChange {
  enum class Kind { ValueSet, ValueDeleted, KeyCreated, KeyDeleted };
  Kind kind;
  std::wstring keyPath;    // full path of the key concerned
  std::wstring valueName;  // for value changes
};

class RegistryKey;
struct NotifyBlock;

class Registry : public MachinePart {
 public:
  using Observer = std::function<void(const RegistryChange&)>;

  explicit Registry(Machine& machine);
  ~Registry() override;

  // ---- Control API (tests, tools). Each returns false when the path is bad
  // or (for deletions and reads) names nothing.
  bool CreateKey(std::wstring_view path);
  bool KeyExists(std::wstring_view path) const;
  bool DeleteKeyTree(std::wstring_view path);
  bool SetValue(std::wstring_view path, std::wstring_view name, DWORD type, std::vector<BYTE> data);
  bool SetDword(std::wstring_view path, std::wstring_view name, DWORD value);
  bool DeleteValue(std::wstring_view path, std::wstring_view name);
  std::optional<RegistryValue> GetValue(std::wstring_view path, std::wstring_view name) const;
  std::optional<DWORD> GetDword(std::wstring_view path, std::wstring_view name) const;
  // Notifications currently armed (waiting for a change) on the key at `path`.
  size_t ArmedNotifications(std::wstring_view path) const;
  // Observers are called after each change, outside the registry's lock.
  int AddObserver(Observer observer);
  void RemoveObserver(int id);

  // A user's hive under HKEY_USERS\<sid>, created with a user's defaults when
  // absent (the wake setting "Touch" = 1). Loaded at logon.
  void LoadUserHive(const std::wstring& sid);

  // ---- Used by the advapi32 entry points; each returns a Win32 error code.
  LONG OpenKey(HKEY base, LPCWSTR subKey, REGSAM access, PHKEY result);
  LONG CreateKey(HKEY base, LPCWSTR subKey, REGSAM access, PHKEY result, LPDWORD disposition);
  LONG CloseKey(HKEY key);
  LONG QueryValue(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD size);
  LONG SetValue(HKEY key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size);
  LONG DeleteValue(HKEY key, LPCWSTR name);
  LONG DeleteKey(HKEY key, LPCWSTR subKey);
  LONG Notify(HKEY key, bool subtree, DWORD filter, HANDLE event, bool async);

  // Called when a key handle is closed (RegCloseKey or CloseHandle).
  void HandleClosed(NotifyBlock* block);

 private:
  struct Resolved;
  class Tree;
  LONG Resolve(HKEY key, DWORD neededAccess, Resolved& out) const;
  void Publish(const std::vector<RegistryChange>& changes);
  void Seed();

  std::unique_ptr<Tree> m_tree;
  mutable std::mutex m_observerMutex;
  std::map<int, Observer> m_observers;
  int m_nextObserver = 1;
};

}  // namespace winsim
