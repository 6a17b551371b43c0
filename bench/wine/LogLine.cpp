// A debug-log line through the product's code (DbgLogTrace into the hourly
// file) against a raw loop doing what the log's design asks of each line:
// open without following a link, the same handle checks, seek to the end,
// write, flush, close; the same bytes, into a file of the same folder.
#include "Benchmarks.h"
#include "bench/TraceEntry.h"

#include "log/DbgLog.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace winbench {

namespace {

const wchar_t kLogFolder[] = L"C:\\VornPalmix\\VrnDbgLog";
constexpr long kDefaultLines = 200;
constexpr long kMaxLines = 100000;

bool SameFinalName(HANDLE file, const std::wstring& path) {
  wchar_t final[600];
  const DWORD length = GetFinalPathNameByHandleW(file, final, 600, VOLUME_NAME_DOS);
  if (length == 0 || length >= 600) return false;
  const wchar_t* name = std::wcsncmp(final, L"\\\\?\\", 4) == 0 ? final + 4 : final;
  return _wcsicmp(name, path.c_str()) == 0;
}

}  // namespace

// One raw append; false when a step failed.
bool RawAppend(const std::wstring& path, const std::string& line) {
  const handles::FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.Get(), &info) || info.nNumberOfLinks != 1 || !SameFinalName(file.Get(), path))
    return false;
  SetFilePointer(file.Get(), 0, nullptr, FILE_END);
  DWORD written = 0;
  if (!WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) return false;
  return FlushFileBuffers(file.Get()) != FALSE;
}

namespace {

ULONGLONG FolderBytes(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const handles::FindHandle search(FindFirstFileW((folder + L"\\*.log").c_str(), &found));
  if (!search) return 0;
  ULONGLONG bytes = 0;
  do bytes += (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  while (FindNextFileW(search.Get(), &found));
  return bytes;
}

}  // namespace

std::wstring CreateRawFile() {
  const std::wstring rawPath = std::wstring(kLogFolder) + L"\\raw-append.txt";
  const handles::FileHandle created(CreateFileW(rawPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!created.Valid()) throw Failure(Describe("cannot create the raw append's file", GetLastError()));
  return rawPath;
}

Result RunLogLine(const Options& options) {
  const long lines = options.Number(L"lines", kDefaultLines, 1, kMaxLines);
  if (GetFileAttributesW(kLogFolder) == INVALID_FILE_ATTRIBUTES)
    throw Failure("the debug log's folder C:\\VornPalmix\\VrnDbgLog is missing: the log is off");
  const std::wstring rawPath = CreateRawFile();
  const std::string line = vornbench::TraceLine();
  const ULONGLONG before = FolderBytes(kLogFolder);
  std::vector<double> logSamples, rawSamples;
  for (long i = 0; i < lines; ++i) {
    // Alternate which goes first, so that neither always finds the disk just flushed.
    for (int turn = 0; turn < 2; ++turn) {
      const bool fLog = (turn == 0) == (i % 2 == 0);
      const double start = Now();
      const bool fOk = fLog ? vornbench::WriteTrace() == 0 : RawAppend(rawPath, line);
      (fLog ? logSamples : rawSamples).push_back(Now() - start);
      if (!fOk) throw Failure(fLog ? "the debug log refused a line" : Describe("a raw append failed", GetLastError()));
    }
  }
  // The log lines went where the design says, not nowhere (rawPath is not a .log file).
  if (FolderBytes(kLogFolder) - before < static_cast<ULONGLONG>(lines) * line.size())
    throw Failure("the debug log's hourly files did not grow by the lines written");
  Result result;
  result.Set("lines", static_cast<double>(lines));
  result.Set("log_line_us", Median(logSamples) * 1e6);
  result.Set("raw_line_us", Median(rawSamples) * 1e6);
  return result;
}

}  // namespace winbench
