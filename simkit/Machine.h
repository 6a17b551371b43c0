// A simulated machine for one test, benchmark, fuzz run or vornsim session:
// made current for the life of the object, in a fresh folder of its own (or
// a given one), with its controllers, its users and the product's debug log
// started on it. It runs on virtual time: simulated time stands still while a
// simulated thread runs and jumps to the next deadline when all wait, so a
// story plays the same on any host, as fast as it allows. The thread that
// makes the machine joins the simulation for its life (unless told not to).
// Runs of the executable as processes of their own share a folder and the
// scaled clock instead: see SharedFolder.
#pragma once

#include "simkit/DebugLog.h"
#include "simkit/Folder.h"

#include "platform/win32.h"

#include <winsim/sim/eventlog.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/hidbus.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/mouse.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>
#include <winsim/sim/touch_controller.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace simkit {

// The bound of every wait of the kit, in simulated ms: far beyond what any
// story needs; on virtual time a wait that is not met costs no real time.
inline constexpr uint64_t kWaitBoundMs = 3600 * 1000;

// The wake key of the user `sid` below HKEY_USERS, as the service's lookup
// leaves it, and as the registry's control API names it.
std::wstring WakeKeyUnderUsers(const std::wstring& sid);
std::wstring WakeKey(const std::wstring& sid);

struct MachineOptions {
  // WINSIM_CONTROLLER syntax: "" for one controller with the model's
  // defaults, "none" for none.
  std::string controller = {};
  bool userLoggedOn = true;
  // The debug log's folder exists, so the log the kit starts writes.
  bool debugLog = true;
  int64_t wallOriginMs = 0;  // the local wall clock at boot, ms since 1970; 0: the host's
  // The pace, times real time; 0 for none.
  double pace = 0;
  // The machine folder: a given one is kept; else a fresh one below `parent`
  // (the temporary folder when empty), removed with the machine.
  std::filesystem::path root = {};
  std::filesystem::path parent = {};
  // The name under which the making thread joins the simulation; empty, it
  // does not (it then runs beside the machine, which it cannot hold still).
  std::string member = "test";
};

class VirtualMachine {
 public:
  explicit VirtualMachine(const MachineOptions& options = {});
  ~VirtualMachine();
  VirtualMachine(const VirtualMachine&) = delete;
  VirtualMachine& operator=(const VirtualMachine&) = delete;

  winsim::Machine& operator*() { return *m_machine; }
  winsim::Machine* operator->() { return &*m_machine; }
  const std::filesystem::path& Root() const { return m_root; }
  std::filesystem::path LogDirectory() const { return LogDirectoryOf(m_root); }
  DebugLog& Log() { return m_log; }

  winsim::Services& Scm();
  winsim::Registry& Registry();
  winsim::Identity& Identity();
  winsim::EventLog& Events();
  winsim::HidBus& Bus();
  winsim::Faults& Faults();
  // The controller attached `index`-th (std::out_of_range when there is none).
  std::shared_ptr<winsim::TouchController> Controller(size_t index = 0);

  // The wake key of the user at the console, else (at the logon screen) of
  // the first logged-on user, as the registry's control API names it; empty
  // when nobody is logged on.
  std::wstring UserKey();
  bool SetTouch(DWORD value);
  // `name` logs on at the console (winsim::Identity::LogOn: the session
  // changes reach the services) and the machine runs until the user's
  // explorer.exe runs; returns the user's SID.
  std::wstring LogOn(const std::wstring& name);
  // A mouse of another maker comes: the one that went before, else a new
  // one (its arrival reaches the services registered for HID interfaces).
  std::shared_ptr<winsim::HidDevicePort> AttachMouse();
  // Every mouse attached goes.
  void DetachMice();

  // Lets the machine run until `done` holds (looked at after every step of
  // the simulated threads); false when `boundMs` of simulated time pass first.
  bool WaitUntil(const std::function<bool()>& done, uint64_t boundMs = kWaitBoundMs);

 private:
  std::optional<FreshFolder> m_folder;
  std::filesystem::path m_root;
  winsim::ScopedMachine m_machine;
  std::optional<winsim::Clock::Member> m_member;
  DebugLog m_log;
};

}  // namespace simkit
