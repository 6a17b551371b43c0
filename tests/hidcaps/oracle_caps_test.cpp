// Every caps value that the Windows-checked cases assert, through HidP_GetCaps,
// HidP_Get{Button,Value}Caps, HidP_GetLinkCollectionNodes and the list-length
// calls; plus the bit layout Windows recorded in its preparsed data.
#include "oracle.h"

#include <gtest/gtest.h>

using namespace oracle;

namespace {

const char* const kTypeNames[] = {"Input", "Output", "Feature"};

HIDP_REPORT_TYPE TypeByName(const json& name) {
  if (name.is_number()) return static_cast<HIDP_REPORT_TYPE>(name.get<int>());
  for (int t = 0; t < 3; ++t)
    if (name == kTypeNames[t]) return static_cast<HIDP_REPORT_TYPE>(t);
  throw std::runtime_error("unknown report type " + name.dump());
}

size_t TlcOf(const json& c) { return c["expected"].value("tlc_index", 0); }

// The expectation blocks of a case: its own and those of its other collections.
std::vector<std::pair<size_t, json>> Blocks(const json& c) {
  std::vector<std::pair<size_t, json>> blocks{{TlcOf(c), c["expected"]}};
  for (const auto& other : c.value("expected_other_tlcs", json::array())) blocks.emplace_back(other["tlc_index"], other);
  return blocks;
}

void ExpectList(const json& expected, const std::vector<json>& actual, const std::string& context, bool whole) {
  if (whole) {
    EXPECT_EQ(actual.size(), expected.size()) << context;
  }
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_LT(i, actual.size()) << context;
    ExpectFields(expected[i], actual[i], context + "[" + std::to_string(i) + "]");
  }
}

template <class Caps>
std::vector<json> AsJson(const std::vector<Caps>& caps) {
  std::vector<json> out;
  for (const auto& c : caps) out.push_back(ToJson(c));
  return out;
}

std::vector<json> Caps(const Parsed& parsed, size_t tlc, bool buttons, HIDP_REPORT_TYPE type) {
  return buttons ? AsJson(ButtonCaps(parsed[tlc], type)) : AsJson(ValueCaps(parsed[tlc], type));
}

// The parser's own caps of one kind, in the order the HidP functions return them.
std::vector<const winsim::hid::Cap*> InternalCaps(const Parsed& parsed, size_t tlc, bool buttons, int type) {
  std::vector<const winsim::hid::Cap*> caps;
  for (const auto& cap : winsim::hid::LayoutOf(parsed[tlc])->caps[type])
    if (cap.isButton == buttons) caps.push_back(&cap);
  return caps;
}

void ExpectInternal(const json& expected, const winsim::hid::Cap& cap, const std::string& context) {
  EXPECT_EQ(cap.startBit / 8, expected["BytePosition"]) << context;
  EXPECT_EQ(cap.startBit % 8, expected["BitPosition"]) << context;
  EXPECT_EQ(cap.bitSize, expected["BitSize"]) << context;
  EXPECT_EQ(cap.reportCount, expected["ReportCount"]) << context;
  EXPECT_EQ(cap.isArray && cap.arrayIndexMin > 1, expected["IsMultipleItemsForArray"] == 1) << context;
}

}  // namespace

TEST(HidParserOracle, CapsOfEveryCollection) {
  for (const auto& c : Expectations()["cases"]) {
    const Parsed parsed(c["descriptor_hex"]);
    for (const auto& [tlc, block] : Blocks(c)) {
      const json& caps = block.contains("caps") ? block["caps"] : block["caps_derived"];
      ExpectFields(caps, ToJson(parsed.Caps(tlc)), c["id"].get<std::string>() + " tlc " + std::to_string(tlc));
    }
  }
}

TEST(HidParserOracle, ButtonAndValueCaps) {
  struct Listed {
    const char* key;
    bool buttons;
    HIDP_REPORT_TYPE type;
    bool whole;
  };
  const Listed kListed[] = {{"input_button_caps_first4", true, HidP_Input, false},
                            {"input_value_caps_first4", false, HidP_Input, false},
                            {"input_button_caps_derived", true, HidP_Input, true},
                            {"input_value_caps_derived", false, HidP_Input, true},
                            {"feature_value_caps_derived", false, HidP_Feature, true}};
  for (const auto& c : Expectations()["cases"]) {
    const Parsed parsed(c["descriptor_hex"]);
    for (const auto& [tlc, block] : Blocks(c)) {
      const std::string where = c["id"].get<std::string>() + " tlc " + std::to_string(tlc);
      for (const auto& l : kListed)
        if (block.contains(l.key)) ExpectList(block[l.key], Caps(parsed, tlc, l.buttons, l.type), where + " " + l.key, l.whole);
      for (const char* key : {"button_caps", "value_caps"})
        for (const auto& [type, list] : Member(block, key).items())
          ExpectList(list, Caps(parsed, tlc, key[0] == 'b', TypeByName(type)), where + " " + key + " " + type, true);
    }
  }
}

TEST(HidParserOracle, RecordedBitLayout) {
  for (const auto& c : Expectations()["cases"]) {
    const Parsed parsed(c["descriptor_hex"]);
    for (const auto& [tlc, block] : Blocks(c))
      for (const char* key : {"button_caps", "value_caps"})
        for (const auto& [type, list] : Member(block, key).items()) {
          const auto caps = InternalCaps(parsed, tlc, key[0] == 'b', TypeByName(type));
          ASSERT_EQ(caps.size(), list.size());
          for (size_t i = 0; i < caps.size(); ++i)
            ExpectInternal(list[i]["_windows_internal"], *caps[i], c["id"].get<std::string>() + " " + key + " " + type);
        }
  }
}

// The kdr case records Windows' internal caps list: every field position and
// data index, buttons and values interleaved in parser order.
TEST(HidParserOracle, InternalCapsListOfTheKdrCase) {
  const json& c = Case("wine_hidp_kdr_internal_layout");
  const json& internal = c["expected"]["windows_internal_asserted"];
  const Parsed parsed(c["descriptor_hex"]);
  const auto* layout = winsim::hid::LayoutOf(parsed[0]);
  std::vector<const winsim::hid::Cap*> all;
  for (int type : {HidP_Input, HidP_Output, HidP_Feature})
    for (const auto& cap : layout->caps[type]) all.push_back(&cap);
  ASSERT_EQ(all.size(), internal["caps"].size());
  for (size_t i = 0; i < all.size(); ++i) {
    const json& e = internal["caps"][i];
    const auto& cap = *all[i];
    const std::string where = "internal cap " + std::to_string(i);
    EXPECT_EQ(cap.usagePage, e["usage_page"]) << where;
    EXPECT_EQ(cap.startBit, e["start_byte"].get<uint32_t>() * 8 + e["start_bit"].get<uint32_t>()) << where;
    EXPECT_EQ(cap.bitSize, e["bit_size"]) << where;
    EXPECT_EQ(cap.reportCount, e["report_count"]) << where;
    EXPECT_EQ(cap.bitField, e["bit_field"]) << where;
    EXPECT_EQ(cap.linkCollection, e["link_collection"]) << where;
    EXPECT_EQ(cap.usageMin, e["usage_min"]) << where;
    EXPECT_EQ(cap.usageMax, e["usage_max"]) << where;
    EXPECT_EQ(cap.dataIndexMin, e["data_index_min"]) << where;
    EXPECT_EQ(cap.dataIndexMax, e["data_index_max"]) << where;
    EXPECT_EQ(static_cast<LONG>(cap.unitsExp), e["units_exp"]) << where;
    EXPECT_EQ(cap.units, e["units"]) << where;
  }
}

TEST(HidParserOracle, LinkCollectionNodes) {
  for (const auto& c : Expectations()["cases"]) {
    const Parsed parsed(c["descriptor_hex"]);
    for (const auto& [tlc, block] : Blocks(c)) {
      for (const char* key : {"link_collection_nodes", "link_collection_nodes_first2"}) {
        if (!block.contains(key)) continue;
        std::vector<HIDP_LINK_COLLECTION_NODE> nodes(64);
        ULONG count = static_cast<ULONG>(nodes.size());
        ASSERT_EQ(HidP_GetLinkCollectionNodes(nodes.data(), &count, parsed[tlc]), HIDP_STATUS_SUCCESS);
        std::vector<json> actual;
        for (ULONG i = 0; i < count; ++i) actual.push_back(ToJson(nodes[i]));
        ExpectList(block[key], actual, c["id"].get<std::string>() + " " + key, key == std::string("link_collection_nodes"));
      }
    }
  }
}

TEST(HidParserOracle, LinkNodesOfTheKdrCase) {
  const json& c = Case("wine_hidp_kdr_internal_layout");
  const Parsed parsed(c["descriptor_hex"]);
  HIDP_LINK_COLLECTION_NODE nodes[4];
  ULONG count = 4;
  ASSERT_EQ(HidP_GetLinkCollectionNodes(nodes, &count, parsed[0]), HIDP_STATUS_SUCCESS);
  const json& expected = c["expected"]["windows_internal_asserted"]["link_nodes"];
  ASSERT_EQ(count, expected.size());
  for (ULONG i = 0; i < count; ++i) {
    EXPECT_EQ(nodes[i].LinkUsage, expected[i]["usage"]);
    EXPECT_EQ(nodes[i].LinkUsagePage, expected[i]["usage_page"]);
    EXPECT_EQ(nodes[i].Parent, expected[i]["parent"]);
    EXPECT_EQ(nodes[i].NumberOfChildren, expected[i]["number_of_children"]);
    EXPECT_EQ(nodes[i].NextSibling, expected[i]["next_sibling"]);
    EXPECT_EQ(nodes[i].FirstChild, expected[i]["first_child"]);
    EXPECT_EQ(static_cast<ULONG>(nodes[i].CollectionType), expected[i]["collection_type"]);
  }
}

TEST(HidParserOracle, ListLengths) {
  for (const char* id : {"wine_hid_driver_report_id_1", "wine_hid_driver_report_id_0"}) {
    const json& e = Case(id)["expected"];
    const Parsed parsed(Case(id)["descriptor_hex"]);
    for (const auto& q : e["max_usage_list_length"])
      EXPECT_EQ(HidP_MaxUsageListLength(TypeByName(q["report_type"]), q["usage_page"], parsed[0]), q["result"])
          << id << " " << q.dump();
    for (const auto& [type, count] : e["max_data_list_length_extra"].items())
      EXPECT_EQ(HidP_MaxDataListLength(TypeByName(type), parsed[0]), count) << id << " " << type;
  }
}

TEST(HidParserOracle, CapsQueries) {
  for (const char* id : {"wine_hid_driver_report_id_1", "wine_hid_driver_report_id_0"}) {
    const json& e = Case(id)["expected"];
    const Parsed parsed(Case(id)["descriptor_hex"]);
    const auto pp = parsed[0];
    const json& q = e["caps_queries"];
    HIDP_BUTTON_CAPS buttons[4];
    HIDP_VALUE_CAPS values[4];
    USHORT count = 4;
    EXPECT_EQ(HidP_GetButtonCaps(HidP_Output, buttons, &count, pp), StatusByName(q[0]["status"]));
    count = 4;
    EXPECT_EQ(HidP_GetValueCaps(HidP_Output, values, &count, pp), StatusByName(q[1]["status"]));
    count = 4;
    EXPECT_EQ(HidP_GetButtonCaps(static_cast<HIDP_REPORT_TYPE>(3), buttons, &count, pp), StatusByName(q[2]["status"]));
    EXPECT_EQ(HidP_GetValueCaps(static_cast<HIDP_REPORT_TYPE>(3), values, &count, pp), StatusByName(q[2]["status"]));
    count = 0;
    EXPECT_EQ(HidP_GetButtonCaps(HidP_Input, buttons, &count, pp), StatusByName(q[3]["status"]));
    EXPECT_EQ(count, q[3]["count_out"]);
    count = 0;
    EXPECT_EQ(HidP_GetValueCaps(HidP_Input, values, &count, pp), StatusByName(q[4]["status"]));
    EXPECT_EQ(count, q[4]["count_out"]);
    count = 4;
    EXPECT_EQ(HidP_GetSpecificButtonCaps(HidP_Input, 0x09, 0, 5, buttons, &count, pp), StatusByName(q[5]["status"]));
    EXPECT_EQ(count, q[5]["count_out"]);
    ExpectFields(e["input_button_caps_first4"][0], ToJson(buttons[0]), std::string(id) + " specific button");
    count = 4;
    EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, 0x01, 0, 0x39, values, &count, pp), StatusByName(q[6]["status"]));
    EXPECT_EQ(count, q[6]["count_out"]);
    ExpectFields(e["input_value_caps_first4"][3], ToJson(values[0]), std::string(id) + " specific value");
    const USHORT kMissing = 0xfffe;
    for (auto [page, link, usage] : {std::tuple<USAGE, USHORT, USAGE>{kMissing, 0, 0}, {0, kMissing, 0}, {0, 0, kMissing}}) {
      count = 4;
      EXPECT_EQ(HidP_GetSpecificButtonCaps(HidP_Input, page, link, usage, buttons, &count, pp), StatusByName(q[7]["status"]));
      EXPECT_EQ(count, q[7]["count_out"]);
      count = 4;
      EXPECT_EQ(HidP_GetSpecificValueCaps(HidP_Input, page, link, usage, values, &count, pp), StatusByName(q[7]["status"]));
      EXPECT_EQ(count, q[7]["count_out"]);
    }
  }
}
