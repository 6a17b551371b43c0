#include <winsim/sim/devices.h>

#include <algorithm>
#include <cwctype>

namespace winsim {

namespace {
std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
  return text;
}
}  // namespace

void DeviceNamespace::Register(std::wstring prefix, Opener opener) {
  std::lock_guard lock(m_mutex);
  m_openers.emplace_back(Lower(std::move(prefix)), std::move(opener));
}

std::shared_ptr<IoObject> DeviceNamespace::Open(const std::wstring& path, DWORD access, DWORD share,
                                                DWORD flags, DWORD& error) const {
  const std::wstring lower = Lower(path);
  std::vector<Opener> candidates;
  {
    std::lock_guard lock(m_mutex);
    for (const auto& [prefix, opener] : m_openers)
      if (lower.compare(0, prefix.size(), prefix) == 0) candidates.push_back(opener);
  }
  for (const auto& opener : candidates) {
    error = ERROR_SUCCESS;
    if (auto device = opener(path, access, share, flags, error)) return device;
    if (error != ERROR_FILE_NOT_FOUND) return nullptr;
  }
  error = ERROR_FILE_NOT_FOUND;
  return nullptr;
}

bool DeviceNamespace::IsDevicePath(const std::wstring& path) {
  return path.size() >= 4 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/') &&
         (path[2] == L'?' || path[2] == L'.') && (path[3] == L'\\' || path[3] == L'/');
}

}  // namespace winsim
