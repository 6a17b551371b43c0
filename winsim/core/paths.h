// Windows file names on the simulated machine: drive C: is the machine's
// drive_c folder, drive Z: the host's root (as Wine shows it). Names are
// matched case-insensitively, component by component, as on Windows.
#pragma once

#include <winsim/sim/machine.h>

#include <filesystem>
#include <string>

namespace winsim::paths {

struct Resolved {
  std::filesystem::path host;  // existing components spelled as on the host
  bool parentExists = false;   // every component but the last is a directory
  bool exists = false;         // the whole path names an existing object
  bool isDirectory = false;
  bool isRoot = false;         // the path is a drive's root folder
  bool trailingSeparator = false;
};

// ERROR_SUCCESS, or ERROR_PATH_NOT_FOUND / ERROR_INVALID_NAME / ERROR_BAD_NETPATH
// for names that cannot be a file on this machine.
DWORD Resolve(Machine& machine, const wchar_t* windowsPath, Resolved& out);

// ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND for a name that is missing,
// depending on whether its folder exists.
inline DWORD MissingError(const Resolved& resolved) {
  return resolved.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// Windows' case-insensitive comparison of one character (upper-case folding).
wchar_t FoldCase(wchar_t c);
bool EqualNoCase(const std::wstring& a, const std::wstring& b);

}  // namespace winsim::paths
