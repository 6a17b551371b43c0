// vorn_eventmsg SOURCE TEXT1 TEXT2: renders an event-log entry of SOURCE with
// identifier 0 and two insertion strings the way an event viewer does: the
// source's EventMessageFile from the registry (environment strings expanded),
// loaded as a data file, its message 0 formatted with the strings. Prints the
// message file's path, then the text, as UTF-8; exits 1 with the failing step
// on standard error.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr wchar_t kSourcesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr DWORD kEventId = 0;

int Fail(const char* step, DWORD error) {
  std::fprintf(stderr, "%s failed with error %lu\n", step, static_cast<unsigned long>(error));
  return 1;
}

void PrintUtf8(const wchar_t* text) {
  char buffer[4096];
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof(buffer), nullptr, nullptr);
  std::printf("%s\n", length > 0 ? buffer : "<not convertible>");
}

// The message file named for the source, or an empty string (error in *pError).
std::wstring MessageFile(const wchar_t* source, DWORD* pError) {
  HKEY key = nullptr;
  std::wstring path = std::wstring(kSourcesKey) + source;
  *pError = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key);
  if (*pError != ERROR_SUCCESS) return L"";
  wchar_t value[MAX_PATH] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
  *pError = RegQueryValueExW(key, L"EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (*pError != ERROR_SUCCESS) return L"";
  if (type != REG_SZ && type != REG_EXPAND_SZ) return *pError = ERROR_INVALID_DATA, L"";
  wchar_t expanded[MAX_PATH] = {};
  if (!ExpandEnvironmentStringsW(value, expanded, MAX_PATH)) return *pError = GetLastError(), L"";
  return expanded;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vorn_eventmsg SOURCE TEXT1 TEXT2\n");
    return 2;
  }
  DWORD error = ERROR_SUCCESS;
  std::wstring file = MessageFile(argv[1], &error);
  if (file.empty()) return Fail("reading EventMessageFile", error);
  HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return Fail("LoadLibraryEx", GetLastError());
  DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(argv[2]), reinterpret_cast<DWORD_PTR>(argv[3])};
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, kEventId,
      0, reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(inserts));
  error = GetLastError();
  FreeLibrary(module);
  if (length == 0) return Fail("FormatMessage", error);
  PrintUtf8(file.c_str());
  PrintUtf8(text);
  LocalFree(text);
  return 0;
}
