// The hidcaps tool: its text carries every value the oracle asserts, in the
// documented line format; bad input is an error, not a crash.
#include "oracle.h"
#include "simkit/Folder.h"

#include <caps_report.h>
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>

using namespace oracle;

namespace {

simkit::CommandRun RunHidcaps(const std::string& arguments) {
  return simkit::RunCommand(std::string(HIDCAPS_EXE) + " " + arguments + " 2>/dev/null");
}

// One hidcaps line: its kind and its key=value pairs, hex values decoded.
struct Line {
  std::string kind;
  json fields;
};

std::vector<Line> Lines(const std::string& text) {
  std::vector<Line> lines;
  std::istringstream in(text);
  for (std::string row; std::getline(in, row);) {
    std::istringstream words(row);
    Line line;
    words >> line.kind;
    for (std::string word; words >> word;) {
      const auto eq = word.find('=');
      const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
      const bool number = !value.empty() && (std::isdigit(static_cast<unsigned char>(value[0])) || value[0] == '-');
      if (!number) line.fields[key] = value;
      else line.fields[key] = value.starts_with("0x") ? std::stol(value, nullptr, 16) : std::stol(value);
    }
    lines.push_back(line);
  }
  return lines;
}

const std::map<std::string, std::string> kCapsKeys = {
    {"Usage", "usage"}, {"UsagePage", "usage_page"}, {"InputReportByteLength", "input_len"},
    {"OutputReportByteLength", "output_len"}, {"FeatureReportByteLength", "feature_len"},
    {"NumberLinkCollectionNodes", "link_nodes"}, {"NumberInputButtonCaps", "in_buttons"},
    {"NumberInputValueCaps", "in_values"}, {"NumberInputDataIndices", "in_indices"},
    {"NumberOutputButtonCaps", "out_buttons"}, {"NumberOutputValueCaps", "out_values"},
    {"NumberOutputDataIndices", "out_indices"}, {"NumberFeatureButtonCaps", "feat_buttons"},
    {"NumberFeatureValueCaps", "feat_values"}, {"NumberFeatureDataIndices", "feat_indices"}};

const std::map<std::string, std::string> kCapKeys = {
    {"UsagePage", "usage_page"}, {"ReportID", "report_id"}, {"BitField", "bitfield"}, {"LinkCollection", "link"},
    {"LinkUsage", "link_usage"}, {"LinkUsagePage", "link_usage_page"}, {"IsRange", "range"},
    {"IsAbsolute", "absolute"}, {"UsageMin", "usage_min"}, {"UsageMax", "usage_max"},
    {"DataIndexMin", "index_min"}, {"DataIndexMax", "index_max"}, {"Usage", "usage_min"},
    {"DataIndex", "index_min"}, {"BitSize", "bit_size"}, {"ReportCount", "report_count"},
    {"LogicalMin", "logical_min"}, {"LogicalMax", "logical_max"}, {"PhysicalMin", "physical_min"},
    {"PhysicalMax", "physical_max"}, {"HasNull", "has_null"}};

// The oracle's fields renamed to hidcaps keys; fields hidcaps does not print are dropped.
json Renamed(const json& expected, const std::map<std::string, std::string>& keys) {
  json out = json::object();
  for (const auto& [name, value] : expected.items())
    if (keys.count(name)) out[keys.at(name)] = value;
  return out;
}

std::vector<Line> ReportOf(const json& c) {
  std::string error;
  const auto bytes = Hex(c["descriptor_hex"]);
  const auto text = hidcaps::CapsReport(bytes, error);
  EXPECT_TRUE(text) << error;
  return text ? Lines(*text) : std::vector<Line>{};
}

}  // namespace

TEST(HidcapsText, CapsLinesCarryEveryAssertedValue) {
  for (const auto& c : Expectations()["cases"]) {
    const auto lines = ReportOf(c);
    std::vector<std::pair<size_t, json>> blocks{{c["expected"].value("tlc_index", 0), c["expected"]}};
    for (const auto& other : c.value("expected_other_tlcs", json::array())) blocks.emplace_back(other["tlc_index"], other);
    for (const auto& [tlc, block] : blocks) {
      const json& caps = block.contains("caps") ? block["caps"] : block["caps_derived"];
      bool found = false;
      for (const auto& line : lines)
        if (line.kind == "caps" && line.fields["collection"] == tlc) {
          ExpectFields(Renamed(caps, kCapsKeys), line.fields, c["id"].get<std::string>() + " caps line");
          found = true;
        }
      EXPECT_TRUE(found) << c["id"] << " tlc " << tlc;
    }
  }
}

// Button and value lines, in the order of the HidP calls, carry every
// asserted cap field.
TEST(HidcapsText, CapLinesCarryEveryAssertedValue) {
  for (const auto& c : Expectations()["cases"]) {
    const auto lines = ReportOf(c);
    const size_t tlc = c["expected"].value("tlc_index", 0);
    for (const char* key : {"button_caps", "value_caps"}) {
      for (const auto& [type, list] : Member(c["expected"], key).items()) {
        std::vector<json> actual;
        std::string kind = type;
        for (auto& ch : kind) ch = static_cast<char>(std::tolower(ch));
        for (const auto& line : lines)
          if (line.kind == (key[0] == 'b' ? "button" : "value") && line.fields["collection"] == tlc &&
              line.fields["kind"] == kind)
            actual.push_back(line.fields);
        ASSERT_EQ(actual.size(), list.size()) << c["id"] << " " << key << " " << type;
        for (size_t i = 0; i < list.size(); ++i)
          ExpectFields(Renamed(list[i], kCapKeys), actual[i], c["id"].get<std::string>() + " " + key + " " + type);
      }
    }
  }
}

TEST(HidcapsCli, PrintsTheDocumentedLines) {
  // A vendor collection: input report 2 (8 bytes), output report 3 (8 bytes).
  const auto run = RunHidcaps("0600ff0901a1018502150026ff0075089507090181028503090291 02c0");
  ASSERT_EQ(run.status, 2) << "an argument with a space is two arguments";
  const auto ok = RunHidcaps("0600ff0901a1018502150026ff007508950709018102850309029102c0");
  ASSERT_EQ(ok.status, 0);
  EXPECT_EQ(ok.output,
            "caps collection=0 usage_page=0xFF00 usage=0x0001 input_len=8 output_len=8 feature_len=0 link_nodes=1 "
            "in_buttons=0 in_values=1 in_indices=1 out_buttons=0 out_values=1 out_indices=1 feat_buttons=0 "
            "feat_values=0 feat_indices=0\n"
            "value collection=0 kind=input report_id=2 usage_page=0xFF00 link=0 link_usage_page=0xFF00 "
            "link_usage=0x0001 range=0 usage_min=0x0001 usage_max=0x0001 index_min=0 index_max=0 bit_size=8 "
            "report_count=7 logical_min=0 logical_max=255 physical_min=0 physical_max=0 has_null=0 bitfield=0x02 "
            "absolute=1\n"
            "value collection=0 kind=output report_id=3 usage_page=0xFF00 link=0 link_usage_page=0xFF00 "
            "link_usage=0x0001 range=0 usage_min=0x0002 usage_max=0x0002 index_min=0 index_max=0 bit_size=8 "
            "report_count=7 logical_min=0 logical_max=255 physical_min=0 physical_max=0 has_null=0 bitfield=0x02 "
            "absolute=1\n");
}
