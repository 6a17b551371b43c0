#include "service_store.h"

#include "../core/utf8.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace winsim {

namespace {

constexpr char kHeader[] = "# winsim service database, one service a line";
constexpr size_t kMaxServiceName = 256;
constexpr size_t kMaxLine = 64 * 1024;  // longer lines are damage, not services

std::string ToUtf8(const std::wstring& text) {
  std::string out;
  for (wchar_t ch : text) {
    auto cp = static_cast<char32_t>(ch);
    if (!utf8::ValidScalar(cp)) cp = utf8::kReplacement;
    char bytes[4];
    utf8::Encode(cp, bytes);
    out.append(bytes, utf8::EncodedLength(cp));
  }
  return out;
}

// Strict: a malformed sequence makes the whole text unreadable.
bool FromUtf8(const std::string& text, std::wstring& out) {
  out.clear();
  auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    bool valid = false;
    i += utf8::Decode(bytes + i, text.size() - i, cp, valid);
    if (!valid) return false;
    out += static_cast<wchar_t>(cp);
  }
  return true;
}

// Percent-encodes every byte that could break the line's structure.
std::string Escape(const std::wstring& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char byte : ToUtf8(text)) {
    if (byte <= 0x20 || byte >= 0x7F || byte == '%' || byte == '=') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::wstring& out) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      bytes += text[i];
      continue;
    }
    int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
    int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    bytes += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return FromUtf8(bytes, out);
}

bool ParseNumber(const std::string& text, DWORD& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

std::wstring JoinDependencies(const std::vector<std::wstring>& list) {
  std::wstring joined;
  for (const auto& item : list) {
    joined += item;
    joined += L'\0';
  }
  return joined;
}

std::vector<std::wstring> SplitDependencies(const std::wstring& joined) {
  std::vector<std::wstring> list;
  std::wstring item;
  for (wchar_t ch : joined) {
    if (ch != L'\0') {
      item += ch;
    } else if (!item.empty()) {
      list.push_back(std::move(item));
      item.clear();
    }
  }
  if (!item.empty()) list.push_back(std::move(item));
  return list;
}

// Failure actions as "type/delay,type/delay" (delays in ms).
std::string FormatActions(const std::vector<SC_ACTION>& actions) {
  std::string text;
  for (const SC_ACTION& action : actions) {
    if (!text.empty()) text += ',';
    text += std::to_string(static_cast<DWORD>(action.Type)) + '/' + std::to_string(action.Delay);
  }
  return text;
}

bool ParseActions(const std::string& text, std::vector<SC_ACTION>& actions) {
  actions.clear();
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    auto slash = item.find('/');
    DWORD type = 0, delay = 0;
    if (slash == std::string::npos || !ParseNumber(item.substr(0, slash), type) ||
        !ParseNumber(item.substr(slash + 1), delay) || type > SC_ACTION_RUN_COMMAND)
      return false;
    actions.push_back({static_cast<SC_ACTION_TYPE>(type), delay});
  }
  return true;
}

struct Fields {
  std::map<std::string, std::string> values;
  bool Has(const char* key) const { return values.count(key) != 0; }
};

bool SplitFields(const std::string& line, Fields& fields) {
  std::istringstream in(line);
  std::string word;
  if (!(in >> word) || word != "service") return false;
  while (in >> word) {
    auto eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    fields.values.emplace(word.substr(0, eq), word.substr(eq + 1));
  }
  return true;
}

bool ReadText(const Fields& fields, const char* key, std::wstring& out) {
  auto it = fields.values.find(key);
  if (it == fields.values.end()) {
    out.clear();
    return true;
  }
  return Unescape(it->second, out);
}

bool ReadNumber(const Fields& fields, const char* key, DWORD& out) {
  auto it = fields.values.find(key);
  return it != fields.values.end() && ParseNumber(it->second, out);
}

// The optional configuration: each field may be missing (a database written
// before it existed); one that is there must be readable.
bool ReadOptional(const Fields& fields, ServiceConfig& record) {
  FailureActions& failure = record.failureActions;
  auto actions = fields.values.find("actions");
  bool ok = ReadText(fields, "desc", record.description) && ReadText(fields, "reboot", failure.rebootMessage) &&
            ReadText(fields, "command", failure.command) &&
            (actions == fields.values.end() || ParseActions(actions->second, failure.actions));
  failure.resetPeriodS = 0;
  return ok && (!fields.Has("reset") || ReadNumber(fields, "reset", failure.resetPeriodS));
}

}  // namespace

std::wstring FoldServiceName(const std::wstring& name) {
  std::wstring folded = name;
  for (auto& ch : folded)
    if (ch >= L'A' && ch <= L'Z') ch = static_cast<wchar_t>(ch - L'A' + L'a');
  return folded;
}

bool IsValidServiceName(const std::wstring& name) {
  if (name.empty() || name.size() > kMaxServiceName) return false;
  for (wchar_t ch : name)
    if (ch == L'/' || ch == L'\\' || ch == L'\0') return false;
  return true;
}

ServiceStore::ServiceStore(std::filesystem::path file)
    : m_file(std::move(file)), m_lockFile(m_file.string() + ".lock") {}

ServiceStore::Lock::Lock(const std::filesystem::path& lockFile)
    : m_fd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
  if (!m_fd) return;  // no lock file: the folder is gone; reads then find nothing
  while (::flock(m_fd.Get(), LOCK_EX) != 0 && errno == EINTR) {
  }
}

ServiceStore::Lock ServiceStore::Acquire() const { return Lock(m_lockFile); }

std::string ServiceStore::FormatLine(const ServiceConfig& record) {
  std::ostringstream line;
  line << "service name=" << Escape(record.name) << " display=" << Escape(record.displayName)
       << " type=" << record.type << " start=" << record.startType << " error=" << record.errorControl
       << " path=" << Escape(record.binaryPath) << " deps=" << Escape(JoinDependencies(record.dependencies))
       << " account=" << Escape(record.account) << " delete=" << (record.deletePending ? 1 : 0)
       << " desc=" << Escape(record.description) << " reset=" << record.failureActions.resetPeriodS
       << " actions=" << FormatActions(record.failureActions.actions)
       << " reboot=" << Escape(record.failureActions.rebootMessage)
       << " command=" << Escape(record.failureActions.command);
  return line.str();
}

bool ServiceStore::ParseLine(const std::string& line, ServiceConfig& record) {
  Fields fields;
  if (line.size() > kMaxLine || !SplitFields(line, fields)) return false;
  if (!fields.Has("name") || !fields.Has("path")) return false;
  std::wstring deps;
  DWORD deletePending = 0;
  bool ok = ReadText(fields, "name", record.name) && ReadText(fields, "display", record.displayName) &&
            ReadText(fields, "path", record.binaryPath) && ReadText(fields, "deps", deps) &&
            ReadText(fields, "account", record.account) && ReadNumber(fields, "type", record.type) &&
            ReadNumber(fields, "start", record.startType) && ReadNumber(fields, "error", record.errorControl);
  if (!ok || !ReadOptional(fields, record) || !IsValidServiceName(record.name)) return false;
  if (fields.Has("delete") && (!ReadNumber(fields, "delete", deletePending) || deletePending > 1)) return false;
  record.deletePending = deletePending == 1;
  record.dependencies = SplitDependencies(deps);
  if (record.displayName.empty()) record.displayName = record.name;
  return true;
}

std::vector<ServiceConfig> ServiceStore::Read() const {
  std::vector<ServiceConfig> records;
  std::ifstream in(m_file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    ServiceConfig record;
    if (!ParseLine(line, record)) continue;
    bool duplicate = false;
    for (const auto& known : records) duplicate |= FoldServiceName(known.name) == FoldServiceName(record.name);
    if (!duplicate) records.push_back(std::move(record));
  }
  return records;
}

// Written to a temporary file and renamed over the old one, so a reader in
// another process sees either the old database or the new one, never half.
bool ServiceStore::Write(const std::vector<ServiceConfig>& records) const {
  auto temp = m_file;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << kHeader << '\n';
    for (const auto& record : records) out << FormatLine(record) << '\n';
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, m_file, ec);
  return !ec;
}

}  // namespace winsim
