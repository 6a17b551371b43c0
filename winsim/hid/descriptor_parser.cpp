// The report-descriptor parser behind hid.dll's preparsed data.
//
// How Windows numbers what it parses, as the parser reproduces it:
// - each report type of a top-level collection has its own data index space,
//   in main-item order across all report IDs; a usage range takes consecutive
//   indices;
// - a variable item with several usages is stored last-declared-first, with
//   indices in that stored order; the last usage covers the remaining fields;
// - an array item with several usages is stored reversed too, but its indices
//   follow declaration order;
// - items without a usage (padding) and items with report count 0 get no caps;
// - link collection 0 is the top-level collection, the others follow in
//   declaration order; FirstChild names the last declared child and
//   NextSibling the previous sibling;
// - every report length counts the report ID byte, also when the device
//   declares no report IDs.
#include <winsim/sim/hidparse.h>

#include <algorithm>
#include <map>
#include <optional>

namespace winsim::hid {
namespace {

constexpr uint32_t kMaxGlobalStack = 256;
constexpr uint32_t kMaxUsagesPerItem = 0xFFFF;
constexpr uint32_t kMaxReportBytes = 0xFFFF;

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };

enum MainTag : uint8_t { kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kFeature = 0xB, kEndCollection = 0xC };

enum GlobalTag : uint8_t {
  kUsagePage = 0x0,
  kLogicalMin = 0x1,
  kLogicalMax = 0x2,
  kPhysicalMin = 0x3,
  kPhysicalMax = 0x4,
  kUnitExponent = 0x5,
  kUnit = 0x6,
  kReportSize = 0x7,
  kReportId = 0x8,
  kReportCount = 0x9,
  kPush = 0xA,
  kPop = 0xB,
};

enum LocalTag : uint8_t {
  kUsage = 0x0,
  kUsageMin = 0x1,
  kUsageMax = 0x2,
  kDesignatorIndex = 0x3,
  kDesignatorMin = 0x4,
  kDesignatorMax = 0x5,
  kStringIndex = 0x7,
  kStringMin = 0x8,
  kStringMax = 0x9,
  kDelimiter = 0xA,
};

struct Item {
  uint8_t type = 0;
  uint8_t tag = 0;
  uint32_t size = 0;
  uint32_t value = 0;
  int32_t signedValue = 0;
};

struct Globals {
  USAGE usagePage = 0;
  LONG logicalMin = 0, logicalMax = 0;
  LONG physicalMin = 0, physicalMax = 0;
  ULONG units = 0, unitsExp = 0;
  uint32_t reportSize = 0;
  uint32_t reportCount = 0;
  UCHAR reportId = 0;
};

// A usage or usage range of the local state, in declaration order.
struct UsageEntry {
  USAGE page = 0;
  std::optional<USAGE> min, max;
  bool isRange = false;

  USAGE First() const { return min ? *min : *max; }
  USAGE Last() const { return max ? *max : *min; }
  uint32_t Size() const { return static_cast<uint32_t>(Last() - First()) + 1; }
};

struct Locals {
  std::vector<UsageEntry> usages;
  USHORT stringMin = 0, stringMax = 0;
  bool stringRange = false;
  USHORT designatorMin = 0, designatorMax = 0;
  bool designatorRange = false;
  bool inDelimiter = false;
  bool delimiterTaken = false;
};

// The fields that one usage entry of a main item covers.
struct FieldRun {
  const UsageEntry* entry;
  uint32_t firstField;
  uint32_t fieldCount;
};

class Parser {
 public:
  explicit Parser(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
  ParseResult Run();

 private:
  bool ReadItem(size_t& offset, Item& item);
  void Dispatch(const Item& item);
  void OnMain(const Item& item);
  void OnGlobal(const Item& item);
  void OnLocal(const Item& item);
  void OnUsage(const Item& item, LocalTag tag);
  void AddUsage(USAGE page, USAGE usage);
  void SetRangeBound(USAGE page, USAGE usage, bool isMin);
  USAGE PageOf(const Item& item) const;
  void OpenCollection(uint32_t type);
  void CloseCollection();
  void AddFields(int reportType, uint32_t bitField);
  bool CountBits(int reportType, uint32_t& startBit);
  bool CheckUsages();
  void AddVariableCaps(int reportType, uint32_t startBit, uint16_t bitField);
  void AddArrayCaps(int reportType, uint32_t startBit, uint16_t bitField);
  Cap CapFor(const UsageEntry& entry, uint16_t bitField) const;
  bool TakeDataIndices(int reportType, Cap& cap);
  void NoteReportId(int reportType);
  void Fail(std::string message) {
    if (m_error.empty()) m_error = std::move(message);
  }

  std::span<const uint8_t> m_bytes;
  Globals m_globals;
  std::vector<Globals> m_globalStack;
  Locals m_locals;
  ParseResult m_result;
  std::vector<USHORT> m_open;  // link collection indices, innermost last
  std::array<std::map<UCHAR, uint32_t>, kReportTypes> m_bits;
  std::string m_error;
  bool m_sawReportId = false;
};

CollectionLayout& Current(ParseResult& result) { return result.collections.back(); }

bool Parser::ReadItem(size_t& offset, Item& item) {
  const uint8_t prefix = m_bytes[offset];
  if (prefix == 0xFE) {  // long item: size byte, tag byte, data; nothing uses them
    const size_t end = offset + 2 < m_bytes.size() ? offset + 3 + m_bytes[offset + 1] : m_bytes.size() + 1;
    if (end > m_bytes.size()) {
      Fail("truncated long item");
      return false;
    }
    offset = end;
    item.type = 3;
    return true;
  }
  static constexpr uint32_t kSizes[] = {0, 1, 2, 4};
  item.size = kSizes[prefix & 0x3];
  item.type = (prefix >> 2) & 0x3;
  item.tag = prefix >> 4;
  if (offset + 1 + item.size > m_bytes.size()) return Fail("truncated item"), false;
  item.value = 0;
  for (uint32_t i = 0; i < item.size; ++i) item.value |= uint32_t(m_bytes[offset + 1 + i]) << (8 * i);
  if (item.size == 1) item.signedValue = static_cast<int8_t>(item.value);
  else if (item.size == 2) item.signedValue = static_cast<int16_t>(item.value);
  else item.signedValue = static_cast<int32_t>(item.value);
  offset += 1 + item.size;
  return true;
}

ParseResult Parser::Run() {
  size_t offset = 0;
  while (offset < m_bytes.size() && m_error.empty()) {
    Item item;
    if (ReadItem(offset, item)) Dispatch(item);
  }
  if (m_error.empty() && !m_open.empty()) Fail("collection not closed");
  if (m_error.empty() && m_result.collections.empty()) Fail("no top-level collection");
  if (!m_error.empty()) return ParseResult{{}, m_error};
  for (auto& collection : m_result.collections) collection.usesReportIds = m_sawReportId;
  return std::move(m_result);
}

void Parser::Dispatch(const Item& item) {
  switch (item.type) {
    case kMain: OnMain(item); break;
    case kGlobal: OnGlobal(item); break;
    case kLocal: OnLocal(item); break;
    default: break;  // reserved and long items carry nothing the parser uses
  }
}

void Parser::OnMain(const Item& item) {
  switch (item.tag) {
    case kInput: AddFields(HidP_Input, item.value); break;
    case kOutput: AddFields(HidP_Output, item.value); break;
    case kFeature: AddFields(HidP_Feature, item.value); break;
    case kCollection: OpenCollection(item.value & 0xFF); break;
    case kEndCollection: CloseCollection(); break;
    default: break;
  }
  m_locals = Locals{};
}

void Parser::OnGlobal(const Item& item) {
  switch (item.tag) {
    case kUsagePage: m_globals.usagePage = static_cast<USAGE>(item.value); break;
    case kLogicalMin: m_globals.logicalMin = item.signedValue; break;
    case kLogicalMax: m_globals.logicalMax = item.signedValue; break;
    case kPhysicalMin: m_globals.physicalMin = item.signedValue; break;
    case kPhysicalMax: m_globals.physicalMax = item.signedValue; break;
    case kUnitExponent: m_globals.unitsExp = static_cast<ULONG>(item.signedValue); break;
    case kUnit: m_globals.units = item.value; break;
    case kReportSize: m_globals.reportSize = item.value; break;
    case kReportCount: m_globals.reportCount = item.value; break;
    case kReportId:
      if (item.value == 0 || item.value > 0xFF) return Fail("report ID outside 1..255");
      m_globals.reportId = static_cast<UCHAR>(item.value);
      m_sawReportId = true;
      break;
    case kPush:
      if (m_globalStack.size() >= kMaxGlobalStack) return Fail("global item stack overflow");
      m_globalStack.push_back(m_globals);
      break;
    case kPop:
      if (m_globalStack.empty()) return Fail("Pop without Push");
      m_globals = m_globalStack.back();
      m_globalStack.pop_back();
      break;
    default: break;
  }
}

void Parser::OnLocal(const Item& item) {
  auto& l = m_locals;
  switch (item.tag) {
    case kUsage:
    case kUsageMin:
    case kUsageMax: OnUsage(item, static_cast<LocalTag>(item.tag)); break;
    case kDesignatorIndex: l.designatorMin = l.designatorMax = static_cast<USHORT>(item.value), l.designatorRange = false; break;
    case kDesignatorMin: l.designatorMin = static_cast<USHORT>(item.value), l.designatorRange = true; break;
    case kDesignatorMax: l.designatorMax = static_cast<USHORT>(item.value), l.designatorRange = true; break;
    case kStringIndex: l.stringMin = l.stringMax = static_cast<USHORT>(item.value), l.stringRange = false; break;
    case kStringMin: l.stringMin = static_cast<USHORT>(item.value), l.stringRange = true; break;
    case kStringMax: l.stringMax = static_cast<USHORT>(item.value), l.stringRange = true; break;
    case kDelimiter:
      l.inDelimiter = item.value != 0;
      l.delimiterTaken = false;
      break;
    default: break;
  }
}

USAGE Parser::PageOf(const Item& item) const {
  const USAGE extended = static_cast<USAGE>(item.value >> 16);
  return (item.size == 4 && extended) ? extended : m_globals.usagePage;
}

// Inside a delimiter set the usages are alternatives for one field; the
// parser keeps the first of each set.
void Parser::OnUsage(const Item& item, LocalTag tag) {
  if (m_locals.inDelimiter && m_locals.delimiterTaken && tag == kUsage) return;
  if (m_locals.usages.size() >= kMaxUsagesPerItem) return Fail("too many usages for one item");
  const USAGE usage = static_cast<USAGE>(item.value & 0xFFFF);
  if (tag == kUsage) AddUsage(PageOf(item), usage);
  else SetRangeBound(PageOf(item), usage, tag == kUsageMin);
  if (m_locals.inDelimiter) m_locals.delimiterTaken = true;
}

void Parser::AddUsage(USAGE page, USAGE usage) {
  UsageEntry entry;
  entry.page = page;
  entry.min = entry.max = usage;
  m_locals.usages.push_back(entry);
}

// A range is complete once both bounds are set; a bound of a new range starts a
// new entry, so usages and ranges may be mixed in one list.
void Parser::SetRangeBound(USAGE page, USAGE usage, bool isMin) {
  auto& usages = m_locals.usages;
  const bool extendLast = !usages.empty() && usages.back().isRange &&
                          !(isMin ? usages.back().min : usages.back().max).has_value();
  if (!extendLast) {
    usages.push_back(UsageEntry{page, std::nullopt, std::nullopt, true});
  }
  (isMin ? usages.back().min : usages.back().max) = usage;
}

void Parser::OpenCollection(uint32_t type) {
  LinkNode node;
  node.collectionType = static_cast<UCHAR>(type);
  node.usagePage = m_globals.usagePage;
  if (!m_locals.usages.empty()) {
    node.usage = m_locals.usages.front().First();
    node.usagePage = m_locals.usages.front().page;
  }
  if (m_open.empty()) {
    m_result.collections.emplace_back();
    Current(m_result).usage = node.usage;
    Current(m_result).usagePage = node.usagePage;
    for (auto& bits : m_bits) bits.clear();
  }
  auto& nodes = Current(m_result).nodes;
  if (nodes.size() >= 0xFFFF) return Fail("too many link collections");
  const auto index = static_cast<USHORT>(nodes.size());
  if (!m_open.empty()) {
    LinkNode& parent = nodes[m_open.back()];
    node.parent = m_open.back();
    node.nextSibling = parent.firstChild;
    parent.firstChild = index;
    ++parent.numberOfChildren;
  }
  nodes.push_back(node);
  m_open.push_back(index);
}

void Parser::CloseCollection() {
  if (m_open.empty()) return Fail("End Collection without Collection");
  m_open.pop_back();
}

// Every main item advances the bit position of its report, caps or not.
bool Parser::CountBits(int reportType, uint32_t& startBit) {
  uint32_t& bits = m_bits[reportType].try_emplace(m_globals.reportId, 8).first->second;
  const uint64_t end = uint64_t(bits) + uint64_t(m_globals.reportSize) * m_globals.reportCount;
  if ((end + 7) / 8 > kMaxReportBytes) return Fail("report longer than 65535 bytes"), false;
  startBit = bits;
  bits = static_cast<uint32_t>(end);
  USHORT& length = Current(m_result).reportByteLength[reportType];
  length = std::max<USHORT>(length, static_cast<USHORT>((end + 7) / 8));
  return true;
}

void Parser::NoteReportId(int reportType) {
  auto& ids = Current(m_result).reportIds[reportType];
  if (std::find(ids.begin(), ids.end(), m_globals.reportId) == ids.end()) ids.push_back(m_globals.reportId);
}

bool Parser::CheckUsages() {
  for (const auto& entry : m_locals.usages) {
    if (!entry.min || !entry.max) continue;
    if (*entry.min > *entry.max) return Fail("usage minimum above usage maximum"), false;
  }
  if (m_globals.reportSize > 0xFFFF || m_globals.reportCount > 0xFFFF) return Fail("report size or count too large"), false;
  return true;
}

void Parser::AddFields(int reportType, uint32_t bitField) {
  if (m_open.empty()) return;  // fields outside any collection belong to no device
  uint32_t startBit = 0;
  if (!CheckUsages() || !CountBits(reportType, startBit)) return;
  if (m_globals.reportCount == 0) return;
  if (m_globals.reportSize != 0) NoteReportId(reportType);
  if (m_locals.usages.empty()) return;  // padding
  if (bitField & 0x02) AddVariableCaps(reportType, startBit, static_cast<uint16_t>(bitField));
  else AddArrayCaps(reportType, startBit, static_cast<uint16_t>(bitField));
}

Cap Parser::CapFor(const UsageEntry& entry, uint16_t bitField) const {
  const auto& layout = m_result.collections.back();
  const LinkNode& link = layout.nodes[m_open.back()];
  Cap cap;
  cap.usagePage = entry.page;
  cap.reportId = m_globals.reportId;
  cap.bitField = bitField;
  cap.linkCollection = m_open.back();
  cap.linkUsage = link.usage;
  cap.linkUsagePage = link.usagePage;
  cap.isArray = (bitField & 0x02) == 0;
  cap.isButton = cap.isArray || m_globals.reportSize == 1;
  cap.isRange = entry.isRange;
  cap.usageMin = entry.First();
  cap.usageMax = entry.Last();
  cap.isStringRange = m_locals.stringRange;
  cap.stringMin = m_locals.stringMin;
  cap.stringMax = m_locals.stringMax;
  cap.isDesignatorRange = m_locals.designatorRange;
  cap.designatorMin = m_locals.designatorMin;
  cap.designatorMax = m_locals.designatorMax;
  cap.bitSize = static_cast<USHORT>(m_globals.reportSize);
  cap.logicalMin = m_globals.logicalMin;
  cap.logicalMax = m_globals.logicalMax;
  cap.physicalMin = m_globals.physicalMin;
  cap.physicalMax = m_globals.physicalMax;
  cap.units = m_globals.units;
  cap.unitsExp = m_globals.unitsExp;
  return cap;
}

bool Parser::TakeDataIndices(int reportType, Cap& cap) {
  USHORT& next = Current(m_result).dataIndices[reportType];
  const uint32_t last = uint32_t(next) + (cap.usageMax - cap.usageMin);
  if (last >= 0xFFFF) return Fail("too many data indices"), false;
  cap.dataIndexMin = next;
  cap.dataIndexMax = static_cast<USHORT>(last);
  next = static_cast<USHORT>(last + 1);
  return true;
}

// Each usage entry takes as many fields as it names usages; the last one that
// gets fields takes all that remain. Usages beyond the report count name no field.
std::vector<FieldRun> SplitFields(const std::vector<UsageEntry>& usages, uint32_t reportCount) {
  std::vector<FieldRun> runs;
  uint32_t field = 0;
  for (size_t i = 0; i < usages.size() && field < reportCount; ++i) {
    const bool last = i + 1 == usages.size();
    const uint32_t count = last ? reportCount - field : std::min(usages[i].Size(), reportCount - field);
    runs.push_back({&usages[i], field, count});
    field += count;
  }
  return runs;
}

void Parser::AddVariableCaps(int reportType, uint32_t startBit, uint16_t bitField) {
  const auto runs = SplitFields(m_locals.usages, m_globals.reportCount);
  auto& caps = Current(m_result).caps[reportType];
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    Cap cap = CapFor(*run->entry, bitField);
    cap.startBit = startBit + run->firstField * m_globals.reportSize;
    cap.reportCount = static_cast<USHORT>(run->fieldCount);
    if (!TakeDataIndices(reportType, cap)) return;
    caps.push_back(cap);
  }
}

void Parser::AddArrayCaps(int reportType, uint32_t startBit, uint16_t bitField) {
  std::vector<Cap> declared;
  uint32_t arrayIndex = 1;
  for (const auto& entry : m_locals.usages) {
    Cap cap = CapFor(entry, bitField);
    cap.startBit = startBit;
    cap.reportCount = static_cast<USHORT>(m_globals.reportCount);
    cap.arrayIndexMin = arrayIndex;
    arrayIndex += entry.Size();
    if (!TakeDataIndices(reportType, cap)) return;
    declared.push_back(cap);
  }
  auto& caps = Current(m_result).caps[reportType];
  caps.insert(caps.end(), declared.rbegin(), declared.rend());
}

}  // namespace

ParseResult ParseReportDescriptor(std::span<const uint8_t> descriptor) { return Parser(descriptor).Run(); }

}  // namespace winsim::hid
