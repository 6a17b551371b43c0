// The SCM's database and the SC_HANDLEs advapi32 hands out. The runtime
// (processes, dispatcher, controls) is in service_runtime.cpp.
#include "service_run.h"
#include "ordered_notifier.h"
#include "service_store.h"

#include <algorithm>

namespace winsim {

namespace {

// What a caller who is not an administrator is granted (the default DACLs of
// the SCM and of a service allow users to connect, enumerate and query).
constexpr DWORD kUserManagerAccess =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kUserServiceAccess = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

struct GenericMapping {
  DWORD read, write, execute, all;
};
constexpr GenericMapping kManagerMapping = {
    STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
    STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK, SC_MANAGER_ALL_ACCESS};
constexpr GenericMapping kServiceMapping = {
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
        SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS};

DWORD MapGeneric(DWORD access, const GenericMapping& mapping) {
  DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (access & GENERIC_READ) mapped |= mapping.read;
  if (access & GENERIC_WRITE) mapped |= mapping.write;
  if (access & GENERIC_EXECUTE) mapped |= mapping.execute;
  if (access & GENERIC_ALL) mapped |= mapping.all;
  return mapped;
}

// Grants `access` (generic rights mapped) to a caller who may have `allowed`.
bool Grant(DWORD access, const GenericMapping& mapping, DWORD allowed, DWORD& granted) {
  granted = MapGeneric(access, mapping);
  if (granted & MAXIMUM_ALLOWED) granted = (granted & ~MAXIMUM_ALLOWED) | allowed;
  return (granted & ~allowed) == 0;
}

bool IsDriverType(DWORD type) { return type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER; }

bool IsLocalSystem(const std::wstring& account) {
  auto folded = FoldServiceName(account);
  return folded.empty() || folded == L"localsystem" || folded == L".\\localsystem";
}

// Type, start type and error control as CreateServiceW checks them.
bool ValidateKinds(const ServiceConfig& config) {
  DWORD base = config.type & ~SERVICE_INTERACTIVE_PROCESS;
  bool interactive = (config.type & SERVICE_INTERACTIVE_PROCESS) != 0;
  bool win32 = base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
  if (!win32 && !IsDriverType(base)) return false;
  if (interactive && (!win32 || !IsLocalSystem(config.account))) return false;
  if (config.startType > SERVICE_DISABLED) return false;
  if (config.startType < SERVICE_AUTO_START && !IsDriverType(base)) return false;
  return config.errorControl <= SERVICE_ERROR_CRITICAL;
}

DWORD ValidateNew(const ServiceConfig& config) {
  if (!IsValidServiceName(config.name)) return ERROR_INVALID_NAME;
  if (config.binaryPath.empty()) return ERROR_INVALID_PARAMETER;
  return ValidateKinds(config) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// An existing service whose name or display name the new one would repeat.
DWORD ClashWith(const ServiceConfig& existing, const ServiceConfig& config) {
  auto name = FoldServiceName(config.name);
  if (FoldServiceName(existing.name) == name)
    return existing.deletePending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
  auto display = FoldServiceName(config.displayName);
  if (FoldServiceName(existing.displayName) == display || FoldServiceName(existing.name) == display ||
      FoldServiceName(existing.displayName) == name)
    return ERROR_DUPLICATE_SERVICE_NAME;
  return ERROR_SUCCESS;
}

std::vector<ServiceConfig>::iterator FindRecord(std::vector<ServiceConfig>& records, const std::wstring& name) {
  auto folded = FoldServiceName(name);
  return std::find_if(records.begin(), records.end(),
                      [&](const ServiceConfig& r) { return FoldServiceName(r.name) == folded; });
}

}  // namespace

Services::Services(Machine& machine)
    : m_machine(machine),
      m_store(std::make_unique<ServiceStore>(machine.config().root / "services.db")),
      m_changed(machine.clock()),
      m_notifier(std::make_unique<OrderedNotifier<std::pair<std::wstring, StatusReport>>>()) {}

void Services::SetAdministrator(bool isAdministrator) {
  std::lock_guard lock(m_mutex);
  m_isAdministrator = isAdministrator;
}

// ---- Database -------------------------------------------------------------

size_t Services::OpenHandlesLocked(const std::wstring& name) const {
  auto folded = FoldServiceName(name);
  return static_cast<size_t>(std::count_if(m_handles.begin(), m_handles.end(), [&](const auto& item) {
    return !item.second.manager && FoldServiceName(item.second.name) == folded;
  }));
}

bool Services::IsActiveLocked(const std::wstring& name) const {
  const ServiceState* state = FindStateLocked(name);
  return state && state->status.dwCurrentState != SERVICE_STOPPED;
}

// A service marked for deletion goes once it is stopped and no handle of this
// process refers to it. Handles of a process that has ended no longer count,
// which is what Windows does when a process exits.
void Services::PurgeDeletedLocked(std::vector<ServiceConfig>& records) const {
  std::erase_if(records, [&](const ServiceConfig& record) {
    return record.deletePending && !IsActiveLocked(record.name) && OpenHandlesLocked(record.name) == 0;
  });
}

DWORD Services::MutateLocked(const std::function<DWORD(std::vector<ServiceConfig>&)>& change) const {
  auto fileLock = m_store->Acquire();
  auto records = m_store->Read();
  const auto before = records.size();
  PurgeDeletedLocked(records);
  const bool purged = records.size() != before;
  auto snapshot = records;
  DWORD result = change(records);
  bool changed = result == ERROR_SUCCESS && records.size() != snapshot.size();
  for (size_t i = 0; !changed && result == ERROR_SUCCESS && i < records.size(); ++i)
    changed = ServiceStore::FormatLine(records[i]) != ServiceStore::FormatLine(snapshot[i]);
  if (result != ERROR_SUCCESS) records = std::move(snapshot);
  if ((changed || purged) && !m_store->Write(records)) return result == ERROR_SUCCESS ? ERROR_CANTWRITE : result;
  return result;
}

DWORD Services::MutateServiceLocked(const std::wstring& name, const std::function<void(ServiceConfig&)>& change) const {
  return MutateLocked([&](std::vector<ServiceConfig>& records) {
    auto it = FindRecord(records, name);
    if (it == records.end()) return static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST);
    if (it->deletePending) return static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE);
    change(*it);
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
}

std::vector<ServiceConfig> Services::LoadLocked() const {
  std::vector<ServiceConfig> records;
  MutateLocked([&](std::vector<ServiceConfig>& current) {
    records = current;
    return ERROR_SUCCESS;
  });
  return records;
}

void Services::PurgeLocked() const {
  MutateLocked([](std::vector<ServiceConfig>&) { return static_cast<DWORD>(ERROR_SUCCESS); });
}

std::optional<ServiceConfig> Services::Find(const std::wstring& name) const {
  std::lock_guard lock(m_mutex);
  auto records = LoadLocked();
  auto it = FindRecord(records, name);
  if (it == records.end()) return std::nullopt;
  return *it;
}

std::vector<ServiceConfig> Services::List() const {
  std::lock_guard lock(m_mutex);
  return LoadLocked();
}

DWORD Services::Install(const ServiceConfig& config) {
  ServiceConfig record = config;
  if (record.displayName.empty()) record.displayName = record.name;
  record.deletePending = false;
  if (DWORD error = ValidateNew(record)) return error;
  std::lock_guard lock(m_mutex);
  return MutateLocked([&](std::vector<ServiceConfig>& records) {
    for (const auto& existing : records)
      if (DWORD clash = ClashWith(existing, record)) return clash;
    records.push_back(record);
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
}

// ---- Handles ----------------------------------------------------------------

SC_HANDLE Services::NewHandleLocked(bool manager, const std::wstring& name, DWORD access) {
  uintptr_t value = m_nextHandle;
  m_nextHandle += 8;
  m_handles.emplace(value, HandleEntry{manager, name, access});
  return reinterpret_cast<SC_HANDLE>(value);
}

Services::HandleEntry* Services::EntryLocked(SC_HANDLE handle) {
  auto it = m_handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == m_handles.end() ? nullptr : &it->second;
}

DWORD Services::ServiceEntryLocked(SC_HANDLE handle, DWORD access, const HandleEntry*& entry) {
  entry = EntryLocked(handle);
  if (!entry || entry->manager) return ERROR_INVALID_HANDLE;
  return entry->access & access ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

bool Services::IsManagerHandle(SC_HANDLE handle) const {
  std::lock_guard lock(m_mutex);
  auto it = m_handles.find(reinterpret_cast<uintptr_t>(handle));
  return it != m_handles.end() && it->second.manager;
}

bool Services::IsServiceHandle(SC_HANDLE handle) const {
  std::lock_guard lock(m_mutex);
  auto it = m_handles.find(reinterpret_cast<uintptr_t>(handle));
  return it != m_handles.end() && !it->second.manager;
}

SC_HANDLE Services::OpenManager(const wchar_t* machineName, const wchar_t* databaseName, DWORD access,
                                DWORD& error) {
  if (machineName && *machineName) return error = RPC_S_SERVER_UNAVAILABLE, nullptr;
  if (databaseName) {
    auto folded = FoldServiceName(databaseName);
    if (folded == FoldServiceName(SERVICES_FAILED_DATABASEW)) return error = ERROR_DATABASE_DOES_NOT_EXIST, nullptr;
    if (folded != FoldServiceName(SERVICES_ACTIVE_DATABASEW)) return error = ERROR_INVALID_NAME, nullptr;
  }
  std::lock_guard lock(m_mutex);
  DWORD granted = 0;
  DWORD allowed = m_isAdministrator ? SC_MANAGER_ALL_ACCESS | STANDARD_RIGHTS_ALL : kUserManagerAccess;
  if (!Grant(access, kManagerMapping, allowed, granted)) return error = ERROR_ACCESS_DENIED, nullptr;
  error = ERROR_SUCCESS;
  return NewHandleLocked(true, L"", granted | SC_MANAGER_CONNECT);
}

SC_HANDLE Services::CreateService(SC_HANDLE manager, const CreateRequest& request, DWORD& error) {
  std::lock_guard lock(m_mutex);
  HandleEntry* entry = EntryLocked(manager);
  if (!entry || !entry->manager) return error = ERROR_INVALID_HANDLE, nullptr;
  if (!(entry->access & SC_MANAGER_CREATE_SERVICE)) return error = ERROR_ACCESS_DENIED, nullptr;
  ServiceConfig record = request.config;
  if (record.displayName.empty()) record.displayName = record.name;
  record.deletePending = false;
  if ((error = ValidateNew(record))) return nullptr;
  error = MutateLocked([&](std::vector<ServiceConfig>& records) {
    for (const auto& existing : records)
      if (DWORD clash = ClashWith(existing, record)) return clash;
    records.push_back(record);
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
  if (error) return nullptr;
  return NewHandleLocked(false, record.name, MapGeneric(request.access, kServiceMapping));
}

SC_HANDLE Services::OpenService(SC_HANDLE manager, const std::wstring& name, DWORD access, DWORD& error) {
  std::lock_guard lock(m_mutex);
  HandleEntry* entry = EntryLocked(manager);
  if (!entry || !entry->manager) return error = ERROR_INVALID_HANDLE, nullptr;
  if (!IsValidServiceName(name)) return error = ERROR_INVALID_NAME, nullptr;
  auto records = LoadLocked();
  auto it = FindRecord(records, name);
  if (it == records.end()) return error = ERROR_SERVICE_DOES_NOT_EXIST, nullptr;
  DWORD granted = 0;
  DWORD allowed = m_isAdministrator ? SERVICE_ALL_ACCESS | STANDARD_RIGHTS_ALL : kUserServiceAccess;
  if (!Grant(access, kServiceMapping, allowed, granted)) return error = ERROR_ACCESS_DENIED, nullptr;
  error = ERROR_SUCCESS;
  return NewHandleLocked(false, it->name, granted);
}

DWORD Services::CloseHandle(SC_HANDLE handle) {
  std::lock_guard lock(m_mutex);
  auto it = m_handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == m_handles.end()) return ERROR_INVALID_HANDLE;
  bool service = !it->second.manager;
  m_handles.erase(it);
  if (service) PurgeLocked();
  return ERROR_SUCCESS;
}

DWORD Services::DeleteService(SC_HANDLE service) {
  std::lock_guard lock(m_mutex);
  const HandleEntry* entry = nullptr;
  if (DWORD error = ServiceEntryLocked(service, DELETE, entry)) return error;
  return MutateServiceLocked(entry->name, [](ServiceConfig& record) { record.deletePending = true; });
}

DWORD Services::QueryStatus(SC_HANDLE service, SERVICE_STATUS& status) {
  std::lock_guard lock(m_mutex);
  const HandleEntry* entry = nullptr;
  if (DWORD error = ServiceEntryLocked(service, SERVICE_QUERY_STATUS, entry)) return error;
  status = StatusLocked(entry->name);
  return ERROR_SUCCESS;
}

// A restart action needs the right to start the service as well.
DWORD Services::ChangeConfig(SC_HANDLE service, const ConfigChange& change) {
  std::lock_guard lock(m_mutex);
  const HandleEntry* entry = nullptr;
  if (DWORD error = ServiceEntryLocked(service, SERVICE_CHANGE_CONFIG, entry)) return error;
  if (change.actions) {
    for (const SC_ACTION& action : *change.actions)
      if (action.Type == SC_ACTION_RESTART && !(entry->access & SERVICE_START)) return ERROR_ACCESS_DENIED;
  }
  return MutateServiceLocked(entry->name, [&](ServiceConfig& record) {
    FailureActions& failure = record.failureActions;
    if (change.description) record.description = *change.description;
    if (change.rebootMessage) failure.rebootMessage = *change.rebootMessage;
    if (change.command) failure.command = *change.command;
    if (change.actions) {
      failure.actions = *change.actions;
      failure.resetPeriodS = failure.actions.empty() ? 0 : change.resetPeriodS.value_or(0);
    }
  });
}

DWORD Services::QueryConfig(SC_HANDLE service, ServiceConfig& config) {
  std::lock_guard lock(m_mutex);
  const HandleEntry* entry = nullptr;
  if (DWORD error = ServiceEntryLocked(service, SERVICE_QUERY_CONFIG, entry)) return error;
  auto records = LoadLocked();
  auto it = FindRecord(records, entry->name);
  if (it == records.end()) return ERROR_SERVICE_DOES_NOT_EXIST;
  config = *it;
  return ERROR_SUCCESS;
}

// A service that has not run since boot reports STOPPED with the code Windows
// gives it, ERROR_SERVICE_NEVER_STARTED.
SERVICE_STATUS Services::StatusLocked(const std::wstring& name) const {
  if (const ServiceState* state = FindStateLocked(name)) return state->status;
  SERVICE_STATUS status{};
  auto records = LoadLocked();
  auto it = FindRecord(records, name);
  status.dwServiceType = it == records.end() ? SERVICE_WIN32_OWN_PROCESS : it->type;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
  return status;
}

}  // namespace winsim
