// The identity part of the simulated machine: the computer name, the local
// accounts with their SIDs, the sessions with their processes (with
// "explorer.exe" for every logged-on user), the physical console, process
// tokens and each thread's impersonation.
//
// The process itself runs as LocalSystem in session 0, as a service does; a
// thread that impersonates a token takes the token's user until it reverts.
#pragma once

#include <winsim/security.h>
#include <winsim/sim/machine.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

class Scheduler;

inline constexpr const wchar_t* kSystemSid = L"S-1-5-18";
// The services' session, where the system's own processes run too.
inline constexpr DWORD kServicesSession = 0;
// What WTSGetActiveConsoleSessionId answers while no session has the console.
inline constexpr DWORD kNoSession = 0xFFFFFFFF;

struct SessionInfo {
  DWORD id = 0;
  std::wstring userSid;  // empty: nobody is logged on in it (session 0, the logon screen)
  bool console = false;  // attached to the physical console
};

struct AccountInfo {
  std::wstring name;
  std::wstring domain;
  std::wstring sid;
  SID_NAME_USE use = SidTypeUnknown;
};

// A process of the simulated machine. `running` is guarded by KernelLock():
// a process handle is signalled once the process has ended.
struct ProcessRecord {
  DWORD pid = 0;
  DWORD parentPid = 0;
  std::wstring exeName;
  std::wstring userSid;  // the user of the process's primary token
  DWORD sessionId = kServicesSession;
  DWORD threads = 1;
  bool running = true;
};

class ProcessObject final : public KernelObject {
 public:
  ProcessObject(std::shared_ptr<ProcessRecord> record, DWORD access)
      : m_record(std::move(record)), m_access(access) {}
  bool Waitable() const override { return true; }
  bool Signaled(DWORD) const override { return !m_record->running; }
  const ProcessRecord& Record() const { return *m_record; }
  DWORD Access() const { return m_access; }

 private:
  std::shared_ptr<ProcessRecord> m_record;
  DWORD m_access;
};

class TokenObject final : public KernelObject {
 public:
  TokenObject(std::wstring userSid, DWORD access) : m_userSid(std::move(userSid)), m_access(access) {}
  const std::wstring& UserSid() const { return m_userSid; }
  DWORD Access() const { return m_access; }

 private:
  std::wstring m_userSid;
  DWORD m_access;
};

class Identity : public MachinePart {
 public:
  static constexpr const wchar_t* kDefaultComputerName = L"WORKSTATION";
  static constexpr const wchar_t* kDefaultUserName = L"Dana";

  explicit Identity(Machine& machine);
  ~Identity() override;
  void Shutdown() override;

  // ---- The machine and its accounts.
  std::wstring ComputerName() const;
  void SetComputerName(std::wstring name);
  std::wstring MachineSid() const { return m_machineSid; }
  // Adds a local user (or finds the existing one); returns the user's SID.
  std::wstring AddUser(const std::wstring& name);
  // Resolves "name" or "DOMAIN\name" as LookupAccountNameW does: a bare name
  // equal to the computer name names the computer's domain.
  std::optional<AccountInfo> LookupAccount(std::wstring_view name) const;
  std::optional<AccountInfo> AccountBySid(std::wstring_view sid) const;

  // ---- Sessions. Session 0 holds the services and the system's own
  // processes. Every session of the console has its csrss.exe, winlogon.exe
  // and dwm.exe; the console shows the logon screen in a session nobody is
  // logged on in. A logon happens at the console: the user takes the logon
  // screen's session, or else a new one (ids 1, 2, ... in order, as Windows
  // numbers them) that takes the console while the previous console session
  // stays, disconnected. The user's hive is loaded at the logon and the shell
  // starts kShellStartDelayMs later. Each change reaches the services that
  // take session changes in the order Windows sends them
  // (Services::BroadcastSessionChange); the console has no session between a
  // console disconnect and the next console connect.
  //
  // Windows starts the shell a moment after the logon: winlogon runs
  // userinit.exe once the user's profile is loaded, and userinit starts
  // explorer.exe. In simulated ms.
  static constexpr uint64_t kShellStartDelayMs = 2000;

  // Logs `name` on at the console: WTS_CONSOLE_DISCONNECT for the session
  // that had it, then WTS_CONSOLE_CONNECT and WTS_SESSION_LOGON for the new
  // one (WTS_SESSION_LOGON alone when the user takes the logon screen's
  // session). Returns the user's SID; a user logged on already changes nothing.
  std::wstring LogOn(const std::wstring& name);
  // Fast user switching: the console moves to `name`'s session
  // (WTS_CONSOLE_DISCONNECT for the old, WTS_CONSOLE_CONNECT for it; a logon
  // screen that loses the console ends). False when `name` is not logged on.
  bool SwitchTo(const std::wstring& name);
  // `name`'s session ends (WTS_SESSION_LOGOFF); if it had the console, the
  // console shows the logon screen in a new session (WTS_CONSOLE_DISCONNECT
  // for the old, WTS_CONSOLE_CONNECT for the new). False when `name` is not
  // logged on.
  bool LogOff(const std::wstring& name);
  // Every user's session ends (the disconnected ones first); user processes
  // outside sessions end too.
  void LogOffAll();
  // The SID of `name` while logged on, else empty.
  std::wstring LoggedOnSid(const std::wstring& name) const;
  // The users logged on, in session order (a user's shell may not run yet).
  std::vector<std::wstring> LoggedOnUserSids() const;
  std::vector<SessionInfo> Sessions() const;
  std::optional<SessionInfo> FindSession(DWORD id) const;
  // The console's session, kNoSession while none has it.
  DWORD ConsoleSession() const;
  // The user logged on at the console; empty at the logon screen.
  std::wstring ConsoleUserSid() const;
  // Whether the shell (explorer.exe) of `sid` runs.
  bool ShellRunning(const std::wstring& sid) const;

  // ---- Processes, in creation order (the order of a snapshot).
  DWORD StartProcess(const std::wstring& exeName, const std::wstring& userSid, DWORD parentPid = 0,
                     DWORD sessionId = kServicesSession);
  std::vector<ProcessRecord> Processes() const;
  std::shared_ptr<ProcessRecord> FindProcess(DWORD pid) const;

  // ---- Per-thread identity.
  std::wstring ThreadUserSid(DWORD threadId) const;
  bool IsImpersonating(DWORD threadId) const;
  size_t ImpersonatingThreads() const;
  void Impersonate(DWORD threadId, const std::wstring& sid);
  // Ends the thread's impersonation; false (and the thread keeps its
  // impersonation) while a fault set by FailReverts is active.
  bool Revert(DWORD threadId);
  void ClearImpersonation(DWORD threadId);
  // Fault knob: the next `count` RevertToSelf calls fail.
  void FailReverts(int count);

 private:
  struct Session {
    DWORD id = 0;
    std::wstring userSid;
    DWORD winlogonPid = 0;
    uint64_t logon = 0;  // which logon of the machine the user's is (a shell due belongs to it)
  };

  std::optional<AccountInfo> FindUser(std::wstring_view name) const;  // lock held
  std::optional<AccountInfo> FindWellKnown(std::wstring_view name) const;
  DWORD StartLocked(const std::wstring& exeName, const std::wstring& userSid, DWORD parentPid, DWORD sessionId);
  void StartSystemProcesses();
  // A session of the console: its csrss.exe, winlogon.exe and dwm.exe.
  Session& NewSessionLocked(const std::wstring& userSid);
  Session* SessionLocked(DWORD id);
  Session* SessionOfUserLocked(const std::wstring& sid);
  Session* SessionOfNameLocked(std::wstring_view name);
  void StartShellLocked(const Session& session);
  void ScheduleShell(DWORD sessionId, uint64_t logon);
  // Ends the session's processes (only its user's with `userOnly`) and,
  // unless `userOnly`, the session itself.
  void EndLocked(DWORD sessionId, bool userOnly);
  // Makes a change under the lock, then tells the services of it: `change`
  // returns the session that the notice names.
  void Step(DWORD eventType, const std::function<DWORD()>& change);
  void LogOffSession(DWORD sessionId);

  Machine& m_machine;
  mutable std::mutex m_mutex;
  std::wstring m_computerName = kDefaultComputerName;
  std::wstring m_machineSid = L"S-1-5-21-3623811015-3361044348-30300820";
  std::vector<AccountInfo> m_users;
  DWORD m_nextRid = 1001;
  std::vector<std::shared_ptr<ProcessRecord>> m_processes;
  DWORD m_nextPid = 4;
  DWORD m_smssPid = 0;
  std::vector<Session> m_sessions;  // the live sessions but 0, in id order
  DWORD m_console = kNoSession;
  DWORD m_nextSession = 1;
  uint64_t m_logons = 0;
  std::map<DWORD, std::wstring> m_impersonation;  // thread id -> user SID
  int m_failReverts = 0;
  bool m_booting = true;  // hives of boot-time logons are loaded by the registry; shells run at once
  std::unique_ptr<Scheduler> m_shells;  // the shells due after logons
};

}  // namespace winsim
