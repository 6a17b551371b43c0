// The registry part of the simulated machine: the key tree, open key handles
// and change notifications.
#include <winsim/sim/identity.h>
#include <winsim/sim/registry.h>

#include <algorithm>
#include <cstring>
#include <cwctype>

namespace winsim {

namespace {

// Windows limits: 255 characters per key name, 16383 per value name.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

std::wstring Upper(std::wstring_view text) {
  std::wstring result(text);
  std::transform(result.begin(), result.end(), result.begin(), [](wchar_t c) { return std::towupper(c); });
  return result;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && Upper(a) == Upper(b);
}

// Splits a relative key path at backslashes; runs of backslashes count as one
// and trailing ones are ignored, as the Windows object manager does.
std::vector<std::wstring> SplitPath(std::wstring_view path) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

REGSAM MapAccess(REGSAM access) {
  REGSAM mapped = access & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY | GENERIC_READ | GENERIC_WRITE |
                             GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (access & GENERIC_READ) mapped |= KEY_READ;
  if (access & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

// Only the low 32 bits of a predefined key count on 64-bit Windows.
std::optional<DWORD> PredefinedId(HKEY key) {
  auto low = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(key) & 0xFFFFFFFFu);
  if (low >= 0x80000000u && low <= 0x80000006u) return low;
  return std::nullopt;
}

}  // namespace

// One key of the tree.
class RegistryKey {
 public:
  RegistryKey(std::wstring name, RegistryKey* parent) : m_name(std::move(name)), m_parent(parent) {}

  const std::wstring& Name() const { return m_name; }
  RegistryKey* Parent() const { return m_parent; }
  bool Deleted() const { return m_deleted; }
  bool Protected() const { return m_protected; }
  void SetProtected() { m_protected = true; }

  std::shared_ptr<RegistryKey> Child(std::wstring_view name) const {
    auto it = m_subkeys.find(Upper(name));
    return it == m_subkeys.end() ? nullptr : it->second;
  }
  std::shared_ptr<RegistryKey> AddChild(const std::wstring& name) {
    auto child = std::make_shared<RegistryKey>(name, this);
    m_subkeys.emplace(Upper(name), child);
    return child;
  }
  bool HasChildren() const { return !m_subkeys.empty(); }
  std::vector<std::shared_ptr<RegistryKey>> Children() const {
    std::vector<std::shared_ptr<RegistryKey>> result;
    for (const auto& [upper, child] : m_subkeys) result.push_back(child);
    return result;
  }
  // Detaches this key from its parent and marks it deleted.
  void Detach() {
    if (m_parent) m_parent->m_subkeys.erase(Upper(m_name));
    m_parent = nullptr;
    m_deleted = true;
  }

  const RegistryValue* FindValue(std::wstring_view name) const {
    for (const auto& [valueName, value] : m_values)
      if (SameName(valueName, name)) return &value;
    return nullptr;
  }
  void PutValue(std::wstring_view name, RegistryValue value) {
    for (auto& [valueName, existing] : m_values)
      if (SameName(valueName, name)) {
        existing = std::move(value);
        return;
      }
    m_values.emplace_back(std::wstring(name), std::move(value));
  }
  bool EraseValue(std::wstring_view name) {
    auto it = std::find_if(m_values.begin(), m_values.end(),
                           [&](const auto& entry) { return SameName(entry.first, name); });
    if (it == m_values.end()) return false;
    m_values.erase(it);
    return true;
  }

  bool IsWithin(const RegistryKey* ancestor) const {
    for (const RegistryKey* key = this; key; key = key->m_parent)
      if (key == ancestor) return true;
    return false;
  }
  // The full path below the synthetic root ("HKEY_USERS\S-1-5-18\...").
  std::wstring Path() const {
    if (!m_parent) return m_name;
    if (!m_parent->m_parent) return m_name;
    return m_parent->Path() + L"\\" + m_name;
  }

 private:
  std::wstring m_name;
  RegistryKey* m_parent;  // null for the synthetic root and once deleted
  std::map<std::wstring, std::shared_ptr<RegistryKey>> m_subkeys;  // by upper-case name
  std::vector<std::pair<std::wstring, RegistryValue>> m_values;     // creation order
  bool m_deleted = false;
  bool m_protected = false;  // hive roots: not deletable through the API
};

// The notification state of one key handle. Windows keeps it from the first
// RegNotifyChangeKeyValue on the handle until the handle is closed: later calls
// keep the first call's filter and subtree flag.
struct NotifyBlock {
  std::shared_ptr<RegistryKey> key;
  bool created = false;
  bool closed = false;
  DWORD filter = 0;
  bool subtree = false;
  bool pending = false;  // a change arrived while nothing was armed
  std::vector<std::shared_ptr<Event>> posts;
};

namespace {

// The object behind an HKEY in the machine's handle table.
class KeyHandle final : public KernelObject {
 public:
  KeyHandle(Registry& registry, std::shared_ptr<RegistryKey> key, REGSAM access)
      : m_registry(registry), m_access(access) {
    m_notify.key = std::move(key);
  }
  void OnHandleClosed() override { m_registry.HandleClosed(&m_notify); }

  const std::shared_ptr<RegistryKey>& Key() const { return m_notify.key; }
  REGSAM Access() const { return m_access; }
  NotifyBlock& Notify() { return m_notify; }

 private:
  Registry& m_registry;
  REGSAM m_access;
  NotifyBlock m_notify;  // guarded by the registry's lock
};

void SetAll(const std::vector<std::shared_ptr<Event>>& events) {
  for (const auto& event : events) event->Set();
}

}  // namespace

// The tree and everything that its lock guards.
class Registry::Tree {
 public:
  std::mutex mutex;
  std::shared_ptr<RegistryKey> root = std::make_shared<RegistryKey>(L"", nullptr);
  std::shared_ptr<RegistryKey> machine;
  std::shared_ptr<RegistryKey> users;
  std::vector<NotifyBlock*> blocks;  // every created, not yet closed block
  // Handles that stand for predefined keys when a notification is armed on one.
  std::map<DWORD, std::shared_ptr<KeyHandle>> predefined;

  // Collects the events to signal for a change at `key` with `filter`;
  // remembers the change in blocks that have nothing armed.
  void Report(const RegistryKey* key, DWORD filter, std::vector<std::shared_ptr<Event>>& fire) {
    for (NotifyBlock* block : blocks) {
      if (!(block->filter & filter)) continue;
      const RegistryKey* watched = block->key.get();
      if (key != watched && !(block->subtree && key->IsWithin(watched))) continue;
      if (block->posts.empty()) {
        block->pending = true;
        continue;
      }
      Drain(*block, fire);
    }
  }
  // A deleted key ends the notifications armed on it.
  void ReportDeleted(const RegistryKey* key, std::vector<std::shared_ptr<Event>>& fire) {
    for (NotifyBlock* block : blocks)
      if (block->key.get() == key) Drain(*block, fire);
  }
  static void Drain(NotifyBlock& block, std::vector<std::shared_ptr<Event>>& fire) {
    for (auto& event : block.posts) fire.push_back(std::move(event));
    block.posts.clear();
    block.pending = false;
  }

  // Deletes `key` and everything below it (control API), collecting changes.
  void DeleteTree(const std::shared_ptr<RegistryKey>& key, std::vector<RegistryChange>& changes,
                  std::vector<std::shared_ptr<Event>>& fire) {
    for (const auto& child : key->Children()) DeleteTree(child, changes, fire);
    RegistryKey* parent = key->Parent();
    changes.push_back({RegistryChange::Kind::KeyDeleted, key->Path(), {}});
    key->Detach();
    ReportDeleted(key.get(), fire);
    if (parent) Report(parent, REG_NOTIFY_CHANGE_NAME, fire);
  }

  // Resolves a full control-API path ("HKLM\...", "HKEY_USERS\...").
  std::shared_ptr<RegistryKey> Root(std::wstring_view name) const {
    std::wstring upper = Upper(name);
    if (upper == L"HKEY_LOCAL_MACHINE" || upper == L"HKLM") return machine;
    if (upper == L"HKEY_USERS" || upper == L"HKU") return users;
    return nullptr;
  }
  std::shared_ptr<RegistryKey> Find(std::wstring_view path) const {
    auto parts = SplitPath(path);
    if (parts.empty()) return nullptr;
    auto key = Root(parts[0]);
    for (size_t i = 1; key && i < parts.size(); ++i) key = key->Child(parts[i]);
    return key;
  }
  // Walks/creates below `key`; records created keys.
  std::shared_ptr<RegistryKey> Create(std::shared_ptr<RegistryKey> key, const std::vector<std::wstring>& parts,
                                      size_t first, std::vector<RegistryChange>& changes,
                                      std::vector<std::shared_ptr<Event>>& fire) {
    for (size_t i = first; key && i < parts.size(); ++i) {
      auto child = key->Child(parts[i]);
      if (!child) {
        child = key->AddChild(parts[i]);
        changes.push_back({RegistryChange::Kind::KeyCreated, child->Path(), {}});
        Report(key.get(), REG_NOTIFY_CHANGE_NAME, fire);
      }
      key = child;
    }
    return key;
  }
};

// What an HKEY stands for once checked.
struct Registry::Resolved {
  std::shared_ptr<RegistryKey> key;
  std::shared_ptr<KernelObject> handle;  // the KeyHandle; null for a predefined key
  NotifyBlock* notify = nullptr;
};

Registry::Registry(Machine& machine) : m_tree(std::make_unique<Tree>()) {
  m_tree->machine = m_tree->root->AddChild(L"HKEY_LOCAL_MACHINE");
  m_tree->users = m_tree->root->AddChild(L"HKEY_USERS");
  m_tree->machine->SetProtected();
  m_tree->users->SetProtected();
  Seed();
  // Users who are logged on when the machine boots have their hives loaded.
  auto& identity = machine.Part<Identity>();
  for (const auto& sid : identity.LoggedOnUserSids()) LoadUserHive(sid);
}

Registry::~Registry() = default;

void Registry::Seed() {
  static const wchar_t* const kKeys[] = {
      L"HKLM\\SOFTWARE\\Classes",
      L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
      L"HKLM\\SYSTEM\\CurrentControlSet\\Services",
      L"HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current",
      L"HKU\\.DEFAULT\\Software",
      L"HKU\\S-1-5-18\\Software",
      L"HKU\\S-1-5-19\\Software",
      L"HKU\\S-1-5-20\\Software",
  };
  for (const wchar_t* path : kKeys) CreateKey(path);
  for (const auto& hive : m_tree->users->Children()) hive->SetProtected();
}

void Registry::LoadUserHive(const std::wstring& sid) {
  std::wstring hive = L"HKU\\" + sid;
  if (KeyExists(hive)) return;
  SetDword(hive + L"\\Software\\Microsoft\\Input\\WakeableInputTypes", L"Touch", 1);
  CreateKey(hive + L"\\Control Panel\\Desktop");
  std::lock_guard lock(m_tree->mutex);
  if (auto key = m_tree->Find(hive)) key->SetProtected();
}

// ---------------------------------------------------------------- control API

bool Registry::CreateKey(std::wstring_view path) {
  std::vector<RegistryChange> changes;
  std::vector<std::shared_ptr<Event>> fire;
  bool ok;
  {
    std::lock_guard lock(m_tree->mutex);
    auto parts = SplitPath(path);
    auto root = parts.empty() ? nullptr : m_tree->Root(parts[0]);
    ok = root && m_tree->Create(root, parts, 1, changes, fire);
  }
  SetAll(fire);
  Publish(changes);
  return ok;
}

bool Registry::KeyExists(std::wstring_view path) const {
  std::lock_guard lock(m_tree->mutex);
  return m_tree->Find(path) != nullptr;
}

bool Registry::DeleteKeyTree(std::wstring_view path) {
  std::vector<RegistryChange> changes;
  std::vector<std::shared_ptr<Event>> fire;
  {
    std::lock_guard lock(m_tree->mutex);
    auto key = m_tree->Find(path);
    if (!key || key == m_tree->machine || key == m_tree->users) return false;
    m_tree->DeleteTree(key, changes, fire);
  }
  SetAll(fire);
  Publish(changes);
  return true;
}

bool Registry::SetValue(std::wstring_view path, std::wstring_view name, DWORD type, std::vector<BYTE> data) {
  std::vector<RegistryChange> changes;
  std::vector<std::shared_ptr<Event>> fire;
  {
    std::lock_guard lock(m_tree->mutex);
    auto parts = SplitPath(path);
    auto root = parts.empty() ? nullptr : m_tree->Root(parts[0]);
    auto key = root ? m_tree->Create(root, parts, 1, changes, fire) : nullptr;
    if (!key) return false;
    key->PutValue(name, RegistryValue{type, std::move(data)});
    changes.push_back({RegistryChange::Kind::ValueSet, key->Path(), std::wstring(name)});
    m_tree->Report(key.get(), REG_NOTIFY_CHANGE_LAST_SET, fire);
  }
  SetAll(fire);
  Publish(changes);
  return true;
}

bool Registry::SetDword(std::wstring_view path, std::wstring_view name, DWORD value) {
  std::vector<BYTE> data(sizeof(DWORD));
  std::memcpy(data.data(), &value, sizeof(DWORD));
  return SetValue(path, name, REG_DWORD, std::move(data));
}

bool Registry::DeleteValue(std::wstring_view path, std::wstring_view name) {
  std::vector<std::shared_ptr<Event>> fire;
  std::wstring keyPath;
  {
    std::lock_guard lock(m_tree->mutex);
    auto key = m_tree->Find(path);
    if (!key || !key->EraseValue(name)) return false;
    keyPath = key->Path();
    m_tree->Report(key.get(), REG_NOTIFY_CHANGE_LAST_SET, fire);
  }
  SetAll(fire);
  Publish({{RegistryChange::Kind::ValueDeleted, keyPath, std::wstring(name)}});
  return true;
}

std::optional<RegistryValue> Registry::GetValue(std::wstring_view path, std::wstring_view name) const {
  std::lock_guard lock(m_tree->mutex);
  auto key = m_tree->Find(path);
  const RegistryValue* value = key ? key->FindValue(name) : nullptr;
  if (!value) return std::nullopt;
  return *value;
}

std::optional<DWORD> Registry::GetDword(std::wstring_view path, std::wstring_view name) const {
  auto value = GetValue(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD)) return std::nullopt;
  DWORD result;
  std::memcpy(&result, value->data.data(), sizeof(DWORD));
  return result;
}

size_t Registry::ArmedNotifications(std::wstring_view path) const {
  std::lock_guard lock(m_tree->mutex);
  auto key = m_tree->Find(path);
  size_t count = 0;
  for (const NotifyBlock* block : m_tree->blocks)
    if (key && block->key == key) count += block->posts.size();
  return count;
}

int Registry::AddObserver(Observer observer) {
  std::lock_guard lock(m_observerMutex);
  int id = m_nextObserver++;
  m_observers.emplace(id, std::move(observer));
  return id;
}

void Registry::RemoveObserver(int id) {
  std::lock_guard lock(m_observerMutex);
  m_observers.erase(id);
}

void Registry::Publish(const std::vector<RegistryChange>& changes) {
  if (changes.empty()) return;
  std::vector<Observer> observers;
  {
    std::lock_guard lock(m_observerMutex);
    for (const auto& [id, observer] : m_observers) observers.push_back(observer);
  }
  for (const auto& change : changes)
    for (const auto& observer : observers) observer(change);
}

// ------------------------------------------------------- advapi32 mechanism

LONG Registry::Resolve(HKEY key, DWORD neededAccess, Resolved& out) const {
  if (auto id = PredefinedId(key)) {
    switch (*id) {
      case 0x80000000u: out.key = m_tree->Find(L"HKLM\\SOFTWARE\\Classes"); break;
      case 0x80000001u: out.key = m_tree->users->Child(L"S-1-5-18"); break;
      case 0x80000002u: out.key = m_tree->machine; break;
      case 0x80000003u: out.key = m_tree->users; break;
      case 0x80000005u:
        out.key = m_tree->Find(L"HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current");
        break;
      default: return ERROR_INVALID_HANDLE;
    }
    if (!out.key) return ERROR_FILE_NOT_FOUND;
    return out.key->Deleted() ? ERROR_KEY_DELETED : ERROR_SUCCESS;
  }
  auto handle = CurrentMachine().handles().GetAs<KeyHandle>(reinterpret_cast<HANDLE>(key));
  if (!handle) return ERROR_INVALID_HANDLE;
  if ((handle->Access() & neededAccess) != neededAccess) return ERROR_ACCESS_DENIED;
  out.key = handle->Key();
  out.notify = &handle->Notify();
  out.handle = handle;
  return out.key->Deleted() ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

namespace {

// Validates a relative path for open and create. Leading backslashes are an
// error on NT; names longer than Windows allows are invalid.
LONG ParseSubKey(LPCWSTR subKey, std::vector<std::wstring>& parts) {
  if (!subKey || !*subKey) return ERROR_SUCCESS;
  if (subKey[0] == L'\\') return ERROR_BAD_PATHNAME;
  parts = SplitPath(subKey);
  for (const auto& part : parts)
    if (part.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

HKEY InsertHandle(Registry& registry, std::shared_ptr<RegistryKey> key, REGSAM access) {
  auto handle = std::make_shared<KeyHandle>(registry, std::move(key), MapAccess(access));
  return reinterpret_cast<HKEY>(CurrentMachine().handles().Insert(std::move(handle)));
}

}  // namespace

LONG Registry::OpenKey(HKEY base, LPCWSTR subKey, REGSAM access, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::vector<std::wstring> parts;
  Resolved resolved;
  std::shared_ptr<RegistryKey> key;
  {
    std::lock_guard lock(m_tree->mutex);
    if (LONG error = Resolve(base, 0, resolved); error == ERROR_INVALID_HANDLE) return error;
    else if (error != ERROR_SUCCESS) return *result = nullptr, error;
    if (LONG error = ParseSubKey(subKey, parts)) return *result = nullptr, error;
    // Opening a predefined key itself hands back the predefined value.
    if (parts.empty() && !resolved.handle) return *result = base, ERROR_SUCCESS;
    key = resolved.key;
    for (const auto& part : parts)
      if (!(key = key->Child(part))) return *result = nullptr, ERROR_FILE_NOT_FOUND;
  }
  *result = InsertHandle(*this, std::move(key), access);
  return ERROR_SUCCESS;
}

LONG Registry::CreateKey(HKEY base, LPCWSTR subKey, REGSAM access, PHKEY result, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::vector<std::wstring> parts;
  std::vector<RegistryChange> changes;
  std::vector<std::shared_ptr<Event>> fire;
  std::shared_ptr<RegistryKey> key;
  {
    std::lock_guard lock(m_tree->mutex);
    Resolved resolved;
    if (LONG error = Resolve(base, 0, resolved); error == ERROR_INVALID_HANDLE) return error;
    else if (error != ERROR_SUCCESS) return *result = nullptr, error;
    if (LONG error = ParseSubKey(subKey, parts)) return *result = nullptr, error;
    key = m_tree->Create(resolved.key, parts, 0, changes, fire);
  }
  SetAll(fire);
  Publish(changes);
  if (disposition) *disposition = changes.empty() ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *result = InsertHandle(*this, std::move(key), access);
  return ERROR_SUCCESS;
}

LONG Registry::CloseKey(HKEY key) {
  if (PredefinedId(key)) return ERROR_SUCCESS;
  auto& handles = CurrentMachine().handles();
  if (!handles.GetAs<KeyHandle>(reinterpret_cast<HANDLE>(key))) return ERROR_INVALID_HANDLE;
  auto object = handles.Remove(reinterpret_cast<HANDLE>(key));
  if (!object) return ERROR_INVALID_HANDLE;  // closed by another thread meanwhile
  object->OnHandleClosed();
  return ERROR_SUCCESS;
}

void Registry::HandleClosed(NotifyBlock* block) {
  std::vector<std::shared_ptr<Event>> fire;
  {
    std::lock_guard lock(m_tree->mutex);
    block->closed = true;
    auto& blocks = m_tree->blocks;
    blocks.erase(std::remove(blocks.begin(), blocks.end(), block), blocks.end());
    Tree::Drain(*block, fire);
  }
  SetAll(fire);
}

LONG Registry::QueryValue(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(m_tree->mutex);
  Resolved resolved;
  if (LONG error = Resolve(key, KEY_QUERY_VALUE, resolved)) return error;
  const RegistryValue* value = resolved.key->FindValue(name ? name : L"");
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  auto length = static_cast<DWORD>(value->data.size());
  if (data && *size < length) {
    *size = length;
    return ERROR_MORE_DATA;
  }
  if (data && length) std::memcpy(data, value->data.data(), length);
  if (size) *size = length;
  return ERROR_SUCCESS;
}

LONG Registry::SetValue(HKEY key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size) {
  if (!data && size) return ERROR_NOACCESS;
  std::wstring valueName = name ? name : L"";
  if (valueName.size() > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
  std::vector<std::shared_ptr<Event>> fire;
  std::wstring keyPath;
  {
    std::lock_guard lock(m_tree->mutex);
    Resolved resolved;
    if (LONG error = Resolve(key, KEY_SET_VALUE, resolved)) return error;
    resolved.key->PutValue(valueName, RegistryValue{type, std::vector<BYTE>(data, data + size)});
    keyPath = resolved.key->Path();
    m_tree->Report(resolved.key.get(), REG_NOTIFY_CHANGE_LAST_SET, fire);
  }
  SetAll(fire);
  Publish({{RegistryChange::Kind::ValueSet, keyPath, valueName}});
  return ERROR_SUCCESS;
}

LONG Registry::DeleteValue(HKEY key, LPCWSTR name) {
  std::wstring valueName = name ? name : L"";
  std::vector<std::shared_ptr<Event>> fire;
  std::wstring keyPath;
  {
    std::lock_guard lock(m_tree->mutex);
    Resolved resolved;
    if (LONG error = Resolve(key, KEY_SET_VALUE, resolved)) return error;
    if (!resolved.key->EraseValue(valueName)) return ERROR_FILE_NOT_FOUND;
    keyPath = resolved.key->Path();
    m_tree->Report(resolved.key.get(), REG_NOTIFY_CHANGE_LAST_SET, fire);
  }
  SetAll(fire);
  Publish({{RegistryChange::Kind::ValueDeleted, keyPath, valueName}});
  return ERROR_SUCCESS;
}

LONG Registry::DeleteKey(HKEY base, LPCWSTR subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  std::vector<RegistryChange> changes;
  std::vector<std::shared_ptr<Event>> fire;
  {
    std::lock_guard lock(m_tree->mutex);
    Resolved resolved;
    std::vector<std::wstring> parts;
    if (LONG error = Resolve(base, 0, resolved)) return error;
    if (LONG error = ParseSubKey(subKey, parts)) return error;
    auto key = resolved.key;
    for (const auto& part : parts)
      if (!(key = key->Child(part))) return ERROR_FILE_NOT_FOUND;
    if (key->Protected() || key->HasChildren()) return ERROR_ACCESS_DENIED;
    m_tree->DeleteTree(key, changes, fire);
  }
  SetAll(fire);
  Publish(changes);
  return ERROR_SUCCESS;
}

LONG Registry::Notify(HKEY key, bool subtree, DWORD filter, HANDLE eventHandle, bool async) {
  if ((filter & ~REG_LEGAL_CHANGE_FILTER) || !(filter & ~REG_NOTIFY_THREAD_AGNOSTIC))
    return ERROR_INVALID_PARAMETER;
  if (async && !eventHandle) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Event> event = std::make_shared<Event>(true, false);
  if (async && !(event = CurrentMachine().handles().GetAs<Event>(eventHandle))) return ERROR_INVALID_HANDLE;
  // Arming resets the event, like the start of any asynchronous request.
  event->Reset();
  bool fireNow = false;
  {
    std::lock_guard lock(m_tree->mutex);
    Resolved resolved;
    if (LONG error = Resolve(key, KEY_NOTIFY, resolved)) return error;
    NotifyBlock* block = resolved.notify;
    if (!block) {
      auto id = *PredefinedId(key);
      auto& stand_in = m_tree->predefined[id];
      if (!stand_in) stand_in = std::make_shared<KeyHandle>(*this, resolved.key, KEY_ALL_ACCESS);
      block = &stand_in->Notify();
    }
    if (block->closed) return ERROR_INVALID_HANDLE;
    if (!block->created) {
      block->created = true;
      block->filter = filter;
      block->subtree = subtree;
      m_tree->blocks.push_back(block);
    }
    fireNow = block->pending;
    if (fireNow) block->pending = false;
    else block->posts.push_back(event);
  }
  if (fireNow) event->Set();
  if (!async) {
    std::shared_ptr<KernelObject> object = event;
    WaitForObjects(&object, 1, false, INFINITE);
  }
  return ERROR_SUCCESS;
}

}  // namespace winsim
