// Usage and value reads from the sample reports of the Windows-checked cases.
// Each oracle call is replayed through the HidP_* API and every field the
// oracle records (status, usages, values, counts, bytes) is compared.
#include "oracle.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace oracle;

namespace {

std::string HexOf(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) text += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
  return text;
}

json StatusJson(NTSTATUS status, json more = json::object()) {
  static const char* const kNames[] = {"HIDP_STATUS_SUCCESS", "HIDP_STATUS_USAGE_NOT_FOUND",
                                       "HIDP_STATUS_INVALID_REPORT_TYPE", "HIDP_STATUS_INVALID_REPORT_LENGTH",
                                       "HIDP_STATUS_BUFFER_TOO_SMALL", "HIDP_STATUS_INCOMPATIBLE_REPORT_ID",
                                       "HIDP_STATUS_NOT_VALUE_ARRAY"};
  more["status"] = "unknown status";
  for (const char* name : kNames)
    if (StatusByName(name) == status) more["status"] = name;
  return more;
}

// Replays the calls of one sample report.
class Reader {
 public:
  Reader(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type, std::vector<uint8_t> report)
      : m_pp(preparsed), m_type(type), m_report(std::move(report)) {}

  json Usages(USAGE page, ULONG capacity = 64) {
    std::vector<USAGE> usages(capacity);
    ULONG count = capacity;
    const NTSTATUS status = HidP_GetUsages(m_type, page, 0, usages.data(), &count, m_pp, Report(), Length());
    if (status != HIDP_STATUS_SUCCESS) return StatusJson(status, {{"count_out", count}});
    return StatusJson(status, {{"usages", std::vector<USAGE>(usages.begin(), usages.begin() + count)}});
  }

  json UsagesEx() {
    USAGE_AND_PAGE list[64];
    ULONG count = 64;
    const NTSTATUS status = HidP_GetUsagesEx(m_type, 0, list, &count, m_pp, Report(), Length());
    json pairs = json::array();
    for (ULONG i = 0; i < count; ++i) pairs.push_back({list[i].UsagePage, list[i].Usage});
    return StatusJson(status, {{"usage_and_pages", pairs}});
  }

  json Value(USAGE page, USHORT link, USAGE usage, int type = -1, ULONG extraLength = 0) {
    ULONG value = 0;
    m_report.resize(m_report.size() + extraLength);
    const auto reportType = type < 0 ? m_type : static_cast<HIDP_REPORT_TYPE>(type);
    const NTSTATUS status = HidP_GetUsageValue(reportType, page, link, usage, &value, m_pp, Report(), Length());
    m_report.resize(m_report.size() - extraLength);
    return StatusJson(status, {{"value", value}});
  }

  // The bytes written, with a guard pattern behind them that must survive.
  json ValueArray(USAGE page, USHORT link, USAGE usage, USHORT bytes) {
    std::vector<uint8_t> buffer(bytes + 16, 0xcd);
    const NTSTATUS status =
        HidP_GetUsageValueArray(m_type, page, link, usage, reinterpret_cast<PCHAR>(buffer.data()), bytes, m_pp, Report(), Length());
    size_t written = 0;
    while (written < buffer.size() && buffer[written] != 0xcd) ++written;
    return StatusJson(status, {{"bytes_hex", HexOf(buffer.data(), written)}, {"buffer", buffer}});
  }

  std::vector<uint8_t>& report() { return m_report; }

 private:
  PCHAR Report() { return reinterpret_cast<PCHAR>(m_report.data()); }
  ULONG Length() const { return static_cast<ULONG>(m_report.size()); }

  PHIDP_PREPARSED_DATA m_pp;
  HIDP_REPORT_TYPE m_type;
  std::vector<uint8_t> m_report;
};

using Calls = std::map<std::string, std::function<json()>>;

Calls InputCalls(Reader& r) {
  return {
      {"HidP_GetUsages(Input, page 0x09, LC 0)", [&] { return r.Usages(0x09); }},
      {"HidP_GetUsages(Input, page 0x09, LC 0, capacity 1)", [&] { return r.Usages(0x09, 1); }},
      {"HidP_GetUsages(Input, page 0x08, LC 0)", [&] { return r.Usages(0x08); }},
      {"HidP_GetUsages(Input, page 0x07, LC 0)", [&] { return r.Usages(0x07); }},
      {"HidP_GetUsagesEx(Input, LC 0)", [&] { return r.UsagesEx(); }},
      {"HidP_GetUsageValue(Input, 0x01, 0, X=0x30)", [&] { return r.Value(0x01, 0, 0x30); }},
      {"HidP_GetUsageValue(Input, 0x01, 0, Hat=0x39)", [&] { return r.Value(0x01, 0, 0x39); }},
      {"HidP_GetUsageValue(Input, 0x01, 0, Z=0x32)", [&] { return r.Value(0x01, 0, 0x32); }},
      {"HidP_GetUsageValue(Input, 0x01, 0, RY=0x34)", [&] { return r.Value(0x01, 0, 0x34); }},
      {"HidP_GetUsageValue(Input, 0x01, 0, usage 0)", [&] { return r.Value(0x01, 0, 0); }},
      {"HidP_GetUsageValue(Input, page 0, 0, X)", [&] { return r.Value(0, 0, 0x30); }},
      {"HidP_GetUsageValue(Input, 0x08, 0, 6)", [&] { return r.Value(0x08, 0, 6); }},
      {"HidP_GetUsageValueArray(Input, 0x01, 0, X, 200 bytes)", [&] { return r.ValueArray(0x01, 0, 0x30, 200); }},
      {"HidP_GetUsageValueArray(Input, 0x01, 0, Hat, 0 bytes)", [&] { return r.ValueArray(0x01, 0, 0x39, 0); }},
      {"HidP_GetUsageValueArray(Input, 0x01, 0, Hat, 8 bytes)", [&] {
         json result = r.ValueArray(0x01, 0, 0x39, 8);
         result["first_bytes_hex"] = result["bytes_hex"].get<std::string>().substr(0, 4);
         return result;
       }},
  };
}

json ValuesOverRange(Reader& r, USHORT link) {
  json values = json::array();
  for (USAGE u = 1; u <= 10; ++u) {
    json one = r.Value(0x0A, link, u);
    if (one["status"] != "HIDP_STATUS_SUCCESS") return one;
    values.push_back(one["value"]);
  }
  return StatusJson(HIDP_STATUS_SUCCESS, {{"values", values}});
}

json WithFirstByte(Reader& r, USHORT waveform, uint8_t first) {
  const uint8_t saved = r.report()[0];
  r.report()[0] = first;
  json result = r.Value(0x0A, waveform, 3);
  r.report()[0] = saved;
  return result;
}

Calls FeatureCalls(Reader& r, USHORT waveform, USHORT system) {
  return {
      {"HidP_GetUsageValue(Feature, 0x0A, LC waveform_list, 3)", [&r, waveform] { return r.Value(0x0A, waveform, 3); }},
      {"HidP_GetUsageValue(Feature, 0x0A, LC system_ctl, u) for u=1..10", [&r, system] { return ValuesOverRange(r, system); }},
      {"HidP_GetUsageValueArray(Feature, 0x0A, LC system_ctl, u, 4 bytes)", [&r, system] { return r.ValueArray(0x0A, system, 1, 4); }},
      {"HidP_GetUsageValueArray(Feature, 0x0E, 0, 0x28, 64 bytes)", [&r] { return r.ValueArray(0x0E, 0, 0x28, 64); }},
      {"HidP_GetUsageValueArray(Feature, 0x0E, 0, 0x28, 0 bytes)", [&r] { return r.ValueArray(0x0E, 0, 0x28, 0); }},
      {"same GetUsageValue with report length FeatureReportByteLength+1", [&r, waveform] { return r.Value(0x0A, waveform, 3, -1, 1); }},
      {"same GetUsageValue with report[0]=0", [&r, waveform] { return WithFirstByte(r, waveform, 0); }},
      {"same GetUsageValue with report[0]=1", [&r, waveform] { return WithFirstByte(r, waveform, 1); }},
      {"same GetUsageValue with report[0]=2", [&r, waveform] { return WithFirstByte(r, waveform, 2); }},
      {"HidP_GetUsageValue(Feature, 0x0A, LC 0xdead, 3)", [&r] { return r.Value(0x0A, 0xdead, 3); }},
      {"HidP_GetUsageValue(report type 3, ...)", [&r, waveform] { return r.Value(0x0A, waveform, 3, 3); }},
  };
}

void Replay(const json& vector, Calls& calls, const std::string& where) {
  for (const auto& call : vector["calls"]) {
    const std::string name = call["call"];
    ASSERT_TRUE(calls.count(name)) << where << ": no replay for oracle call " << name;
    json expected = call;
    for (const char* meta : {"call", "note"}) expected.erase(meta);
    ExpectFields(expected, calls[name](), where + ": " + name);
  }
}

class WineDriverCase : public testing::TestWithParam<const char*> {};

TEST_P(WineDriverCase, InputReportReads) {
  const json& c = Case(GetParam());
  const Parsed parsed(c["descriptor_hex"]);
  const json& vector = c["expected"]["input_report_vector"];
  Reader reader(parsed[0], HidP_Input, Hex(vector["report_hex"]));
  Calls calls = InputCalls(reader);
  Replay(vector, calls, GetParam());
}

TEST_P(WineDriverCase, FeatureReportReads) {
  const json& c = Case(GetParam());
  const Parsed parsed(c["descriptor_hex"]);
  const json& vector = c["expected"]["feature_report_vector"];
  const USHORT waveform = vector["link_collections_used"]["waveform_list"];
  const USHORT system = vector["link_collections_used"]["system_ctl"];
  Reader reader(parsed[0], HidP_Feature, Hex(vector["report_hex"]));
  Calls calls = FeatureCalls(reader, waveform, system);
  Replay(vector, calls, GetParam());
}

// The value array read writes its bytes and nothing after them.
TEST_P(WineDriverCase, ValueArrayWritesOnlyItsBytes) {
  const json& c = Case(GetParam());
  const Parsed parsed(c["descriptor_hex"]);
  Reader reader(parsed[0], HidP_Feature, Hex(c["expected"]["feature_report_vector"]["report_hex"]));
  const json result = reader.ValueArray(0x0E, 0, 0x28, 64);
  const auto buffer = result["buffer"].get<std::vector<uint8_t>>();
  for (size_t i = 8; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xcd) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(ReportIds, WineDriverCase,
                         testing::Values("wine_hid_driver_report_id_1", "wine_hid_driver_report_id_0"));

}  // namespace
