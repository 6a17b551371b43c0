// The running executable as the machine shows it: its path (what
// GetModuleFileNameW reports) and whether it carries a version resource.
#pragma once

#include <winsim/sim/machine.h>

#include <filesystem>
#include <mutex>
#include <string>

namespace winsim {

class Executable : public MachinePart {
 public:
  explicit Executable(Machine& machine);

  // The host file of the executable; by default the running program.
  std::filesystem::path HostPath() const;
  // Tests: pretend the executable lives elsewhere (e.g. under DriveC()).
  void SetHostPath(std::filesystem::path path);
  // Its Windows name: "C:\..." under drive_c, else "Z:" + the host path.
  std::wstring WindowsPath() const;

  // Whether the executable carries a version resource (default true).
  bool HasVersionResource() const;
  void SetVersionResource(bool present);

 private:
  mutable std::mutex m_mutex;
  std::filesystem::path m_hostPath;
  bool m_hasVersion = true;
};

// Blocks handed out by LocalAlloc and not yet freed, process-wide (the local
// heap belongs to the process, not to a machine).
size_t LocalHeapBlocks();

}  // namespace winsim
