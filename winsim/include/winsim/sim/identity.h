// The identity part of the simulated machine: the computer name, the local
// accounts with their SIDs, the process list (with "explorer.exe" for every
// logged-on user), process tokens and each thread's impersonation.
//
// The process itself runs as LocalSystem, as a service does; a thread that
// impersonates a token takes the token's user until it reverts.
#pragma once

#include <winsim/security.h>
#include <winsim/sim/machine.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

inline constexpr const wchar_t* kSystemSid = L"S-1-5-18";

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

  // ---- Sessions: a logon starts "explorer.exe" for the user and loads the
  // user's registry hive; a logoff ends every user's processes.
  std::wstring LogOn(const std::wstring& name);
  void LogOffAll();
  std::vector<std::wstring> LoggedOnUserSids() const;

  // ---- Processes, in creation order (the order of a snapshot).
  DWORD StartProcess(const std::wstring& exeName, const std::wstring& userSid, DWORD parentPid = 0);
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
  std::optional<AccountInfo> FindUser(std::wstring_view name) const;  // lock held
  std::optional<AccountInfo> FindWellKnown(std::wstring_view name) const;
  DWORD StartLocked(const std::wstring& exeName, const std::wstring& userSid, DWORD parentPid);
  void StartSystemProcesses();

  Machine& m_machine;
  mutable std::mutex m_mutex;
  std::wstring m_computerName = kDefaultComputerName;
  std::wstring m_machineSid = L"S-1-5-21-3623811015-3361044348-30300820";
  std::vector<AccountInfo> m_users;
  DWORD m_nextRid = 1001;
  std::vector<std::shared_ptr<ProcessRecord>> m_processes;
  DWORD m_nextPid = 4;
  DWORD m_winlogonPid = 0;
  std::map<DWORD, std::wstring> m_impersonation;  // thread id -> user SID
  int m_failReverts = 0;
  bool m_booting = true;  // hives of boot-time logons are loaded by the registry
};

}  // namespace winsim
