// The touch controller on winsim's bus: the controller model (ctlmodel/)
// behind a lock, its answers delivered on the simulated clock, and the
// history the control API hands to tests.
#include <winsim/sim/touch_controller.h>

#include <algorithm>

namespace winsim {

namespace {

ControllerEvent EventOf(const ctlmodel::WireEntry& entry) {
  using Kind = ControllerEvent::Kind;
  std::vector<uint8_t> bytes(entry.bytes, entry.bytes + entry.length);
  switch (entry.kind) {
    case ctlmodel::EntryKind::kOut: return {Kind::kReportOut, std::move(bytes)};
    case ctlmodel::EntryKind::kIn: return {Kind::kReportIn, std::move(bytes)};
    case ctlmodel::EntryKind::kWriteFailed: return {Kind::kWriteFailed, std::move(bytes)};
    case ctlmodel::EntryKind::kAction: break;
  }
  return {Kind::kAction, {}, entry.action};
}

HidTransferResult ResultOf(ctlmodel::WriteOutcome outcome) {
  switch (outcome) {
    case ctlmodel::WriteOutcome::kDone: break;
    case ctlmodel::WriteOutcome::kFailed: return HidTransferResult::Failed(ERROR_GEN_FAILURE);
    case ctlmodel::WriteOutcome::kStuck: return HidTransferResult::Stuck();
    case ctlmodel::WriteOutcome::kNotConnected: return HidTransferResult::Failed(ERROR_DEVICE_NOT_CONNECTED);
  }
  return HidTransferResult::Done();
}

}  // namespace

std::string ActionName(ControllerAction action) { return ctlmodel::ActionName(action); }

TouchController::TouchController(TouchControllerConfig config) {
  m_model.Init({config.firmwareVersion, config.productId, config.fault});
}

TouchControllerState TouchController::State() const {
  std::lock_guard lock(m_mutex);
  const ctlmodel::State& model = m_model.GetState();
  TouchControllerState state;
  state.firmwareVersion = model.firmwareVersion;
  state.productId = model.productId;
  state.fault = model.fault;
  state.hang = m_hang;
  state.wakeOnTouch = model.wakeOnTouch;
  state.lastWakeOnTouchFlag = model.lastWakeOnTouchFlag;
  state.sleeping = model.sleeping;
  state.resets = model.resets;
  state.versionQueries = model.versionQueries;
  state.actions = m_actions;
  state.bridge.frames = m_frames;
  state.bridge.supplyByte3 = model.bridge.supplyByte3;
  state.bridge.supplyByte5 = model.bridge.supplyByte5;
  state.bridge.param1 = model.bridge.param1;
  state.bridge.param2 = model.bridge.param2;
  state.bridge.poweredOn = model.bridge.poweredOn;
  return state;
}

std::vector<std::vector<uint8_t>> TouchController::Received() const {
  std::lock_guard lock(m_mutex);
  return m_received;
}

void TouchController::SetFault(ControllerFault fault) {
  std::lock_guard lock(m_mutex);
  m_model.SetFault(fault);
}

void TouchController::SetHang(bool hang) {
  bool ended = false;
  {
    std::lock_guard lock(m_mutex);
    ended = m_hang && !hang;
    m_hang = hang;
  }
  if (!ended) return;
  if (auto port = Port()) port->EndHungWrites();
}

void TouchController::SetFirmwareVersion(USHORT version) {
  std::lock_guard lock(m_mutex);
  m_model.SetFirmwareVersion(version);
}

void TouchController::SetObserver(Observer observer) {
  std::lock_guard lock(m_mutex);
  m_observer = std::move(observer);
}

bool TouchController::WaitForActions(ControllerAction action, size_t count, DWORD timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return static_cast<size_t>(std::count(m_actions.begin(), m_actions.end(), action)) >= count;
  });
}

std::shared_ptr<HidDevicePort> TouchController::Port() const {
  std::lock_guard lock(m_mutex);
  return m_port.lock();
}

void TouchController::OnPlugged(const std::shared_ptr<HidDevicePort>& port) {
  std::lock_guard lock(m_mutex);
  m_port = port;
  m_model.Attach();
}

void TouchController::OnUnplugged() {
  std::lock_guard lock(m_mutex);
  m_model.Detach();
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

bool TouchController::Touch(uint16_t x, uint16_t y, bool down) {
  const ctlmodel::Report report = ctlmodel::Controller::TouchReport(x, y, down);
  return Send(kTouchScreen, std::vector<uint8_t>(report.bytes, report.bytes + report.length));
}

HidTransferResult TouchController::OnOutputReport(size_t collection, std::span<const uint8_t> report) {
  ctlmodel::Reaction reaction;
  std::vector<ControllerEvent> events;
  {
    std::lock_guard lock(m_mutex);
    if (m_hang && collection == kVendorOutput) {
      events.push_back({ControllerEvent::Kind::kWriteHung, {report.begin(), report.end()}});
      m_changed.notify_all();
    }
  }
  if (!events.empty()) {
    Emit(events);
    return HidTransferResult::Hung();
  }
  {
    std::lock_guard lock(m_mutex);
    reaction = m_model.TakeOutputReport(static_cast<ctlmodel::Collection>(collection), report.data(), report.size());
    RememberLocked(reaction, report);
    events = DrainWireLocked();
    m_changed.notify_all();
  }
  Emit(events);
  auto port = Port();
  if (!port) return ResultOf(reaction.write);
  if (reaction.answers) {
    std::weak_ptr<TouchController> self = shared_from_this();
    std::vector<uint8_t> answer(reaction.answer.bytes, reaction.answer.bytes + reaction.answer.length);
    AtDue(port, reaction.answerDueMs, [self, answer] {
      if (auto controller = self.lock()) controller->Send(kVendorInput, answer);
    });
  }
  if (reaction.unplugs) {
    std::weak_ptr<HidDevicePort> weak = port;
    AtDue(port, reaction.unplugDueMs, [weak] {
      if (auto p = weak.lock()) p->Unplug();
    });
  }
  return ResultOf(reaction.write);
}

// The one place where the model's "due in N ms" meets winsim's clock: what is
// due now happens at once, on the caller's thread; later work runs on the
// bus's scheduler once that much simulated time has passed.
void TouchController::AtDue(const std::shared_ptr<HidDevicePort>& port, uint32_t dueMs, std::function<void()> work) {
  if (dueMs == 0) return work();
  port->Schedule(dueMs, std::move(work));
}

HidTransferResult TouchController::OnGetFeature(size_t collection, std::span<uint8_t> report) {
  std::lock_guard lock(m_mutex);
  if (!m_model.GetFeature(static_cast<ctlmodel::Collection>(collection), report.data(), report.size()))
    return HidTransferResult::Failed(ERROR_GEN_FAILURE);
  return HidTransferResult::Done();
}

HidTransferResult TouchController::OnSetFeature(size_t collection, std::span<const uint8_t> report) {
  std::lock_guard lock(m_mutex);
  if (!m_model.SetFeature(static_cast<ctlmodel::Collection>(collection), report.data(), report.size()))
    return HidTransferResult::Failed(ERROR_GEN_FAILURE);
  return HidTransferResult::Done();
}

// The history the control API keeps beyond the model's current state.
void TouchController::RememberLocked(const ctlmodel::Reaction& reaction, std::span<const uint8_t> report) {
  if (!reaction.acted) return;
  m_received.emplace_back(report.begin(), report.end());
  m_actions.push_back(reaction.action);
  if (reaction.frameTaken) m_frames.emplace_back(report.begin(), report.begin() + ctlmodel::kBridgeFrameBytes);
}

// The model's wire record, emptied into events: observers see exactly what
// the driver's wire record shows.
std::vector<ControllerEvent> TouchController::DrainWireLocked() {
  std::vector<ControllerEvent> events;
  ctlmodel::WireEntry entry;
  while (m_model.Wire().Take(entry)) events.push_back(EventOf(entry));
  return events;
}

bool TouchController::Send(size_t collection, const std::vector<uint8_t>& report) {
  auto port = Port();
  if (!port || !port->SendInputReport(collection, report)) return false;
  std::vector<ControllerEvent> events;
  {
    std::lock_guard lock(m_mutex);
    m_model.NoteInputSent(report.data(), report.size());
    events = DrainWireLocked();
  }
  Emit(events);
  return true;
}

void TouchController::Emit(const std::vector<ControllerEvent>& events) const {
  if (events.empty()) return;
  Observer observer;
  {
    std::lock_guard lock(m_mutex);
    observer = m_observer;
  }
  if (!observer) return;
  for (const auto& event : events) observer(event);
}

std::shared_ptr<TouchController> PlugController(HidBus& bus, const TouchControllerConfig& config) {
  auto controller = std::make_shared<TouchController>(config);
  bus.Plug(TouchController::DeviceDesc(config, bus.NextPairNumber()), controller);
  controller->SetHang(config.hang);
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
