// The model's report descriptors, read by winsim's HID parser: the whole
// device as Windows splits it, and each collection alone as a HID stack that
// gets one device per collection (Wine 8) is given it.
#include <gtest/gtest.h>

#include <ctlmodel/controller.h>
#include <winsim/sim/hidparse.h>

#include <span>
#include <string>
#include <vector>

using ctlmodel::Collection;
using winsim::hid::CollectionLayout;

namespace {

std::span<const uint8_t> Span(ctlmodel::Descriptor descriptor) { return {descriptor.bytes, descriptor.length}; }

std::string Hex(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) text += kDigits[b >> 4], text += kDigits[b & 0xF];
  return text;
}

// The descriptor winsim's controller had before the model was extracted,
// byte for byte: the product's tests and the Windows-checked expectations
// were written against it.
constexpr const char* kDeviceHex =
    "050D0904A1018501050D0922A102094215002501750195018102950781030951250F750895018102050126FF0F7510550E65"
    "113500467C0B0930810246720609318102450055006500C0050D0922A102094215002501750195018102950781030951250F"
    "750895018102050126FF0F7510550E65113500467C0B0930810246720609318102450055006500C0050D0954257F75089501"
    "8102850A0955250AB102C00600FF0901A10185020902150026FF007508953F810285040904150026FF007508953F8102C006"
    "00FF0901A10185030903150026FF007508953F9102C0";

TEST(Descriptors, DeviceDescriptorIsUnchanged) { EXPECT_EQ(Hex(Span(ctlmodel::DeviceDescriptor())), kDeviceHex); }

TEST(Descriptors, CollectionsAreConsecutivePartsOfTheDevice) {
  const auto device = ctlmodel::DeviceDescriptor();
  size_t offset = 0;
  for (size_t i = 0; i < ctlmodel::kCollectionCount; ++i) {
    const auto part = ctlmodel::CollectionDescriptor(static_cast<Collection>(i));
    ASSERT_NE(part.bytes, nullptr);
    EXPECT_EQ(part.bytes, device.bytes + offset) << i;
    offset += part.length;
  }
  EXPECT_EQ(offset, device.length);
  EXPECT_EQ(ctlmodel::CollectionDescriptor(static_cast<Collection>(3)).bytes, nullptr);
  EXPECT_EQ(ctlmodel::CollectionDescriptor(static_cast<Collection>(3)).length, 0u);
}

struct Expected {
  USAGE usagePage, usage;
  USHORT input, output, feature;  // report byte lengths
  std::vector<UCHAR> inputIds, outputIds, featureIds;
};

const Expected kExpected[] = {
    {0x0D, 0x04, ctlmodel::kTouchReportBytes, 0, 2, {1}, {}, {10}},
    {0xFF00, 0x01, ctlmodel::kVendorReportBytes, 0, 0, {2, 4}, {}, {}},
    {0xFF00, 0x01, 0, ctlmodel::kVendorReportBytes, 0, {}, {3}, {}},
};

void ExpectLayout(const CollectionLayout& layout, const Expected& expected, const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(layout.usagePage, expected.usagePage);
  EXPECT_EQ(layout.usage, expected.usage);
  EXPECT_EQ(layout.reportByteLength[HidP_Input], expected.input);
  EXPECT_EQ(layout.reportByteLength[HidP_Output], expected.output);
  EXPECT_EQ(layout.reportByteLength[HidP_Feature], expected.feature);
  EXPECT_EQ(layout.reportIds[HidP_Input], expected.inputIds);
  EXPECT_EQ(layout.reportIds[HidP_Output], expected.outputIds);
  EXPECT_EQ(layout.reportIds[HidP_Feature], expected.featureIds);
  EXPECT_TRUE(layout.usesReportIds);
}

TEST(Descriptors, TheDeviceHasThreeTopLevelCollections) {
  const auto parsed = winsim::hid::ParseReportDescriptor(Span(ctlmodel::DeviceDescriptor()));
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  ASSERT_EQ(parsed.collections.size(), ctlmodel::kCollectionCount);
  for (size_t i = 0; i < ctlmodel::kCollectionCount; ++i)
    ExpectLayout(parsed.collections[i], kExpected[i], "collection " + std::to_string(i));
}

// Global items carry over from one top-level collection to the next; alone,
// each collection must still say everything itself.
TEST(Descriptors, EachCollectionAloneParsesAsItDoesInTheDevice) {
  const auto whole = winsim::hid::ParseReportDescriptor(Span(ctlmodel::DeviceDescriptor()));
  ASSERT_TRUE(whole.ok());
  for (size_t i = 0; i < ctlmodel::kCollectionCount; ++i) {
    const auto alone = winsim::hid::ParseReportDescriptor(Span(ctlmodel::CollectionDescriptor(static_cast<Collection>(i))));
    ASSERT_TRUE(alone.ok()) << alone.error;
    ASSERT_EQ(alone.collections.size(), 1u);
    const CollectionLayout& a = alone.collections[0];
    const CollectionLayout& w = whole.collections[i];
    ExpectLayout(a, kExpected[i], "alone " + std::to_string(i));
    for (int type = 0; type < winsim::hid::kReportTypes; ++type) {
      ASSERT_EQ(a.caps[type].size(), w.caps[type].size());
      for (size_t c = 0; c < a.caps[type].size(); ++c) {
        EXPECT_EQ(a.caps[type][c].usageMin, w.caps[type][c].usageMin);
        EXPECT_EQ(a.caps[type][c].bitSize, w.caps[type][c].bitSize);
        EXPECT_EQ(a.caps[type][c].reportCount, w.caps[type][c].reportCount);
        EXPECT_EQ(a.caps[type][c].logicalMax, w.caps[type][c].logicalMax);
        EXPECT_EQ(a.caps[type][c].physicalMax, w.caps[type][c].physicalMax);
        EXPECT_EQ(a.caps[type][c].units, w.caps[type][c].units);
        EXPECT_EQ(a.caps[type][c].startBit, w.caps[type][c].startBit);
      }
    }
  }
}

TEST(Descriptors, ReportsTheModelSendsFitTheirCollection) {
  const auto parsed = winsim::hid::ParseReportDescriptor(Span(ctlmodel::DeviceDescriptor()));
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(ctlmodel::Controller::TouchReport(0, 0, true).length,
            parsed.collections[size_t(Collection::kTouchScreen)].reportByteLength[HidP_Input]);
  ctlmodel::Controller model;
  model.Init(ctlmodel::DefaultConfig());
  uint8_t query[64] = {3, 0, 4, 0x53, 0, 0, 1};
  EXPECT_EQ(model.TakeOutputReport(Collection::kVendorOutput, query, sizeof(query)).answer.length,
            parsed.collections[size_t(Collection::kVendorInput)].reportByteLength[HidP_Input]);
  EXPECT_EQ(sizeof(query), parsed.collections[size_t(Collection::kVendorOutput)].reportByteLength[HidP_Output]);
}

TEST(Descriptors, StringsAreTerminatedUtf16) {
  const char16_t* manufacturer = ctlmodel::ManufacturerString();
  EXPECT_EQ(std::u16string(manufacturer), u"VORN");
  EXPECT_FALSE(std::u16string(ctlmodel::ProductString()).empty());
}

}  // namespace
