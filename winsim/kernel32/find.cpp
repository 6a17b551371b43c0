// kernel32: FindFirstFileW / FindNextFileW / FindClose. The pattern's folder
// is resolved as any file name; its last part may hold the wildcards '*' and
// '?', matched without regard to case. The entries are read when the search
// starts (Windows reads them as it goes; a search that outlives changes to
// its folder may show either). A link's entry is the link's own: its
// attributes carry FILE_ATTRIBUTE_REPARSE_POINT and its size is 0.
#include "files_internal.h"
#include "host.h"
#include "../core/paths.h"

#include <winsim/kernel32.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/text.h>

#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

using namespace winsim;

namespace {

using files::FileTimeOf;

// Wildcards: '*' any run of characters, '?' any one. After a mismatch the
// last '*' takes one more character, so a pattern costs at most its length
// times the name's.
bool Matches(const wchar_t* pattern, const wchar_t* name) {
  const wchar_t* star = nullptr;
  const wchar_t* resume = nullptr;
  while (*name != L'\0') {
    if (*pattern == L'*') {
      star = pattern++;
      resume = name;
    } else if (*pattern != L'\0' && (*pattern == L'?' || paths::FoldCase(*pattern) == paths::FoldCase(*name))) {
      ++pattern;
      ++name;
    } else if (star) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == L'*') ++pattern;
  return *pattern == L'\0';
}

bool FindData(const std::filesystem::path& hostPath, const std::wstring& name, WIN32_FIND_DATAW& data) {
  struct stat own {};
  if (::lstat(hostPath.c_str(), &own) != 0 || name.size() >= MAX_PATH) return false;
  data = WIN32_FIND_DATAW{};
  struct stat target {};
  const bool linkToFolder =
      S_ISLNK(own.st_mode) && ::stat(hostPath.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  data.dwFileAttributes = files::AttributesOf(own, linkToFolder);
  const uint64_t size = S_ISREG(own.st_mode) ? static_cast<uint64_t>(own.st_size) : 0;
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size);
  data.ftCreationTime = FileTimeOf(own.st_ctim);
  data.ftLastAccessTime = FileTimeOf(own.st_atim);
  data.ftLastWriteTime = FileTimeOf(own.st_mtim);
  std::memcpy(data.cFileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  return true;
}

class FindHandle final : public KernelObject {
 public:
  explicit FindHandle(std::vector<WIN32_FIND_DATAW> entries) : m_entries(std::move(entries)) {}
  bool Next(WIN32_FIND_DATAW& data) {
    std::lock_guard lock(m_mutex);
    if (m_next >= m_entries.size()) return false;
    data = m_entries[m_next++];
    return true;
  }

 private:
  std::mutex m_mutex;
  const std::vector<WIN32_FIND_DATAW> m_entries;
  size_t m_next = 0;
};

// The folder part and the pattern of a search name.
DWORD SplitPattern(const std::wstring& name, paths::Resolved& folder, std::wstring& pattern) {
  const size_t slash = name.find_last_of(L"\\/");
  pattern = slash == std::wstring::npos ? name : name.substr(slash + 1);
  const std::wstring folderName = slash == std::wstring::npos ? L"." : name.substr(0, slash + 1);
  if (pattern.empty()) return ERROR_FILE_NOT_FOUND;
  if (DWORD error = paths::Resolve(CurrentMachine(), folderName.c_str(), folder)) return error;
  if (!folder.exists || !folder.isDirectory) return ERROR_PATH_NOT_FOUND;
  return ERROR_SUCCESS;
}

std::vector<WIN32_FIND_DATAW> ListMatches(const paths::Resolved& folder, const std::wstring& pattern) {
  std::vector<WIN32_FIND_DATAW> entries;
  WIN32_FIND_DATAW data;
  if (!folder.isRoot)
    for (const wchar_t* dots : {L".", L".."})
      if (Matches(pattern.c_str(), dots) && FindData(folder.host / Utf8FromWide(dots), dots, data)) entries.push_back(data);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder.host, ec)) {
    const std::wstring name = WideFromUtf8(entry.path().filename().string());
    if (Matches(pattern.c_str(), name.c_str()) && FindData(entry.path(), name, data)) entries.push_back(data);
  }
  return entries;
}

}  // namespace

extern "C" {

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  if (!lpFileName || !lpFindFileData) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  paths::Resolved folder;
  std::wstring pattern;
  if (DWORD error = SplitPattern(lpFileName, folder, pattern)) return Fail(error, INVALID_HANDLE_VALUE);
  auto search = std::make_shared<FindHandle>(ListMatches(folder, pattern));
  if (!search->Next(*lpFindFileData)) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  return CurrentMachine().handles().Insert(std::move(search));
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  auto search = CurrentMachine().handles().GetAs<FindHandle>(hFindFile);
  if (!search) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpFindFileData) return Fail(ERROR_NOACCESS, FALSE);
  if (!search->Next(*lpFindFileData)) return Fail(ERROR_NO_MORE_FILES, FALSE);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  if (!CurrentMachine().handles().GetAs<FindHandle>(hFindFile)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  CurrentMachine().handles().Remove(hFindFile);
  return TRUE;
}

}  // extern "C"
