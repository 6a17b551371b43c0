#include "log/DbgLog.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <new>

namespace {

const WCHAR kLogDirectory[] = L"C:\\VornPalmix\\VrnDbgLog";
// The file lock is held only for one open-append-flush-close; spinning first
// avoids a kernel wait for that short stretch.
constexpr DWORD kLockSpinCount = 0x8000;

// Buffer sizes, each with room for the terminating zero.
constexpr size_t kErrorMessageSize = 512;
constexpr size_t kTraceSize = 2048;
constexpr size_t kLastErrorSize = 1024;
constexpr size_t kLineSize = 512;
constexpr size_t kFilePathSize = 512;
constexpr size_t kSystemTextSize = 512;
constexpr size_t kStampSize = 32;

// One hourly file holds at most this much: past it the hour's lines are
// dropped, and the line that reaches it is followed by one that says so.
constexpr ULONGLONG kMaxLogFileBytes = 16ull * 1024 * 1024;
const char kFullText[] = "Log file size limit reached: the further lines of this hour are dropped";
// The hourly files of the folder hold at most this much together (sixteen
// full hours): a log without a bound can fill the system disk. Checked when
// a new hourly file is made, never per line; past it the oldest hourly files
// are deleted, at most kMaxDeletedPerCheck each time (the check runs under
// the file lock).
constexpr ULONGLONG kMaxFolderBytes = 256ull * 1024 * 1024;
constexpr int kMaxDeletedPerCheck = 64;
// "YYYYMMDD-HH.log" and its terminator.
constexpr size_t kHourFileNameChars = 16;
// The rights of a handle that writes lines: appending, and reading the
// attributes, which the checks of the handle (IsHourFile) need.
constexpr DWORD kAppendAccess = FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The Win32 file namespace prefix GetFinalPathNameByHandleW puts before a drive.
const WCHAR kLongPathPrefix[] = L"\\\\?\\";

// How long DbgLogShutdown waits for callers still inside the log, in real
// time (it runs at process exit, when the process's clock may mean nothing). A
// thread ended by ExitProcess inside DbgLogWrite never leaves; past this bound
// the log closes without deleting its lock or its directory copy, which such a
// caller may still be using.
constexpr std::chrono::milliseconds kShutdownWait{1000};

constexpr DWORD kLangEnglishUs = 0x0409;
constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;

const char kRuleLine[] = "----------------------------------------------------------------\r\n";
const char kTitleLine[] = "                         Logging Start                          \r\n";

// The process's log state. Constant-initialised, so log calls made by static
// objects constructed before DbgLogInit simply find the log closed.
struct SDbgLogState {
  CRITICAL_SECTION m_csFile{};
  WCHAR m_szDirectory[MAX_PATH]{};
  std::atomic<bool> m_fEnabled{false};
  std::atomic<bool> m_fOpen{false};  // lock initialised, directory copy present
  std::atomic<int> m_nUsers{0};      // callers between CLogUse's check and release
  std::atomic<bool> m_fLockLeft{false};  // a shutdown ran out of its wait with the lock in use
  std::atomic<DbgEchoHook> m_pfnEcho{nullptr};
};

constinit SDbgLogState g_log;

// Each thread keeps the text of its own last error entry: the one reader (a
// failing operation showing why it failed) reads it right after its own
// failure, and a failure on another thread must not replace that text between
// the two steps, nor tear it while it is being copied.
thread_local char t_szLastError[kLastErrorSize];

std::atomic<bool> g_fShutdownRegistered{false};

// Admits a caller to the lock and the directory copy while the log is open.
// DbgLogShutdown closes the log and then waits until no caller is admitted,
// so a thread still logging at process exit never meets a deleted lock.
class CLogUse {
 public:
  CLogUse() {
    g_log.m_nUsers.fetch_add(1);
    m_fAdmitted = g_log.m_fOpen.load();
  }
  ~CLogUse() { g_log.m_nUsers.fetch_sub(1); }
  CLogUse(const CLogUse&) = delete;
  CLogUse& operator=(const CLogUse&) = delete;
  bool Admitted() const { return m_fAdmitted; }

 private:
  bool m_fAdmitted;
};

// Logging must not disturb the caller's GetLastError(): callers commonly log a
// failure and then report or return the error code.
class CKeepLastError {
 public:
  CKeepLastError() : m_dwError(GetLastError()) {}
  ~CKeepLastError() { SetLastError(m_dwError); }
  CKeepLastError(const CKeepLastError&) = delete;
  CKeepLastError& operator=(const CKeepLastError&) = delete;

 private:
  DWORD m_dwError;
};

// A text cut at a byte limit may end inside a UTF-8 sequence; drop that
// partial character so the entry stays valid text.
size_t TrimPartialCharacter(char* pszText, size_t nLen) {
  size_t nStart = nLen;
  while (nStart > 0 && nLen - nStart < 3 && (static_cast<unsigned char>(pszText[nStart - 1]) & 0xC0) == 0x80)
    --nStart;
  if (nStart == 0) return nLen;
  unsigned char uLead = static_cast<unsigned char>(pszText[nStart - 1]);
  size_t nNeeded = uLead >= 0xF0 ? 4 : uLead >= 0xE0 ? 3 : uLead >= 0xC0 ? 2 : 1;
  if (nNeeded > 1 && nLen - (nStart - 1) < nNeeded) nLen = nStart - 1;
  pszText[nLen] = '\0';
  return nLen;
}

// Appends pszSource at nPos, keeping the result within nSize bytes including
// the terminator; returns the new length.
size_t AppendCut(char* pszBuffer, size_t nSize, size_t nPos, const char* pszSource) {
  if (nPos >= nSize) return nPos;
  size_t nSourceLen = std::strlen(pszSource);
  size_t nRoom = nSize - 1 - nPos;
  size_t nCopy = nSourceLen < nRoom ? nSourceLen : nRoom;
  std::memcpy(pszBuffer + nPos, pszSource, nCopy);
  pszBuffer[nPos + nCopy] = '\0';
  if (nCopy < nSourceLen) return TrimPartialCharacter(pszBuffer, nPos + nCopy);
  return nPos + nCopy;
}

// vsnprintf into a fixed buffer; an over-long result is cut at a character
// boundary, a bad format or encoding yields an empty text.
void FormatCut(char* pszBuffer, size_t nSize, const char* pszFormat, va_list args) {
  pszBuffer[0] = '\0';
  if (!pszFormat) return;
  int nLen = std::vsnprintf(pszBuffer, nSize, pszFormat, args);
  if (nLen < 0) {
    pszBuffer[0] = '\0';
  } else if (static_cast<size_t>(nLen) >= nSize) {
    TrimPartialCharacter(pszBuffer, nSize - 1);
  }
}

void FormatCutV(char* pszBuffer, size_t nSize, const char* pszFormat, ...) VORN_PRINTF_FORMAT(3, 4);
void FormatCutV(char* pszBuffer, size_t nSize, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  FormatCut(pszBuffer, nSize, pszFormat, args);
  va_end(args);
}

const char* OrEmpty(const char* psz) { return psz ? psz : ""; }

void BuildFilePath(WCHAR* pszPath, const SYSTEMTIME& st) {
  int nLen = std::swprintf(pszPath, kFilePathSize, L"%ls\\%04d%02d%02d-%02d.log", g_log.m_szDirectory,
                           st.wYear, st.wMonth, st.wDay, st.wHour);
  if (nLen < 0) pszPath[kFilePathSize - 1] = L'\0';
}

// "[stamp][PID=n] text\r\n", cut so that it always ends with its line break.
DWORD BuildLine(char* pszLine, const SYSTEMTIME& st, const char* pszText) {
  char szStamp[kStampSize];
  FormatCutV(szStamp, sizeof(szStamp), "%02d%02d-%02d:%02d:%02d.%03d", st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond, st.wMilliseconds);
  FormatCutV(pszLine, kLineSize, "[%s][PID=%lu] ", szStamp, static_cast<unsigned long>(GetCurrentProcessId()));
  size_t nLen = AppendCut(pszLine, kLineSize - 2, std::strlen(pszLine), pszText);
  std::memcpy(pszLine + nLen, "\r\n", 3);
  return static_cast<DWORD>(nLen + 2);
}

bool SameName(const WCHAR* pszA, const WCHAR* pszB) {
  for (; *pszA != L'\0' && *pszB != L'\0'; ++pszA, ++pszB)
    if (std::towupper(static_cast<wint_t>(*pszA)) != std::towupper(static_cast<wint_t>(*pszB))) return false;
  return *pszA == *pszB;
}

// Whether every folder of the log directory below the drive is a plain
// folder, not a link. Asked only before a new hourly file is made, so that a
// linked folder does not even get an empty file; it never decides what is
// written (a check by name can be raced): the opened handle does.
bool FoldersArePlain() {
  WCHAR szFolder[MAX_PATH];
  std::wcsncpy(szFolder, g_log.m_szDirectory, MAX_PATH - 1);
  szFolder[MAX_PATH - 1] = L'\0';
  const size_t nLen = std::wcslen(szFolder);
  for (size_t i = 3; i <= nLen; ++i) {  // after "C:\"
    if (szFolder[i] != L'\\' && szFolder[i] != L'\0') continue;
    const WCHAR cKept = szFolder[i];
    szFolder[i] = L'\0';
    const DWORD dwAttributes = GetFileAttributesW(szFolder);
    szFolder[i] = cKept;
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return false;
  }
  return true;
}

// The hourly file without following a final link; made only when it is
// missing and its folders are plain. Lines are written through a handle that
// can only append: each lands at the end of the file as it is then, whatever
// other processes append meanwhile (a seek to the end and a write are two
// steps, between which another process can take the same end). The open that
// makes the file may also delete it, so that a file made somewhere it should
// not be can be deleted through the handle (DeleteThroughHandle); every open
// shares delete access, so that the open that makes the file, held while it
// bounds the folder, never fails the other processes' opens. fMade tells
// which open it was.
HANDLE OpenHourFile(const WCHAR* pszPath, bool& fMade) {
  const DWORD dwFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  fMade = false;
  HANDLE hFile = CreateFileW(pszPath, kAppendAccess, kShareAll, nullptr, OPEN_EXISTING, dwFlags, nullptr);
  if (hFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND || !FoldersArePlain()) return hFile;
  hFile = CreateFileW(pszPath, kAppendAccess | DELETE, kShareAll, nullptr, CREATE_NEW, dwFlags, nullptr);
  fMade = hFile != INVALID_HANDLE_VALUE;
  if (fMade || GetLastError() != ERROR_FILE_EXISTS) return hFile;
  // Another process made it in between.
  return CreateFileW(pszPath, kAppendAccess, kShareAll, nullptr, OPEN_EXISTING, dwFlags, nullptr);
}

// Deletes the file behind an open handle that has DELETE access; its name
// goes when the handle is closed.
bool DeleteThroughHandle(HANDLE hFile) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// Whether the handle names the hourly file itself: a plain file with one
// name, reached through no link on the way (its final name is the name it
// was opened by). Gives the file's size.
bool IsHourFile(HANDLE hFile, const WCHAR* pszPath, ULONGLONG& ullSize) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(hFile, &info)) return false;
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) return false;
  if (info.nNumberOfLinks != 1) return false;
  WCHAR szFinal[kFilePathSize + 8];
  const DWORD nFinal = GetFinalPathNameByHandleW(hFile, szFinal, kFilePathSize + 8, VOLUME_NAME_DOS);
  if (nFinal == 0 || nFinal >= kFilePathSize + 8) return false;
  const size_t nPrefix = std::wcslen(kLongPathPrefix);
  const WCHAR* pszFinal = std::wcsncmp(szFinal, kLongPathPrefix, nPrefix) == 0 ? szFinal + nPrefix : szFinal;
  if (!SameName(pszFinal, pszPath)) return false;
  ullSize = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

// Appends the line to the file; the line that brings the file to
// its limit is followed by the line that says later ones are dropped. A line
// the file has no room for, like a write that fails, is dropped unreported.
void AppendLine(HANDLE hFile, ULONGLONG ullSize, const SYSTEMTIME& st, const char* pszLine, DWORD nLen) {
  if (ullSize >= kMaxLogFileBytes) return;
  DWORD dwWritten = 0;
  if (!WriteFile(hFile, pszLine, nLen, &dwWritten, nullptr)) return;
  if (ullSize + dwWritten >= kMaxLogFileBytes) {
    char szFull[kLineSize];
    const DWORD nFullLen = BuildLine(szFull, st, kFullText);
    WriteFile(hFile, szFull, nFullLen, &dwWritten, nullptr);
  }
  FlushFileBuffers(hFile);
}

// "YYYYMMDD-HH.log": the names the log gives its hourly files, and the only
// files of the folder it ever deletes.
bool IsHourFileName(const WCHAR* pszName) {
  for (size_t i = 0; i < 11; ++i) {
    const bool fDigit = pszName[i] >= L'0' && pszName[i] <= L'9';
    if (i == 8 ? pszName[i] != L'-' : !fDigit) return false;
  }
  return SameName(pszName + 11, L".log");
}

void BuildNamePath(WCHAR* pszPath, const WCHAR* pszName) {
  if (std::swprintf(pszPath, kFilePathSize, L"%ls\\%ls", g_log.m_szDirectory, pszName) < 0)
    pszPath[kFilePathSize - 1] = L'\0';
}

// One of the oldest hourly files, by name, with its size.
struct SHourFile {
  WCHAR szName[kHourFileNameChars];
  ULONGLONG ullSize;
};

// The folder's hourly files: the total size of those the bound may delete,
// and the names of the oldest of them (other than the one just made), oldest
// first; those it cannot delete (read-only, or with a second name) are
// counted apart, so that they never make it delete more of the others.
struct SFolderScan {
  ULONGLONG ullTotal = 0;
  ULONGLONG ullKept = 0;
  int nKept = 0;
  int nOldest = 0;
  SHourFile oldest[kMaxDeletedPerCheck] = {};

  void Note(const WCHAR* pszName, ULONGLONG ullSize) {
    int nAt = nOldest;
    while (nAt > 0 && std::wcscmp(pszName, oldest[nAt - 1].szName) < 0) --nAt;
    if (nAt >= kMaxDeletedPerCheck) return;
    const int nLast = nOldest < kMaxDeletedPerCheck ? nOldest : kMaxDeletedPerCheck - 1;
    for (int i = nLast; i > nAt; --i) oldest[i] = oldest[i - 1];
    std::wcscpy(oldest[nAt].szName, pszName);
    oldest[nAt].ullSize = ullSize;
    if (nOldest < kMaxDeletedPerCheck) ++nOldest;
  }
};

// Whether the bound may delete the hourly file: not read-only, and its only
// name is this one (deleting one name of a hard-linked file frees nothing).
bool MayDelete(const WIN32_FIND_DATAW& data) {
  if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return false;
  WCHAR szPath[kFilePathSize];
  BuildNamePath(szPath, data.cFileName);
  HANDLE hFile = CreateFileW(szPath, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool fOneName = GetFileInformationByHandle(hFile, &info) && info.nNumberOfLinks == 1;
  CloseHandle(hFile);
  return fOneName;
}

void ScanFolder(const WCHAR* pszMadeName, SFolderScan& scan) {
  WCHAR szPattern[kFilePathSize];
  BuildNamePath(szPattern, L"*");
  WIN32_FIND_DATAW data;
  HANDLE hFind = FindFirstFileW(szPattern, &data);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    if (std::wcslen(data.cFileName) != kHourFileNameChars - 1 || !IsHourFileName(data.cFileName)) continue;
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const ULONGLONG ullSize = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (SameName(data.cFileName, pszMadeName)) {
      scan.ullTotal += ullSize;
    } else if (MayDelete(data)) {
      scan.ullTotal += ullSize;
      scan.Note(data.cFileName, ullSize);
    } else {
      scan.ullKept += ullSize;
      ++scan.nKept;
    }
  } while (FindNextFileW(hFind, &data));
  FindClose(hFind);
}

// Deletes one old hourly file, opened without following a link and checked
// as the log's files are; its size, or nothing when it was not deleted.
bool DeleteHourFile(const WCHAR* pszName, ULONGLONG& ullSize) {
  WCHAR szPath[kFilePathSize];
  BuildNamePath(szPath, pszName);
  HANDLE hFile = CreateFileW(szPath, DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return false;
  const bool fDeleted = IsHourFile(hFile, szPath, ullSize) && DeleteThroughHandle(hFile);
  CloseHandle(hFile);
  return fDeleted;
}

// Keeps the hourly files the log may delete within kMaxFolderBytes once a new
// hourly file has been made: the oldest of them go. When the folder is over
// its bound a line in the new file says how many went, and how many files it
// could not delete (a file that fails to go is counted apart from then on).
void BoundFolder(HANDLE hFile, const WCHAR* pszMadeName, const SYSTEMTIME& st) {
  SFolderScan scan;
  ScanFolder(pszMadeName, scan);
  if (scan.ullTotal + scan.ullKept <= kMaxFolderBytes) return;
  int nDeleted = 0;
  int nNotDeleted = scan.nKept;
  ULONGLONG ullFreed = 0;
  ULONGLONG ullTotal = scan.ullTotal;
  for (int i = 0; i < scan.nOldest && ullFreed < ullTotal && ullTotal - ullFreed > kMaxFolderBytes; ++i) {
    ULONGLONG ullSize = 0;
    if (DeleteHourFile(scan.oldest[i].szName, ullSize)) {
      ++nDeleted;
      ullFreed += ullSize;
    } else {
      ++nNotDeleted;
      ullTotal -= scan.oldest[i].ullSize;
    }
  }
  char szText[kLineSize];
  FormatCutV(szText, sizeof(szText), "Log folder over its %llu MB: the %d oldest hourly files were deleted (%llu bytes)",
             static_cast<unsigned long long>(kMaxFolderBytes >> 20), nDeleted,
             static_cast<unsigned long long>(ullFreed));
  if (nNotDeleted > 0) {
    char szKept[64];
    FormatCutV(szKept, sizeof(szKept), ", %d could not be deleted", nNotDeleted);
    AppendCut(szText, sizeof(szText), std::strlen(szText), szKept);
  }
  char szLine[kLineSize];
  const DWORD nLen = BuildLine(szLine, st, szText);
  DWORD dwWritten = 0;
  WriteFile(hFile, szLine, nLen, &dwWritten, nullptr);
}

// A file that is not the hourly file itself is closed unwritten and the line
// is dropped, as when the folder is missing; one this open made is deleted
// again (its folder was swapped for a link after it was checked).
int AppendToFile(const WCHAR* pszPath, const SYSTEMTIME& st, const char* pszLine, DWORD nLen) {
  EnterCriticalSection(&g_log.m_csFile);
  int nResult = kResultLogOpenFailed;
  bool fMade = false;
  HANDLE hFile = OpenHourFile(pszPath, fMade);
  if (hFile != INVALID_HANDLE_VALUE) {
    ULONGLONG ullSize = 0;
    if (IsHourFile(hFile, pszPath, ullSize)) {
      if (fMade) BoundFolder(hFile, pszPath + std::wcslen(g_log.m_szDirectory) + 1, st);
      AppendLine(hFile, ullSize, st, pszLine, nLen);
      nResult = kResultOk;
    } else if (fMade) {
      DeleteThroughHandle(hFile);
    }
    CloseHandle(hFile);
  }
  LeaveCriticalSection(&g_log.m_csFile);
  return nResult;
}

// The four parts of the executable's fixed file version, when it carries a
// version resource.
bool ReadFileVersion(WORD* pwParts) {
  WCHAR szExe[MAX_PATH] = {};
  DWORD nLen = GetModuleFileNameW(nullptr, szExe, MAX_PATH);
  if (nLen == 0 || nLen >= MAX_PATH) return false;
  DWORD dwHandle = 0;
  DWORD dwSize = GetFileVersionInfoSizeW(szExe, &dwHandle);
  if (dwSize == 0) return false;
  std::unique_ptr<BYTE[]> pBlock(new (std::nothrow) BYTE[dwSize]());
  if (!pBlock || !GetFileVersionInfoW(szExe, 0, dwSize, pBlock.get())) return false;
  LPVOID pValue = nullptr;
  UINT nValueLen = 0;
  if (!VerQueryValueW(pBlock.get(), L"\\", &pValue, &nValueLen) || !pValue) return false;
  if (nValueLen < sizeof(VS_FIXEDFILEINFO)) return false;
  const auto* pInfo = static_cast<const VS_FIXEDFILEINFO*>(pValue);
  if (pInfo->dwSignature != kFixedFileInfoSignature) return false;
  pwParts[0] = HIWORD(pInfo->dwFileVersionMS);
  pwParts[1] = LOWORD(pInfo->dwFileVersionMS);
  pwParts[2] = HIWORD(pInfo->dwFileVersionLS);
  pwParts[3] = LOWORD(pInfo->dwFileVersionLS);
  return true;
}

void WriteBanner() {
  DbgLogWrite(kRuleLine);
  DbgLogWrite(kTitleLine);
  DbgLogWrite(kRuleLine);
  DbgLogWrite("FilePath:");
  char szExe[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, szExe, MAX_PATH);
  DbgLogWrite(szExe);
  WORD wParts[4];
  if (!ReadFileVersion(wParts)) return;
  char szVersion[64];
  FormatCutV(szVersion, sizeof(szVersion), "File Version: %d.%d.%d.%d", wParts[0], wParts[1], wParts[2], wParts[3]);
  DbgLogWrite(szVersion);
}

// Makes prefix, message and suffix the calling thread's last error text.
void SetLastErrorText(const char* pszPrefix, const char* pszSuffix, const char* pszFormat, va_list args) {
  char szMessage[kErrorMessageSize];
  FormatCut(szMessage, sizeof(szMessage), pszFormat, args);
  FormatCutV(t_szLastError, kLastErrorSize, "%s%s%s", pszPrefix, szMessage, pszSuffix);
}

// Appends Windows' English text for dwCode, if it has one, to the last error text.
void AppendSystemText(DWORD dwCode) {
  char szSystem[kSystemTextSize] = {};
  DWORD nLen = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwCode,
                              kLangEnglishUs, szSystem, sizeof(szSystem), nullptr);
  szSystem[nLen < sizeof(szSystem) ? nLen : sizeof(szSystem) - 1] = '\0';
  AppendCut(t_szLastError, kLastErrorSize, std::strlen(t_szLastError), szSystem);
}

void RegisterShutdownOnce() {
  if (!g_fShutdownRegistered.exchange(true)) std::atexit(DbgLogShutdown);
}

}  // namespace

void DbgLogInit() {
  CKeepLastError keep;
  DbgLogShutdown();  // a second start replaces the first
  RegisterShutdownOnce();
  t_szLastError[0] = '\0';
  g_log.m_pfnEcho.store(nullptr);
  g_log.m_fEnabled.store(GetFileAttributesW(kLogDirectory) != INVALID_FILE_ATTRIBUTES);
  std::wcsncpy(g_log.m_szDirectory, kLogDirectory, MAX_PATH - 1);
  InitializeCriticalSectionAndSpinCount(&g_log.m_csFile, kLockSpinCount);
  g_log.m_fOpen.store(true);
  WriteBanner();
}

void DbgLogShutdown() {
  CKeepLastError keep;
  if (!g_log.m_fOpen.exchange(false) && !g_log.m_fLockLeft.load()) return;
  const auto start = std::chrono::steady_clock::now();
  while (g_log.m_nUsers.load() != 0) {
    if (std::chrono::steady_clock::now() - start >= kShutdownWait) {
      g_log.m_fLockLeft = true;  // a later shutdown deletes it once the caller has left
      return;
    }
    Sleep(0);  // gives way to a caller still inside
  }
  DeleteCriticalSection(&g_log.m_csFile);
  g_log.m_szDirectory[0] = L'\0';
  g_log.m_fLockLeft = false;
}

int DbgLogWrite(const char* pszText) {
  if (!g_log.m_fEnabled.load()) return 0;
  CKeepLastError keep;
  CLogUse use;
  if (!use.Admitted()) return 0;
  SYSTEMTIME st;
  GetLocalTime(&st);
  WCHAR szPath[kFilePathSize];
  BuildFilePath(szPath, st);
  char szLine[kLineSize];
  DWORD nLen = BuildLine(szLine, st, OrEmpty(pszText));
  return AppendToFile(szPath, st, szLine, nLen);
}

int DbgLogTrace(const char* pszOperation, int nLine, const char* pszFormat, ...) {
  CKeepLastError keep;
  char szMessage[kTraceSize];
  va_list args;
  va_start(args, pszFormat);
  FormatCut(szMessage, sizeof(szMessage), pszFormat, args);
  va_end(args);
  char szEntry[kTraceSize];
  FormatCutV(szEntry, sizeof(szEntry), "[%s#%d]%s", OrEmpty(pszOperation), nLine, szMessage);
  if (DbgEchoHook pfnEcho = g_log.m_pfnEcho.load()) pfnEcho(szMessage, std::strlen(szMessage));
  return DbgLogWrite(szEntry);
}

int DbgLogError(const char* /*pszOperation*/, int /*nLine*/, const char* pszFormat, ...) {
  CKeepLastError keep;
  va_list args;
  va_start(args, pszFormat);
  SetLastErrorText("[ERR]", "\r\n", pszFormat, args);
  va_end(args);
  DbgLogWrite(t_szLastError);
  return kResultLoggedFailure;
}

int DbgLogSysError(const char* /*pszOperation*/, int /*nLine*/, DWORD dwCode, const char* pszFormat, ...) {
  CKeepLastError keep;
  va_list args;
  va_start(args, pszFormat);
  SetLastErrorText("[ERROR]", "", pszFormat, args);
  va_end(args);
  if (dwCode != 0) AppendSystemText(dwCode);
  DbgLogWrite(t_szLastError);
  return kResultLoggedFailure;
}

const char* DbgLogLastError() { return t_szLastError; }

void DbgLogSetEcho(DbgEchoHook pfnHook) { g_log.m_pfnEcho.store(pfnHook); }
