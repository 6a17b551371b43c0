// The push through the real stack: the user's Touch value changes, the
// running service's watcher wakes, connects and writes the selection; the
// time from the change to the report's arrival in the virtual controller
// (its driver's timestamp, on the same performance counter) is one push.
// With the log on, the service's log lines stamped within that stretch are
// counted.
#include "Benchmarks.h"
#include "bench/TraceEntry.h"

#include "vdev/control.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace winbench {

namespace {

const wchar_t kSettingKey[] = L"Software\\Microsoft\\Input\\WakeableInputTypes";
const wchar_t kLogFolder[] = L"C:\\VornPalmix\\VrnDbgLog";
constexpr long kDefaultPushes = 20;
constexpr long kMaxPushes = 1000;
// Pushes are at least this far apart, counted from the previous report on
// the wire: the watcher re-arms its notification after the push.
constexpr long kDefaultGapMs = 1000;
// Bound of the wait for one report: far beyond a push, even with the log on.
constexpr double kPushBoundS = 30;
// Bound of the wait for the service's first push after its start delay.
constexpr double kFirstPushBoundS = 60;
// Pace of the polls of the wire record; the report's time is the driver's
// stamp, so the pace only bounds how late the poll notices it (each poll is
// a round trip through the Wine server, which the service's calls share).
constexpr long kDefaultPollMs = 2;
// Raw appends after each push with the log on.
constexpr int kRawAppendsPerPush = 10;

// The report that carries the selection: [3, 0, 4, 0xF0, 0x02, 0, flag].
std::optional<int> SelectionFlag(const ctlmodel::WireEntry& entry) {
  if (entry.kind != ctlmodel::EntryKind::kOut || entry.length < 7) return std::nullopt;
  if (entry.bytes[3] != 0xF0 || entry.bytes[4] != 0x02) return std::nullopt;
  return entry.bytes[6];
}

class Wire {
 public:
  explicit Wire(DWORD pollMs) : m_pollMs(pollMs), m_device(CreateFileW(VDEV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
    if (!m_device.Valid())
      throw Failure(Describe("cannot open the virtual controller's control device (is its driver installed?)",
                             GetLastError()));
  }

  // Seconds on the performance counter when the selection `flag` reached the
  // controller; waits for it at most `bound` seconds.
  double AwaitSelection(int flag, double bound) {
    const double deadline = Now() + bound;
    while (Now() < deadline) {
      if (auto at = TakeSelection(flag)) return *at;
      Sleep(m_pollMs);
    }
    throw Failure("the selection " + std::to_string(flag) + " did not reach the controller within " +
                  std::to_string(static_cast<int>(bound)) + " s");
  }

  void Drain() {
    while (TakeChunk().more != 0) {
    }
  }

 private:
  vdev::WireChunk TakeChunk() {
    vdev::WireChunk chunk{};
    DWORD bytes = 0;
    if (!DeviceIoControl(m_device.Get(), vdev::kIoctlTakeWire, nullptr, 0, &chunk, sizeof(chunk), &bytes, nullptr))
      throw Failure(Describe("the wire record could not be read", GetLastError()));
    if (!vdev::WireChunkWhole(chunk, bytes) || chunk.frequency == 0)
      throw Failure("the driver's wire reply is malformed (" + std::to_string(bytes) + " bytes)");
    if (chunk.dropped != 0) throw Failure("the wire record overflowed: entries were lost");
    return chunk;
  }

  std::optional<double> TakeSelection(int flag) {
    vdev::WireChunk chunk;
    do {
      chunk = TakeChunk();
      for (uint32_t i = 0; i < chunk.count; ++i)
        if (SelectionFlag(chunk.entries[i]) == flag) return Seconds(chunk.entries[i].clock, chunk.frequency);
    } while (chunk.more != 0);
    return std::nullopt;
  }

  DWORD m_pollMs;
  handles::FileHandle m_device;
};

void SetTouch(DWORD value) {
  handles::RegKey key;
  LSTATUS status =
      RegCreateKeyExW(HKEY_CURRENT_USER, kSettingKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Receive(), nullptr);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExW(key.Get(), L"Touch", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  if (status != ERROR_SUCCESS) throw Failure(Describe("cannot change the user's Touch value", static_cast<DWORD>(status)));
}

// Local time as a number that orders like the log's stamps ("MMDD-hh:mm:ss.mmm").
long long StampKey(int month, int day, int hour, int minute, int second, int ms) {
  return ((((static_cast<long long>(month) * 32 + day) * 24 + hour) * 60 + minute) * 60 + second) * 1000 + ms;
}

// The stamp key of local time `offset` seconds after now.
long long LocalKeyAfter(double offset) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME file;
  SystemTimeToFileTime(&now, &file);
  ULARGE_INTEGER value{{file.dwLowDateTime, file.dwHighDateTime}};
  value.QuadPart = static_cast<ULONGLONG>(static_cast<LONGLONG>(value.QuadPart) +
                                          static_cast<LONGLONG>(offset * 1e7));  // 100 ns units
  file = {value.LowPart, value.HighPart};
  SYSTEMTIME later;
  FileTimeToSystemTime(&file, &later);
  return StampKey(later.wMonth, later.wDay, later.wHour, later.wMinute, later.wSecond, later.wMilliseconds);
}

// The service's log lines, read as the hourly files grow.
class ServiceLines {
 public:
  // Lines of other processes stamped from `first` to `last` (keys), among
  // those appended since the previous call.
  long Count(long long first, long long last) {
    long count = 0;
    for (const std::string& line : NewLines()) {
      int month, day, hour, minute, second, ms;
      unsigned long pid;
      if (std::sscanf(line.c_str(), "[%2d%2d-%2d:%2d:%2d.%3d][PID=%lu]", &month, &day, &hour, &minute, &second, &ms,
                      &pid) != 7 || pid == GetCurrentProcessId())
        continue;
      const long long key = StampKey(month, day, hour, minute, second, ms);
      if (key >= first && key <= last) ++count;
    }
    return count;
  }

 private:
  std::vector<std::string> NewLines() {
    std::vector<std::string> lines;
    WIN32_FIND_DATAW found;
    const handles::FindHandle search(FindFirstFileW((std::wstring(kLogFolder) + L"\\*.log").c_str(), &found));
    if (!search) return lines;
    do ReadFrom(std::wstring(kLogFolder) + L"\\" + found.cFileName, lines);
    while (FindNextFileW(search.Get(), &found));
    return lines;
  }

  void ReadFrom(const std::wstring& path, std::vector<std::string>& lines) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::streamoff& read = m_read[path];
    in.seekg(read);
    std::string line;
    // Only whole lines: one the service is writing now is read next time.
    while (std::getline(in, line) && !in.eof()) {
      read += static_cast<std::streamoff>(line.size()) + 1;
      lines.push_back(line);
    }
  }

  std::map<std::wstring, std::streamoff> m_read;
};

}  // namespace

Result RunPush(const Options& options) {
  const long pushes = options.Number(L"pushes", kDefaultPushes, 1, kMaxPushes);
  const long gapMs = options.Number(L"gap-ms", kDefaultGapMs, 1000, 60000);
  const bool fLog = options.Flag(L"log");
  if (fLog && GetFileAttributesW(kLogFolder) == INVALID_FILE_ATTRIBUTES)
    throw Failure("--log: the debug log's folder C:\\VornPalmix\\VrnDbgLog is missing");
  Wire wire(static_cast<DWORD>(options.Number(L"poll-ms", kDefaultPollMs, 1, 1000)));
  // The service pushes Touch=1 once after its start delay; it is at rest after that.
  wire.AwaitSelection(1, kFirstPushBoundS);
  Sleep(static_cast<DWORD>(gapMs));
  ServiceLines lines;
  lines.Count(0, 0);  // what is already there is not a push's
  std::vector<double> samples, rawSamples;
  long totalLines = 0;
  const std::wstring rawPath = fLog ? CreateRawFile() : L"";
  const std::string rawLine = vornbench::TraceLine();
  for (long i = 0; i < pushes; ++i) {
    const int flag = i % 2 == 0 ? 0 : 1;
    wire.Drain();
    const long long firstKey = LocalKeyAfter(0);
    const double changed = Now();
    SetTouch(static_cast<DWORD>(flag));
    const double arrived = wire.AwaitSelection(flag, kPushBoundS);
    if (arrived < changed) throw Failure("the driver's clock is not the performance counter: a report before its change");
    samples.push_back(arrived - changed);
    const long long lastKey = LocalKeyAfter(arrived - Now());
    Sleep(static_cast<DWORD>(gapMs));
    if (fLog) totalLines += lines.Count(firstKey, lastKey);
    // The disk's flush time drifts within minutes: raw appends in the same
    // stretch are what this push's lines are held against.
    for (int j = 0; fLog && j < kRawAppendsPerPush; ++j) {
      const double start = Now();
      if (!RawAppend(rawPath, rawLine)) throw Failure(Describe("a raw append failed", GetLastError()));
      rawSamples.push_back(Now() - start);
    }
  }
  Result result;
  result.Set("pushes", static_cast<double>(pushes));
  result.Set("push_us", Median(samples) * 1e6);
  result.Set("push_min_us", *std::min_element(samples.begin(), samples.end()) * 1e6);
  result.Set("push_max_us", *std::max_element(samples.begin(), samples.end()) * 1e6);
  if (fLog) result.Set("log_lines", static_cast<double>(totalLines) / static_cast<double>(pushes));
  if (fLog) result.Set("raw_line_us", Median(rawSamples) * 1e6);
  return result;
}

}  // namespace winbench
