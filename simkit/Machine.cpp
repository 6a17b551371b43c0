#include "simkit/Machine.h"

#include "log/DbgLog.h"

namespace simkit {

namespace fs = std::filesystem;

std::wstring WakeKeyUnderUsers(const std::wstring& sid) {
  return sid + L"\\Software\\Microsoft\\Input\\WakeableInputTypes";
}

std::wstring WakeKey(const std::wstring& sid) { return L"HKU\\" + WakeKeyUnderUsers(sid); }

namespace {

winsim::MachineConfig ConfigFor(const MachineOptions& options, const fs::path& root) {
  winsim::MachineConfig config;
  config.root = root;
  config.clock = winsim::Clock::Kind::kVirtual;
  config.timeScale = options.pace;
  config.wallOriginMs = options.wallOriginMs;
  config.controller = options.controller;
  config.defaultUserLoggedOn = options.userLoggedOn;
  return config;
}

}  // namespace

VirtualMachine::VirtualMachine(const MachineOptions& options)
    : m_folder(options.root.empty() ? std::make_optional<FreshFolder>(options.parent) : std::nullopt),
      m_root(m_folder ? m_folder->Path() : options.root),
      m_machine(ConfigFor(options, m_root)),
      m_log(LogDirectoryOf(m_root)) {
  if (!options.member.empty()) m_member.emplace(m_machine->clock(), options.member);
  if (options.debugLog) fs::create_directories(LogDirectory());
  DbgLogInit();  // decides afresh, on this machine, whether the log is on
}

// The log goes before the machine it writes on.
VirtualMachine::~VirtualMachine() { DbgLogShutdown(); }

winsim::Services& VirtualMachine::Scm() { return m_machine->Part<winsim::Services>(); }
winsim::Registry& VirtualMachine::Registry() { return m_machine->Part<winsim::Registry>(); }
winsim::Identity& VirtualMachine::Identity() { return m_machine->Part<winsim::Identity>(); }
winsim::EventLog& VirtualMachine::Events() { return m_machine->Part<winsim::EventLog>(); }
winsim::HidBus& VirtualMachine::Bus() { return m_machine->Part<winsim::HidBus>(); }
winsim::Faults& VirtualMachine::Faults() { return m_machine->Part<winsim::Faults>(); }

std::shared_ptr<winsim::TouchController> VirtualMachine::Controller(size_t index) {
  return winsim::TouchControllers(*m_machine).at(index);
}

std::wstring VirtualMachine::UserKey() {
  const std::wstring console = Identity().ConsoleUserSid();
  if (!console.empty()) return WakeKey(console);
  const auto sids = Identity().LoggedOnUserSids();
  return sids.empty() ? std::wstring() : WakeKey(sids.front());
}

bool VirtualMachine::SetTouch(DWORD value) { return Registry().SetDword(UserKey(), L"Touch", value); }

std::wstring VirtualMachine::LogOn(const std::wstring& name) {
  const std::wstring sid = Identity().LogOn(name);
  WaitUntil([&] { return Identity().ShellRunning(sid); });
  return sid;
}

std::shared_ptr<winsim::HidDevicePort> VirtualMachine::AttachMouse() {
  const auto mice = winsim::Mice(*m_machine);
  if (mice.empty() || mice.back()->Plugged()) return winsim::AttachMouse(*m_machine);
  mice.back()->Replug();
  return mice.back();
}

void VirtualMachine::DetachMice() {
  for (const auto& mouse : winsim::Mice(*m_machine)) mouse->Unplug();
}

bool VirtualMachine::WaitUntil(const std::function<bool()>& done, uint64_t boundMs) {
  return m_machine->clock().Await(done, boundMs);
}

}  // namespace simkit
