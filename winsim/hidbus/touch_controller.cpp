// The touch controller's behaviour: the commands it takes, the answers it
// sends, the bridge frames of the bridge products, and the fault knobs.
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <optional>

namespace winsim {

namespace {

constexpr uint8_t kVersionAnswerMark = 0x52;
constexpr uint8_t kContactCountMaximumReport = 0x0A;
constexpr uint8_t kContactCountMaximum = 2;
// A short answer: the report ID, its header and 13 bytes, well below the input length.
constexpr size_t kShortAnswerBytes = 16;

using Command = std::array<uint8_t, 4>;
constexpr Command kWakeOnTouchPrefix = {0xF0, 0x02, 0x00, 0x00};
constexpr Command kSleep = {0x54, 0x50, 0x00, 0x01};
constexpr Command kWake = {0x54, 0x58, 0x00, 0x01};
constexpr Command kReset = {0x77, 0x77, 0x77, 0x77};
constexpr Command kVersionQuery = {0x53, 0x00, 0x00, 0x01};

bool IsBridgeProduct(USHORT productId) {
  return productId == kBridgePowerProductId || productId == kBridgeNoIdsProductId;
}

// [2, payload length, 0x52, version bits 15-12, bits 11-4, bits 3-0 in the high nibble]
std::vector<uint8_t> VersionAnswer(USHORT version) {
  std::vector<uint8_t> report(kVendorReportBytes, 0);
  report[0] = kVendorInputReportId;
  report[1] = 4;
  report[2] = kVersionAnswerMark;
  report[3] = static_cast<uint8_t>((version >> 12) & 0x0F);
  report[4] = static_cast<uint8_t>((version >> 4) & 0xFF);
  report[5] = static_cast<uint8_t>((version & 0x0F) << 4);
  return report;
}

}  // namespace

struct TouchController::Reaction {
  HidTransferResult result = HidTransferResult::Done();
  std::vector<ControllerEvent> events;
  std::optional<std::vector<uint8_t>> answer;
  uint64_t answerDelayMs = 0;
  bool unplug = false;
};

std::string ActionName(ControllerAction action) {
  static const char* const kNames[] = {"wake-on-touch on", "wake-on-touch off", "sleep",        "wake",
                                       "reset",            "version query",     "bridge frame", "malformed"};
  return kNames[static_cast<int>(action)];
}

TouchController::TouchController(TouchControllerConfig config) {
  m_state.firmwareVersion = config.firmwareVersion;
  m_state.productId = config.productId;
  m_state.fault = config.fault;
}

TouchControllerState TouchController::State() const {
  std::lock_guard lock(m_mutex);
  return m_state;
}

std::vector<std::vector<uint8_t>> TouchController::Received() const {
  std::lock_guard lock(m_mutex);
  return m_received;
}

void TouchController::SetFault(ControllerFault fault) {
  std::lock_guard lock(m_mutex);
  m_state.fault = fault;
}

void TouchController::SetFirmwareVersion(USHORT version) {
  std::lock_guard lock(m_mutex);
  m_state.firmwareVersion = version;
}

void TouchController::SetObserver(Observer observer) {
  std::lock_guard lock(m_mutex);
  m_observer = std::move(observer);
}

bool TouchController::WaitForActions(ControllerAction action, size_t count, DWORD timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return static_cast<size_t>(std::count(m_state.actions.begin(), m_state.actions.end(), action)) >= count;
  });
}

std::shared_ptr<HidDevicePort> TouchController::Port() const {
  std::lock_guard lock(m_mutex);
  return m_port.lock();
}

void TouchController::OnPlugged(const std::shared_ptr<HidDevicePort>& port) {
  std::lock_guard lock(m_mutex);
  m_port = port;
}

void TouchController::Detach() {
  if (auto port = Port()) port->Unplug();
}

void TouchController::Attach() {
  if (auto port = Port()) port->Replug();
}

bool TouchController::Attached() const {
  auto port = Port();
  return port && port->Plugged();
}

std::wstring TouchController::Path(Collection collection) const {
  auto port = Port();
  return port ? port->Path(collection) : std::wstring{};
}

// Report 1: finger 1 (tip switch, contact 0, X, Y), finger 2 idle, contact count.
bool TouchController::Touch(uint16_t x, uint16_t y, bool down) {
  std::vector<uint8_t> report(14, 0);
  report[0] = 1;
  report[1] = down ? 1 : 0;
  report[3] = static_cast<uint8_t>(x & 0xFF);
  report[4] = static_cast<uint8_t>(x >> 8);
  report[5] = static_cast<uint8_t>(y & 0xFF);
  report[6] = static_cast<uint8_t>(y >> 8);
  report[13] = down ? 1 : 0;
  return Send(kTouchScreen, report);
}

HidTransferResult TouchController::OnOutputReport(size_t collection, std::span<const uint8_t> report) {
  if (collection != kVendorOutput) return HidTransferResult::Done();
  Reaction reaction = Take(report);
  Run(reaction);
  return reaction.result;
}

HidTransferResult TouchController::OnGetFeature(size_t collection, std::span<uint8_t> report) {
  if (collection != kTouchScreen || report.size() < 2 || report[0] != kContactCountMaximumReport)
    return HidTransferResult::Failed(ERROR_GEN_FAILURE);
  report[1] = kContactCountMaximum;
  return HidTransferResult::Done();
}

// The contact maximum is read-only; the device stalls a write of it.
HidTransferResult TouchController::OnSetFeature(size_t, std::span<const uint8_t>) {
  return HidTransferResult::Failed(ERROR_GEN_FAILURE);
}

TouchController::Reaction TouchController::Take(std::span<const uint8_t> report) {
  Reaction reaction;
  const std::vector<uint8_t> bytes(report.begin(), report.end());
  std::lock_guard lock(m_mutex);
  if (m_state.fault == ControllerFault::kFailWrite || m_state.fault == ControllerFault::kStuckWrite) {
    reaction.result = m_state.fault == ControllerFault::kFailWrite ? HidTransferResult::Failed(ERROR_GEN_FAILURE)
                                                                    : HidTransferResult::Stuck();
    reaction.events.push_back({ControllerEvent::Kind::kWriteFailed, bytes});
    return reaction;
  }
  m_received.push_back(bytes);
  reaction.events.push_back({ControllerEvent::Kind::kReportOut, bytes});
  if (report.size() >= 3 && report[1] == 0x00) TakeCommand(report, reaction);
  else TakeBridgeFrame(report, reaction);
  reaction.unplug = m_state.fault == ControllerFault::kUnplug;
  if (reaction.unplug) reaction.answer.reset();
  m_changed.notify_all();
  return reaction;
}

// [3, 0x00, length, command...]: the length byte is 4, or 6 when the host
// sends fixed-length commands (the two extra bytes are zero).
void TouchController::TakeCommand(std::span<const uint8_t> report, Reaction& reaction) {
  const uint8_t length = report[2];
  const bool framed = (length == 4 || length == 6) && report.size() >= 3u + length;
  const bool padded = length != 6 || (framed && report[7] == 0 && report[8] == 0);
  if (!framed || !padded) return Act(ControllerAction::kMalformed, reaction);
  Command command;
  std::copy_n(report.begin() + 3, 4, command.begin());
  if (std::equal(command.begin(), command.begin() + 3, kWakeOnTouchPrefix.begin())) {
    m_state.lastWakeOnTouchFlag = command[3];
    m_state.wakeOnTouch = command[3] != 0;
    return Act(m_state.wakeOnTouch ? ControllerAction::kWakeOnTouchOn : ControllerAction::kWakeOnTouchOff, reaction);
  }
  if (command == kSleep) return m_state.sleeping = true, Act(ControllerAction::kSleep, reaction);
  if (command == kWake) return m_state.sleeping = false, Act(ControllerAction::kWake, reaction);
  if (command == kReset) {
    ++m_state.resets;
    m_state.sleeping = false;
    return Act(ControllerAction::kReset, reaction);
  }
  if (command != kVersionQuery) return Act(ControllerAction::kMalformed, reaction);
  ++m_state.versionQueries;
  Act(ControllerAction::kVersionQuery, reaction);
  Answer(reaction);
}

// [3, bridge command, four parameters]: 0x12 supply levels (bytes 3 and 5),
// 0x11 power state, 0x02 and 0x01 one value each in byte 2.
void TouchController::TakeBridgeFrame(std::span<const uint8_t> report, Reaction& reaction) {
  if (!IsBridgeProduct(m_state.productId) || report.size() < 6) return Act(ControllerAction::kMalformed, reaction);
  BridgeState& bridge = m_state.bridge;
  bridge.frames.emplace_back(report.begin(), report.begin() + 6);
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
    default: return Act(ControllerAction::kMalformed, reaction);
  }
  Act(ControllerAction::kBridgeFrame, reaction);
}

void TouchController::Act(ControllerAction action, Reaction& reaction) {
  m_state.actions.push_back(action);
  ControllerEvent event{ControllerEvent::Kind::kAction, {}, action};
  reaction.events.push_back(event);
}

void TouchController::Answer(Reaction& reaction) {
  std::vector<uint8_t> answer = VersionAnswer(m_state.firmwareVersion);
  switch (m_state.fault) {
    case ControllerFault::kMute: return;
    case ControllerFault::kLate: reaction.answerDelayMs = kLateAnswerMs; break;
    case ControllerFault::kWrongReport: answer[0] = kVendorStatusReportId; break;
    case ControllerFault::kShortReport: answer.resize(kShortAnswerBytes); break;
    default: break;
  }
  reaction.answer = std::move(answer);
}

void TouchController::Run(Reaction& reaction) {
  for (const auto& event : reaction.events) Emit(event);
  auto port = Port();
  if (!port) return;
  if (reaction.answer && reaction.answerDelayMs == 0) Send(kVendorInput, *reaction.answer);
  if (reaction.answer && reaction.answerDelayMs > 0) {
    std::weak_ptr<TouchController> self = shared_from_this();
    port->Schedule(reaction.answerDelayMs, [self, answer = *reaction.answer] {
      if (auto controller = self.lock()) controller->Send(kVendorInput, answer);
    });
  }
  if (reaction.unplug) {
    std::weak_ptr<HidDevicePort> weak = port;
    port->Schedule(kUnplugDelayMs, [weak] {
      if (auto p = weak.lock()) p->Unplug();
    });
  }
}

bool TouchController::Send(size_t collection, const std::vector<uint8_t>& report) {
  auto port = Port();
  if (!port || !port->SendInputReport(collection, report)) return false;
  Emit({ControllerEvent::Kind::kReportIn, report});
  return true;
}

void TouchController::Emit(const ControllerEvent& event) const {
  Observer observer;
  {
    std::lock_guard lock(m_mutex);
    observer = m_observer;
  }
  if (observer) observer(event);
}

std::shared_ptr<TouchController> PlugController(HidBus& bus, const TouchControllerConfig& config) {
  auto controller = std::make_shared<TouchController>(config);
  bus.Plug(TouchController::DeviceDesc(config, bus.NextPairNumber()), controller);
  return controller;
}

std::shared_ptr<TouchController> AttachTouchController(Machine& machine, const TouchControllerConfig& config) {
  return PlugController(machine.Part<HidBus>(), config);
}

std::vector<std::shared_ptr<TouchController>> TouchControllers(Machine& machine) {
  std::vector<std::shared_ptr<TouchController>> controllers;
  for (const auto& device : machine.Part<HidBus>().Devices())
    if (auto controller = std::dynamic_pointer_cast<TouchController>(device->Model())) controllers.push_back(controller);
  return controllers;
}

}  // namespace winsim
