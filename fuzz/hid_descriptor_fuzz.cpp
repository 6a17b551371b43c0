// winsim's report-descriptor parser, and every HidP_* query on what it
// parsed: caps and link nodes into buffers of exactly the size asked for (and
// smaller ones), list lengths, and usage and value reads from reports of the
// exact length and of any other length.
//
// Input: a block (16-bit length, then the descriptor), then the queries'
// choices and the reports' bytes.
#include "FuzzSupport.h"

#include <winsim/sim/hidparse.h>

#include <algorithm>
#include <memory>

namespace {

using winsim::hid::CollectionLayout;

// Bounds that keep one run short; the parser itself sees the whole input.
constexpr size_t kMaxCollections = 8;
constexpr size_t kMaxCapQueries = 32;
constexpr size_t kMaxReports = 4;

constexpr HIDP_REPORT_TYPE kTypes[] = {HidP_Input, HidP_Output, HidP_Feature};

// A heap block of exactly n elements (at least one), so that AddressSanitizer
// sees any write past what the call was told it may use.
template <class T>
std::unique_ptr<T[]> Exactly(size_t n) {
  return std::make_unique<T[]>(n == 0 ? 1 : n);
}

void CheckLinkNodes(PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS& caps) {
  ULONG count = 0;
  FUZZ_CHECK(HidP_GetLinkCollectionNodes(nullptr, &count, preparsed) == HIDP_STATUS_BUFFER_TOO_SMALL ||
                 caps.NumberLinkCollectionNodes == 0,
             "a null node buffer must be too small");
  FUZZ_CHECK(count == caps.NumberLinkCollectionNodes, "node count %lu against caps %u", (unsigned long)count,
             caps.NumberLinkCollectionNodes);
  auto nodes = Exactly<HIDP_LINK_COLLECTION_NODE>(count);
  ULONG length = count;
  FUZZ_CHECK(HidP_GetLinkCollectionNodes(nodes.get(), &length, preparsed) == HIDP_STATUS_SUCCESS, "node read");
  // Whoever walks the tree follows these links: each must name a node.
  for (ULONG i = 0; i < length; ++i) {
    FUZZ_CHECK(nodes[i].Parent < length && nodes[i].FirstChild < length && nodes[i].NextSibling < length,
               "node %lu links outside the tree", (unsigned long)i);
  }
  if (count > 1) {
    ULONG fewer = count - 1;
    FUZZ_CHECK(HidP_GetLinkCollectionNodes(Exactly<HIDP_LINK_COLLECTION_NODE>(fewer).get(), &fewer, preparsed) ==
                   HIDP_STATUS_BUFFER_TOO_SMALL,
               "short node buffer");
  }
}

// The caps of one kind into a buffer of the announced size, then into a
// smaller one, then through the Specific query with the input's filter.
template <class Caps, class Get, class GetSpecific>
std::unique_ptr<Caps[]> ReadCaps(FuzzedDataProvider& input, HIDP_REPORT_TYPE type, USHORT announced,
                                 PHIDP_PREPARSED_DATA preparsed, Get get, GetSpecific getSpecific, USHORT& got) {
  auto caps = Exactly<Caps>(announced);
  got = announced;
  const NTSTATUS status = get(type, caps.get(), &got, preparsed);
  if (announced != 0) {
    FUZZ_CHECK(status == HIDP_STATUS_SUCCESS && got == announced, "caps read: status %08lx, %u of %u",
               (unsigned long)status, got, announced);
    USHORT fewer = static_cast<USHORT>(vornfuzz::ConsumeIndex(input, announced));
    get(type, Exactly<Caps>(fewer).get(), &fewer, preparsed);
    FUZZ_CHECK(fewer == announced, "a short read must still say how many there are");
  }
  USHORT specific = static_cast<USHORT>(vornfuzz::ConsumeIndex(input, announced + 1u));
  const USAGE page = input.ConsumeIntegral<uint16_t>(), usage = input.ConsumeIntegral<uint16_t>();
  const USHORT link = input.ConsumeIntegral<uint16_t>();
  getSpecific(type, page, link, usage, Exactly<Caps>(specific).get(), &specific, preparsed);
  FUZZ_CHECK(specific <= announced, "more specific caps than caps");
  return caps;
}

// Every data index a cap names lies below the count HidP_GetCaps gives:
// callers index their data lists with them.
template <class Caps>
void CheckDataIndices(const Caps* caps, USHORT count, USHORT indices) {
  for (USHORT i = 0; i < count; ++i) {
    const USHORT first = caps[i].IsRange ? caps[i].Range.DataIndexMin : caps[i].NotRange.DataIndex;
    const USHORT last = caps[i].IsRange ? caps[i].Range.DataIndexMax : first;
    FUZZ_CHECK(first <= last && last < indices, "cap %u names data indices %u..%u of %u", i, first, last, indices);
  }
}

// A report of this type: the exact length most of the time, any length otherwise.
std::vector<char> MakeReport(FuzzedDataProvider& input, ULONG exactLength) {
  const uint8_t choice = input.ConsumeIntegral<uint8_t>();
  const size_t length = (choice & 0x80) ? (choice & 0x7F) : exactLength;
  std::vector<char> report(length);
  const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(length);
  std::copy(bytes.begin(), bytes.end(), report.begin());
  return report;
}

void ReadUsages(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type, USAGE page, USHORT link,
                std::vector<char>& report) {
  // A report holds at most one usage per bit, so a list of that many
  // entries (or the maximum, when smaller) always takes them all: a list as
  // long as a huge maximum would only cost time.
  const ULONG inReport = static_cast<ULONG>(report.size() * 8);
  const ULONG most = std::min(HidP_MaxUsageListLength(type, page, preparsed), inReport);
  auto usages = Exactly<USAGE>(most);
  ULONG length = most;
  const NTSTATUS status = HidP_GetUsages(type, page, link, usages.get(), &length, preparsed, report.data(),
                                         static_cast<ULONG>(report.size()));
  FUZZ_CHECK(status != HIDP_STATUS_BUFFER_TOO_SMALL, "%lu usages did not fit a list of %lu",
             (unsigned long)length, (unsigned long)most);
  if (status == HIDP_STATUS_SUCCESS) FUZZ_CHECK(length <= most, "usage count past the maximum");

  const ULONG mostAll = std::min(HidP_MaxUsageListLength(type, 0, preparsed), inReport);
  auto pairs = Exactly<USAGE_AND_PAGE>(mostAll);
  ULONG pairCount = mostAll;
  const NTSTATUS statusEx = HidP_GetUsagesEx(type, link, pairs.get(), &pairCount, preparsed, report.data(),
                                             static_cast<ULONG>(report.size()));
  FUZZ_CHECK(statusEx != HIDP_STATUS_BUFFER_TOO_SMALL, "usage pairs did not fit the maximum list");
}

void ReadValues(FuzzedDataProvider& input, PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type,
                const HIDP_VALUE_CAPS* caps, USHORT count, std::vector<char>& report) {
  const PCHAR bytes = report.data();
  const auto length = static_cast<ULONG>(report.size());
  for (size_t i = 0; i < count && i < kMaxCapQueries; ++i) {
    const HIDP_VALUE_CAPS& cap = caps[i];
    const USAGE usage =
        cap.IsRange ? static_cast<USAGE>(cap.Range.UsageMin + input.ConsumeIntegral<uint8_t>()) : cap.NotRange.Usage;
    ULONG value = 0;
    HidP_GetUsageValue(type, cap.UsagePage, cap.LinkCollection, usage, &value, preparsed, bytes, length);
    const size_t arrayBytes = (size_t{cap.BitSize} * cap.ReportCount + 7) / 8;
    const USHORT room = static_cast<USHORT>(input.ConsumeBool() ? arrayBytes : input.ConsumeIntegral<uint8_t>());
    auto array = Exactly<char>(room);
    HidP_GetUsageValueArray(type, cap.UsagePage, cap.LinkCollection, usage, array.get(), room, preparsed, bytes,
                            length);
  }
  // And a usage the caps may not have.
  ULONG value = 0;
  const USAGE page = input.ConsumeIntegral<uint16_t>(), usage = input.ConsumeIntegral<uint16_t>();
  HidP_GetUsageValue(type, page, input.ConsumeIntegral<uint16_t>(), usage, &value, preparsed, bytes, length);
}

// The one of three caps fields that belongs to the report type.
template <class T>
T ByType(HIDP_REPORT_TYPE type, T input, T output, T feature) {
  return type == HidP_Input ? input : type == HidP_Output ? output : feature;
}

void QueryType(FuzzedDataProvider& input, PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS& caps,
               HIDP_REPORT_TYPE type) {
  const USHORT buttons =
      ByType(type, caps.NumberInputButtonCaps, caps.NumberOutputButtonCaps, caps.NumberFeatureButtonCaps);
  const USHORT values = ByType(type, caps.NumberInputValueCaps, caps.NumberOutputValueCaps, caps.NumberFeatureValueCaps);
  const ULONG reportLength =
      ByType(type, caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength);
  const USHORT indices =
      ByType(type, caps.NumberInputDataIndices, caps.NumberOutputDataIndices, caps.NumberFeatureDataIndices);
  USHORT gotButtons = 0, gotValues = 0;
  auto buttonCaps = ReadCaps<HIDP_BUTTON_CAPS>(input, type, buttons, preparsed, HidP_GetButtonCaps,
                                               HidP_GetSpecificButtonCaps, gotButtons);
  auto valueCaps = ReadCaps<HIDP_VALUE_CAPS>(input, type, values, preparsed, HidP_GetValueCaps,
                                             HidP_GetSpecificValueCaps, gotValues);
  CheckDataIndices(buttonCaps.get(), gotButtons, indices);
  CheckDataIndices(valueCaps.get(), gotValues, indices);
  HidP_MaxDataListLength(type, preparsed);
  const size_t reports = input.ConsumeIntegralInRange<size_t>(1, kMaxReports);
  for (size_t i = 0; i < reports; ++i) {
    std::vector<char> report = MakeReport(input, reportLength);
    const USAGE page = gotButtons != 0 && input.ConsumeBool()
                           ? buttonCaps[vornfuzz::ConsumeIndex(input, gotButtons)].UsagePage
                           : input.ConsumeIntegral<uint16_t>();
    const uint8_t link = input.ConsumeIntegral<uint8_t>();
    ReadUsages(preparsed, type, page, link == 0xFF ? HIDP_LINK_COLLECTION_ROOT : link, report);
    ReadValues(input, preparsed, type, valueCaps.get(), gotValues, report);
  }
}

void QueryCollection(FuzzedDataProvider& input, const CollectionLayout& layout) {
  winsim::hid::PreparsedPtr preparsed(winsim::hid::AllocatePreparsedData(layout));
  HIDP_CAPS caps{};
  FUZZ_CHECK(HidP_GetCaps(preparsed.Get(), &caps) == HIDP_STATUS_SUCCESS, "caps of parsed data");
  for (size_t type = 0; type < 3; ++type) {
    const size_t all = layout.caps[type].size();
    if (all > 0xFFFF) return;  // more caps than a USHORT counts: nothing below can be exact
  }
  FUZZ_CHECK(size_t{caps.NumberInputButtonCaps} + caps.NumberInputValueCaps == layout.caps[HidP_Input].size() &&
                 size_t{caps.NumberOutputButtonCaps} + caps.NumberOutputValueCaps == layout.caps[HidP_Output].size() &&
                 size_t{caps.NumberFeatureButtonCaps} + caps.NumberFeatureValueCaps ==
                     layout.caps[HidP_Feature].size(),
             "cap counts of HidP_GetCaps against the layout");
  CheckLinkNodes(preparsed.Get(), caps);
  for (HIDP_REPORT_TYPE type : kTypes) QueryType(input, preparsed.Get(), caps, type);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::vector<uint8_t> descriptor = vornfuzz::ConsumeBlock(input);
  const winsim::hid::ParseResult parsed = winsim::hid::ParseReportDescriptor(descriptor);
  if (!parsed.ok()) return 0;
  for (size_t i = 0; i < parsed.collections.size() && i < kMaxCollections; ++i)
    QueryCollection(input, parsed.collections[i]);
  return 0;
}
