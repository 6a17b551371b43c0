// The identity part of the simulated machine: accounts, sessions, processes
// and per-thread impersonation.
#include "../core/scheduler.h"

#include <winsim/sim/identity.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>
#include <winsim/user32.h>

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

// The processes of session 0 at boot: the session manager, the services'
// session's csrss.exe and wininit.exe, which starts the SCM, lsass and the
// service hosts.
constexpr const wchar_t* kSessionZeroProcesses[] = {L"csrss.exe", L"wininit.exe", L"services.exe",
                                                    L"lsass.exe", L"svchost.exe", L"svchost.exe"};

}  // namespace

Identity::Identity(Machine& machine)
    : m_machine(machine), m_shells(std::make_unique<Scheduler>(machine.clock(), "logon")) {
  for (const auto& user : kBuiltInUsers)
    m_users.push_back({user.name, m_computerName, m_machineSid + L"-" + std::to_wstring(user.rid), SidTypeUser});
  StartSystemProcesses();
  {
    std::lock_guard lock(m_mutex);
    m_console = NewSessionLocked(L"").id;  // the logon screen of the boot
  }
  if (machine.config().defaultUserLoggedOn) LogOn(kDefaultUserName);
  m_booting = false;
}

Identity::~Identity() { Shutdown(); }

void Identity::Shutdown() { m_shells->Stop(); }

void Identity::StartSystemProcesses() {
  std::lock_guard lock(m_mutex);
  DWORD system = StartLocked(L"System", kSystemSid, 0, kServicesSession);
  m_nextPid = 300;
  m_smssPid = StartLocked(L"smss.exe", kSystemSid, system, kServicesSession);
  DWORD parent = m_smssPid;
  for (const wchar_t* exe : kSessionZeroProcesses) {
    DWORD pid = StartLocked(exe, kSystemSid, parent, kServicesSession);
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

// ---- Sessions ----------------------------------------------------------------

Identity::Session& Identity::NewSessionLocked(const std::wstring& userSid) {
  Session session;
  session.id = m_nextSession++;
  session.userSid = userSid;
  StartLocked(L"csrss.exe", kSystemSid, m_smssPid, session.id);
  session.winlogonPid = StartLocked(L"winlogon.exe", kSystemSid, m_smssPid, session.id);
  StartLocked(L"dwm.exe", kSystemSid, session.winlogonPid, session.id);
  m_sessions.push_back(session);
  return m_sessions.back();
}

Identity::Session* Identity::SessionLocked(DWORD id) {
  for (auto& session : m_sessions)
    if (session.id == id) return &session;
  return nullptr;
}

Identity::Session* Identity::SessionOfUserLocked(const std::wstring& sid) {
  for (auto& session : m_sessions)
    if (!sid.empty() && session.userSid == sid) return &session;
  return nullptr;
}

// A user is named by the account name alone here, also when it is the
// computer's name too (which LookupAccount takes for the domain).
Identity::Session* Identity::SessionOfNameLocked(std::wstring_view name) {
  const auto user = FindUser(name);
  return user ? SessionOfUserLocked(user->sid) : nullptr;
}

void Identity::StartShellLocked(const Session& session) {
  DWORD userinit = StartLocked(L"userinit.exe", session.userSid, session.winlogonPid, session.id);
  StartLocked(L"explorer.exe", session.userSid, userinit, session.id);
  StartLocked(L"sihost.exe", session.userSid, session.winlogonPid, session.id);
  // userinit.exe ends once it has started the shell.
  std::lock_guard kernel(KernelLock());
  for (auto& process : m_processes)
    if (process->pid == userinit) process->running = false;
}

// The shell belongs to the logon that scheduled it: a session logged off (or
// logged on again) meanwhile gets none.
void Identity::ScheduleShell(DWORD sessionId, uint64_t logon) {
  m_shells->Schedule(kShellStartDelayMs, [this, sessionId, logon] {
    {
      std::lock_guard lock(m_mutex);
      Session* session = SessionLocked(sessionId);
      if (!session || session->logon != logon) return;
      StartShellLocked(*session);
    }
    NotifyWaiters();
  });
}

void Identity::EndLocked(DWORD sessionId, bool userOnly) {
  Session* session = SessionLocked(sessionId);
  if (!session) return;
  {
    std::lock_guard kernel(KernelLock());
    for (auto& process : m_processes)
      if (process->sessionId == sessionId && (!userOnly || process->userSid == session->userSid))
        process->running = false;
  }
  if (userOnly) return;
  std::erase_if(m_sessions, [&](const Session& each) { return each.id == sessionId; });
  if (m_console == sessionId) m_console = kNoSession;
}

void Identity::Step(DWORD eventType, const std::function<DWORD()>& change) {
  DWORD sessionId;
  {
    std::lock_guard lock(m_mutex);
    sessionId = change();
  }
  NotifyWaiters();
  if (m_booting) return;  // no service runs yet
  if (auto* services = m_machine.FindPart<Services>()) services->BroadcastSessionChange(eventType, sessionId);
}

std::wstring Identity::LogOn(const std::wstring& name) {
  const std::wstring sid = AddUser(name);
  DWORD id = kNoSession, previous = kNoSession;
  uint64_t logon = 0;
  bool takesLogonScreen = false;
  {
    std::lock_guard lock(m_mutex);
    if (SessionOfUserLocked(sid)) return sid;
    logon = ++m_logons;
    Session* console = SessionLocked(m_console);
    takesLogonScreen = console && console->userSid.empty();
    Session& session = takesLogonScreen ? *console : NewSessionLocked(sid);
    session.userSid = sid;
    session.logon = logon;
    id = session.id;
    previous = takesLogonScreen ? kNoSession : m_console;
    if (m_booting) StartShellLocked(session);
  }
  if (!m_booting) {
    m_machine.Part<Registry>().LoadUserHive(sid);
    ScheduleShell(id, logon);
  }
  if (!takesLogonScreen) {
    if (previous != kNoSession) Step(WTS_CONSOLE_DISCONNECT, [&] { return m_console = kNoSession, previous; });
    Step(WTS_CONSOLE_CONNECT, [&] { return m_console = id; });
  }
  Step(WTS_SESSION_LOGON, [&] { return id; });
  return sid;
}

bool Identity::SwitchTo(const std::wstring& name) {
  DWORD target = kNoSession, previous = kNoSession;
  bool previousIsLogonScreen = false;
  {
    std::lock_guard lock(m_mutex);
    Session* session = SessionOfNameLocked(name);
    if (!session) return false;
    if (session->id == m_console) return true;
    target = session->id;
    previous = m_console;
    Session* console = SessionLocked(previous);
    previousIsLogonScreen = console && console->userSid.empty();
  }
  if (previous != kNoSession) Step(WTS_CONSOLE_DISCONNECT, [&] { return m_console = kNoSession, previous; });
  Step(WTS_CONSOLE_CONNECT, [&] {
    if (previousIsLogonScreen) EndLocked(previous, false);
    return m_console = target;
  });
  return true;
}

// The user's processes end first, as the logoff runs in the session; a
// console session then makes way for the logon screen in a session of its own.
void Identity::LogOffSession(DWORD sessionId) {
  bool hadConsole = false;
  {
    std::lock_guard lock(m_mutex);
    hadConsole = m_console == sessionId;
  }
  Step(WTS_SESSION_LOGOFF, [&] { return EndLocked(sessionId, true), sessionId; });
  if (!hadConsole) {
    std::lock_guard lock(m_mutex);
    EndLocked(sessionId, false);
    return;
  }
  Step(WTS_CONSOLE_DISCONNECT, [&] { return m_console = kNoSession, sessionId; });
  Step(WTS_CONSOLE_CONNECT, [&] {
    EndLocked(sessionId, false);
    return m_console = NewSessionLocked(L"").id;
  });
}

bool Identity::LogOff(const std::wstring& name) {
  DWORD id = kNoSession;
  {
    std::lock_guard lock(m_mutex);
    Session* session = SessionOfNameLocked(name);
    if (!session) return false;
    id = session->id;
  }
  LogOffSession(id);
  return true;
}

void Identity::LogOffAll() {
  std::vector<DWORD> ids;
  {
    std::lock_guard lock(m_mutex);
    for (const auto& session : m_sessions)
      if (!session.userSid.empty() && session.id != m_console) ids.push_back(session.id);
    Session* console = SessionLocked(m_console);
    if (console && !console->userSid.empty()) ids.push_back(console->id);
  }
  for (DWORD id : ids) LogOffSession(id);
  {
    std::lock_guard lock(m_mutex);
    std::lock_guard kernel(KernelLock());
    for (auto& process : m_processes)
      if (IsUserSid(process->userSid)) process->running = false;
  }
  NotifyWaiters();
}

std::wstring Identity::LoggedOnSid(const std::wstring& name) const {
  std::lock_guard lock(m_mutex);
  const auto user = FindUser(name);
  const bool on = user && std::any_of(m_sessions.begin(), m_sessions.end(),
                                      [&](const Session& session) { return session.userSid == user->sid; });
  return on ? user->sid : std::wstring();
}

std::vector<std::wstring> Identity::LoggedOnUserSids() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::wstring> sids;
  for (const auto& session : m_sessions)
    if (!session.userSid.empty()) sids.push_back(session.userSid);
  return sids;
}

std::vector<SessionInfo> Identity::Sessions() const {
  std::lock_guard lock(m_mutex);
  std::vector<SessionInfo> sessions{{kServicesSession, L"", false}};
  for (const auto& session : m_sessions) sessions.push_back({session.id, session.userSid, session.id == m_console});
  return sessions;
}

std::optional<SessionInfo> Identity::FindSession(DWORD id) const {
  for (const auto& session : Sessions())
    if (session.id == id) return session;
  return std::nullopt;
}

DWORD Identity::ConsoleSession() const {
  std::lock_guard lock(m_mutex);
  return m_console;
}

std::wstring Identity::ConsoleUserSid() const {
  std::lock_guard lock(m_mutex);
  for (const auto& session : m_sessions)
    if (session.id == m_console) return session.userSid;
  return {};
}

bool Identity::ShellRunning(const std::wstring& sid) const {
  std::lock_guard lock(m_mutex);
  return std::any_of(m_processes.begin(), m_processes.end(), [&](const auto& process) {
    return process->running && process->userSid == sid && process->exeName == L"explorer.exe";
  });
}

DWORD Identity::StartLocked(const std::wstring& exeName, const std::wstring& userSid, DWORD parentPid,
                            DWORD sessionId) {
  auto record = std::make_shared<ProcessRecord>();
  record->pid = m_nextPid;
  m_nextPid += 4;
  record->parentPid = parentPid;
  record->exeName = exeName;
  record->userSid = userSid;
  record->sessionId = sessionId;
  m_processes.push_back(record);
  return record->pid;
}

DWORD Identity::StartProcess(const std::wstring& exeName, const std::wstring& userSid, DWORD parentPid,
                             DWORD sessionId) {
  std::lock_guard lock(m_mutex);
  return StartLocked(exeName, userSid, parentPid, sessionId);
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
