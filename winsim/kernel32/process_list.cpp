// kernel32: the machine's processes as snapshots list them and OpenProcess opens
// them, their sessions and the console's; the computer name.
#include <winsim/kernel32.h>
#include <winsim/sim/identity.h>
#include <winsim/tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <mutex>
#include <vector>

using namespace winsim;

namespace {

class Snapshot final : public KernelObject {
 public:
  explicit Snapshot(std::vector<ProcessRecord> processes) : m_processes(std::move(processes)) {}

  // Fills `entry` with the process at `index` (or the next one) and moves on.
  BOOL Entry(LPPROCESSENTRY32W entry, bool first) {
    std::lock_guard lock(m_mutex);
    if (first) m_next = 0;
    if (m_next >= m_processes.size()) return Fail(ERROR_NO_MORE_FILES, FALSE);
    Fill(m_processes[m_next++], *entry);
    return TRUE;
  }

 private:
  static void Fill(const ProcessRecord& process, PROCESSENTRY32W& entry) {
    entry.cntUsage = 0;
    entry.th32ProcessID = process.pid;
    entry.th32DefaultHeapID = 0;
    entry.th32ModuleID = 0;
    entry.cntThreads = process.threads;
    entry.th32ParentProcessID = process.parentPid;
    entry.pcPriClassBase = 8;  // NORMAL_PRIORITY_CLASS base priority
    entry.dwFlags = 0;
    size_t length = std::min<size_t>(process.exeName.size(), MAX_PATH - 1);
    std::wmemcpy(entry.szExeFile, process.exeName.c_str(), length);
    entry.szExeFile[length] = L'\0';
  }

  std::mutex m_mutex;
  std::vector<ProcessRecord> m_processes;
  size_t m_next = 0;
};

BOOL WalkSnapshot(HANDLE hSnapshot, LPPROCESSENTRY32W lppe, bool first) {
  auto snapshot = CurrentMachine().handles().GetAs<Snapshot>(hSnapshot);
  if (!snapshot) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lppe || lppe->dwSize < sizeof(PROCESSENTRY32W)) return Fail(ERROR_BAD_LENGTH, FALSE);
  return snapshot->Entry(lppe, first);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD) {
  std::vector<ProcessRecord> processes;
  if (dwFlags & TH32CS_SNAPPROCESS) processes = CurrentMachine().Part<Identity>().Processes();
  return CurrentMachine().handles().Insert(std::make_shared<Snapshot>(std::move(processes)));
}

BOOL WINAPI Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return WalkSnapshot(hSnapshot, lppe, true); }

BOOL WINAPI Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) { return WalkSnapshot(hSnapshot, lppe, false); }

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId) {
  auto record = dwProcessId ? CurrentMachine().Part<Identity>().FindProcess(dwProcessId) : nullptr;
  if (!record) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  return CurrentMachine().handles().Insert(std::make_shared<ProcessObject>(std::move(record), dwDesiredAccess));
}

DWORD WINAPI WTSGetActiveConsoleSessionId(void) { return CurrentMachine().Part<Identity>().ConsoleSession(); }

// This process runs as a service does, in the services' session.
BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
  if (!pSessionId) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwProcessId == GetCurrentProcessId()) return *pSessionId = kServicesSession, TRUE;
  auto record = dwProcessId ? CurrentMachine().Part<Identity>().FindProcess(dwProcessId) : nullptr;
  if (!record) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *pSessionId = record->sessionId;
  return TRUE;
}

BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  if (!nSize) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::wstring name = CurrentMachine().Part<Identity>().ComputerName();
  auto need = static_cast<DWORD>(name.size() + 1);
  if (*nSize < need) {
    *nSize = need;
    return Fail(ERROR_BUFFER_OVERFLOW, FALSE);
  }
  if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::wmemcpy(lpBuffer, name.c_str(), need);
  *nSize = need - 1;
  return TRUE;
}

}  // extern "C"
