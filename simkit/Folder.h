// Machine folders: a fresh one for a machine of the kit, or for runs of the
// executable as processes of their own; it goes with its owner.
#pragma once

#include "simkit/DebugLog.h"

#include <filesystem>
#include <string>
#include <vector>

namespace simkit {

// The debug log's folder, C:\VornPalmix\VrnDbgLog, of the machine in `root`.
std::filesystem::path LogDirectoryOf(const std::filesystem::path& root);

// A fresh, empty folder below `parent` (the temporary folder when empty),
// removed with everything in it when the object goes. Throws
// std::runtime_error when no folder can be made there.
class FreshFolder {
 public:
  explicit FreshFolder(const std::filesystem::path& parent = {}, const std::string& prefix = "simkit");
  ~FreshFolder();
  FreshFolder(const FreshFolder&) = delete;
  FreshFolder& operator=(const FreshFolder&) = delete;
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// What a host file holds, whole; empty when it cannot be read.
std::string FileText(const std::filesystem::path& path);

// Simulated ms per real ms of the machines that share a folder with other OS
// processes: the product's time-outs (up to seconds) pass in milliseconds.
inline constexpr double kSharedTimeScale = 1000;

// The environment of a run of the executable or a helper program, each an OS
// process of its own, on the machine folder `root`: WINSIM_ROOT,
// WINSIM_TIME_SCALE and, when `controller` is given, WINSIM_CONTROLLER.
std::vector<std::string> MachineEnvironment(const std::filesystem::path& root, const std::string& controller = "",
                                            double timeScale = kSharedTimeScale);

// A fresh machine folder that runs of the executable and helper programs, each
// an OS process of its own, share. Their machines run on the scaled clock: the
// host's clock is the only one separate processes share. With `debugLog` the
// log folder exists, so every run writes its debug log.
class SharedFolder {
 public:
  explicit SharedFolder(bool debugLog = true);
  const std::filesystem::path& Root() const { return m_folder.Path(); }
  std::filesystem::path LogDirectory() const { return LogDirectoryOf(Root()); }
  DebugLog Log() const { return DebugLog(LogDirectory()); }
  // The environment of a run on this folder (MachineEnvironment).
  std::vector<std::string> Environment(const std::string& controller = "", double timeScale = kSharedTimeScale) const {
    return MachineEnvironment(Root(), controller, timeScale);
  }
  // The same as a prefix of a shell command line.
  std::string ShellPrefix(const std::string& controller = "", double timeScale = kSharedTimeScale) const;

 private:
  FreshFolder m_folder;
};

// What a shell command line printed on its standard output, and its exit
// status (-1 when it could not run or did not exit normally).
struct CommandRun {
  std::string output;
  int status = -1;
};
CommandRun RunCommand(const std::string& commandLine);

}  // namespace simkit
