// kernel32: what a handle says about the file behind it (attributes, link
// count, final name), and the links themselves. A host symbolic link is the
// machine's reparse point; a host hard link is an NTFS hard link.
#include "files_internal.h"
#include "host.h"
#include "../core/paths.h"

#include <winsim/kernel32.h>
#include <winsim/sim/files.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/text.h>

#include <cerrno>
#include <climits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace winsim;

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

FILETIME winsim::files::FileTimeOf(const struct timespec& time) {
  const uint64_t ticks = kUnixEpochAsFileTime + static_cast<uint64_t>(time.tv_sec) * 10000000ULL +
                         static_cast<uint64_t>(time.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

DWORD winsim::files::AttributesOf(const struct stat& own, bool linkToFolder) {
  if (S_ISLNK(own.st_mode))
    return FILE_ATTRIBUTE_REPARSE_POINT | (linkToFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
  DWORD attributes = S_ISDIR(own.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if ((own.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

bool winsim::files::HostNameOf(int fd, std::string& name) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink(proc.c_str(), buffer, sizeof(buffer));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) return false;
  name.assign(buffer, static_cast<size_t>(length));
  return true;
}

namespace {

using files::FileTimeOf;
using files::HostNameOf;

// A link's handle: the link's own attributes, a folder link marked as a folder.
DWORD AttributesOf(const struct stat& st, int fd) {
  std::string name;
  struct stat target {};
  const bool toFolder = S_ISLNK(st.st_mode) && HostNameOf(fd, name) && ::stat(name.c_str(), &target) == 0 &&
                        S_ISDIR(target.st_mode);
  return files::AttributesOf(st, toFolder);
}

// The name GetFinalPathNameByHandleW gives for `flags`, or an error code.
DWORD FinalName(int fd, DWORD flags, std::wstring& name) {
  if (flags & ~(VOLUME_NAME_GUID | VOLUME_NAME_NT | VOLUME_NAME_NONE | FILE_NAME_OPENED)) return ERROR_INVALID_PARAMETER;
  const DWORD volume = flags & (VOLUME_NAME_GUID | VOLUME_NAME_NT | VOLUME_NAME_NONE);
  if (volume != VOLUME_NAME_DOS && volume != VOLUME_NAME_NONE) return ERROR_NOT_SUPPORTED;
  std::string host;
  if (!HostNameOf(fd, host)) return ERROR_INVALID_HANDLE;
  // The folder's name resolved, the last name as it is: it may be the link itself.
  const std::filesystem::path hostPath(host);
  std::wstring windows = WindowsPathOf(hostPath.parent_path());  // "C:\..." or "Z:\..."
  if (windows.empty() || windows.back() != L'\\') windows += L'\\';
  windows += WideFromUtf8(hostPath.filename().string());
  name = volume == VOLUME_NAME_NONE ? windows.substr(2) : L"\\\\?\\" + windows;
  return ERROR_SUCCESS;
}

// Windows names a relative link target from the link's folder, as the host does.
DWORD HostTargetOf(LPCWSTR target, std::string& host) {
  std::wstring text(target);
  const bool absolute = (text.size() >= 2 && text[1] == L':') || (!text.empty() && (text[0] == L'\\' || text[0] == L'/'));
  if (!absolute) {
    for (auto& c : text)
      if (c == L'\\') c = L'/';
    host = Utf8FromWide(text);
    return ERROR_SUCCESS;
  }
  paths::Resolved resolved;
  if (DWORD error = paths::Resolve(CurrentMachine(), target, resolved)) return error;
  host = resolved.host.string();
  return ERROR_SUCCESS;
}

DWORD NewName(LPCWSTR name, paths::Resolved& path) {
  if (DWORD error = paths::Resolve(CurrentMachine(), name, path)) return error;
  if (!path.parentExists) return ERROR_PATH_NOT_FOUND;
  struct stat own {};
  if (path.exists || ::lstat(path.host.c_str(), &own) == 0) return ERROR_ALREADY_EXISTS;
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

// Needs FILE_READ_ATTRIBUTES, which every CreateFileW handle has.
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  int fd = -1;
  DWORD access = 0;
  auto owner = files::HostFileOf(hFile, fd, &access);
  if (!owner) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(access & FILE_READ_ATTRIBUTES)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!lpFileInformation) return Fail(ERROR_NOACCESS, FALSE);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Fail(host::ErrorFromErrno(errno), FALSE);
  BY_HANDLE_FILE_INFORMATION info{};
  info.dwFileAttributes = AttributesOf(st, fd);
  info.ftCreationTime = FileTimeOf(st.st_ctim);
  info.ftLastAccessTime = FileTimeOf(st.st_atim);
  info.ftLastWriteTime = FileTimeOf(st.st_mtim);
  info.dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
  const uint64_t size = S_ISLNK(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info.nFileSizeLow = static_cast<DWORD>(size);
  info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info.nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
  info.nFileIndexLow = static_cast<DWORD>(st.st_ino);
  *lpFileInformation = info;
  return TRUE;
}

// A buffer too small gets nothing; the result is then the size it needs,
// terminator included.
DWORD WINAPI GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags) {
  int fd = -1;
  auto owner = files::HostFileOf(hFile, fd);
  if (!owner) return Fail(ERROR_INVALID_HANDLE, DWORD{0});
  std::wstring name;
  if (DWORD error = FinalName(fd, dwFlags, name)) return Fail(error, DWORD{0});
  const DWORD length = static_cast<DWORD>(name.size());
  if (!lpszFilePath || cchFilePath <= length) return length + 1;
  name.copy(lpszFilePath, name.size());
  lpszFilePath[length] = L'\0';
  return length;
}

BOOLEAN WINAPI CreateSymbolicLinkW(LPCWSTR lpSymlinkFileName, LPCWSTR lpTargetFileName, DWORD dwFlags) {
  if (!lpSymlinkFileName || !lpTargetFileName || !*lpTargetFileName) return Fail(ERROR_INVALID_PARAMETER, BOOLEAN{0});
  if (dwFlags & ~(SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
    return Fail(ERROR_INVALID_PARAMETER, BOOLEAN{0});
  paths::Resolved link;
  if (DWORD error = NewName(lpSymlinkFileName, link)) return Fail(error, BOOLEAN{0});
  std::string target;
  if (DWORD error = HostTargetOf(lpTargetFileName, target)) return Fail(error, BOOLEAN{0});
  if (::symlink(target.c_str(), link.host.c_str()) != 0) return Fail(host::ErrorFromErrno(errno), BOOLEAN{0});
  return TRUE;
}

BOOL WINAPI CreateHardLinkW(LPCWSTR lpFileName, LPCWSTR lpExistingFileName, LPSECURITY_ATTRIBUTES) {
  if (!lpFileName || !lpExistingFileName) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  paths::Resolved existing;
  if (DWORD error = paths::Resolve(CurrentMachine(), lpExistingFileName, existing)) return Fail(error, FALSE);
  if (!existing.exists) return Fail(paths::MissingError(existing), FALSE);
  if (existing.isDirectory) return Fail(ERROR_ACCESS_DENIED, FALSE);
  paths::Resolved link;
  if (DWORD error = NewName(lpFileName, link)) return Fail(error, FALSE);
  if (::link(existing.host.c_str(), link.host.c_str()) != 0) return Fail(host::ErrorFromErrno(errno), FALSE);
  return TRUE;
}

}  // extern "C"
