// One input report of a HID collection, built field by field from winsim's
// layout of it: for tests and benchmarks that feed the product real reports.
#pragma once

#include <winsim/sim/hidparse.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace simkit {

// A link collection argument that matches a field in any link collection.
constexpr USHORT kAnyLink = 0xFFFF;

class ReportBuilder {
 public:
  ReportBuilder(const winsim::hid::CollectionLayout& layout, uint8_t nReportId)
      : m_layout(layout), m_bytes(layout.reportByteLength[HidP_Input], 0) {
    m_bytes[0] = nReportId;
  }
  ReportBuilder& Value(USAGE nPage, USAGE nUsage, USHORT nLink, uint32_t nValue) {
    const auto& cap = Find(false, nPage, nUsage, nLink);
    const uint32_t nField = cap.isRange ? uint32_t(nUsage - cap.usageMin) : 0;
    for (uint32_t bit = 0; bit < cap.bitSize; ++bit) Put(cap.startBit + nField * cap.bitSize + bit, (nValue >> bit) & 1);
    return *this;
  }
  ReportBuilder& Button(USAGE nPage, USAGE nUsage, USHORT nLink) {
    const auto& cap = Find(true, nPage, nUsage, nLink);
    Put(cap.startBit + (nUsage - cap.usageMin) * cap.bitSize, 1);
    return *this;
  }
  const std::vector<uint8_t>& Get() const { return m_bytes; }

 private:
  const winsim::hid::Cap& Find(bool bButton, USAGE nPage, USAGE nUsage, USHORT nLink) const {
    for (const auto& cap : m_layout.caps[HidP_Input]) {
      if (cap.isButton != bButton || cap.usagePage != nPage || cap.reportId != m_bytes[0]) continue;
      if (nUsage < cap.usageMin || nUsage > cap.usageMax) continue;
      if (nLink == kAnyLink || cap.linkCollection == nLink) return cap;
    }
    throw std::runtime_error("no field " + std::to_string(nPage) + ":" + std::to_string(nUsage));
  }
  void Put(uint32_t nBit, uint32_t nOn) {
    if (nOn) m_bytes[nBit / 8] |= static_cast<uint8_t>(1u << (nBit % 8));
  }

  const winsim::hid::CollectionLayout& m_layout;
  std::vector<uint8_t> m_bytes;
};

}  // namespace simkit
