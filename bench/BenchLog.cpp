#include "BenchLog.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace vornbench {

namespace fs = std::filesystem;

simkit::MachineOptions MachineOptions(bool debugLog, const std::string& controller) {
  const char* root = std::getenv("WINSIM_ROOT");
  return {.controller = controller,
          .debugLog = debugLog,
          .parent = (root && *root) ? fs::path(root) : fs::path(),
          .member = ""};
}

double RawAppender::Append() const {
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  const bool fOk = ::write(fd, m_line.data(), m_line.size()) == static_cast<ssize_t>(m_line.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!fOk) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

size_t LogEntryCounter::Count() {
  static constexpr std::string_view kStamp = "][PID=";
  std::error_code error;
  for (const auto& item : fs::directory_iterator(m_directory, error)) {
    if (item.path().extension() != ".log") continue;  // the hourly files only
    File* file = nullptr;
    for (File& known : m_files)
      if (known.path == item.path()) file = &known;
    if (!file) file = &m_files.emplace_back(File{item.path()});
    const uintmax_t size = fs::file_size(item.path(), error);
    if (error || size <= file->read) continue;
    std::ifstream in(item.path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(file->read));
    std::string text(size - file->read, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    file->read += text.size();
    for (size_t at = text.find(kStamp); at != std::string::npos; at = text.find(kStamp, at + 1)) ++m_entries;
  }
  return m_entries;
}

}  // namespace vornbench
