// kernel32: mutexes. A named mutex is one lock file under the machine's
// objects folder, shared by every process on the machine folder:
//   - an exclusive lock on kOwnerSlot is held by the process whose thread owns it;
//   - a shared lock on kPresenceSlot by every process that has it open (so a
//     creator can tell whether the object already exists elsewhere);
//   - byte 0 holds 1 while owned, so that the next owner can tell that the
//     last one ended without releasing it (abandonment).
// Within the process, ownership by thread and recursion are kept in the object.
#include "codepage.h"
#include "host.h"

#include <winsim/kernel32.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/faults.h>

#include <cstdio>
#include <cwctype>
#include <fcntl.h>
#include <map>
#include <unistd.h>
#include <vector>

using namespace winsim;

namespace {

constexpr off_t kStateByte = 0;
constexpr off_t kOwnerSlot = 0x1000;
constexpr off_t kPresenceSlot = 0x1001;
// How often a waiter looks at a mutex that another process may release.
constexpr std::chrono::microseconds kCrossProcessPoll{500};

class Mutex;
void NoteOwned(const std::shared_ptr<Mutex>& mutex, DWORD tid);
void NoteReleased(const Mutex* mutex, DWORD tid);

class Mutex final : public KernelObject, public std::enable_shared_from_this<Mutex> {
 public:
  Mutex() = default;
  explicit Mutex(handles::UniqueFd file) : m_file(std::move(file)) {}

  bool Waitable() const override { return true; }
  bool Signaled(DWORD tid) const override;
  DWORD Acquire(DWORD tid) override;
  std::optional<std::chrono::microseconds> PollInterval() const override;
  void BeforeWait() override;
  // Kernel lock held by the callers of these two.
  DWORD Release(DWORD tid);
  void Abandon(DWORD tid);

 private:
  bool Named() const { return m_file.Valid(); }
  void SetStateByte(char value) { (void)::pwrite(m_file.Get(), &value, 1, kStateByte); }
  bool StateByteSet() const {
    char value = 0;
    return ::pread(m_file.Get(), &value, 1, kStateByte) == 1 && value == 1;
  }
  void DropFileLock();

  DWORD m_owner = 0;  // the owning thread; guarded by KernelLock() as the rest
  LONG m_count = 0;
  bool m_abandoned = false;  // unnamed mutexes only
  handles::UniqueFd m_file;
  mutable bool m_fileLocked = false;
};

bool Mutex::Signaled(DWORD tid) const {
  if (m_owner == tid) return true;
  if (m_owner != 0) return false;
  if (!Named() || m_fileLocked) return true;
  // Taken here already (Acquire follows when the wait is satisfied), so that
  // another process cannot slip in between.
  m_fileLocked = host::TryLockByte(m_file.Get(), kOwnerSlot, true);
  return m_fileLocked;
}

DWORD Mutex::Acquire(DWORD tid) {
  if (m_owner == tid) {
    ++m_count;
    return WAIT_OBJECT_0;
  }
  bool abandoned = m_abandoned;
  m_abandoned = false;
  if (Named()) {
    abandoned = StateByteSet();
    SetStateByte(1);
  }
  m_owner = tid;
  m_count = 1;
  NoteOwned(shared_from_this(), tid);
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// Owned by a thread of this process, the mutex is released with a notification.
std::optional<std::chrono::microseconds> Mutex::PollInterval() const {
  if (!Named() || m_owner != 0) return std::nullopt;
  return kCrossProcessPoll;
}

void Mutex::DropFileLock() {
  host::UnlockByte(m_file.Get(), kOwnerSlot);
  m_fileLocked = false;
}

DWORD Mutex::Release(DWORD tid) {
  if (m_owner != tid || m_count == 0) return ERROR_NOT_OWNER;
  if (--m_count > 0) return ERROR_SUCCESS;
  m_owner = 0;
  if (Named()) {
    SetStateByte(0);
    DropFileLock();
  }
  NoteReleased(this, tid);
  return ERROR_SUCCESS;
}

// The owning thread ended without releasing: the next owner learns of it.
void Mutex::Abandon(DWORD tid) {
  if (m_owner != tid) return;
  m_owner = 0;
  m_count = 0;
  if (Named())
    DropFileLock();  // the state byte stays set
  else
    m_abandoned = true;
}

// The mutexes each thread owns (kernel lock held). A wait may be satisfied on
// another thread's behalf (a release hands the mutex to the longest waiter),
// so the list is kept by thread id rather than in the owner's own storage.
std::map<DWORD, std::vector<std::shared_ptr<Mutex>>>& OwnedByThread() {
  static std::map<DWORD, std::vector<std::shared_ptr<Mutex>>> owned;
  return owned;
}

// Abandons what the thread still owns when it ends.
struct ThreadEnd {
  DWORD tid = 0;
  ~ThreadEnd() {
    if (tid == 0) return;
    {
      std::lock_guard lock(KernelLock());
      auto it = OwnedByThread().find(tid);
      if (it == OwnedByThread().end()) return;
      for (auto& mutex : it->second) mutex->Abandon(tid);
      OwnedByThread().erase(it);
    }
    NotifyWaiters();
  }
};
thread_local ThreadEnd t_end;

void NoteOwned(const std::shared_ptr<Mutex>& mutex, DWORD tid) { OwnedByThread()[tid].push_back(mutex); }

void Mutex::BeforeWait() { t_end.tid = CurrentThreadId(); }

void NoteReleased(const Mutex* mutex, DWORD tid) {
  auto it = OwnedByThread().find(tid);
  if (it == OwnedByThread().end()) return;
  auto& list = it->second;
  for (auto each = list.begin(); each != list.end(); ++each)
    if (each->get() == mutex) {
      list.erase(each);
      break;
    }
  if (list.empty()) OwnedByThread().erase(it);
}

// --- Names -----------------------------------------------------------------

// Local\ and Global\ are separate namespaces; a name without prefix is local.
// The prefixes are matched without regard to case, the names themselves with it.
DWORD ObjectKey(const std::wstring& name, std::wstring& key) {
  std::wstring rest = name;
  std::wstring space = L"local";
  auto slash = name.find(L'\\');
  if (slash != std::wstring::npos) {
    std::wstring prefix = name.substr(0, slash);
    for (auto& c : prefix) c = static_cast<wchar_t>(std::towlower(c));
    if (prefix != L"local" && prefix != L"global") return ERROR_PATH_NOT_FOUND;
    space = prefix;
    rest = name.substr(slash + 1);
    if (rest.find(L'\\') != std::wstring::npos) return ERROR_PATH_NOT_FOUND;
  }
  if (name.size() > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  key = space + L"\\" + rest;
  return ERROR_SUCCESS;
}

// A host file name for a key: safe characters as they are, others as %XXXX;
// long names end in a hash of the whole.
std::string LockFileName(const std::wstring& key) {
  std::string name;
  uint64_t hash = 1469598103934665603ull;
  for (wchar_t c : key) {
    hash = (hash ^ static_cast<uint32_t>(c)) * 1099511628211ull;
    if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' || c == L'_' ||
        c == L'-') {
      name.push_back(static_cast<char>(c));
    } else {
      char escaped[12];
      std::snprintf(escaped, sizeof escaped, "%%%X;", static_cast<unsigned>(c));
      name += escaped;
    }
  }
  if (name.size() > 180) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    name = name.substr(0, 160) + suffix;
  }
  return name + ".mutex";
}

class NamedMutexes : public MachinePart {
 public:
  explicit NamedMutexes(Machine& machine) : m_machine(machine) {
    std::error_code ec;
    std::filesystem::create_directories(Folder(), ec);
  }
  // Creates or opens; `existed` tells which. With `create` false a missing
  // name is ERROR_FILE_NOT_FOUND.
  std::shared_ptr<Mutex> Get(const std::wstring& key, bool create, bool& existed, DWORD& error);

 private:
  std::filesystem::path Folder() const { return host::ObjectsDir(m_machine) / "mutex"; }
  std::shared_ptr<Mutex> OpenShared(const std::wstring& key, bool create, bool& existed, DWORD& error);

  Machine& m_machine;
  std::mutex m_mutex;
  std::map<std::wstring, std::weak_ptr<Mutex>> m_byKey;
};

std::shared_ptr<Mutex> NamedMutexes::OpenShared(const std::wstring& key, bool create, bool& existed, DWORD& error) {
  const auto path = Folder() / LockFileName(key);
  handles::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666));
  if (!fd.Valid()) {
    error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : host::ErrorFromErrno(errno);
    return nullptr;
  }
  existed = host::ByteLockedElsewhere(fd.Get(), kPresenceSlot);
  if (!existed && !create) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  // A lock file left by processes that have all ended describes no object.
  if (!existed) (void)::pwrite(fd.Get(), "\0", 1, kStateByte);
  host::TryLockByte(fd.Get(), kPresenceSlot, false);
  return std::make_shared<Mutex>(std::move(fd));
}

std::shared_ptr<Mutex> NamedMutexes::Get(const std::wstring& key, bool create, bool& existed, DWORD& error) {
  std::lock_guard lock(m_mutex);
  if (auto it = m_byKey.find(key); it != m_byKey.end())
    if (auto mutex = it->second.lock()) {
      existed = true;
      return mutex;
    }
  host::Gate::Hold gate(m_machine.Part<host::Gate>());
  auto mutex = OpenShared(key, create, existed, error);
  if (mutex) m_byKey[key] = mutex;
  return mutex;
}

// Takes a mutex that nobody can hold yet (just created).
void TakeNew(Mutex& mutex) {
  mutex.BeforeWait();
  const DWORD tid = CurrentThreadId();
  std::lock_guard lock(KernelLock());
  if (mutex.Signaled(tid)) mutex.Acquire(tid);
}

HANDLE CreateMutexByName(BOOL initialOwner, const wchar_t* name) {
  std::shared_ptr<Mutex> mutex;
  bool existed = false;
  if (!name || !*name) {
    mutex = std::make_shared<Mutex>();
  } else {
    std::wstring key;
    DWORD error = ObjectKey(name, key);
    if (error == ERROR_SUCCESS) mutex = CurrentMachine().Part<NamedMutexes>().Get(key, true, existed, error);
    if (!mutex) return Fail(error, static_cast<HANDLE>(nullptr));
  }
  if (initialOwner && !existed) TakeNew(*mutex);
  HANDLE handle = CurrentMachine().handles().Insert(mutex);
  SetLastErrorCode(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  if (DWORD error = Faults::Take(FaultPoint::kCreateMutex, lpName ? lpName : L""))
    return Fail(error, static_cast<HANDLE>(nullptr));
  return CreateMutexByName(bInitialOwner, lpName);
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
  const std::wstring name = lpName ? codepage::WideFromAnsi(lpName) : std::wstring();
  if (DWORD error = Faults::Take(FaultPoint::kCreateMutex, name)) return Fail(error, static_cast<HANDLE>(nullptr));
  return CreateMutexByName(bInitialOwner, lpName ? name.c_str() : nullptr);
}

HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR lpName) {
  if (!lpName) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  std::wstring key;
  if (DWORD error = ObjectKey(lpName, key)) return Fail(error, static_cast<HANDLE>(nullptr));
  bool existed = false;
  DWORD error = ERROR_FILE_NOT_FOUND;
  auto mutex = CurrentMachine().Part<NamedMutexes>().Get(key, false, existed, error);
  if (!mutex) return Fail(error, static_cast<HANDLE>(nullptr));
  return CurrentMachine().handles().Insert(mutex);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  auto mutex = CurrentMachine().handles().GetAs<Mutex>(hMutex);
  if (!mutex) return Fail(ERROR_INVALID_HANDLE, FALSE);
  DWORD error;
  {
    // The release and the hand-over to a waiting thread are one step.
    std::lock_guard lock(KernelLock());
    error = mutex->Release(CurrentThreadId());
    if (error == ERROR_SUCCESS) NotifyWaitersLocked();
  }
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  return TRUE;
}

}  // extern "C"
