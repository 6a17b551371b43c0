// The controller's behaviour: the commands it takes, the answers it sends,
// the bridge frames of the bridge products, and the fault knobs.
#include <ctlmodel/controller.h>

namespace ctlmodel {
namespace {

constexpr uint8_t kVersionAnswerMark = 0x52;
constexpr uint8_t kWakeOnTouchEnable = 0x01;  // the only last byte that switches wake-on-touch on

// [3, 0x00, length, command...]: four command bytes follow the length byte.
constexpr size_t kCommandBytes = 4;
constexpr uint8_t kWakeOnTouchPrefix[3] = {0xF0, 0x02, 0x00};
constexpr uint8_t kSleep[kCommandBytes] = {0x54, 0x50, 0x00, 0x01};
constexpr uint8_t kWake[kCommandBytes] = {0x54, 0x58, 0x00, 0x01};
constexpr uint8_t kReset[kCommandBytes] = {0x77, 0x77, 0x77, 0x77};
constexpr uint8_t kVersionQuery[kCommandBytes] = {0x53, 0x00, 0x00, 0x01};

bool Same(const uint8_t* a, const uint8_t* b, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

void Copy(uint8_t* to, const uint8_t* from, size_t length) {
  for (size_t i = 0; i < length; ++i) to[i] = from[i];
}

// [2, payload length, 0x52, version bits 15-12, bits 11-4, bits 3-0 in the high nibble]
Report VersionAnswer(uint16_t version) {
  Report report = {};
  report.length = kVendorReportBytes;
  report.bytes[0] = kVendorInputReportId;
  report.bytes[1] = 4;
  report.bytes[2] = kVersionAnswerMark;
  report.bytes[3] = static_cast<uint8_t>((version >> 12) & 0x0F);
  report.bytes[4] = static_cast<uint8_t>((version >> 4) & 0xFF);
  report.bytes[5] = static_cast<uint8_t>((version & 0x0F) << 4);
  return report;
}

}  // namespace

bool IsBridgeProduct(uint16_t productId) {
  return productId == kBridgePowerProductId || productId == kBridgeNoIdsProductId;
}

void Controller::Init(const Config& config) {
  m_state = {};
  m_state.firmwareVersion = config.firmwareVersion;
  m_state.productId = config.productId;
  m_state.fault = config.fault;
  m_state.attached = true;
  m_wire.Clear();
}

Reaction Controller::TakeOutputReport(Collection collection, const uint8_t* report, size_t length) {
  Reaction reaction = {};
  reaction.write = WriteOutcome::kDone;
  if (!report) length = 0;
  if (collection != Collection::kVendorOutput) return reaction;  // the other collections have no output reports
  if (!m_state.attached) return reaction.write = WriteOutcome::kNotConnected, reaction;
  if (m_state.fault == Fault::kFailWrite || m_state.fault == Fault::kStuckWrite) {
    reaction.write = m_state.fault == Fault::kFailWrite ? WriteOutcome::kFailed : WriteOutcome::kStuck;
    Record(EntryKind::kWriteFailed, report, length);
    return reaction;
  }
  ++m_state.reportsTaken;
  Record(EntryKind::kOut, report, length);
  if (length >= 3 && report[1] == 0x00) TakeCommand(report, length, reaction);
  else TakeBridgeFrame(report, length, reaction);
  if (m_state.fault == Fault::kUnplug) {
    reaction.unplugs = true;
    reaction.unplugDueMs = kUnplugDelayMs;
    reaction.answers = false;
  }
  return reaction;
}

// [3, 0x00, length, command...]: the length byte is 4, or 6 when the host
// sends fixed-length commands (the two extra bytes are zero).
void Controller::TakeCommand(const uint8_t* report, size_t length, Reaction& reaction) {
  const uint8_t declared = report[2];
  const bool framed = (declared == 4 || declared == 6) && length >= 3u + declared;
  const bool padded = declared != 6 || (framed && report[7] == 0 && report[8] == 0);
  if (!framed || !padded) return Act(Action::kMalformed, reaction);
  const uint8_t* command = report + 3;
  if (Same(command, kWakeOnTouchPrefix, sizeof(kWakeOnTouchPrefix))) {
    m_state.lastWakeOnTouchFlag = command[3];
    m_state.wakeOnTouch = command[3] == kWakeOnTouchEnable;
    return Act(m_state.wakeOnTouch ? Action::kWakeOnTouchOn : Action::kWakeOnTouchOff, reaction);
  }
  if (Same(command, kSleep, kCommandBytes)) return m_state.sleeping = true, Act(Action::kSleep, reaction);
  if (Same(command, kWake, kCommandBytes)) return m_state.sleeping = false, Act(Action::kWake, reaction);
  if (Same(command, kReset, kCommandBytes)) {
    ++m_state.resets;
    m_state.sleeping = false;
    return Act(Action::kReset, reaction);
  }
  if (!Same(command, kVersionQuery, kCommandBytes)) return Act(Action::kMalformed, reaction);
  ++m_state.versionQueries;
  Act(Action::kVersionQuery, reaction);
  Answer(reaction);
}

// [3, bridge command, four parameters]: 0x12 supply levels (bytes 3 and 5),
// 0x11 power state, 0x02 and 0x01 one value each in byte 2.
void Controller::TakeBridgeFrame(const uint8_t* report, size_t length, Reaction& reaction) {
  if (!IsBridgeProduct(m_state.productId) || length < kBridgeFrameBytes) return Act(Action::kMalformed, reaction);
  BridgeState& bridge = m_state.bridge;
  ++bridge.frames;
  reaction.frameTaken = true;
  switch (report[1]) {
    case 0x12:
      bridge.supplyByte3 = report[3];
      bridge.supplyByte5 = report[5];
      if (!report[3] && !report[5]) bridge.poweredOn = false;
      break;
    case 0x11: bridge.poweredOn = false; break;
    case 0x02: bridge.param2 = report[2]; break;
    case 0x01:
      bridge.param1 = report[2];
      bridge.poweredOn = (bridge.supplyByte5 & 0x1F) != 0;  // a VIO level is set
      break;
    default: return Act(Action::kMalformed, reaction);
  }
  Act(Action::kBridgeFrame, reaction);
}

void Controller::Act(Action action, Reaction& reaction) {
  reaction.acted = true;
  reaction.action = action;
  WireEntry entry = {};
  entry.kind = EntryKind::kAction;
  entry.action = action;
  entry.clock = m_clock;
  m_wire.Append(entry);
}

void Controller::Answer(Reaction& reaction) const {
  reaction.answer = VersionAnswer(m_state.firmwareVersion);
  switch (m_state.fault) {
    case Fault::kMute: return;
    case Fault::kLate: reaction.answerDueMs = kLateAnswerMs; break;
    case Fault::kWrongReport: reaction.answer.bytes[0] = kVendorStatusReportId; break;
    case Fault::kShortReport: reaction.answer.length = kShortAnswerBytes; break;
    default: break;
  }
  reaction.answers = true;
}

void Controller::NoteInputSent(const uint8_t* report, size_t length) {
  Record(EntryKind::kIn, report, report ? length : 0);
}

bool Controller::GetFeature(Collection collection, uint8_t* report, size_t length) const {
  if (collection != Collection::kTouchScreen || !report || length < 2 || report[0] != kContactMaximumReportId)
    return false;
  report[1] = kContactMaximum;
  return true;
}

// The contact maximum is read-only; the device stalls a write of it.
bool Controller::SetFeature(Collection, const uint8_t*, size_t) const { return false; }

// Report 1: finger 1 (tip switch, contact 0, X, Y), finger 2 idle, contact count.
Report Controller::TouchReport(uint16_t x, uint16_t y, bool down) {
  Report report = {};
  report.length = kTouchReportBytes;
  report.bytes[0] = kTouchReportId;
  report.bytes[1] = down ? 1 : 0;
  report.bytes[3] = static_cast<uint8_t>(x & 0xFF);
  report.bytes[4] = static_cast<uint8_t>(x >> 8);
  report.bytes[5] = static_cast<uint8_t>(y & 0xFF);
  report.bytes[6] = static_cast<uint8_t>(y >> 8);
  report.bytes[13] = down ? 1 : 0;
  return report;
}

void Controller::Record(EntryKind kind, const uint8_t* bytes, size_t length) {
  WireEntry entry = {};
  entry.kind = kind;
  entry.clock = m_clock;
  entry.length = static_cast<uint16_t>(length < kMaxReportBytes ? length : kMaxReportBytes);
  Copy(entry.bytes, bytes, entry.length);
  m_wire.Append(entry);
}

// ---- the wire record ----

void WireRecord::Clear() {
  m_first = 0;
  m_count = 0;
  m_dropped = 0;
  m_total = 0;
}

void WireRecord::Append(const WireEntry& entry) {
  ++m_total;
  if (m_count == kCapacity) {
    m_first = (m_first + 1) % kCapacity;
    --m_count;
    ++m_dropped;
  }
  m_entries[(m_first + m_count) % kCapacity] = entry;
  ++m_count;
}

const WireEntry& WireRecord::At(size_t index) const { return m_entries[(m_first + index) % kCapacity]; }

bool WireRecord::Take(WireEntry& entry) {
  if (m_count == 0) return false;
  entry = m_entries[m_first];
  m_first = (m_first + 1) % kCapacity;
  --m_count;
  return true;
}

}  // namespace ctlmodel
