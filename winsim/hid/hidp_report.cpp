// hid.dll: reading usages and values out of a report buffer.
//
// Windows quirks kept here: the report length must be exactly the report
// byte length of its type; with report IDs in use a report whose ID byte is 0
// is read as if it had the cap's ID; values come back raw, without sign
// extension or range checks; an array field v names UsageMin + v - 1 whatever
// the logical minimum says.
#include "hidp_internal.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

using namespace winsim::hid;

namespace winsim::hid {

namespace {
thread_local uint64_t t_fieldReads = 0;
}  // namespace

uint64_t FieldReadsOnThisThread() { return t_fieldReads; }

uint32_t ReadBits(const uint8_t* report, uint32_t startBit, uint32_t count) {
  ++t_fieldReads;
  uint32_t value = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t bit = startBit + i;
    value |= uint32_t((report[bit / 8] >> (bit % 8)) & 1u) << i;
  }
  return value;
}

void CopyBits(uint8_t* destination, const uint8_t* report, uint32_t startBit, uint32_t count) {
  std::fill_n(destination, (count + 7) / 8, uint8_t{0});
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t bit = startBit + i;
    if ((report[bit / 8] >> (bit % 8)) & 1u) destination[i / 8] |= uint8_t(1u << (i % 8));
  }
}

}  // namespace winsim::hid

namespace {

struct ReportView {
  const CollectionLayout* layout = nullptr;
  const uint8_t* bytes = nullptr;
};

NTSTATUS CheckReport(HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed, PCHAR report, ULONG length,
                     ReportView& view) {
  if (length == 0) return HIDP_STATUS_INVALID_REPORT_LENGTH;
  view.layout = LayoutOf(preparsed);
  if (!view.layout) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (!IsReportType(type)) return HIDP_STATUS_INVALID_REPORT_TYPE;
  if (length != view.layout->reportByteLength[type]) return HIDP_STATUS_INVALID_REPORT_LENGTH;
  if (!report) return kStatusInvalidParameter;
  view.bytes = reinterpret_cast<const uint8_t*>(report);
  return HIDP_STATUS_SUCCESS;
}

NTSTATUS NothingFound(bool incompatible) {
  return incompatible ? HIDP_STATUS_INCOMPATIBLE_REPORT_ID : HIDP_STATUS_USAGE_NOT_FOUND;
}

CapFilter ValueFilter(USAGE page, USHORT link, USAGE usage, const ReportView& view) {
  CapFilter filter;
  filter.kind = CapKind::kValues;
  filter.usagePage = page;
  filter.linkCollection = link;
  filter.usage = usage;
  filter.reportId = view.bytes[0];
  return filter;
}

// The fields of the array items of one report, each read once per call: an
// array item with several usage entries becomes one cap per entry, all over
// the same fields, so reading them per cap would cost caps times fields.
class ArrayFields {
 public:
  using Field = std::pair<uint32_t, uint32_t>;  // (field value, field number)

  explicit ArrayFields(const uint8_t* report) : m_report(report) {}

  // Every field of the cap's array item, ordered by value.
  const std::vector<Field>& Of(const Cap& cap) {
    auto [it, inserted] = m_items.try_emplace(std::make_pair(cap.reportId, cap.startBit));
    if (inserted) {
      it->second.reserve(cap.reportCount);
      for (uint32_t field = 0; field < cap.reportCount; ++field)
        it->second.emplace_back(
            ReadBits(m_report, cap.startBit + field * cap.bitSize, std::min<uint32_t>(cap.bitSize, 32)), field);
      std::sort(it->second.begin(), it->second.end());
    }
    return it->second;
  }

 private:
  const uint8_t* m_report;
  std::map<std::pair<UCHAR, uint32_t>, std::vector<Field>> m_items;
};

// The usages that are on in one button cap, in field order.
template <class Emit>
void PressedUsages(const Cap& cap, const uint8_t* report, ArrayFields& arrays, Emit emit) {
  if (cap.isArray) {
    const uint32_t last = cap.arrayIndexMin + (cap.usageMax - cap.usageMin);
    const auto& fields = arrays.Of(cap);
    const auto first = std::lower_bound(fields.begin(), fields.end(), ArrayFields::Field{cap.arrayIndexMin, 0});
    const auto end = std::upper_bound(first, fields.end(), ArrayFields::Field{last, UINT32_MAX});
    std::vector<ArrayFields::Field> selected(first, end);
    std::sort(selected.begin(), selected.end(),
              [](const ArrayFields::Field& a, const ArrayFields::Field& b) { return a.second < b.second; });
    for (const auto& [index, field] : selected) emit(static_cast<USAGE>(cap.usageMin + (index - cap.arrayIndexMin)));
    return;
  }
  const uint32_t bits = std::min<uint32_t>(cap.usageMax - cap.usageMin + 1u, cap.reportCount);
  for (uint32_t i = 0; i < bits; ++i)
    if (ReadBits(report, cap.startBit + i * cap.bitSize, 1)) emit(static_cast<USAGE>(cap.usageMin + i));
}

// Collects the pressed usages of the matching button caps into out[0..capacity)
// and counts all of them.
template <class Out, class Make>
NTSTATUS CollectUsages(const ReportView& view, HIDP_REPORT_TYPE type, const CapFilter& filter, Out* out,
                       PULONG length, Make make) {
  const ULONG capacity = out ? *length : 0;
  ULONG found = 0;
  bool incompatible = false;
  ArrayFields arrays(view.bytes);
  const size_t matched = ForEachCap(*view.layout, type, filter, [&](const Cap& cap) {
    PressedUsages(cap, view.bytes, arrays, [&](USAGE usage) {
      if (found < capacity) out[found] = make(cap, usage);
      ++found;
    });
    return true;
  }, &incompatible);
  *length = found;
  if (matched == 0) return NothingFound(incompatible);
  return found > capacity ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

CapFilter ButtonFilter(std::optional<USAGE> page, USHORT link, const ReportView& view) {
  CapFilter filter;
  filter.kind = CapKind::kButtons;
  filter.usagePage = page;
  filter.linkCollection = link;
  filter.reportId = view.bytes[0];
  return filter;
}

// The first value cap that passes `filter`, or the status that says why none does.
NTSTATUS FindValueCap(const ReportView& view, HIDP_REPORT_TYPE type, const CapFilter& filter, const Cap*& found) {
  bool incompatible = false;
  found = nullptr;
  ForEachCap(*view.layout, type, filter, [&](const Cap& cap) {
    found = &cap;
    return false;
  }, &incompatible);
  return found ? HIDP_STATUS_SUCCESS : NothingFound(incompatible);
}

// The value cap a HidP_GetUsageValue* call names in its report, and the report.
struct ValueQuery {
  HIDP_REPORT_TYPE type;
  USAGE page;
  USHORT link;
  USAGE usage;
  PHIDP_PREPARSED_DATA preparsed;
  PCHAR report;
  ULONG length;
};

NTSTATUS FindValue(const ValueQuery& query, ReportView& view, const Cap*& cap) {
  if (NTSTATUS status = CheckReport(query.type, query.preparsed, query.report, query.length, view);
      status != HIDP_STATUS_SUCCESS)
    return status;
  return FindValueCap(view, query.type, ValueFilter(query.page, query.link, query.usage, view), cap);
}

}  // namespace

extern "C" {

NTSTATUS NTAPI HidP_GetUsages(HIDP_REPORT_TYPE ReportType, USAGE UsagePage, USHORT LinkCollection, PUSAGE UsageList,
                              PULONG UsageLength, PHIDP_PREPARSED_DATA PreparsedData, PCHAR Report,
                              ULONG ReportLength) {
  ReportView view;
  if (NTSTATUS status = CheckReport(ReportType, PreparsedData, Report, ReportLength, view); status != HIDP_STATUS_SUCCESS)
    return status;
  if (!UsageLength) return kStatusInvalidParameter;
  return CollectUsages(view, ReportType, ButtonFilter(UsagePage, LinkCollection, view), UsageList, UsageLength,
                       [](const Cap&, USAGE usage) { return usage; });
}

NTSTATUS NTAPI HidP_GetUsagesEx(HIDP_REPORT_TYPE ReportType, USHORT LinkCollection, PUSAGE_AND_PAGE ButtonList,
                                ULONG* UsageLength, PHIDP_PREPARSED_DATA PreparsedData, PCHAR Report,
                                ULONG ReportLength) {
  ReportView view;
  if (NTSTATUS status = CheckReport(ReportType, PreparsedData, Report, ReportLength, view); status != HIDP_STATUS_SUCCESS)
    return status;
  if (!UsageLength) return kStatusInvalidParameter;
  return CollectUsages(view, ReportType, ButtonFilter(std::nullopt, LinkCollection, view), ButtonList, UsageLength,
                       [](const Cap& cap, USAGE usage) {
    return USAGE_AND_PAGE{usage, cap.usagePage};
  });
}

NTSTATUS NTAPI HidP_GetUsageValue(HIDP_REPORT_TYPE ReportType, USAGE UsagePage, USHORT LinkCollection, USAGE Usage,
                                  PULONG UsageValue, PHIDP_PREPARSED_DATA PreparsedData, PCHAR Report,
                                  ULONG ReportLength) {
  ReportView view;
  const Cap* cap = nullptr;
  const ValueQuery query{ReportType, UsagePage, LinkCollection, Usage, PreparsedData, Report, ReportLength};
  if (NTSTATUS status = FindValue(query, view, cap); status != HIDP_STATUS_SUCCESS) return status;
  if (!UsageValue) return kStatusInvalidParameter;
  const uint32_t field = cap->isRange ? uint32_t(Usage - cap->usageMin) : 0;
  if (field >= cap->reportCount) return HIDP_STATUS_USAGE_NOT_FOUND;
  if (cap->bitSize > 32) return HIDP_STATUS_BUFFER_TOO_SMALL;
  *UsageValue = ReadBits(view.bytes, cap->startBit + field * cap->bitSize, cap->bitSize);
  return HIDP_STATUS_SUCCESS;
}

// Copies all fields of a value array, packed, into exactly as many bytes as
// they take.
NTSTATUS NTAPI HidP_GetUsageValueArray(HIDP_REPORT_TYPE ReportType, USAGE UsagePage, USHORT LinkCollection,
                                       USAGE Usage, PCHAR UsageValue, USHORT UsageValueByteLength,
                                       PHIDP_PREPARSED_DATA PreparsedData, PCHAR Report, ULONG ReportLength) {
  ReportView view;
  const Cap* cap = nullptr;
  const ValueQuery query{ReportType, UsagePage, LinkCollection, Usage, PreparsedData, Report, ReportLength};
  if (NTSTATUS status = FindValue(query, view, cap); status != HIDP_STATUS_SUCCESS) return status;
  if (cap->isRange || cap->reportCount <= 1) return HIDP_STATUS_NOT_VALUE_ARRAY;
  const uint32_t bits = uint32_t(cap->bitSize) * cap->reportCount;
  if ((bits + 7) / 8 > UsageValueByteLength) return HIDP_STATUS_BUFFER_TOO_SMALL;
  if (!UsageValue) return kStatusInvalidParameter;
  CopyBits(reinterpret_cast<uint8_t*>(UsageValue), view.bytes, cap->startBit, bits);
  return HIDP_STATUS_SUCCESS;
}

}  // extern "C"
