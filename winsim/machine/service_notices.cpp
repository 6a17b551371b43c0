// What the system sends services of its own accord: session changes, and
// device-interface events to the services registered for them.
#include "service_run.h"

#include <winsim/dbt.h>
#include <winsim/user32.h>

#include <cstring>

namespace winsim {

namespace {

std::vector<BYTE> SessionRecord(DWORD sessionId) {
  WTSSESSION_NOTIFICATION notification{sizeof(WTSSESSION_NOTIFICATION), sessionId};
  std::vector<BYTE> data(sizeof(notification));
  std::memcpy(data.data(), &notification, sizeof(notification));
  return data;
}

// DEV_BROADCAST_DEVICEINTERFACE_W: the header, then the name and its terminator.
std::vector<BYTE> DeviceInterfaceRecord(const GUID& interfaceClass, const std::wstring& path) {
  const size_t header = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  const size_t nameBytes = (path.size() + 1) * sizeof(WCHAR);
  std::vector<BYTE> data(std::max(header + nameBytes, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
  DEV_BROADCAST_DEVICEINTERFACE_W record{};
  record.dbcc_size = static_cast<DWORD>(header + nameBytes);
  record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record.dbcc_classguid = interfaceClass;
  std::memcpy(data.data(), &record, header);
  std::memcpy(data.data() + header, path.c_str(), nameBytes);
  return data;
}

}  // namespace

ControlOutcome Services::SessionChange(const std::wstring& name, DWORD sessionEvent, DWORD sessionId) {
  return Control(name, SERVICE_CONTROL_SESSIONCHANGE, sessionEvent, SessionRecord(sessionId));
}

void Services::SetSystemControlObserver(SystemControlObserver observer) {
  std::lock_guard lock(m_mutex);
  m_systemObserver = std::move(observer);
}

ControlOutcome Services::SendSystemControl(SystemControl control, std::vector<BYTE> data) {
  SystemControlObserver observer;
  ControlOutcome refused;
  {
    std::lock_guard lock(m_mutex);
    const ServiceState* state = FindStateLocked(control.service);
    control.error = state ? AdmitLocked(*state, control.control, false) : ERROR_SERVICE_NOT_ACTIVE;
    refused.error = control.error;
    refused.status = StatusLocked(control.service);
    observer = m_systemObserver;
  }
  if (observer) observer(control);
  if (control.error != ERROR_SUCCESS) return refused;
  return Control(control.service, control.control, control.eventType, std::move(data));
}

Services::Deliveries Services::BroadcastSessionChange(DWORD sessionEvent, DWORD sessionId) {
  Deliveries deliveries;
  for (const auto& config : List()) {
    SystemControl control{config.name, SERVICE_CONTROL_SESSIONCHANGE, sessionEvent, sessionId, {}};
    deliveries.emplace_back(config.name, SendSystemControl(std::move(control), SessionRecord(sessionId)));
  }
  return deliveries;
}

Services::Deliveries Services::BroadcastDeviceInterface(DWORD deviceEvent, const GUID& interfaceClass,
                                                        const std::wstring& path) {
  std::vector<std::wstring> targets;  // one per registration that covers the class
  {
    std::lock_guard lock(m_mutex);
    for (const auto& [key, state] : m_states) {
      if (!state.run || state.run->dispatcherEnded) continue;
      for (const auto& registration : state.run->deviceRegistrations)
        if (registration.allClasses || registration.interfaceClass == interfaceClass)
          targets.push_back(state.run->config.name);
    }
  }
  Deliveries deliveries;
  for (const auto& name : targets) {
    SystemControl control{name, SERVICE_CONTROL_DEVICEEVENT, deviceEvent, 0, path};
    deliveries.emplace_back(name, SendSystemControl(std::move(control), DeviceInterfaceRecord(interfaceClass, path)));
  }
  return deliveries;
}

HDEVNOTIFY Services::RegisterDeviceInterface(SERVICE_STATUS_HANDLE handle, const GUID& interfaceClass,
                                             bool allClasses, DWORD& error) {
  std::lock_guard lock(m_mutex);
  auto run = RunOfStatusHandleLocked(handle);
  if (!run) return error = ERROR_INVALID_HANDLE, nullptr;
  const uintptr_t id = NewNotifyIdLocked();
  run->deviceRegistrations.push_back({id, interfaceClass, allClasses});
  error = ERROR_SUCCESS;
  return reinterpret_cast<HDEVNOTIFY>(id);
}

DWORD Services::UnregisterDeviceInterface(HDEVNOTIFY notify) {
  const auto id = reinterpret_cast<uintptr_t>(notify);
  std::lock_guard lock(m_mutex);
  for (auto& [key, state] : m_states) {
    if (!state.run) continue;
    if (std::erase_if(state.run->deviceRegistrations, [&](const auto& each) { return each.id == id; }))
      return ERROR_SUCCESS;
  }
  return ERROR_INVALID_HANDLE;
}

}  // namespace winsim
