// Real touch-screen and pen descriptors parse whole, with the collections and
// caps a HID engineer expects; malformed descriptors are refused cleanly.
#include "oracle.h"

#include <gtest/gtest.h>

#include <random>

using namespace oracle;

namespace {

const json& Descriptor(const std::string& id) {
  for (const auto& d : TouchDescriptors()["descriptors"])
    if (d["id"] == id) return d;
  throw std::runtime_error("no descriptor " + id);
}

bool HasValue(PHIDP_PREPARSED_DATA pp, HIDP_REPORT_TYPE type, USAGE page, USAGE usage, HIDP_VALUE_CAPS* found = nullptr) {
  for (const auto& caps : ValueCaps(pp, type))
    if (caps.UsagePage == page && !caps.IsRange && caps.NotRange.Usage == usage) {
      if (found) *found = caps;
      return true;
    }
  return false;
}

bool HasButton(PHIDP_PREPARSED_DATA pp, USAGE page, USAGE usage) {
  for (const auto& caps : ButtonCaps(pp, HidP_Input)) {
    const USAGE first = caps.IsRange ? caps.Range.UsageMin : caps.NotRange.Usage;
    const USAGE last = caps.IsRange ? caps.Range.UsageMax : caps.NotRange.Usage;
    if (caps.UsagePage == page && first <= usage && usage <= last) return true;
  }
  return false;
}

std::string ParseError(std::vector<uint8_t> bytes) { return winsim::hid::ParseReportDescriptor(bytes).error; }

}  // namespace

TEST(RealDescriptors, TopLevelCollectionsAsRecorded) {
  for (const auto& d : TouchDescriptors()["descriptors"]) {
    const Parsed parsed(d["descriptor_hex"]);
    const auto& tlcs = d["top_level_collections"];
    ASSERT_EQ(parsed.size(), tlcs.size()) << d["id"];
    for (size_t i = 0; i < parsed.size(); ++i) {
      const HIDP_CAPS caps = parsed.Caps(i);
      EXPECT_EQ(caps.UsagePage, tlcs[i]["usage_page"]) << d["id"] << " tlc " << i;
      EXPECT_EQ(caps.Usage, tlcs[i]["usage"]) << d["id"] << " tlc " << i;
    }
  }
}

// A self-contained collection parses to the same caps alone as inside the
// whole descriptor.
TEST(RealDescriptors, SelfContainedCollectionsParseAlone) {
  for (const auto& d : TouchDescriptors()["descriptors"]) {
    const auto bytes = Hex(d["descriptor_hex"]);
    const Parsed whole(d["descriptor_hex"]);
    for (size_t i = 0; i < d["top_level_collections"].size(); ++i) {
      const auto& tlc = d["top_level_collections"][i];
      if (!tlc["self_contained"].get<bool>()) continue;
      const size_t begin = tlc["byte_range"][0], end = tlc["byte_range"][1];
      const std::string slice = d["descriptor_hex"].get<std::string>().substr(begin * 2, (end - begin) * 2);
      const Parsed alone(slice);
      EXPECT_EQ(ToJson(alone.Caps(0)), ToJson(whole.Caps(i))) << d["id"] << " tlc " << i;
    }
  }
}

TEST(RealDescriptors, TouchScreensReportFingers) {
  for (const auto& d : TouchDescriptors()["descriptors"]) {
    const Parsed parsed(d["descriptor_hex"]);
    const auto pp = parsed[0];
    ASSERT_EQ(parsed.Caps(0).Usage, 0x04) << d["id"];
    HIDP_VALUE_CAPS x{};
    ASSERT_TRUE(HasValue(pp, HidP_Input, 0x01, 0x30, &x)) << d["id"];
    EXPECT_EQ(x.LinkUsage, 0x22) << d["id"] << ": X belongs to a finger collection";
    EXPECT_TRUE(HasValue(pp, HidP_Input, 0x01, 0x31)) << d["id"];
    EXPECT_TRUE(HasButton(pp, 0x0D, 0x42)) << d["id"] << ": tip switch";
    EXPECT_TRUE(HasValue(pp, HidP_Input, 0x0D, 0x54)) << d["id"] << ": contact count";
    EXPECT_TRUE(HasValue(pp, HidP_Feature, 0x0D, 0x55)) << d["id"] << ": contact count maximum";
  }
}

TEST(RealDescriptors, WindowsCheckedLengthsOfTheSyntheticScreen) {
  const Parsed parsed(Descriptor("touchscreen-d")["descriptor_hex"]);
  EXPECT_EQ(parsed.Caps(0).InputReportByteLength, 10);
  EXPECT_EQ(parsed.Caps(0).FeatureReportByteLength, 2);
}

// The pen collection inherits globals from the touch screen before it and
// restores its own with Pop.
TEST(RealDescriptors, PenCollectionParsesWithInheritedGlobals) {
  const Parsed parsed(Descriptor("pen-a")["descriptor_hex"]);
  const auto pp = parsed[1];
  EXPECT_EQ(parsed.Caps(1).Usage, 0x02);
  HIDP_VALUE_CAPS caps{};
  ASSERT_TRUE(HasValue(pp, HidP_Input, 0x01, 0x30, &caps));
  EXPECT_TRUE(caps.HasNull);
  ASSERT_TRUE(HasValue(pp, HidP_Input, 0x0D, 0x30, &caps));
  EXPECT_EQ(caps.LogicalMax, 4095);
  ASSERT_TRUE(HasValue(pp, HidP_Input, 0x0D, 0x3D, &caps));
  EXPECT_EQ(caps.LogicalMin, -9000);
  EXPECT_EQ(caps.LogicalMax, 9000);
  // Exponent -2 is coded as the nibble 0x0E; Windows hands the item data on as it is.
  EXPECT_EQ(caps.UnitsExp, 0x0Eu);
  EXPECT_TRUE(HasButton(pp, 0x0D, 0x42));
  EXPECT_TRUE(HasButton(pp, 0x0D, 0x45));
}

TEST(MalformedDescriptors, AreRefusedWithAReason) {
  EXPECT_EQ(ParseError({0x05, 0x01, 0x09}), "truncated item");
  EXPECT_EQ(ParseError({0x05, 0x01, 0x09, 0x02, 0xa1, 0x01}), "collection not closed");
  EXPECT_EQ(ParseError({0xc0}), "End Collection without Collection");
  EXPECT_EQ(ParseError({0xb4}), "Pop without Push");
  EXPECT_EQ(ParseError({0x85, 0x00}), "report ID outside 1..255");
  EXPECT_EQ(ParseError({0x05, 0x01}), "no top-level collection");
  EXPECT_EQ(ParseError({}), "no top-level collection");
  EXPECT_EQ(ParseError({0xfe, 0x05, 0x00, 0x01}), "truncated long item");
  // 0xFFFF fields of 32 bits: longer than any report can be.
  EXPECT_EQ(ParseError({0x09, 0x01, 0xa1, 0x01, 0x75, 0x20, 0x96, 0xff, 0xff, 0x09, 0x01, 0x81, 0x02, 0xc0}),
            "report longer than 65535 bytes");
  EXPECT_EQ(ParseError({0x09, 0x01, 0xa1, 0x01, 0x19, 0x05, 0x29, 0x01, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02, 0xc0}),
            "usage minimum above usage maximum");
}

TEST(MalformedDescriptors, LongItemsAreSkipped) {
  const std::vector<uint8_t> bytes = {0xfe, 0x02, 0x10, 0xaa, 0xbb, 0x09, 0x01, 0xa1, 0x01, 0xc0};
  EXPECT_TRUE(winsim::hid::ParseReportDescriptor(bytes).ok());
}

// Random and mutated descriptors never crash the parser or the caps calls
// (the sanitizer builds watch the memory accesses).
TEST(MalformedDescriptors, RandomBytesNeverCrash) {
  std::mt19937 random(20240611);
  const auto seed = Hex(Descriptor("touchscreen-b")["descriptor_hex"]);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bytes = seed;
    for (int flips = 1 + round % 8; flips > 0; --flips) bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
    if (round % 3 == 0) bytes.resize(random() % bytes.size());
    const auto result = winsim::hid::ParseReportDescriptor(bytes);
    for (const auto& layout : result.collections) {
      winsim::hid::PreparsedPtr pp(winsim::hid::AllocatePreparsedData(layout));
      HIDP_CAPS caps{};
      ASSERT_EQ(HidP_GetCaps(pp.Get(), &caps), HIDP_STATUS_SUCCESS);
      std::vector<char> report(caps.InputReportByteLength ? caps.InputReportByteLength : 1, '\xff');
      USAGE usages[16];
      ULONG count = 16;
      HidP_GetUsages(HidP_Input, 0x09, 0, usages, &count, pp.Get(), report.data(), caps.InputReportByteLength);
      ButtonCaps(pp.Get(), HidP_Input);
      ValueCaps(pp.Get(), HidP_Feature);
    }
  }
}

TEST(PreparsedData, StaleOrForeignBlocksAreRefused) {
  const std::vector<uint8_t> bytes = {0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0xc0};
  const auto result = winsim::hid::ParseReportDescriptor(bytes);
  ASSERT_TRUE(result.ok());
  PHIDP_PREPARSED_DATA pp = winsim::hid::AllocatePreparsedData(result.collections[0]);
  HIDP_CAPS caps{};
  EXPECT_EQ(HidP_GetCaps(pp, &caps), HIDP_STATUS_SUCCESS);
  EXPECT_TRUE(HidD_FreePreparsedData(pp));
  EXPECT_EQ(HidP_GetCaps(pp, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
  EXPECT_FALSE(HidD_FreePreparsedData(pp));
  int unrelated = 0;
  EXPECT_EQ(HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(&unrelated), &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
  EXPECT_EQ(HidP_GetCaps(nullptr, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
}
