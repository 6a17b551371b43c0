// The HID bus: plugged devices, their interface paths, input delivery,
// unplugging, and the device namespace entry that CreateFileW reaches.
#include "bus_internal.h"

#include <winsim/dbt.h>
#include <winsim/sim/devices.h>
#include <winsim/sim/services.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>

namespace winsim {

const GUID kHidInterfaceClassGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kHidSetupClassGuid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

HidTransferResult HidDeviceModel::OnOutputReport(size_t, std::span<const uint8_t>) { return HidTransferResult::Done(); }
HidTransferResult HidDeviceModel::OnSetFeature(size_t, std::span<const uint8_t>) {
  return HidTransferResult::Failed(ERROR_GEN_FAILURE);
}
HidTransferResult HidDeviceModel::OnGetFeature(size_t, std::span<uint8_t>) {
  return HidTransferResult::Failed(ERROR_GEN_FAILURE);
}
HidTransferResult HidDeviceModel::OnGetInputReport(size_t, std::span<uint8_t>) {
  return HidTransferResult::Failed(ERROR_GEN_FAILURE);
}

}  // namespace winsim

namespace winsim::hidbus {

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
  return text;
}

// ---- DeviceNode ----

DeviceNode::DeviceNode(const std::shared_ptr<State>& state, HidDeviceDesc desc, std::vector<CollectionNode> collections,
                       std::shared_ptr<HidDeviceModel> model)
    : m_state(state), m_desc(std::move(desc)), m_collections(std::move(collections)), m_model(std::move(model)) {}

namespace {

// The length of the input report with this ID, its ID byte included: where
// its last field ends.
size_t InputReportLength(const hid::CollectionLayout& layout, uint8_t id) {
  if (!layout.usesReportIds) return layout.reportByteLength[HidP_Input];
  size_t bits = 0;
  for (const auto& cap : layout.caps[HidP_Input])
    if (cap.reportId == id) bits = std::max<size_t>(bits, cap.startBit + size_t{cap.bitSize} * cap.reportCount);
  return (bits + 7) / 8;
}

}  // namespace

// As Windows' class driver does: a report shorter than its ID's report is
// dropped from a device it reads (one it polls passes it on as it is); a
// whole report shorter than the collection's input length is padded with
// zeros to it, since every read is of that length.
DeviceNode::Input DeviceNode::TakeInput(size_t collection, std::span<const uint8_t> report,
                                        std::vector<uint8_t>& delivered) const {
  if (collection >= m_collections.size() || report.empty()) return Input::kRefused;
  const auto& layout = m_collections[collection].layout;
  const size_t inputLength = layout.reportByteLength[HidP_Input];
  if (report.size() > inputLength) return Input::kRefused;
  const auto& ids = layout.reportIds[HidP_Input];
  if (layout.usesReportIds ? std::find(ids.begin(), ids.end(), report[0]) == ids.end() : report[0] != 0)
    return Input::kRefused;
  delivered.assign(report.begin(), report.end());
  if (m_desc.polled) return Input::kDelivered;
  if (report.size() < InputReportLength(layout, report[0])) return Input::kDropped;
  delivered.resize(inputLength, 0);
  return Input::kDelivered;
}

bool DeviceNode::SendInputReport(size_t collection, std::span<const uint8_t> report) {
  auto state = m_state.lock();
  std::vector<uint8_t> delivered;
  const Input input = state ? TakeInput(collection, report, delivered) : Input::kRefused;
  if (input == Input::kRefused) return false;
  std::vector<std::pair<std::shared_ptr<HidHandle>, std::pair<Transfer, DWORD>>> completed;
  {
    std::lock_guard lock(state->mutex);
    if (!m_plugged) return false;
    if (input == Input::kDropped) return true;
    auto& handles = m_collections[collection].handles;
    std::erase_if(handles, [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : handles) {
      auto handle = weak.lock();
      std::vector<std::pair<Transfer, DWORD>> done;
      if (handle && handle->DeliverLocked(delivered, done))
        for (auto& d : done) completed.emplace_back(handle, d);
    }
  }
  for (auto& [handle, done] : completed) handle->Complete(done.first, ERROR_SUCCESS, done.second);
  return true;
}

void DeviceNode::Schedule(uint64_t delayMs, std::function<void()> work) {
  if (auto state = m_state.lock()) state->scheduler.Schedule(delayMs, std::move(work));
}

void DeviceNode::Unplug() {
  auto state = m_state.lock();
  if (!state) return;
  std::vector<std::pair<std::shared_ptr<HidHandle>, Transfer>> failed;
  {
    std::lock_guard lock(state->mutex);
    if (!m_plugged) return;
    m_plugged = false;
    for (auto& collection : m_collections) {
      for (const auto& weak : collection.handles) {
        auto handle = weak.lock();
        if (!handle) continue;
        std::vector<Transfer> pending;
        handle->KillLocked(pending, true);
        for (auto& transfer : pending) failed.emplace_back(handle, transfer);
      }
      collection.handles.clear();
    }
    TakeHungLocked(failed);  // those closed since their write hung
  }
  for (auto& [handle, transfer] : failed) handle->Complete(transfer, ERROR_DEVICE_NOT_CONNECTED, 0);
  m_model->OnUnplugged();
  Announce(state, *this, DBT_DEVICEREMOVECOMPLETE);
}

void DeviceNode::HoldHungLocked(std::shared_ptr<HidHandle> handle) {
  if (std::find(m_hungHandles.begin(), m_hungHandles.end(), handle) == m_hungHandles.end())
    m_hungHandles.push_back(std::move(handle));
}

void DeviceNode::TakeHungLocked(std::vector<std::pair<std::shared_ptr<HidHandle>, Transfer>>& taken) {
  for (auto& handle : m_hungHandles) {
    std::vector<Transfer> hung;
    handle->TakeWritesLocked(hung, true);
    for (auto& transfer : hung) taken.emplace_back(handle, transfer);
  }
  m_hungHandles.clear();
}

void DeviceNode::EndHungWrites() {
  auto state = m_state.lock();
  if (!state) return;
  std::vector<std::pair<std::shared_ptr<HidHandle>, Transfer>> ended;
  {
    std::lock_guard lock(state->mutex);
    TakeHungLocked(ended);
  }
  for (auto& [handle, transfer] : ended) handle->Complete(transfer, ERROR_OPERATION_ABORTED, 0);
}

void DeviceNode::Replug() {
  auto state = m_state.lock();
  if (!state) return;
  {
    std::lock_guard lock(state->mutex);
    if (m_plugged) return;
    m_plugged = true;
  }
  m_model->OnPlugged(shared_from_this());
  Announce(state, *this, DBT_DEVICEARRIVAL);
}

bool DeviceNode::Plugged() const {
  auto state = m_state.lock();
  if (!state) return false;
  std::lock_guard lock(state->mutex);
  return m_plugged;
}

// ---- paths ----

namespace {

std::wstring Format(const wchar_t* format, unsigned value) {
  wchar_t buffer[16];
  std::swprintf(buffer, 16, format, value);
  return buffer;
}

// \\?\hid#<hardware id>[&mi_NN][&colNN]#<instance>&NNNN#{interface class}
std::wstring BuildPath(const HidDeviceDesc& desc, size_t collection, size_t count) {
  std::wstring path = L"\\\\?\\hid#" + desc.hardwareId;
  if (desc.interfaceNumber) path += Format(L"&mi_%02x", *desc.interfaceNumber);
  if (count > 1) path += Format(L"&col%02u", static_cast<unsigned>(collection + 1));
  path += L"#" + desc.instance + Format(L"&%04x", static_cast<unsigned>(collection));
  return path + L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

std::shared_ptr<HidHandle> LiveHandle(const std::weak_ptr<HidHandle>& weak) { return weak.lock(); }

bool ShareConflict(const HidHandle::Access& a, const HidHandle::Access& e) {
  if ((a.read && !(e.share & FILE_SHARE_READ)) || (a.write && !(e.share & FILE_SHARE_WRITE)) ||
      (a.del && !(e.share & FILE_SHARE_DELETE)))
    return true;
  return (e.read && !(a.share & FILE_SHARE_READ)) || (e.write && !(a.share & FILE_SHARE_WRITE)) ||
         (e.del && !(a.share & FILE_SHARE_DELETE));
}

// Opens that ask for no read, write or delete access take no part in sharing.
bool ShareViolation(const CollectionNode& collection, const HidHandle::Access& access) {
  if (!access.Counts()) return false;
  for (const auto& weak : collection.handles) {
    auto handle = LiveHandle(weak);
    if (handle && handle->access().Counts() && ShareConflict(access, handle->access())) return true;
  }
  return false;
}

// Windows holds mice and keyboards for itself (its raw input thread has them
// open exclusively): an open that asks to read or write them is refused; one
// with access 0 may still ask for their attributes and capabilities.
bool HeldBySystem(const hid::CollectionLayout& layout) {
  constexpr USAGE kGenericDesktop = 0x01, kMouse = 0x02, kKeyboard = 0x06;
  return layout.usagePage == kGenericDesktop && (layout.usage == kMouse || layout.usage == kKeyboard);
}

HidHandle::Access MapAccess(DWORD access, DWORD share) {
  const bool all = access & (GENERIC_ALL | MAXIMUM_ALLOWED);
  HidHandle::Access mapped;
  mapped.read = all || (access & (GENERIC_READ | FILE_READ_DATA));
  mapped.write = all || (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA));
  mapped.del = all || (access & DELETE);
  mapped.share = share;
  return mapped;
}

// The name a device event gives an interface: its path with the device ID
// in upper case ("\\?\HID#VID_...&COL01#5&...#{...}"), where SetupAPI lists
// the path in lower case. Code that matches the two must ignore case.
std::wstring EventName(const std::wstring& path) {
  std::wstring name = path;
  const size_t hash = name.find(L'#');
  const size_t deviceIdEnd = hash == std::wstring::npos ? hash : name.find(L'#', hash + 1);
  std::transform(name.begin(), deviceIdEnd == std::wstring::npos ? name.end() : name.begin() + deviceIdEnd,
                 name.begin(), [](wchar_t c) { return std::towupper(c); });
  return name;
}

}  // namespace

void Announce(const std::shared_ptr<State>& state, const HidDevicePort& device, DWORD deviceEvent) {
  if (!state->announcing) return;
  auto* services = state->machine.FindPart<Services>();  // none made: nobody registered
  if (!services) return;
  for (size_t i = 0; i < device.CollectionCount(); ++i)
    services->BroadcastDeviceInterface(deviceEvent, kHidInterfaceClassGuid, EventName(device.Path(i)));
}

std::shared_ptr<IoObject> OpenPath(const std::shared_ptr<State>& state, const std::wstring& path, DWORD access,
                                   DWORD share, DWORD flags, DWORD& error) {
  const std::wstring lower = Lower(path);
  const HidHandle::Access mapped = MapAccess(access, share);
  std::lock_guard lock(state->mutex);
  auto found = state->pathIndex.find(lower);
  if (found == state->pathIndex.end()) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  for (const auto& [nDevice, i] : found->second) {
    const auto& device = state->devices[nDevice];
    if (!device->PluggedLocked()) continue;
    CollectionNode& collection = device->CollectionLocked(i);
    // Closed handles leave their entries behind; a collection opened again
    // and again would otherwise check ever more of them.
    std::erase_if(collection.handles, [](const auto& weak) { return weak.expired(); });
    if ((mapped.read || mapped.write) && HeldBySystem(collection.layout)) {
      error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    if (ShareViolation(collection, mapped)) {
      error = ERROR_SHARING_VIOLATION;
      return nullptr;
    }
    auto handle = std::make_shared<HidHandle>(state, device, i, mapped, (flags & FILE_FLAG_OVERLAPPED) != 0);
    collection.handles.push_back(handle);
    return handle;
  }
  error = ERROR_FILE_NOT_FOUND;
  return nullptr;
}

}  // namespace winsim::hidbus

namespace winsim {

using hidbus::CollectionNode;
using hidbus::DeviceNode;

std::shared_ptr<TouchController> PlugController(HidBus& bus, const TouchControllerConfig& config);

HidBus::HidBus(Machine& machine) : m_state(std::make_shared<State>(machine)) {
  std::weak_ptr<State> weak = m_state;
  auto opener = [weak](const std::wstring& path, DWORD access, DWORD share, DWORD flags, DWORD& error) {
    auto state = weak.lock();
    if (!state) return std::shared_ptr<IoObject>{};
    return hidbus::OpenPath(state, path, access, share, flags, error);
  };
  auto& devices = machine.Part<DeviceNamespace>();
  devices.Register(L"\\\\?\\hid#", opener);
  devices.Register(L"\\\\.\\hid#", opener);

  std::vector<TouchControllerConfig> controllers;
  std::string error;
  if (!ParseControllerConfig(machine.config().controller, controllers, error)) {
    std::fprintf(stderr, "winsim: WINSIM_CONTROLLER: %s; no controller attached\n", error.c_str());
    controllers.clear();
  }
  for (const auto& config : controllers) PlugController(*this, config);
  m_state->announcing = true;
}

HidBus::~HidBus() { Shutdown(); }

// A hung write holds its handle, and the handle its device: the writes end
// with the machine.
void HidBus::Shutdown() {
  m_state->scheduler.Stop();
  for (const auto& device : Devices()) device->EndHungWrites();
}

std::shared_ptr<HidDevicePort> HidBus::Plug(HidDeviceDesc desc, std::shared_ptr<HidDeviceModel> model,
                                           std::string* error) {
  auto parsed = hid::ParseReportDescriptor(desc.reportDescriptor);
  if (!parsed.ok()) {
    if (error) *error = parsed.error;
    return nullptr;
  }
  if (desc.instance.empty()) desc.instance = L"5&" + NextPairNumber() + L"&0";
  const size_t count = parsed.collections.size();
  if (!desc.paths.empty() && desc.paths.size() != count) {
    if (error) *error = "the explicit paths do not match the top-level collections";
    return nullptr;
  }
  std::vector<CollectionNode> collections(count);
  for (size_t i = 0; i < count; ++i) {
    collections[i].path = desc.paths.empty() ? hidbus::BuildPath(desc, i, count) : desc.paths[i];
    collections[i].lowerPath = hidbus::Lower(collections[i].path);
    collections[i].layout = std::move(parsed.collections[i]);
  }
  std::shared_ptr<DeviceNode> device;
  {
    std::lock_guard lock(m_state->mutex);
    for (size_t i = 0; i < count; ++i) {
      collections[i].devInst = m_state->nextDevInst++;
      m_state->pathIndex[collections[i].lowerPath].emplace_back(m_state->devices.size(), i);
    }
    device = std::make_shared<DeviceNode>(m_state, std::move(desc), std::move(collections), model);
    m_state->devices.push_back(device);
  }
  model->OnPlugged(device);
  hidbus::Announce(m_state, *device, DBT_DEVICEARRIVAL);
  return device;
}

std::vector<std::shared_ptr<HidDevicePort>> HidBus::Devices() const {
  std::lock_guard lock(m_state->mutex);
  return {m_state->devices.begin(), m_state->devices.end()};
}

std::vector<HidInterfaceInfo> HidBus::Interfaces(bool presentOnly) const {
  std::vector<HidInterfaceInfo> interfaces;
  std::lock_guard lock(m_state->mutex);
  for (const auto& device : m_state->devices) {
    if (presentOnly && !device->PluggedLocked()) continue;
    for (const auto& collection : device->CollectionsLocked())
      interfaces.push_back({collection.path, device->PluggedLocked(), collection.devInst});
  }
  return interfaces;
}

std::wstring HidBus::NextPairNumber() {
  std::lock_guard lock(m_state->mutex);
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"%08x", 0x1a2b3c4du + 0x01020304u * m_state->pairNumbers++);
  return buffer;
}

}  // namespace winsim
