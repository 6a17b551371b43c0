// The output report that carries a command to the controller, as the
// product's transport frames it: report ID 3, 0x00, the length byte, the
// command bytes, zero fill to the controller's 64 bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vorntest {

// `length` 0 says the command's own length; the fixed-length form says 6.
inline std::vector<uint8_t> CommandReport(const std::vector<uint8_t>& command, uint8_t length = 0) {
  std::vector<uint8_t> report(64, 0);
  report[0] = 3;
  report[2] = length ? length : static_cast<uint8_t>(command.size());
  std::copy(command.begin(), command.end(), report.begin() + 3);
  return report;
}

}  // namespace vorntest
