#include "state_bands.h"

#include "timeline.h"

#include "simkit/Machine.h"

#include <winsim/sim/identity.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>

namespace vornsim {

namespace {


std::wstring TypeName(DWORD type) {
  switch (type) {
    case REG_SZ: return L"REG_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_DWORD: return L"REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return L"REG_DWORD_BIG_ENDIAN";
    case REG_QWORD: return L"REG_QWORD";
    default: return L"type " + std::to_wstring(type);
  }
}

std::wstring TouchText(const winsim::RegistryValue& value) {
  if (value.type == REG_DWORD && value.data.size() == 4) {
    const uint32_t number = static_cast<uint32_t>(value.data[0]) | static_cast<uint32_t>(value.data[1]) << 8 |
                            static_cast<uint32_t>(value.data[2]) << 16 | static_cast<uint32_t>(value.data[3]) << 24;
    return L"Touch " + std::to_wstring(number);
  }
  return L"Touch " + TypeName(value.type) + L", " + std::to_wstring(value.data.size()) + L" bytes";
}

}  // namespace

std::wstring ServiceStateText(uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED: return L"stopped";
    case SERVICE_START_PENDING: return L"start pending";
    case SERVICE_STOP_PENDING: return L"stop pending";
    case SERVICE_RUNNING: return L"running";
    case SERVICE_CONTINUE_PENDING: return L"continue pending";
    case SERVICE_PAUSE_PENDING: return L"pause pending";
    case SERVICE_PAUSED: return L"paused";
    default: return L"state " + std::to_wstring(state);
  }
}

void StateBands::ShowTo(Sink sink, uint64_t timeMs) {
  std::lock_guard lock(m_mutex);
  m_sink = std::move(sink);
  if (!m_sink) return;
  for (const auto& [band, value] : m_values) m_sink(timeMs, band, value);
}

void StateBands::Set(uint64_t timeMs, const std::wstring& band, const std::wstring& value) {
  std::lock_guard lock(m_mutex);
  auto it = std::find_if(m_values.begin(), m_values.end(), [&](const auto& entry) { return entry.first == band; });
  if (it == m_values.end()) it = m_values.insert(m_values.end(), {band, std::wstring{}});
  else if (it->second == value) return;
  it->second = value;
  if (m_sink) m_sink(timeMs, band, value);
}

void StateBands::SetFault(const std::string& name) {
  std::lock_guard lock(m_mutex);
  m_fault = name;
}

void StateBands::Sample(winsim::Machine& machine, uint64_t timeMs) {
  Set(timeMs, L"user", UserText(machine));
  Set(timeMs, L"controller", ControllerText(machine));
}

namespace {

std::wstring NameOf(winsim::Identity& identity, const std::wstring& sid) {
  const auto account = identity.AccountBySid(sid);
  return account ? account->name : sid;
}

std::wstring SettingOf(winsim::Machine& machine, const std::wstring& sid) {
  const std::wstring key = simkit::WakeKey(sid);
  auto& registry = machine.Part<winsim::Registry>();
  if (!registry.KeyExists(key)) return L"no WakeableInputTypes key";
  const auto value = registry.GetValue(key, L"Touch");
  return value ? TouchText(*value) : L"no Touch value";
}

}  // namespace

// The user at the console with their setting (or the logon screen), then
// every user's session: "Robin: Touch 0; sessions 1 Dana, 2 Robin (console)".
std::wstring StateBands::UserText(winsim::Machine& machine) const {
  auto& identity = machine.Part<winsim::Identity>();
  if (identity.LoggedOnUserSids().empty()) return L"nobody";
  const std::wstring console = identity.ConsoleUserSid();
  std::wstring text = console.empty() ? L"logon screen" : NameOf(identity, console) + L": " + SettingOf(machine, console);
  const wchar_t* separator = L"; sessions ";
  for (const auto& session : identity.Sessions()) {
    if (session.userSid.empty()) continue;
    text += separator + std::to_wstring(session.id) + L" " + NameOf(identity, session.userSid);
    if (session.console) text += L" (console)";
    separator = L", ";
  }
  return text;
}

std::wstring StateBands::ControllerText(winsim::Machine& machine) const {
  const auto controllers = winsim::TouchControllers(machine);
  const auto attached = std::find_if(controllers.begin(), controllers.end(), [](const auto& c) { return c->Attached(); });
  if (attached == controllers.end()) return L"detached";
  std::string fault;
  {
    std::lock_guard lock(m_mutex);
    fault = m_fault;
  }
  if (fault.empty()) fault = winsim::FaultName((*attached)->State().fault);
  return fault == "none" ? L"attached" : L"fault: " + Widen(fault);
}

}  // namespace vornsim
