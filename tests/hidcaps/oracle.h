// The recorded Windows parser results (hid-parser-expectations.json) and the
// real descriptors (touch-descriptors.json), and conversions of the HidP
// structures into the same JSON shape so that they compare field by field.
#pragma once

#include <platform/win32.h>
#include <winsim/sim/hidparse.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace oracle {

using nlohmann::json;

const json& Expectations();
const json& TouchDescriptors();
const json& Case(const std::string& id);
std::vector<uint8_t> Hex(const std::string& text);
NTSTATUS StatusByName(const std::string& name);

// A descriptor parsed into preparsed data, one block per top-level collection.
class Parsed {
 public:
  explicit Parsed(const std::string& descriptorHex);
  size_t size() const { return m_blocks.size(); }
  PHIDP_PREPARSED_DATA operator[](size_t tlc) const { return m_blocks.at(tlc).Get(); }
  HIDP_CAPS Caps(size_t tlc) const;

 private:
  std::vector<winsim::hid::PreparsedPtr> m_blocks;
};

json ToJson(const HIDP_CAPS& caps);
json ToJson(const HIDP_BUTTON_CAPS& caps);
json ToJson(const HIDP_VALUE_CAPS& caps);
json ToJson(const HIDP_LINK_COLLECTION_NODE& node);

std::vector<HIDP_BUTTON_CAPS> ButtonCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type);
std::vector<HIDP_VALUE_CAPS> ValueCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type);

// The member `name` of `object`, or an empty object when it has none.
const json& Member(const json& object, const char* name);

// Every member of `expected` (except names starting with '_') equals the one
// of `actual`; failures name `context`.
void ExpectFields(const json& expected, const json& actual, const std::string& context);

}  // namespace oracle
