// The service hosted on a machine of the kit: installed as -install writes
// it, run by the simulated SCM on the executable's entry, and read back
// through its status reports, event-log texts, debug log and the selections
// the controller was sent.
#pragma once

#include "simkit/Machine.h"

#include "platform/win32.h"

#include <winsim/sim/process_entry.h>
#include <winsim/sim/services.h>

#include <cstdint>
#include <string>
#include <vector>

namespace simkit {

// What the executable's entry does without a switch, less the usage text
// (the SCM's process has no console): the service start.
int RunServiceProcess(int argc, wchar_t** argv);

// The service's entry in the SCM as `VornPalmixSvc -install` writes it on
// Windows (own process, automatic start, the installed image path).
winsim::ServiceConfig InstalledServiceConfig();

// One status report the service made (the SCM's own are left out).
struct StateReport {
  DWORD state, checkPoint, exitCode;
  bool operator==(const StateReport&) const = default;
};

struct ServiceOptions {
  winsim::ProcessEntry entry = RunServiceProcess;
  bool install = true;  // false: the test installs it (with the product's installer)
};

class ServiceHost {
 public:
  explicit ServiceHost(VirtualMachine& machine, const ServiceOptions& options = {});
  // Shuts the machine's services down, waits for the service's process and
  // clears what the product keeps of a service process in globals.
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // The SCM starts the service; true when it was started.
  bool Start();
  // Started, and then running; or running and its first watcher watching.
  bool StartRunning();
  bool StartWatching() { return Start() && WaitForWatching(1); }
  // The stop control delivered, the service stopped and its process ended.
  bool Stop();
  bool DisplayOn();

  std::vector<StateReport> Reports();
  // The text of each event-log entry (its second insertion string), or
  // "<other entry>" for one that is not the service's information entry
  // with the service name first.
  std::vector<std::wstring> EventTexts();
  size_t EventCount(const std::wstring& text);
  size_t EventsStartingWith(const std::wstring& prefix);
  // The wake-on-touch selections the controller was sent, in order.
  std::vector<uint8_t> PushedFlags();

  bool WaitForEvents(const std::wstring& text, size_t count);
  bool WaitForDebug(const std::string& message, size_t count = 1);
  // Until the watcher has armed its notification on a logged-on user's key
  // and said so `count` times in all.
  bool WaitForWatching(size_t count);
  // Until no watcher run is left on the thread pool.
  bool WaitForNoWatcher();

 private:
  VirtualMachine& m_machine;
};

// A virtual-time machine with the service installed.
class ServiceMachine : public VirtualMachine, public ServiceHost {
 public:
  explicit ServiceMachine(const MachineOptions& options = {}, const ServiceOptions& service = {})
      : VirtualMachine(options), ServiceHost(static_cast<VirtualMachine&>(*this), service) {}
};

}  // namespace simkit
