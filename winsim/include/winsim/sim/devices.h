// The device namespace: CreateFileW hands device paths (those that start with
// two backslashes and '?' or '.') to the part of the machine that registered
// for them (the HID bus does).
#pragma once

#include <winsim/sim/machine.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

class DeviceNamespace : public MachinePart {
 public:
  // Returns the opened device, or null with `error` set to the Win32 code.
  using Opener = std::function<std::shared_ptr<IoObject>(const std::wstring& path, DWORD access,
                                                         DWORD share, DWORD flags, DWORD& error)>;
  explicit DeviceNamespace(Machine&) {}

  // Paths whose lower-case form starts with `prefix` (lower case) go to `opener`.
  void Register(std::wstring prefix, Opener opener);
  // Opens a device path; ERROR_FILE_NOT_FOUND when nobody serves it.
  std::shared_ptr<IoObject> Open(const std::wstring& path, DWORD access, DWORD share, DWORD flags,
                                 DWORD& error) const;
  static bool IsDevicePath(const std::wstring& path);

 private:
  mutable std::mutex m_mutex;
  std::vector<std::pair<std::wstring, Opener>> m_openers;
};

}  // namespace winsim
