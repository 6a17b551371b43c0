#include "oracle.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <stdexcept>

namespace oracle {
namespace {

json Load(const char* name) {
  std::ifstream in(std::string(VORN_TEST_DATA_DIR) + "/" + name);
  if (!in) throw std::runtime_error(std::string("cannot open ") + name);
  return json::parse(in);
}

template <class Caps>
void AddUsageFields(const Caps& c, json& j) {
  j["IsRange"] = c.IsRange;
  if (c.IsRange) {
    j["UsageMin"] = c.Range.UsageMin;
    j["UsageMax"] = c.Range.UsageMax;
    j["DataIndexMin"] = c.Range.DataIndexMin;
    j["DataIndexMax"] = c.Range.DataIndexMax;
  } else {
    j["Usage"] = c.NotRange.Usage;
    j["DataIndex"] = c.NotRange.DataIndex;
  }
  if (c.IsStringRange) j["StringMin"] = c.Range.StringMin, j["StringMax"] = c.Range.StringMax;
  else j["StringIndex"] = c.NotRange.StringIndex;
  if (c.IsDesignatorRange) j["DesignatorMin"] = c.Range.DesignatorMin, j["DesignatorMax"] = c.Range.DesignatorMax;
  else j["DesignatorIndex"] = c.NotRange.DesignatorIndex;
}

template <class Caps>
json CommonFields(const Caps& c) {
  json j;
  j["UsagePage"] = c.UsagePage;
  j["ReportID"] = c.ReportID;
  j["IsAlias"] = c.IsAlias;
  j["BitField"] = c.BitField;
  j["LinkCollection"] = c.LinkCollection;
  j["LinkUsage"] = c.LinkUsage;
  j["LinkUsagePage"] = c.LinkUsagePage;
  j["IsStringRange"] = c.IsStringRange;
  j["IsDesignatorRange"] = c.IsDesignatorRange;
  j["IsAbsolute"] = c.IsAbsolute;
  AddUsageFields(c, j);
  return j;
}

}  // namespace

const json& Expectations() {
  static const json data = Load("hid-parser-expectations.json");
  return data;
}

const json& TouchDescriptors() {
  static const json data = Load("touch-descriptors.json");
  return data;
}

const json& Case(const std::string& id) {
  for (const auto& c : Expectations()["cases"])
    if (c["id"] == id) return c;
  throw std::runtime_error("no oracle case " + id);
}

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

NTSTATUS StatusByName(const std::string& name) {
  static const std::map<std::string, NTSTATUS> kStatuses = {
      {"HIDP_STATUS_SUCCESS", HIDP_STATUS_SUCCESS},
      {"HIDP_STATUS_USAGE_NOT_FOUND", HIDP_STATUS_USAGE_NOT_FOUND},
      {"HIDP_STATUS_INVALID_REPORT_TYPE", HIDP_STATUS_INVALID_REPORT_TYPE},
      {"HIDP_STATUS_INVALID_REPORT_LENGTH", HIDP_STATUS_INVALID_REPORT_LENGTH},
      {"HIDP_STATUS_BUFFER_TOO_SMALL", HIDP_STATUS_BUFFER_TOO_SMALL},
      {"HIDP_STATUS_INCOMPATIBLE_REPORT_ID", HIDP_STATUS_INCOMPATIBLE_REPORT_ID},
      {"HIDP_STATUS_NOT_VALUE_ARRAY", HIDP_STATUS_NOT_VALUE_ARRAY},
  };
  return kStatuses.at(name);
}

Parsed::Parsed(const std::string& descriptorHex) {
  const auto bytes = Hex(descriptorHex);
  auto result = winsim::hid::ParseReportDescriptor(bytes);
  if (!result.ok()) throw std::runtime_error("descriptor does not parse: " + result.error);
  for (const auto& layout : result.collections) m_blocks.emplace_back(winsim::hid::AllocatePreparsedData(layout));
}

HIDP_CAPS Parsed::Caps(size_t tlc) const {
  HIDP_CAPS caps{};
  EXPECT_EQ(HidP_GetCaps((*this)[tlc], &caps), HIDP_STATUS_SUCCESS);
  return caps;
}

json ToJson(const HIDP_CAPS& c) {
  return {{"Usage", c.Usage},
          {"UsagePage", c.UsagePage},
          {"InputReportByteLength", c.InputReportByteLength},
          {"OutputReportByteLength", c.OutputReportByteLength},
          {"FeatureReportByteLength", c.FeatureReportByteLength},
          {"NumberLinkCollectionNodes", c.NumberLinkCollectionNodes},
          {"NumberInputButtonCaps", c.NumberInputButtonCaps},
          {"NumberInputValueCaps", c.NumberInputValueCaps},
          {"NumberInputDataIndices", c.NumberInputDataIndices},
          {"NumberOutputButtonCaps", c.NumberOutputButtonCaps},
          {"NumberOutputValueCaps", c.NumberOutputValueCaps},
          {"NumberOutputDataIndices", c.NumberOutputDataIndices},
          {"NumberFeatureButtonCaps", c.NumberFeatureButtonCaps},
          {"NumberFeatureValueCaps", c.NumberFeatureValueCaps},
          {"NumberFeatureDataIndices", c.NumberFeatureDataIndices}};
}

json ToJson(const HIDP_BUTTON_CAPS& c) { return CommonFields(c); }

json ToJson(const HIDP_VALUE_CAPS& c) {
  json j = CommonFields(c);
  j["HasNull"] = c.HasNull;
  j["BitSize"] = c.BitSize;
  j["ReportCount"] = c.ReportCount;
  j["LogicalMin"] = c.LogicalMin;
  j["LogicalMax"] = c.LogicalMax;
  j["PhysicalMin"] = c.PhysicalMin;
  j["PhysicalMax"] = c.PhysicalMax;
  j["Units"] = c.Units;
  j["UnitsExp"] = static_cast<LONG>(c.UnitsExp);
  return j;
}

json ToJson(const HIDP_LINK_COLLECTION_NODE& n) {
  return {{"LinkUsage", n.LinkUsage},
          {"LinkUsagePage", n.LinkUsagePage},
          {"Parent", n.Parent},
          {"NumberOfChildren", n.NumberOfChildren},
          {"NextSibling", n.NextSibling},
          {"FirstChild", n.FirstChild},
          {"CollectionType", static_cast<ULONG>(n.CollectionType)},
          {"IsAlias", static_cast<ULONG>(n.IsAlias)}};
}

std::vector<HIDP_BUTTON_CAPS> ButtonCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type) {
  std::vector<HIDP_BUTTON_CAPS> caps(256);
  USHORT count = static_cast<USHORT>(caps.size());
  const NTSTATUS status = HidP_GetButtonCaps(type, caps.data(), &count, preparsed);
  caps.resize(status == HIDP_STATUS_SUCCESS ? count : 0);
  return caps;
}

std::vector<HIDP_VALUE_CAPS> ValueCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type) {
  std::vector<HIDP_VALUE_CAPS> caps(256);
  USHORT count = static_cast<USHORT>(caps.size());
  const NTSTATUS status = HidP_GetValueCaps(type, caps.data(), &count, preparsed);
  caps.resize(status == HIDP_STATUS_SUCCESS ? count : 0);
  return caps;
}

const json& Member(const json& object, const char* name) {
  static const json kEmpty = json::object();
  return object.contains(name) ? object[name] : kEmpty;
}

void ExpectFields(const json& expected, const json& actual, const std::string& context) {
  for (const auto& [name, value] : expected.items()) {
    if (name.starts_with("_")) continue;
    ASSERT_TRUE(actual.contains(name)) << context << ": no field " << name << " in " << actual.dump();
    EXPECT_EQ(actual[name], value) << context << ": field " << name;
  }
}

}  // namespace oracle
