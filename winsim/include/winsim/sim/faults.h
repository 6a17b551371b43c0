// Fault knobs: failures a test arms on the machine for calls that do not fail
// on their own in a simulation (event and mutex creation, the event source,
// the service's handler registration, device enumeration, cancelling a
// transfer). Each armed knob
// lets `skip` matching calls through, fails the next `count` of them with
// `error`, and then disarms itself. A call matches when its subject (the
// object's name, the event source, the interface path) contains `subject`;
// an empty `subject` matches every call.
#pragma once

#include <winsim/sim/machine.h>

#include <array>
#include <climits>
#include <string>

namespace winsim {

enum class FaultPoint {
  kCreateEvent,                      // CreateEventW / CreateEventA; subject: the name ("" when unnamed)
  kCreateMutex,                      // CreateMutexW / CreateMutexA; subject: the name
  kRegisterServiceCtrlHandler,       // RegisterServiceCtrlHandlerExW; subject: the service name
  kSetupDiGetClassDevs,              // subject: ""
  kSetupDiEnumDeviceInterfaces,      // subject: the interface path at that index
  kSetupDiGetDeviceInterfaceDetail,  // subject: the interface path
  // CancelIo succeeds but cancels nothing, as with a driver that has no cancel
  // routine: the transfers stay pending until the device completes them or
  // goes. Subject: ""; the plan's error is not used.
  kCancelIo,
  kCount
};

struct FaultPlan {
  DWORD error = ERROR_GEN_FAILURE;
  unsigned skip = 0;
  unsigned count = 1;  // UINT_MAX: every matching call until disarmed
  std::wstring subject;
};

class Faults : public MachinePart {
 public:
  explicit Faults(Machine&) {}

  void Arm(FaultPoint point, FaultPlan plan);
  void Disarm(FaultPoint point);
  // Failures given at `point` since the machine booted.
  unsigned Hits(FaultPoint point) const;

  // For the entry points: the error the call fails with, or ERROR_SUCCESS.
  // Cheap while nothing is armed anywhere.
  static DWORD Take(FaultPoint point, const std::wstring& subject = {});

 private:
  struct Knob {
    bool armed = false;
    FaultPlan plan;
    unsigned hits = 0;
  };
  DWORD TakeLocked(FaultPoint point, const std::wstring& subject);

  mutable std::mutex m_mutex;
  std::array<Knob, static_cast<size_t>(FaultPoint::kCount)> m_knobs;
};

}  // namespace winsim
