// HidP_GetUsages on array items: an array item with many usage entries is one
// cap per entry over the same fields; the answer lists the usages cap by cap,
// each cap's in field order, and reads every field once however many caps
// share it.
#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/hidparse.h>

#include <cstdint>
#include <vector>

namespace {

using winsim::hid::CollectionLayout;

// An application collection (vendor page) with report ID 1 and one input
// array of `fields` 8-bit fields over the usage entries `entries`: a pair
// (first, last) is a range when last > first.
std::vector<uint8_t> Descriptor(const std::vector<std::pair<uint16_t, uint16_t>>& entries, unsigned fields) {
  std::vector<uint8_t> bytes = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01};
  for (const auto& [first, last] : entries) {
    if (first == last) {
      bytes.insert(bytes.end(), {0x0A, static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8)});
    } else {
      bytes.insert(bytes.end(), {0x1A, static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8)});
      bytes.insert(bytes.end(), {0x2A, static_cast<uint8_t>(last), static_cast<uint8_t>(last >> 8)});
    }
  }
  bytes.insert(bytes.end(), {0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, static_cast<uint8_t>(fields),
                             static_cast<uint8_t>(fields >> 8), 0x81, 0x00, 0xC0});
  return bytes;
}

// What HidP_GetUsages answers, worked out from the layout the slow way: for
// each cap in order, each field whose value selects one of its usages.
std::vector<USAGE> Expected(const CollectionLayout& layout, const std::vector<uint8_t>& report) {
  std::vector<USAGE> usages;
  for (const auto& cap : layout.caps[HidP_Input]) {
    const uint32_t last = cap.arrayIndexMin + (cap.usageMax - cap.usageMin);
    for (uint32_t field = 0; field < cap.reportCount; ++field) {
      const uint32_t value = report[(cap.startBit / 8) + field];
      if (value != 0 && value >= cap.arrayIndexMin && value <= last)
        usages.push_back(static_cast<USAGE>(cap.usageMin + (value - cap.arrayIndexMin)));
    }
  }
  return usages;
}

struct Parsed {
  CollectionLayout layout;
  winsim::hid::PreparsedPtr preparsed;
};

Parsed Parse(const std::vector<uint8_t>& descriptor) {
  auto result = winsim::hid::ParseReportDescriptor(descriptor);
  EXPECT_TRUE(result.ok()) << result.error;
  Parsed parsed{result.collections.at(0), {}};
  parsed.preparsed.Reset(winsim::hid::AllocatePreparsedData(parsed.layout));
  return parsed;
}

std::vector<USAGE> GetUsages(const Parsed& parsed, std::vector<uint8_t> report) {
  std::vector<USAGE> usages(HidP_MaxUsageListLength(HidP_Input, 0xFF00, parsed.preparsed.Get()));
  ULONG count = static_cast<ULONG>(usages.size());
  EXPECT_EQ(HidP_GetUsages(HidP_Input, 0xFF00, 0, usages.data(), &count, parsed.preparsed.Get(),
                           reinterpret_cast<PCHAR>(report.data()), static_cast<ULONG>(report.size())),
            HIDP_STATUS_SUCCESS);
  usages.resize(count);
  return usages;
}

TEST(ArrayUsages, CapByCapInFieldOrder) {
  // Entries: usage 0x10, the range 0x20..0x24, usage 0x30, usage 0x31.
  const Parsed parsed = Parse(Descriptor({{0x10, 0x10}, {0x20, 0x24}, {0x30, 0x30}, {0x31, 0x31}}, 6));
  ASSERT_EQ(parsed.layout.caps[HidP_Input].size(), 4u);
  // Field values select: 8 = 0x31, 3 = 0x21, 1 = 0x10, 0 = none, 3 again, 9 = beyond the last usage.
  std::vector<uint8_t> report = {0x01, 8, 3, 1, 0, 3, 9};
  ASSERT_EQ(report.size(), parsed.layout.reportByteLength[HidP_Input]);
  const std::vector<USAGE> usages = GetUsages(parsed, report);
  EXPECT_EQ(usages, Expected(parsed.layout, report));
  EXPECT_EQ(usages.size(), 4u);
}

TEST(ArrayUsages, ManyEntriesOverManyFieldsReadEachFieldOnce) {
  constexpr unsigned kEntries = 200;
  constexpr unsigned kFields = 300;
  std::vector<std::pair<uint16_t, uint16_t>> entries;
  for (unsigned n = 1; n <= kEntries; ++n) entries.emplace_back(static_cast<uint16_t>(n), static_cast<uint16_t>(n));
  const Parsed parsed = Parse(Descriptor(entries, kFields));
  ASSERT_EQ(parsed.layout.caps[HidP_Input].size(), kEntries);
  std::vector<uint8_t> report(1 + kFields);
  report[0] = 0x01;
  for (unsigned field = 0; field < kFields; ++field) report[1 + field] = static_cast<uint8_t>((field * 7) % 256);
  const uint64_t nBefore = winsim::hid::FieldReadsOnThisThread();
  const std::vector<USAGE> usages = GetUsages(parsed, report);
  const uint64_t nReads = winsim::hid::FieldReadsOnThisThread() - nBefore;
  EXPECT_EQ(usages, Expected(parsed.layout, report));
  // Linear in the fields: not once per cap and field.
  EXPECT_LE(nReads, kFields);
}

}  // namespace
