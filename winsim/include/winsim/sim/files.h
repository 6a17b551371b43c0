// Where the simulated machine's Windows file names live on the host: drive C:
// is Machine::DriveC(), drive Z: the host's root folder, as Wine shows it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace winsim {

// The host path of a Windows file name on the current machine, each existing
// component matched case-insensitively; nullopt for a name that cannot be a
// file there (another drive, a network path, invalid characters).
std::optional<std::filesystem::path> HostPathOf(const std::wstring& windowsPath);

// The Windows name of a host path: under drive_c "C:\...", elsewhere "Z:"
// followed by the host path with backslashes.
std::wstring WindowsPathOf(const std::filesystem::path& hostPath);

}  // namespace winsim
