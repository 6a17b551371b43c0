// The product's debug log read back from a machine folder: the hourly files'
// text, each line's message, each trace or error as an entry, and marks to
// read only what came after them; and the traces the process echoes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace simkit {

class DebugLog {
 public:
  explicit DebugLog(std::filesystem::path directory) : m_directory(std::move(directory)) {}

  const std::filesystem::path& Directory() const { return m_directory; }
  // Every hourly file, oldest first, as one text; empty without the folder.
  std::string Text() const;

  // Each line's text without its "[stamp][PID=n] " prefix (banner lines and
  // the blank lines of entries that end in a break included).
  std::vector<std::string> Messages() const;
  size_t Count(const std::string& message) const;
  bool Has(const std::string& message) const { return Count(message) > 0; }

  // Each entry as "operation: message" for a trace, "ERR: message" for an
  // error entry and "ERROR: message" for a system error (line numbers, time
  // stamps, process ids, banner lines, plain lines and line breaks dropped).
  std::vector<std::string> Entries() const;
  // Entries written since the last Mark(), and the last of them (empty when none).
  void Mark() { m_mark = Entries().size(); }
  std::vector<std::string> Since() const;
  std::string LastSince() const;

 private:
  std::filesystem::path m_directory;
  size_t m_mark = 0;
};

// The trace messages the product echoes while the object lives. Make it once
// the log has started: starting the log takes the echo away.
class EchoCapture {
 public:
  EchoCapture();
  ~EchoCapture();
  EchoCapture(const EchoCapture&) = delete;
  EchoCapture& operator=(const EchoCapture&) = delete;

  std::vector<std::string> Traces() const;
  bool Has(const std::string& message) const;
};

}  // namespace simkit
