// kernel32: disk files. Share modes are kept as byte-range locks on the file
// itself, far past any data, one byte per granted access and per denied
// share, so that they hold between handles of one process and between
// processes that share the machine folder alike.
#include "files_internal.h"
#include "host.h"
#include "../core/paths.h"

#include <winsim/kernel32.h>
#include <winsim/sim/devices.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/machine.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace winsim;

namespace {

constexpr DWORD kReadRights = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA;

// One access kind and the share flag that lets others have it.
struct ShareKind {
  DWORD rights;
  DWORD shareFlag;
  off_t hasSlot;   // locked by every handle that has this access
  off_t denySlot;  // locked by every handle that refuses to share it
};
constexpr off_t kSlotBase = static_cast<off_t>(0x7FFFFFFF00000000LL);
constexpr ShareKind kShareKinds[] = {
    {kReadRights, FILE_SHARE_READ, kSlotBase + 0, kSlotBase + 3},
    {kWriteRights, FILE_SHARE_WRITE, kSlotBase + 1, kSlotBase + 4},
    {DELETE, FILE_SHARE_DELETE, kSlotBase + 2, kSlotBase + 5},
};

DWORD MapGenericAccess(DWORD access) {
  if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= FILE_ALL_ACCESS;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

constexpr DWORD kDataRights = kReadRights | kWriteRights | DELETE;

// Under the gate: would a handle with `access` and `share` conflict with the
// handles already open on the file behind `fd`? A handle without data access
// (attributes only) takes no part in sharing, either way.
bool ShareConflict(int fd, DWORD access, DWORD share) {
  if (!(access & kDataRights)) return false;
  for (const auto& kind : kShareKinds) {
    if ((access & kind.rights) && host::ByteLockedElsewhere(fd, kind.denySlot)) return true;
    if (!(share & kind.shareFlag) && host::ByteLockedElsewhere(fd, kind.hasSlot)) return true;
  }
  return false;
}

void TakeShareLocks(int fd, DWORD access, DWORD share) {
  if (!(access & kDataRights)) return;
  for (const auto& kind : kShareKinds) {
    if (access & kind.rights) host::TryLockByte(fd, kind.hasSlot, false);
    if (!(share & kind.shareFlag)) host::TryLockByte(fd, kind.denySlot, false);
  }
}

bool ReadOnlyOnHost(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

bool AppendsOnly(DWORD access) { return (access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA); }

class DiskFile final : public IoObject {
 public:
  DiskFile(handles::UniqueFd fd, DWORD access, DWORD flags)
      : m_fd(std::move(fd)), m_access(access), m_overlapped((flags & FILE_FLAG_OVERLAPPED) != 0) {}

  int Fd() const { return m_fd.Get(); }
  DWORD Access() const { return m_access; }

  BOOL Read(LPVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) override;
  BOOL Write(LPCVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) override;
  BOOL Flush() override;
  // Moves the file pointer; a target past `limit` fails without moving it.
  DWORD Seek(LONGLONG distance, DWORD method, LONGLONG& position,
             LONGLONG limit = std::numeric_limits<LONGLONG>::max());
  DWORD Size(LONGLONG& size) const;
  // FileDispositionInfo: with `pending` the file's name goes when this
  // handle is closed. Needs DELETE access.
  DWORD SetDeletePending(bool pending);
  void OnHandleClosed() override;

 private:
  BOOL Move(bool write, void* buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped);
  DWORD Transfer(bool write, void* buffer, DWORD length, LONGLONG offset, DWORD& done);
  DWORD Append(const void* buffer, DWORD length, LONGLONG& offset, DWORD& done);
  BOOL Finish(DWORD error, DWORD done, LPDWORD transferred, LPOVERLAPPED overlapped);
  LONGLONG StartOffset(LPOVERLAPPED overlapped, bool write);

  handles::UniqueFd m_fd;
  const DWORD m_access;
  const bool m_overlapped;
  std::mutex m_positionMutex;
  LONGLONG m_position = 0;  // guarded by m_positionMutex
  std::atomic<bool> m_deletePending{false};
};

LONGLONG OffsetOf(LPOVERLAPPED overlapped) {
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
}

DWORD DiskFile::Size(LONGLONG& size) const {
  struct stat st {};
  if (::fstat(m_fd.Get(), &st) != 0) return host::ErrorFromErrno(errno);
  size = st.st_size;
  return ERROR_SUCCESS;
}

// The offset 0xFFFFFFFF:0xFFFFFFFF writes at the end of the file. (A handle
// that may only append writes there anyway: see Append.)
LONGLONG DiskFile::StartOffset(LPOVERLAPPED overlapped, bool write) {
  const bool toEnd = write && overlapped && overlapped->Offset == 0xFFFFFFFFu && overlapped->OffsetHigh == 0xFFFFFFFFu;
  LONGLONG size = 0;
  if (toEnd && Size(size) == ERROR_SUCCESS) return size;
  return overlapped ? OffsetOf(overlapped) : m_position;
}

// A handle that may only append has its host file open with O_APPEND: each
// write goes to the end in one step, as Windows' do. `offset` becomes where
// the block landed.
DWORD DiskFile::Append(const void* buffer, DWORD length, LONGLONG& offset, DWORD& done) {
  done = 0;
  ssize_t n;
  while ((n = ::write(m_fd.Get(), buffer, length)) < 0 && errno == EINTR) {
  }
  if (n < 0) return host::ErrorFromErrno(errno);
  done = static_cast<DWORD>(n);
  const off_t end = ::lseek(m_fd.Get(), 0, SEEK_CUR);
  offset = end >= n ? end - n : 0;
  return ERROR_SUCCESS;
}

DWORD DiskFile::Transfer(bool write, void* buffer, DWORD length, LONGLONG offset, DWORD& done) {
  done = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t n = write ? ::pwrite(m_fd.Get(), bytes + done, length - done, offset + done)
                      : ::pread(m_fd.Get(), bytes + done, length - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return host::ErrorFromErrno(errno);
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  return ERROR_SUCCESS;
}

BOOL DiskFile::Finish(DWORD error, DWORD done, LPDWORD transferred, LPOVERLAPPED overlapped) {
  if (transferred) *transferred = done;
  if (overlapped) {
    OverlappedBegin(overlapped);
    OverlappedComplete(overlapped, error, done);
  }
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  return TRUE;
}

// Synchronous reads at the end succeed with no data; reads that carry an
// OVERLAPPED report the end as an error.
BOOL DiskFile::Move(bool write, void* buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) {
  if (!(m_access & (write ? kWriteRights : kReadRights))) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (m_overlapped && !overlapped) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!buffer && length) return Fail(ERROR_NOACCESS, FALSE);
  std::lock_guard lock(m_positionMutex);
  LONGLONG offset = StartOffset(overlapped, write);
  DWORD done = 0;
  DWORD error = write && AppendsOnly(m_access) ? Append(buffer, length, offset, done)
                : offset < 0                  ? ERROR_INVALID_PARAMETER
                                              : Transfer(write, buffer, length, offset, done);
  if (!m_overlapped && error == ERROR_SUCCESS) m_position = offset + done;
  if (!write && error == ERROR_SUCCESS && overlapped && length > 0 && done == 0) error = ERROR_HANDLE_EOF;
  return Finish(error, done, transferred, overlapped);
}

BOOL DiskFile::Read(LPVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) {
  return Move(false, buffer, length, transferred, overlapped);
}

BOOL DiskFile::Write(LPCVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) {
  return Move(true, const_cast<void*>(buffer), length, transferred, overlapped);
}

BOOL DiskFile::Flush() {
  if (!(m_access & kWriteRights)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (::fsync(m_fd.Get()) != 0) return Fail(host::ErrorFromErrno(errno), FALSE);
  return TRUE;
}

DWORD DiskFile::Seek(LONGLONG distance, DWORD method, LONGLONG& position, LONGLONG limit) {
  std::lock_guard lock(m_positionMutex);
  LONGLONG base = 0;
  if (method == FILE_CURRENT) {
    base = m_position;
  } else if (method == FILE_END) {
    if (DWORD error = Size(base)) return error;
  } else if (method != FILE_BEGIN) {
    return ERROR_INVALID_PARAMETER;
  }
  LONGLONG target;
  if (__builtin_add_overflow(base, distance, &target)) return ERROR_INVALID_PARAMETER;
  if (target < 0) return ERROR_NEGATIVE_SEEK;
  if (target > limit) return ERROR_INVALID_PARAMETER;
  m_position = position = target;
  return ERROR_SUCCESS;
}

DWORD DiskFile::SetDeletePending(bool pending) {
  if (!(m_access & DELETE)) return ERROR_ACCESS_DENIED;
  m_deletePending = pending;
  return ERROR_SUCCESS;
}

// The name that this handle's file has now goes, unless another file has
// taken that name meanwhile.
void DiskFile::OnHandleClosed() {
  if (!m_deletePending) return;
  std::string name;
  if (!files::HostNameOf(m_fd.Get(), name)) return;
  host::Gate::Hold gate(CurrentMachine().Part<host::Gate>());
  struct stat mine {}, named {};
  if (::fstat(m_fd.Get(), &mine) != 0 || ::lstat(name.c_str(), &named) != 0) return;
  if (mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) ::unlink(name.c_str());
}

std::shared_ptr<DiskFile> FileOf(HANDLE handle) { return CurrentMachine().handles().GetAs<DiskFile>(handle); }

}  // namespace

namespace winsim::files {

std::shared_ptr<const void> HostFileOf(HANDLE handle, int& fd, DWORD* access) {
  auto file = FileOf(handle);
  fd = file ? file->Fd() : -1;
  if (access) *access = file ? file->Access() : 0;
  return file;
}

}  // namespace winsim::files

namespace {

// --- CreateFileW ---------------------------------------------------------

struct OpenRequest {
  DWORD access;  // generic rights mapped
  DWORD share;
  DWORD disposition;
  DWORD flags;
};

DWORD CheckDisposition(const paths::Resolved& path, const OpenRequest& request) {
  if (!path.parentExists) return ERROR_PATH_NOT_FOUND;
  if (path.exists && request.disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  if (path.isDirectory || path.isRoot) return ERROR_ACCESS_DENIED;
  if (path.trailingSeparator) return ERROR_INVALID_NAME;
  if (!path.exists && (request.disposition == OPEN_EXISTING || request.disposition == TRUNCATE_EXISTING))
    return ERROR_FILE_NOT_FOUND;
  return ERROR_SUCCESS;
}

// Opens the host file read-write whatever the requested access (the handle
// enforces the access; the share locks need a readable descriptor).
// `created` comes from O_EXCL, so a file that another process made since the
// name was resolved is opened, and share-checked, as an existing one.
// A final symbolic link (the machine's reparse point) is followed, as Windows
// follows one, unless FILE_FLAG_OPEN_REPARSE_POINT asks for the link itself:
// then the handle stands for the link and moves no data.
bool OpensLink(const OpenRequest& request) { return (request.flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0; }
int FollowFlag(const OpenRequest& request) { return OpensLink(request) ? O_NOFOLLOW : 0; }

handles::UniqueFd OpenExisting(const paths::Resolved& path, const OpenRequest& request) {
  handles::UniqueFd fd(::open(path.host.c_str(), O_RDWR | O_CLOEXEC | FollowFlag(request)));
  if (!fd.Valid() && errno == EACCES && !(request.access & (kWriteRights | DELETE)))
    fd = handles::UniqueFd(::open(path.host.c_str(), O_RDONLY | O_CLOEXEC | FollowFlag(request)));
  if (!fd.Valid() && errno == ELOOP && OpensLink(request))
    fd = handles::UniqueFd(::open(path.host.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW));
  return fd;
}

bool IsLinkFd(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode);
}

DWORD OpenHost(const paths::Resolved& path, const OpenRequest& request, handles::UniqueFd& fd, bool& created) {
  const bool mayCreate = request.disposition != OPEN_EXISTING && request.disposition != TRUNCATE_EXISTING;
  const mode_t mode = (request.flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  created = false;
  if (mayCreate) {
    // O_EXCL never follows a final link: an existing link is opened below.
    fd = handles::UniqueFd(::open(path.host.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, mode));
    created = fd.Valid();
    if (!fd.Valid() && errno == EEXIST && request.disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
    if (!fd.Valid() && errno != EEXIST) return host::ErrorFromErrno(errno);
  }
  if (!created) fd = OpenExisting(path, request);
  if (!fd.Valid()) return errno == ELOOP ? ERROR_ACCESS_DENIED : host::ErrorFromErrno(errno);
  struct stat st {};
  if (::fstat(fd.Get(), &st) == 0 && S_ISLNK(st.st_mode)) return ERROR_SUCCESS;  // the link itself
  if (::fstat(fd.Get(), &st) == 0 && !S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (!created && ReadOnlyOnHost(st) && (request.access & (kWriteRights | DELETE))) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

bool Truncates(DWORD disposition) { return disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING; }

DWORD OpenDiskFile(const paths::Resolved& path, const OpenRequest& request, handles::UniqueFd& fd, bool& existed) {
  if (DWORD error = CheckDisposition(path, request)) return error;
  host::Gate::Hold gate(CurrentMachine().Part<host::Gate>());
  bool created = false;
  if (DWORD error = OpenHost(path, request, fd, created)) return error;
  existed = !created;
  if (IsLinkFd(fd.Get())) return ERROR_SUCCESS;  // a link's handle takes no part in sharing
  if (!created && ShareConflict(fd.Get(), request.access, request.share)) return ERROR_SHARING_VIOLATION;
  if (!created && Truncates(request.disposition) && ::ftruncate(fd.Get(), 0) != 0)
    return host::ErrorFromErrno(errno);
  TakeShareLocks(fd.Get(), request.access, request.share);
  // Each write of a handle that may only append lands at the end as it is
  // then, also when other handles or processes append at the same time.
  if (AppendsOnly(request.access) && ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) | O_APPEND) != 0)
    return host::ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

HANDLE OpenDevice(const wchar_t* name, DWORD access, DWORD share, DWORD flags) {
  DWORD error = ERROR_SUCCESS;
  auto device = CurrentMachine().Part<DeviceNamespace>().Open(name, access, share, flags, error);
  if (!device) return Fail(error ? error : ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  HANDLE handle = CurrentMachine().handles().Insert(std::move(device));
  SetLastErrorCode(ERROR_SUCCESS);
  return handle;
}

// "\\?\C:\..." is a file name in the Win32 file namespace, not a device.
bool IsDeviceName(const wchar_t* name) {
  std::wstring path(name);
  if (!DeviceNamespace::IsDevicePath(path)) return false;
  return !(path.size() >= 6 && path[5] == L':' && (path.size() == 6 || path[6] == L'\\' || path[6] == L'/'));
}

DWORD ResolveExisting(LPCWSTR name, paths::Resolved& path) {
  if (DWORD error = paths::Resolve(CurrentMachine(), name, path)) return error;
  if (!path.exists) return paths::MissingError(path);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (dwShareMode & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (lpFileName && IsDeviceName(lpFileName))
    return OpenDevice(lpFileName, dwDesiredAccess, dwShareMode, dwFlagsAndAttributes);
  if (DWORD error = Faults::Take(FaultPoint::kCreateFile, lpFileName ? lpFileName : L""))
    return Fail(error, INVALID_HANDLE_VALUE);
  // kernel32 asks for these two with every open of a file, whatever the caller asked.
  const DWORD access = MapGenericAccess(dwDesiredAccess) | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
  const OpenRequest request{access, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes};
  paths::Resolved path;
  if (DWORD error = paths::Resolve(CurrentMachine(), lpFileName, path)) return Fail(error, INVALID_HANDLE_VALUE);
  handles::UniqueFd fd;
  bool existed = false;
  if (DWORD error = OpenDiskFile(path, request, fd, existed)) return Fail(error, INVALID_HANDLE_VALUE);
  HANDLE handle = CurrentMachine().handles().Insert(
      std::make_shared<DiskFile>(std::move(fd), request.access, dwFlagsAndAttributes));
  const bool reportsExisting = dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS;
  SetLastErrorCode(existed && reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                       LPVOID lpFileInformation, DWORD dwBufferSize) {
  auto file = FileOf(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (FileInformationClass != FileDispositionInfo) return Fail(ERROR_NOT_SUPPORTED, FALSE);
  if (!lpFileInformation || dwBufferSize < sizeof(FILE_DISPOSITION_INFO)) return Fail(ERROR_BAD_LENGTH, FALSE);
  const auto* disposition = static_cast<const FILE_DISPOSITION_INFO*>(lpFileInformation);
  if (DWORD error = file->SetDeletePending(disposition->DeleteFile != FALSE)) return Fail(error, FALSE);
  return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
  auto file = FileOf(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE, FALSE);
  LONGLONG position = 0;
  if (DWORD error = file->Seek(liDistanceToMove.QuadPart, dwMoveMethod, position)) return Fail(error, FALSE);
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = position;
  return TRUE;
}

// Without a high part the distance is a signed 32-bit value and the result
// must fit 32 bits; a result whose low part is INVALID_SET_FILE_POINTER
// clears the last error so that callers can tell it from a failure.
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  auto file = FileOf(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  LONGLONG distance = lDistanceToMove;
  if (lpDistanceToMoveHigh)
    distance = static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                                     static_cast<DWORD>(lDistanceToMove));
  const LONGLONG limit = lpDistanceToMoveHigh ? std::numeric_limits<LONGLONG>::max() : 0xFFFFFFFFLL;
  LONGLONG position = 0;
  if (DWORD error = file->Seek(distance, dwMoveMethod, position, limit)) return Fail(error, INVALID_SET_FILE_POINTER);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<ULONGLONG>(position) >> 32);
  const DWORD low = static_cast<DWORD>(position);
  if (low == INVALID_SET_FILE_POINTER) SetLastErrorCode(ERROR_SUCCESS);
  return low;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  auto file = FileOf(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpFileSize) return Fail(ERROR_NOACCESS, FALSE);
  LONGLONG size = 0;
  if (DWORD error = file->Size(size)) return Fail(error, FALSE);
  lpFileSize->QuadPart = size;
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  paths::Resolved path;
  if (DWORD error = ResolveExisting(lpFileName, path)) return Fail(error, INVALID_FILE_ATTRIBUTES);
  if (path.trailingSeparator && !path.isDirectory) return Fail(ERROR_INVALID_NAME, INVALID_FILE_ATTRIBUTES);
  struct stat st {};
  if (::stat(path.host.c_str(), &st) != 0) return Fail(host::ErrorFromErrno(errno), INVALID_FILE_ATTRIBUTES);
  // The name itself may be a link: then its own attributes, not its target's.
  struct stat own {};
  return files::AttributesOf(::lstat(path.host.c_str(), &own) == 0 ? own : st, S_ISDIR(st.st_mode));
}

// DeleteFileW opens the file for DELETE with full sharing: a handle that does
// not share delete access makes it fail. The name goes at once (the POSIX
// semantics current Windows versions use), open handles keep the data.
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  paths::Resolved path;
  if (DWORD error = ResolveExisting(lpFileName, path)) return Fail(error, FALSE);
  if (path.isDirectory) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (path.trailingSeparator) return Fail(ERROR_INVALID_NAME, FALSE);
  host::Gate::Hold gate(CurrentMachine().Part<host::Gate>());
  handles::UniqueFd fd(::open(path.host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (fd.Valid() && ::fstat(fd.Get(), &st) == 0) {
    if (ReadOnlyOnHost(st)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (ShareConflict(fd.Get(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
      return Fail(ERROR_SHARING_VIOLATION, FALSE);
  }
  if (::unlink(path.host.c_str()) != 0) return Fail(host::ErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  paths::Resolved path;
  if (DWORD error = paths::Resolve(CurrentMachine(), lpPathName, path)) return Fail(error, FALSE);
  if (path.isRoot) return Fail(path.exists ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND, FALSE);
  if (path.exists) return Fail(ERROR_ALREADY_EXISTS, FALSE);
  if (!path.parentExists) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (::mkdir(path.host.c_str(), 0777) != 0)
    return Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : host::ErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  paths::Resolved path;
  if (DWORD error = ResolveExisting(lpPathName, path)) return Fail(error, FALSE);
  if (path.isRoot) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!path.isDirectory) return Fail(ERROR_DIRECTORY, FALSE);
  struct stat own {};
  const bool link = ::lstat(path.host.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
  if ((link ? ::unlink(path.host.c_str()) : ::rmdir(path.host.c_str())) != 0)
    return Fail(host::ErrorFromErrno(errno), FALSE);
  return TRUE;
}

}  // extern "C"
