#include "paths.h"

#include <winsim/sim/files.h>
#include <winsim/sim/text.h>

#include <system_error>
#include <vector>

namespace winsim::paths {

wchar_t FoldCase(wchar_t c) {
  if (c >= L'a' && c <= L'z') return c - 0x20;
  if (c < 0xE0) return c;
  if ((c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) || (c >= 0x430 && c <= 0x44F))
    return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  // Latin Extended-A pairs: upper case even below U+0138, odd from U+0139 on.
  if (c >= 0x100 && c <= 0x137 && c != 0x131) return c & ~1;
  if (c >= 0x139 && c <= 0x148 && (c & 1) == 0) return c - 1;
  if (c >= 0x14A && c <= 0x177) return c & ~1;
  if (c >= 0x179 && c <= 0x17E && (c & 1) == 0) return c - 1;
  return c;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool ValidNameChar(wchar_t c) {
  if (c < 0x20) return false;
  if ((c >= 0xD800 && c <= 0xDFFF) || static_cast<uint32_t>(c) > 0x10FFFF) return false;
  for (wchar_t bad : {L'<', L'>', L':', L'"', L'|', L'?', L'*'})
    if (c == bad) return false;
  return true;
}

struct Parsed {
  wchar_t drive = L'C';
  std::vector<std::wstring> components;
  bool trailingSeparator = false;
};

// Drops the Win32 file-namespace prefixes ("\\?\C:\", "\\.\C:\") and reads
// the drive; relative names are relative to the current folder, C:\.
DWORD SplitDrive(std::wstring_view& path, wchar_t& drive) {
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
      IsSeparator(path[3])) {
    path.remove_prefix(4);
    if (path.size() < 2 || path[1] != L':') return ERROR_PATH_NOT_FOUND;
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    return ERROR_BAD_NETPATH;
  }
  if (path.size() >= 2 && path[1] == L':') {
    drive = FoldCase(path[0]);
    path.remove_prefix(2);
    if (drive != L'C' && drive != L'Z') return ERROR_PATH_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

// Windows drops trailing dots and spaces of the last name ("log." is "log").
void TrimLast(std::vector<std::wstring>& components) {
  if (components.empty() || components.back() == L"." || components.back() == L"..") return;
  std::wstring& last = components.back();
  while (!last.empty() && (last.back() == L'.' || last.back() == L' ')) last.pop_back();
  if (last.empty()) components.pop_back();
}

DWORD Normalise(const std::vector<std::wstring>& raw, std::vector<std::wstring>& out) {
  for (const auto& name : raw) {
    if (name == L".") continue;
    if (name == L"..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    for (wchar_t c : name)
      if (!ValidNameChar(c)) return ERROR_INVALID_NAME;
    if (name.size() > 255) return ERROR_FILENAME_EXCED_RANGE;
    out.push_back(name);
  }
  return ERROR_SUCCESS;
}

DWORD Parse(const wchar_t* text, Parsed& parsed) {
  if (!text || !*text) return ERROR_PATH_NOT_FOUND;
  std::wstring_view path(text);
  if (DWORD error = SplitDrive(path, parsed.drive)) return error;
  std::vector<std::wstring> raw;
  std::wstring current;
  for (wchar_t c : path) {
    if (IsSeparator(c)) {
      if (!current.empty()) raw.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) raw.push_back(std::move(current));
  parsed.trailingSeparator = !path.empty() && IsSeparator(path.back());
  TrimLast(raw);
  return Normalise(raw, parsed.components);
}

// The host spelling of `name` inside `folder`: the exact name when it exists,
// else the first entry that matches it case-insensitively, else the name as given.
std::filesystem::path MatchInFolder(const std::filesystem::path& folder, const std::wstring& name) {
  std::filesystem::path exact = folder / Utf8FromWide(name);
  std::error_code ec;
  if (std::filesystem::symlink_status(exact, ec).type() != std::filesystem::file_type::not_found) return exact;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::wstring candidate;
    if (!TryWideFromUtf8(it->path().filename().native(), candidate)) continue;
    if (EqualNoCase(candidate, name)) return it->path();
  }
  return exact;
}

// The name spelled exactly as given, when it names an existing object: every
// component then exists as given, so the match below would take each one as
// it is. One stat instead of one or two per component: on Windows the whole
// name is looked up in one call, and the debug log opens its file by name
// for every line.
bool ResolveExact(const Parsed& parsed, Resolved& out) {
  if (parsed.components.empty()) return false;
  std::filesystem::path exact = out.host;
  for (const auto& name : parsed.components) exact /= Utf8FromWide(name);
  std::error_code ec;
  const auto status = std::filesystem::status(exact, ec);
  if (!std::filesystem::exists(status)) return false;
  out.host = std::move(exact);
  out.parentExists = true;
  out.exists = true;
  out.isDirectory = std::filesystem::is_directory(status);
  return true;
}

}  // namespace

DWORD Resolve(Machine& machine, const wchar_t* windowsPath, Resolved& out) {
  Parsed parsed;
  if (DWORD error = Parse(windowsPath, parsed)) return error;
  out = Resolved{};
  out.host = parsed.drive == L'C' ? machine.DriveC() : std::filesystem::path("/");
  out.trailingSeparator = parsed.trailingSeparator;
  out.isRoot = parsed.components.empty();
  if (ResolveExact(parsed, out)) return ERROR_SUCCESS;
  std::error_code ec;
  bool folderExists = std::filesystem::is_directory(out.host, ec);
  for (size_t i = 0; i < parsed.components.size(); ++i) {
    if (i + 1 == parsed.components.size()) out.parentExists = folderExists;
    out.host = folderExists ? MatchInFolder(out.host, parsed.components[i]) : out.host / Utf8FromWide(parsed.components[i]);
    if (i + 1 < parsed.components.size()) folderExists = folderExists && std::filesystem::is_directory(out.host, ec);
  }
  auto status = std::filesystem::status(out.host, ec);
  out.exists = std::filesystem::exists(status);
  out.isDirectory = std::filesystem::is_directory(status);
  if (out.isRoot) out.parentExists = out.exists;
  return ERROR_SUCCESS;
}

}  // namespace winsim::paths

namespace winsim {

std::optional<std::filesystem::path> HostPathOf(const std::wstring& windowsPath) {
  paths::Resolved resolved;
  if (paths::Resolve(CurrentMachine(), windowsPath.c_str(), resolved) != ERROR_SUCCESS) return std::nullopt;
  return resolved.host;
}

std::wstring WindowsPathOf(const std::filesystem::path& hostPath) {
  std::error_code ec;
  auto absolute = std::filesystem::weakly_canonical(std::filesystem::absolute(hostPath, ec), ec);
  auto driveC = std::filesystem::weakly_canonical(CurrentMachine().DriveC(), ec);
  auto relative = absolute.lexically_relative(driveC);
  std::wstring result;
  if (!relative.empty() && *relative.begin() != ".." && relative.is_relative()) {
    result = L"C:\\" + (relative == "." ? std::wstring() : WideFromUtf8(relative.native()));
  } else {
    result = L"Z:" + WideFromUtf8(absolute.native());
  }
  for (auto& c : result)
    if (c == L'/') c = L'\\';
  return result;
}

}  // namespace winsim
