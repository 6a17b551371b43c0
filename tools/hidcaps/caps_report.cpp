#include "caps_report.h"

#include <winsim/sim/hidparse.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace hidcaps {
namespace {

using winsim::hid::PreparsedPtr;

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char buffer[512];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

const char* KindName(HIDP_REPORT_TYPE type) {
  static const char* const kNames[] = {"input", "output", "feature"};
  return kNames[type];
}

std::string CapsLine(size_t index, const HIDP_CAPS& c) {
  return Format(
      "caps collection=%zu usage_page=0x%04X usage=0x%04X input_len=%u output_len=%u feature_len=%u link_nodes=%u "
      "in_buttons=%u in_values=%u in_indices=%u out_buttons=%u out_values=%u out_indices=%u feat_buttons=%u "
      "feat_values=%u feat_indices=%u\n",
      index, c.UsagePage, c.Usage, c.InputReportByteLength, c.OutputReportByteLength, c.FeatureReportByteLength,
      c.NumberLinkCollectionNodes, c.NumberInputButtonCaps, c.NumberInputValueCaps, c.NumberInputDataIndices,
      c.NumberOutputButtonCaps, c.NumberOutputValueCaps, c.NumberOutputDataIndices, c.NumberFeatureButtonCaps,
      c.NumberFeatureValueCaps, c.NumberFeatureDataIndices);
}

// The part of a button or value line both kinds share, up to the indices.
template <class Caps>
std::string CommonFields(size_t index, HIDP_REPORT_TYPE type, const Caps& c) {
  const bool range = c.IsRange;
  return Format(
      "collection=%zu kind=%s report_id=%u usage_page=0x%04X link=%u link_usage_page=0x%04X link_usage=0x%04X "
      "range=%u usage_min=0x%04X usage_max=0x%04X index_min=%u index_max=%u",
      index, KindName(type), c.ReportID, c.UsagePage, c.LinkCollection, c.LinkUsagePage, c.LinkUsage, range ? 1u : 0u,
      range ? c.Range.UsageMin : c.NotRange.Usage, range ? c.Range.UsageMax : c.NotRange.Usage,
      range ? c.Range.DataIndexMin : c.NotRange.DataIndex, range ? c.Range.DataIndexMax : c.NotRange.DataIndex);
}

std::string ButtonLine(size_t index, HIDP_REPORT_TYPE type, const HIDP_BUTTON_CAPS& c) {
  return "button " + CommonFields(index, type, c) +
         Format(" bitfield=0x%02X absolute=%u\n", c.BitField, c.IsAbsolute ? 1u : 0u);
}

std::string ValueLine(size_t index, HIDP_REPORT_TYPE type, const HIDP_VALUE_CAPS& c) {
  return "value " + CommonFields(index, type, c) +
         Format(" bit_size=%u report_count=%u logical_min=%d logical_max=%d physical_min=%d physical_max=%d "
                "has_null=%u bitfield=0x%02X absolute=%u\n",
                c.BitSize, c.ReportCount, c.LogicalMin, c.LogicalMax, c.PhysicalMin, c.PhysicalMax,
                c.HasNull ? 1u : 0u, c.BitField, c.IsAbsolute ? 1u : 0u);
}

// The lines of one kind of caps, in the order `get` returns them.
template <class Caps, class Get, class Line>
std::string CapLines(size_t index, HIDP_REPORT_TYPE type, USHORT count, PHIDP_PREPARSED_DATA preparsed, Get get,
                     Line line) {
  std::vector<Caps> caps(count);
  if (count == 0 || get(type, caps.data(), &count, preparsed) != HIDP_STATUS_SUCCESS) return {};
  std::string text;
  for (USHORT i = 0; i < count; ++i) text += line(index, type, caps[i]);
  return text;
}

std::string CollectionBlock(size_t index, PHIDP_PREPARSED_DATA preparsed) {
  HIDP_CAPS caps{};
  HidP_GetCaps(preparsed, &caps);
  const USHORT buttons[] = {caps.NumberInputButtonCaps, caps.NumberOutputButtonCaps, caps.NumberFeatureButtonCaps};
  const USHORT values[] = {caps.NumberInputValueCaps, caps.NumberOutputValueCaps, caps.NumberFeatureValueCaps};
  std::string text = CapsLine(index, caps);
  for (auto type : {HidP_Input, HidP_Output, HidP_Feature}) {
    text += CapLines<HIDP_BUTTON_CAPS>(index, type, buttons[type], preparsed, HidP_GetButtonCaps, ButtonLine);
    text += CapLines<HIDP_VALUE_CAPS>(index, type, values[type], preparsed, HidP_GetValueCaps, ValueLine);
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

}  // namespace

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

std::optional<std::string> CapsReport(std::span<const uint8_t> descriptor, std::string& error) {
  auto parsed = winsim::hid::ParseReportDescriptor(descriptor);
  if (!parsed.ok()) {
    error = parsed.error;
    return std::nullopt;
  }
  std::string text;
  for (size_t i = 0; i < parsed.collections.size(); ++i) {
    PreparsedPtr preparsed(winsim::hid::AllocatePreparsedData(parsed.collections[i]));
    text += CollectionBlock(i, preparsed.Get());
  }
  return text;
}

}  // namespace hidcaps
