// The service database on disk: one text file under the machine folder, one
// line per service, read and rewritten whole under a cross-process file lock.
// A line that cannot be read (a torn write by a crashed tool, a hand edit) is
// skipped; the rest of the database stays usable.
#pragma once

#include <winsim/sim/services.h>

#include <handles/fd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace winsim {

class ServiceStore {
 public:
  explicit ServiceStore(std::filesystem::path file);

  // Holds the cross-process lock of the database for its lifetime.
  class Lock {
   public:
    explicit Lock(const std::filesystem::path& lockFile);
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    handles::UniqueFd m_fd;  // closing it releases the lock
  };

  Lock Acquire() const;
  // Both are called with the lock held.
  std::vector<ServiceConfig> Read() const;
  bool Write(const std::vector<ServiceConfig>& records) const;

  // The line format, exposed for tests of damaged files.
  static std::string FormatLine(const ServiceConfig& record);
  static bool ParseLine(const std::string& line, ServiceConfig& record);

 private:
  std::filesystem::path m_file;
  std::filesystem::path m_lockFile;
};

// Service names compare without regard to letter case.
std::wstring FoldServiceName(const std::wstring& name);
bool IsValidServiceName(const std::wstring& name);

}  // namespace winsim
