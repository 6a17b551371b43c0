// A simulated Windows machine with the service installed in it, played
// command by command. The service runs in this process: the simulated SCM
// starts it by running the product's service start on a thread of its own.
// Everything the machine's parts report (status reports, event-log entries,
// reports on the wire, what the controller did) goes to the timeline.
//
// The machine is the test kit's, on a virtual clock (MachineConfig::timeScale
// is its pace, 0 for none), and the thread that makes the Simulator is its
// player: a simulated thread from then on, until the Simulator goes. So a
// script gives the same timeline at any speed of the host.
#pragma once

#include "script.h"
#include "state_bands.h"
#include "timeline.h"

#include "simkit/ServiceMachine.h"

#include <winsim/sim/machine.h>
#include <winsim/sim/services.h>
#include <winsim/sim/touch_controller.h>

#include <memory>
#include <string>

namespace vornsim {

class Simulator {
 public:
  // Boots the machine of `config` (its folder must be usable; its clock is
  // made virtual) and installs the service. With `debugLog` the machine has
  // the debug log's folder, so the service's debug log is on; without it the
  // log writes nothing (it flushes every line to disk, which would set the
  // pace of a long run).
  Simulator(const winsim::MachineConfig& config, Timeline::Sink sink, bool debugLog = true);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  void Play(const Command& command);
  // Stops the service if it still runs and waits for its process to end.
  void Finish();

  winsim::Machine& Machine() { return *m_machine; }
  Timeline& Output() { return *m_timeline; }
  // The machine's state for the page; sampled after every command (call
  // Sample after changing the machine past Play).
  StateBands& Bands() { return m_bands; }
  void Sample() { m_bands.Sample(*m_machine, m_machine->clock().NowMs()); }

 private:
  void Control(const std::wstring& what, DWORD error);
  void Start();
  void Stop();
  void Display(bool on);
  void Power(DWORD event);
  void SessionChange(DWORD sessionEvent);
  void Touch(const Command& command);
  // The wake key of NAME, or of the console's user without one; empty (after
  // saying why) when there is none.
  std::wstring WakeKeyOf(const std::string& name);
  void LogOn(const std::string& name);
  void SwitchTo(const std::string& name);
  void LogOff(const std::string& name);
  void AttachMouse();
  void DetachMice();
  // A session change or device event the system sent the service, as it goes.
  void Sent(const winsim::SystemControl& control);
  void AttachController(const Command& command);
  void DetachControllers();
  void SetFault(const std::string& name);
  void ApplyFault(winsim::TouchController& controller);
  void HoldMutex();
  void LetGoOfMutex(bool fSay);
  void Watch(const std::shared_ptr<winsim::TouchController>& controller);
  void Acted(winsim::ControllerAction action);
  void SampleBoot();
  void OnStatus(DWORD state, bool bySCM, uint64_t timeMs);
  bool ServiceActive();

  simkit::ServiceMachine m_machine;
  std::unique_ptr<Timeline> m_timeline;
  StateBands m_bands;
  winsim::ControllerFault m_fault = winsim::ControllerFault::kNone;
  bool m_hang = false;  // "controller fault hang": a setting of the bus device, not a model fault
  // Another process of the service's session that holds "GMutexTouchIC": a
  // simulated thread, until the holder goes.
  class MutexHolder;
  std::unique_ptr<MutexHolder> m_mutexHolder;
  DWORD m_lastState = 0;  // the last state printed, guarded by the timeline's serialisation
};

}  // namespace vornsim
