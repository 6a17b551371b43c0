// Fault knobs: failures a test arms on the machine for calls that do not fail
// on their own in a simulation (event and mutex creation, the service's
// handler registration, device notifications, device enumeration, cancelling a transfer, memory
// allocation). Each armed knob lets `skip` matching calls through, fails the
// next `count` of them with `error`, and then disarms itself. A call matches when its subject (the
// object's name, the event source, the interface path) contains `subject`;
// an empty `subject` matches every call. A plan with an `action` fails
// nothing: each matching call it is armed for runs the action first and then
// goes on, so that a test can change the machine at exactly that point (a
// race made deterministic).
#pragma once

#include <winsim/sim/machine.h>

#include <array>
#include <climits>
#include <functional>
#include <string>
#include <string_view>

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
  // Memory: LocalAlloc (and the winsim calls that hand out LocalAlloc memory)
  // always; malloc, calloc, realloc, strdup and the nothrow forms of new only
  // in programs linked with winsim_alloc_faults, and there only when called
  // from code linked statically into the program (the product's libraries,
  // not the C++ runtime). Subject: "LocalAlloc", "malloc", "calloc",
  // "realloc", "strdup" or "new". A failed call returns null; malloc and
  // LocalAlloc set errno / the last error as the real ones do.
  kHeapAlloc,
  kCreateFile,  // CreateFileW of a disk file; subject: the name as passed
  kRegisterDeviceNotification,  // RegisterDeviceNotificationW; subject: ""
  kCount
};

struct FaultPlan {
  DWORD error = ERROR_GEN_FAILURE;
  unsigned skip = 0;
  unsigned count = 1;  // UINT_MAX: every matching call until disarmed
  std::wstring subject;
  std::function<void()> action;  // run by the matching call instead of failing it
};

class Faults : public MachinePart {
 public:
  explicit Faults(Machine&) {}
  ~Faults() override;  // disarms what is still armed

  void Arm(FaultPoint point, FaultPlan plan);
  void Disarm(FaultPoint point);
  // Failures given at `point` since the machine booted.
  unsigned Hits(FaultPoint point) const;

  // For the entry points: the error the call fails with, or ERROR_SUCCESS.
  // Cheap while nothing is armed anywhere; allocates nothing.
  static DWORD Take(FaultPoint point, std::wstring_view subject = {});

 private:
  struct Knob {
    bool armed = false;
    FaultPlan plan;
    unsigned hits = 0;
  };
  DWORD TakeLocked(FaultPoint point, std::wstring_view subject, std::function<void()>& action);

  mutable std::mutex m_mutex;
  std::array<Knob, static_cast<size_t>(FaultPoint::kCount)> m_knobs;
};

}  // namespace winsim
