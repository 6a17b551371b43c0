// The debug log's cutting and formatting of random texts: plain lines,
// traces, error and system-error entries with any operation name, line,
// error code and message. Every call appends at most one line to the hourly
// file; that line fits the log's line buffer (511 bytes and the terminator)
// and ends in CRLF, and when every text handed in was valid UTF-8, so is
// the line, the echoed trace message and the last error text.
//
// Input: operations, each a kind, a repeat count, a line and an error code
// (numbers, from the back) and two texts (from the front).
#include "FuzzSupport.h"

#include "log/DbgLog.h"

#include <cstring>

namespace {

using vornfuzz::IsValidUtf8;
namespace fs = std::filesystem;

constexpr size_t kMaxOperations = 16;
// The log's buffers, terminator included: a line, an echoed trace message
// and the last error text.
constexpr size_t kLineSize = 512;
constexpr size_t kTraceSize = 2048;
constexpr size_t kLastErrorSize = 1024;

// The log's machine: its log folder exists, so every call writes.
class LogMachine {
 public:
  LogMachine() : m_machine(vornfuzz::RunOptions(/*debugLog=*/true)) { DbgLogSetEcho(&LogMachine::Echo); }
  fs::path Dir() const { return m_machine.LogDirectory(); }
  // Everything the log's files hold (a call near an hour boundary may start
  // a new file, so all of them are read).
  std::string Text() { return m_machine.Log().Text(); }

  static std::string& Echoed() {
    static std::string echoed;
    return echoed;
  }

 private:
  static void Echo(const char* pszMessage, unsigned long long nLength) {
    FUZZ_CHECK(std::strlen(pszMessage) == nLength, "echo length %llu for %zu bytes", nLength,
               std::strlen(pszMessage));
    Echoed().assign(pszMessage, nLength);
  }

  simkit::VirtualMachine m_machine;
};

LogMachine& Log() {
  static LogMachine machine;
  return machine;
}

std::string ReadLog() { return Log().Text(); }

void ClearLog() {
  for (const auto& item : fs::directory_iterator(Log().Dir())) fs::remove(item.path());
}

// A text as C code sees it: up to its first zero byte.
std::string CText(const std::string& bytes) { return std::string(bytes.c_str()); }

void CheckLine(const std::string& before, const std::string& after, bool bValid) {
  FUZZ_CHECK(after.size() > before.size() && after.compare(0, before.size(), before) == 0,
             "one call must append to the log (%zu bytes before, %zu after)", before.size(), after.size());
  const std::string line = after.substr(before.size());
  FUZZ_CHECK(line.size() <= kLineSize - 1, "a line of %zu bytes", line.size());
  FUZZ_CHECK(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0, "a line that does not end in CRLF");
  FUZZ_CHECK(line.find('\0') == std::string::npos, "a zero byte in a line");
  if (bValid) FUZZ_CHECK(IsValidUtf8(line), "valid texts gave a line that is not UTF-8");
}

void CheckLastError(const char* pszPrefix, bool bValid) {
  const char* pszLast = DbgLogLastError();
  const size_t nLen = strnlen(pszLast, kLastErrorSize);
  FUZZ_CHECK(nLen < kLastErrorSize, "last error text not terminated in its buffer");
  FUZZ_CHECK(std::strncmp(pszLast, pszPrefix, std::strlen(pszPrefix)) == 0, "last error text lost its prefix");
  if (bValid) FUZZ_CHECK(IsValidUtf8(pszLast), "valid texts gave a last error text that is not UTF-8");
}

void Operate(FuzzedDataProvider& input) {
  const int kind = input.ConsumeIntegralInRange(0, 4);
  const std::string operation = CText(input.ConsumeRandomLengthString(vornfuzz::kMaxText));
  const std::string text = CText(input.ConsumeRandomLengthString(vornfuzz::kMaxText));
  // A long text: the input's short one repeated, to reach past every buffer.
  std::string message;
  for (int n = input.ConsumeIntegralInRange(1, 16); n > 0; --n) message += text;
  const int nLine = input.ConsumeIntegral<int>();
  const DWORD dwCode = input.ConsumeIntegral<uint32_t>();
  bool bValid = IsValidUtf8(operation) && IsValidUtf8(message);
  const std::string before = ReadLog();
  LogMachine::Echoed().clear();
  switch (kind) {
    case 0: DbgLogWrite(message.c_str()); break;
    case 1:
      FUZZ_CHECK(DbgLogTrace(operation.c_str(), nLine, "%s", message.c_str()) == 0, "trace result");
      FUZZ_CHECK(LogMachine::Echoed().size() < kTraceSize, "echoed message of %zu bytes", LogMachine::Echoed().size());
      if (bValid) FUZZ_CHECK(IsValidUtf8(LogMachine::Echoed()), "echoed message is not UTF-8");
      break;
    case 2:
      FUZZ_CHECK(DbgLogError(operation.c_str(), nLine, "%s", message.c_str()) == kResultLoggedFailure, "error result");
      CheckLastError("[ERR]", bValid);
      break;
    case 3:
      FUZZ_CHECK(DbgLogSysError(operation.c_str(), nLine, dwCode, "%s", message.c_str()) == kResultLoggedFailure,
                 "system error result");
      CheckLastError("[ERROR]", bValid);
      break;
    default:
      // A precision cuts a text anywhere, also inside a character.
      DbgLogTrace(operation.c_str(), nLine, "%.*s|%s", input.ConsumeIntegralInRange(0, 2047), message.c_str(),
                  text.c_str());
      bValid = false;
      break;
  }
  CheckLine(before, ReadLog(), bValid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Log();
  ClearLog();
  FuzzedDataProvider input(data, size);
  for (size_t i = 0; i < kMaxOperations && input.remaining_bytes() != 0; ++i) Operate(input);
  return 0;
}
