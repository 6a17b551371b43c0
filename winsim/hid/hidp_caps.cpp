// hid.dll: what the parser reports about a collection (HidP_GetCaps, the
// button and value caps, link collection nodes, list lengths).
#include "hidp_internal.h"

using namespace winsim::hid;

namespace winsim::hid {

bool IsReportType(int reportType) { return reportType >= HidP_Input && reportType <= HidP_Feature; }

namespace {
bool KindMatches(const Cap& cap, CapKind kind) {
  return kind == CapKind::kAny || (kind == CapKind::kButtons) == cap.isButton;
}

bool LinkMatches(const Cap& cap, USHORT linkCollection) {
  if (linkCollection == HIDP_LINK_COLLECTION_UNSPECIFIED) return true;
  if (linkCollection == HIDP_LINK_COLLECTION_ROOT) return cap.linkCollection == 0;
  return cap.linkCollection == linkCollection;
}

bool CapMatches(const Cap& cap, const CapFilter& filter) {
  if (!KindMatches(cap, filter.kind) || !LinkMatches(cap, filter.linkCollection)) return false;
  if (filter.usagePage && *filter.usagePage != cap.usagePage) return false;
  return !filter.usage || (cap.usageMin <= *filter.usage && *filter.usage <= cap.usageMax);
}
}  // namespace

size_t ForEachCap(const CollectionLayout& layout, int reportType, const CapFilter& filter,
                  const std::function<bool(const Cap&)>& visit, bool* incompatible) {
  size_t matched = 0;
  for (const Cap& cap : layout.caps[reportType]) {
    if (!CapMatches(cap, filter)) continue;
    if (filter.reportId && cap.reportId != filter.reportId) {
      if (incompatible) *incompatible = true;
      continue;
    }
    ++matched;
    if (!visit(cap)) break;
  }
  return matched;
}

}  // namespace winsim::hid

namespace {

template <class Caps>
void FillCommon(const Cap& cap, Caps& out) {
  out.UsagePage = cap.usagePage;
  out.ReportID = cap.reportId;
  out.IsAlias = FALSE;
  out.BitField = cap.bitField;
  out.LinkCollection = cap.linkCollection;
  out.LinkUsage = cap.linkUsage;
  out.LinkUsagePage = cap.linkUsagePage;
  out.IsRange = cap.isRange;
  out.IsStringRange = cap.isStringRange;
  out.IsDesignatorRange = cap.isDesignatorRange;
  out.IsAbsolute = cap.IsAbsolute();
}

// Range and NotRange share their storage: the string and designator members
// are written in the form their own flag names, after the usage members.
template <class Caps>
void FillUsages(const Cap& cap, Caps& out) {
  if (cap.isRange) {
    out.Range.UsageMin = cap.usageMin;
    out.Range.UsageMax = cap.usageMax;
    out.Range.DataIndexMin = cap.dataIndexMin;
    out.Range.DataIndexMax = cap.dataIndexMax;
  } else {
    out.NotRange.Usage = cap.usageMin;
    out.NotRange.DataIndex = cap.dataIndexMin;
  }
  if (cap.isStringRange) out.Range.StringMin = cap.stringMin, out.Range.StringMax = cap.stringMax;
  else out.NotRange.StringIndex = cap.stringMin;
  if (cap.isDesignatorRange) out.Range.DesignatorMin = cap.designatorMin, out.Range.DesignatorMax = cap.designatorMax;
  else out.NotRange.DesignatorIndex = cap.designatorMin;
}

HIDP_BUTTON_CAPS ToButtonCaps(const Cap& cap) {
  HIDP_BUTTON_CAPS out{};
  FillCommon(cap, out);
  FillUsages(cap, out);
  return out;
}

HIDP_VALUE_CAPS ToValueCaps(const Cap& cap) {
  HIDP_VALUE_CAPS out{};
  FillCommon(cap, out);
  out.HasNull = cap.HasNull();
  out.BitSize = cap.bitSize;
  out.ReportCount = cap.isRange ? 1 : cap.reportCount;
  out.UnitsExp = cap.unitsExp;
  out.Units = cap.units;
  out.LogicalMin = cap.logicalMin;
  out.LogicalMax = cap.logicalMax;
  out.PhysicalMin = cap.physicalMin;
  out.PhysicalMax = cap.physicalMax;
  FillUsages(cap, out);
  return out;
}

std::optional<USAGE> AnyIfZero(USAGE value) { return value ? std::optional<USAGE>(value) : std::nullopt; }

// The common shape of HidP_GetSpecificButtonCaps and HidP_GetSpecificValueCaps.
template <class Out, class Convert>
NTSTATUS GetSpecificCaps(HIDP_REPORT_TYPE type, CapFilter filter, Out* caps, PUSHORT length,
                         PHIDP_PREPARSED_DATA preparsed, Convert convert) {
  const CollectionLayout* layout = LayoutOf(preparsed);
  if (!layout) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (!IsReportType(type)) return HIDP_STATUS_INVALID_REPORT_TYPE;
  if (!length) return kStatusInvalidParameter;
  const size_t capacity = caps ? *length : 0;
  size_t written = 0;
  const size_t matched = ForEachCap(*layout, type, filter, [&](const Cap& cap) {
    if (written < capacity) caps[written++] = convert(cap);
    return true;
  });
  *length = static_cast<USHORT>(matched);
  if (matched == 0) return HIDP_STATUS_USAGE_NOT_FOUND;
  return matched > capacity ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

CapFilter SpecificFilter(CapKind kind, USAGE usagePage, USHORT linkCollection, USAGE usage) {
  CapFilter filter;
  filter.kind = kind;
  filter.usagePage = AnyIfZero(usagePage);
  filter.linkCollection = linkCollection;
  filter.usage = AnyIfZero(usage);
  return filter;
}

USHORT CountCaps(const CollectionLayout& layout, int type, bool buttons) {
  USHORT count = 0;
  for (const Cap& cap : layout.caps[type]) count += cap.isButton == buttons;
  return count;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities) {
  const CollectionLayout* layout = LayoutOf(PreparsedData);
  if (!layout) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (!Capabilities) return kStatusInvalidParameter;
  HIDP_CAPS caps{};
  caps.Usage = layout->usage;
  caps.UsagePage = layout->usagePage;
  caps.InputReportByteLength = layout->reportByteLength[HidP_Input];
  caps.OutputReportByteLength = layout->reportByteLength[HidP_Output];
  caps.FeatureReportByteLength = layout->reportByteLength[HidP_Feature];
  caps.NumberLinkCollectionNodes = static_cast<USHORT>(layout->nodes.size());
  caps.NumberInputButtonCaps = CountCaps(*layout, HidP_Input, true);
  caps.NumberInputValueCaps = CountCaps(*layout, HidP_Input, false);
  caps.NumberInputDataIndices = layout->dataIndices[HidP_Input];
  caps.NumberOutputButtonCaps = CountCaps(*layout, HidP_Output, true);
  caps.NumberOutputValueCaps = CountCaps(*layout, HidP_Output, false);
  caps.NumberOutputDataIndices = layout->dataIndices[HidP_Output];
  caps.NumberFeatureButtonCaps = CountCaps(*layout, HidP_Feature, true);
  caps.NumberFeatureValueCaps = CountCaps(*layout, HidP_Feature, false);
  caps.NumberFeatureDataIndices = layout->dataIndices[HidP_Feature];
  *Capabilities = caps;
  return HIDP_STATUS_SUCCESS;
}

NTSTATUS NTAPI HidP_GetLinkCollectionNodes(PHIDP_LINK_COLLECTION_NODE LinkCollectionNodes,
                                           PULONG LinkCollectionNodesLength, PHIDP_PREPARSED_DATA PreparsedData) {
  const CollectionLayout* layout = LayoutOf(PreparsedData);
  if (!layout) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (!LinkCollectionNodesLength) return kStatusInvalidParameter;
  const ULONG capacity = LinkCollectionNodes ? *LinkCollectionNodesLength : 0;
  *LinkCollectionNodesLength = static_cast<ULONG>(layout->nodes.size());
  if (capacity < layout->nodes.size()) return HIDP_STATUS_BUFFER_TOO_SMALL;
  for (size_t i = 0; i < layout->nodes.size(); ++i) {
    const LinkNode& node = layout->nodes[i];
    HIDP_LINK_COLLECTION_NODE out{};
    out.LinkUsage = node.usage;
    out.LinkUsagePage = node.usagePage;
    out.Parent = node.parent;
    out.NumberOfChildren = node.numberOfChildren;
    out.NextSibling = node.nextSibling;
    out.FirstChild = node.firstChild;
    out.CollectionType = node.collectionType;
    LinkCollectionNodes[i] = out;
  }
  return HIDP_STATUS_SUCCESS;
}

NTSTATUS NTAPI HidP_GetButtonCaps(HIDP_REPORT_TYPE ReportType, PHIDP_BUTTON_CAPS ButtonCaps,
                                  PUSHORT ButtonCapsLength, PHIDP_PREPARSED_DATA PreparsedData) {
  return HidP_GetSpecificButtonCaps(ReportType, 0, 0, 0, ButtonCaps, ButtonCapsLength, PreparsedData);
}

NTSTATUS NTAPI HidP_GetSpecificButtonCaps(HIDP_REPORT_TYPE ReportType, USAGE UsagePage, USHORT LinkCollection,
                                          USAGE Usage, PHIDP_BUTTON_CAPS ButtonCaps, PUSHORT ButtonCapsLength,
                                          PHIDP_PREPARSED_DATA PreparsedData) {
  return GetSpecificCaps(ReportType, SpecificFilter(CapKind::kButtons, UsagePage, LinkCollection, Usage), ButtonCaps,
                         ButtonCapsLength, PreparsedData, ToButtonCaps);
}

NTSTATUS NTAPI HidP_GetValueCaps(HIDP_REPORT_TYPE ReportType, PHIDP_VALUE_CAPS ValueCaps, PUSHORT ValueCapsLength,
                                 PHIDP_PREPARSED_DATA PreparsedData) {
  return HidP_GetSpecificValueCaps(ReportType, 0, 0, 0, ValueCaps, ValueCapsLength, PreparsedData);
}

NTSTATUS NTAPI HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE ReportType, USAGE UsagePage, USHORT LinkCollection,
                                         USAGE Usage, PHIDP_VALUE_CAPS ValueCaps, PUSHORT ValueCapsLength,
                                         PHIDP_PREPARSED_DATA PreparsedData) {
  return GetSpecificCaps(ReportType, SpecificFilter(CapKind::kValues, UsagePage, LinkCollection, Usage), ValueCaps,
                         ValueCapsLength, PreparsedData, ToValueCaps);
}

// The largest number of usages HidP_GetUsages can return: the fields of the
// matching button caps (page 0 matches every page).
ULONG NTAPI HidP_MaxUsageListLength(HIDP_REPORT_TYPE ReportType, USAGE UsagePage, PHIDP_PREPARSED_DATA PreparsedData) {
  const CollectionLayout* layout = LayoutOf(PreparsedData);
  if (!layout || !IsReportType(ReportType)) return 0;
  ULONG count = 0;
  ForEachCap(*layout, ReportType, SpecificFilter(CapKind::kButtons, UsagePage, 0, 0), [&](const Cap& cap) {
    count += cap.reportCount;
    return true;
  });
  return count;
}

ULONG NTAPI HidP_MaxDataListLength(HIDP_REPORT_TYPE ReportType, PHIDP_PREPARSED_DATA PreparsedData) {
  const CollectionLayout* layout = LayoutOf(PreparsedData);
  if (!layout || !IsReportType(ReportType)) return 0;
  ULONG count = 0;
  for (const Cap& cap : layout->caps[ReportType]) count += (cap.isButton || cap.isRange) ? cap.reportCount : 1;
  return count;
}

}  // extern "C"
