// Shared by the HidP_* entry points: the cap filter the parser functions
// apply and the bit access to report buffers.
#pragma once

#include <winsim/sim/hidparse.h>

#include <functional>
#include <optional>

namespace winsim::hid {

// Windows' hid.dll faults on a null out-pointer; winsim refuses it instead.
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);

enum class CapKind { kButtons, kValues, kAny };

// Which caps a HidP_* call looks at. usagePage and usage: nullopt = any;
// linkCollection 0 = any, HIDP_LINK_COLLECTION_ROOT = the top-level collection.
struct CapFilter {
  CapKind kind = CapKind::kAny;
  std::optional<USAGE> usagePage;
  USHORT linkCollection = 0;
  std::optional<USAGE> usage;
  UCHAR reportId = 0;  // 0 = any; from byte 0 of a report
};

bool IsReportType(int reportType);

// Calls `visit` for each cap of `reportType` that passes `filter`, in the
// parser's order, until it returns false. Returns how many passed and sets
// `incompatible` when a cap matched everything but the report ID.
size_t ForEachCap(const CollectionLayout& layout, int reportType, const CapFilter& filter,
                  const std::function<bool(const Cap&)>& visit, bool* incompatible = nullptr);

// Report buffers are little-endian bit streams.
uint32_t ReadBits(const uint8_t* report, uint32_t startBit, uint32_t count);  // count <= 32
void CopyBits(uint8_t* destination, const uint8_t* report, uint32_t startBit, uint32_t count);

}  // namespace winsim::hid
