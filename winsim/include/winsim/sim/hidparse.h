// winsim's HID report-descriptor parser: what hid.dll's preparsed data holds,
// numbered the way the Windows HID parser numbers caps, data indices and link
// collections. Used by the HID bus, by hid.dll and by tools that inspect
// descriptors.
#pragma once

#include <handles/unique_handle.h>
#include <winsim/hid.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace winsim::hid {

constexpr int kReportTypes = 3;  // HidP_Input, HidP_Output, HidP_Feature

// One capability as the parser stores it: a button or value cap, covering
// `reportCount` fields of `bitSize` bits from `startBit` of its report.
struct Cap {
  USAGE usagePage = 0;
  UCHAR reportId = 0;
  USHORT bitField = 0;  // the main item's data bits
  USHORT linkCollection = 0;
  USAGE linkUsage = 0;
  USAGE linkUsagePage = 0;
  bool isButton = false;
  bool isArray = false;
  bool isRange = false;
  bool isStringRange = false;
  bool isDesignatorRange = false;
  USAGE usageMin = 0;
  USAGE usageMax = 0;
  USHORT stringMin = 0, stringMax = 0;
  USHORT designatorMin = 0, designatorMax = 0;
  USHORT dataIndexMin = 0, dataIndexMax = 0;
  USHORT bitSize = 0;
  USHORT reportCount = 0;
  uint32_t startBit = 0;  // counted from byte 0 of the report, the report ID byte
  LONG logicalMin = 0, logicalMax = 0;
  LONG physicalMin = 0, physicalMax = 0;
  ULONG units = 0, unitsExp = 0;
  // Arrays: the field value that selects usageMin (values count from 1 in the
  // order the usages were declared, whatever the logical minimum says).
  uint32_t arrayIndexMin = 0;

  bool IsAbsolute() const { return (bitField & 0x04) == 0; }
  bool HasNull() const { return (bitField & 0x40) != 0; }
  bool IsConstant() const { return (bitField & 0x01) != 0; }
};

struct LinkNode {
  USAGE usage = 0;
  USAGE usagePage = 0;
  USHORT parent = 0;
  USHORT numberOfChildren = 0;
  USHORT nextSibling = 0;
  USHORT firstChild = 0;
  UCHAR collectionType = 0;
};

// One top-level collection: Windows makes each of them a device of its own.
struct CollectionLayout {
  USAGE usage = 0;
  USAGE usagePage = 0;
  std::array<USHORT, kReportTypes> reportByteLength{};
  std::array<USHORT, kReportTypes> dataIndices{};
  std::array<std::vector<Cap>, kReportTypes> caps;  // in the parser's order
  std::array<std::vector<UCHAR>, kReportTypes> reportIds;  // ids that carry fields
  std::vector<LinkNode> nodes;
  bool usesReportIds = false;  // the descriptor declares report IDs
};

struct ParseResult {
  std::vector<CollectionLayout> collections;
  std::string error;  // empty on success
  bool ok() const { return error.empty(); }
};

// Parses a whole report descriptor; global items carry over from one
// top-level collection to the next, as they do on Windows.
ParseResult ParseReportDescriptor(std::span<const uint8_t> descriptor);

// Preparsed data as HidD_GetPreparsedData hands it out; freed with
// HidD_FreePreparsedData.
PHIDP_PREPARSED_DATA AllocatePreparsedData(const CollectionLayout& layout);
// The layout behind preparsed data, or null when `data` is not live
// preparsed data.
const CollectionLayout* LayoutOf(PHIDP_PREPARSED_DATA data);

// Report fields read by the HidP_* report functions on the calling thread
// since it started: what tests of their cost count.
uint64_t FieldReadsOnThisThread();

struct PreparsedTraits {
  using Handle = PHIDP_PREPARSED_DATA;
  static Handle None() { return nullptr; }
  static bool Owns(Handle data) { return data != nullptr; }
  static void Close(Handle data) { HidD_FreePreparsedData(data); }
};
using PreparsedPtr = handles::UniqueHandle<PreparsedTraits>;

}  // namespace winsim::hid
