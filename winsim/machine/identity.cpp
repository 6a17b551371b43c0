// The identity part of the simulated machine: accounts, sessions, processes
// and per-thread impersonation.
#include <winsim/sim/identity.h>
#include <winsim/sim/registry.h>

#include <algorithm>
#include <cwctype>

namespace winsim {

namespace {

bool SameName(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return std::towupper(x) == std::towupper(y); });
}

// Local accounts live in the machine's domain (S-1-5-21-...); the service
// accounts (S-1-5-18/19/20) are not ended by a logoff.
bool IsUserSid(const std::wstring& sid) { return sid.rfind(L"S-1-5-21-", 0) == 0; }

struct WellKnown {
  const wchar_t* name;
  const wchar_t* sid;
};
constexpr const wchar_t* kNtAuthority = L"NT AUTHORITY";
constexpr WellKnown kWellKnown[] = {
    {L"SYSTEM", L"S-1-5-18"},
    {L"LOCAL SERVICE", L"S-1-5-19"},
    {L"NETWORK SERVICE", L"S-1-5-20"},
};

// Built-in local accounts with their well-known relative IDs.
struct BuiltInUser {
  const wchar_t* name;
  DWORD rid;
};
constexpr BuiltInUser kBuiltInUsers[] = {{L"Administrator", 500}, {L"Guest", 501}, {L"DefaultAccount", 503}};

// The boot-time processes of a Windows machine, before anyone logs on.
constexpr const wchar_t* kSystemProcesses[] = {L"smss.exe",    L"csrss.exe",    L"wininit.exe",
                                               L"services.exe", L"lsass.exe",    L"svchost.exe",
                                               L"svchost.exe",  L"winlogon.exe", L"dwm.exe"};

}  // namespace

Identity::Identity(Machine& machine) : m_machine(machine) {
  for (const auto& user : kBuiltInUsers)
    m_users.push_back({user.name, m_computerName, m_machineSid + L"-" + std::to_wstring(user.rid), SidTypeUser});
  StartSystemProcesses();
  if (machine.config().defaultUserLoggedOn) LogOn(kDefaultUserName);
  m_booting = false;
}

void Identity::StartSystemProcesses() {
  std::lock_guard lock(m_mutex);
  DWORD system = StartLocked(L"System", kSystemSid, 0);
  m_nextPid = 300;
  DWORD parent = system;
  for (const wchar_t* exe : kSystemProcesses) {
    DWORD pid = StartLocked(exe, kSystemSid, parent);
    if (std::wstring_view(exe) == L"winlogon.exe") m_winlogonPid = pid;
    if (std::wstring_view(exe) == L"wininit.exe") parent = pid;
  }
}

std::wstring Identity::ComputerName() const {
  std::lock_guard lock(m_mutex);
  return m_computerName;
}

void Identity::SetComputerName(std::wstring name) {
  std::lock_guard lock(m_mutex);
  m_computerName = std::move(name);
  for (auto& user : m_users) user.domain = m_computerName;
}

std::wstring Identity::AddUser(const std::wstring& name) {
  std::lock_guard lock(m_mutex);
  if (auto existing = FindUser(name)) return existing->sid;
  std::wstring sid = m_machineSid + L"-" + std::to_wstring(m_nextRid++);
  m_users.push_back({name, m_computerName, sid, SidTypeUser});
  return sid;
}

std::optional<AccountInfo> Identity::FindUser(std::wstring_view name) const {
  for (const auto& user : m_users)
    if (SameName(user.name, name)) return user;
  return std::nullopt;
}

std::optional<AccountInfo> Identity::FindWellKnown(std::wstring_view name) const {
  for (const auto& known : kWellKnown)
    if (SameName(known.name, name)) return AccountInfo{known.name, kNtAuthority, known.sid, SidTypeWellKnownGroup};
  return std::nullopt;
}

std::optional<AccountInfo> Identity::LookupAccount(std::wstring_view name) const {
  std::lock_guard lock(m_mutex);
  size_t slash = name.find(L'\\');
  if (slash != std::wstring_view::npos) {
    std::wstring_view domain = name.substr(0, slash), account = name.substr(slash + 1);
    if (SameName(domain, kNtAuthority)) return FindWellKnown(account);
    if (SameName(domain, m_computerName)) return FindUser(account);
    return std::nullopt;
  }
  if (auto known = FindWellKnown(name)) return known;
  // Windows resolves the domain names before the accounts in them: a bare
  // name equal to the computer name is the computer's domain, even when a
  // user of that name exists.
  if (SameName(name, m_computerName))
    return AccountInfo{m_computerName, m_computerName, m_machineSid, SidTypeDomain};
  return FindUser(name);
}

std::optional<AccountInfo> Identity::AccountBySid(std::wstring_view sid) const {
  std::lock_guard lock(m_mutex);
  for (const auto& user : m_users)
    if (user.sid == sid) return user;
  for (const auto& known : kWellKnown)
    if (sid == known.sid) return AccountInfo{known.name, kNtAuthority, known.sid, SidTypeWellKnownGroup};
  return std::nullopt;
}

std::wstring Identity::LogOn(const std::wstring& name) {
  std::wstring sid = AddUser(name);
  {
    std::lock_guard lock(m_mutex);
    for (const auto& process : m_processes)
      if (process->running && process->userSid == sid && process->exeName == L"explorer.exe") return sid;
    DWORD userinit = StartLocked(L"userinit.exe", sid, m_winlogonPid);
    StartLocked(L"explorer.exe", sid, userinit);
    StartLocked(L"sihost.exe", sid, m_winlogonPid);
    // userinit.exe ends once it has started the shell.
    std::lock_guard kernel(KernelLock());
    for (auto& process : m_processes)
      if (process->pid == userinit) process->running = false;
  }
  NotifyWaiters();
  if (!m_booting) m_machine.Part<Registry>().LoadUserHive(sid);
  return sid;
}

void Identity::LogOffAll() {
  {
    std::lock_guard lock(m_mutex);
    std::lock_guard kernel(KernelLock());
    for (auto& process : m_processes)
      if (IsUserSid(process->userSid)) process->running = false;
  }
  NotifyWaiters();
}

std::vector<std::wstring> Identity::LoggedOnUserSids() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::wstring> sids;
  for (const auto& process : m_processes)
    if (process->running && process->exeName == L"explorer.exe" &&
        std::find(sids.begin(), sids.end(), process->userSid) == sids.end())
      sids.push_back(process->userSid);
  return sids;
}

DWORD Identity::StartLocked(const std::wstring& exeName, const std::wstring& userSid, DWORD parentPid) {
  auto record = std::make_shared<ProcessRecord>();
  record->pid = m_nextPid;
  m_nextPid += 4;
  record->parentPid = parentPid;
  record->exeName = exeName;
  record->userSid = userSid;
  m_processes.push_back(record);
  return record->pid;
}

DWORD Identity::StartProcess(const std::wstring& exeName, const std::wstring& userSid, DWORD parentPid) {
  std::lock_guard lock(m_mutex);
  return StartLocked(exeName, userSid, parentPid);
}

std::vector<ProcessRecord> Identity::Processes() const {
  std::lock_guard lock(m_mutex);
  std::vector<ProcessRecord> result;
  for (const auto& process : m_processes)
    if (process->running) result.push_back(*process);
  return result;
}

std::shared_ptr<ProcessRecord> Identity::FindProcess(DWORD pid) const {
  std::lock_guard lock(m_mutex);
  for (const auto& process : m_processes)
    if (process->pid == pid && process->running) return process;
  return nullptr;
}

std::wstring Identity::ThreadUserSid(DWORD threadId) const {
  std::lock_guard lock(m_mutex);
  auto it = m_impersonation.find(threadId);
  return it == m_impersonation.end() ? std::wstring(kSystemSid) : it->second;
}

bool Identity::IsImpersonating(DWORD threadId) const {
  std::lock_guard lock(m_mutex);
  return m_impersonation.count(threadId) != 0;
}

size_t Identity::ImpersonatingThreads() const {
  std::lock_guard lock(m_mutex);
  return m_impersonation.size();
}

void Identity::Impersonate(DWORD threadId, const std::wstring& sid) {
  std::lock_guard lock(m_mutex);
  m_impersonation[threadId] = sid;
}

bool Identity::Revert(DWORD threadId) {
  std::lock_guard lock(m_mutex);
  if (m_failReverts > 0) {
    --m_failReverts;
    return false;
  }
  m_impersonation.erase(threadId);
  return true;
}

void Identity::ClearImpersonation(DWORD threadId) {
  std::lock_guard lock(m_mutex);
  m_impersonation.erase(threadId);
}

void Identity::FailReverts(int count) {
  std::lock_guard lock(m_mutex);
  m_failReverts = count;
}

}  // namespace winsim
