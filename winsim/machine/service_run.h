// Internal records of the SCM: handles, per-service state, and one run of a
// service process with its dispatcher and control queue. Everything here is
// guarded by Services::m_mutex.
#pragma once

#include <winsim/sim/services.h>

#include <deque>
#include <optional>
#include <thread>

namespace winsim {

struct Services::HandleEntry {
  bool manager = false;
  std::wstring name;  // service handles: the service's name as installed
  DWORD access = 0;   // granted access, generic rights already mapped
};

// One control on its way to a service's handler. The data is a copy owned
// here, so a sender that gives up waiting never frees what the handler reads.
struct Services::Pending {
  enum class Phase { kQueued, kRunning, kDone, kWithdrawn };
  DWORD control = 0;
  DWORD eventType = 0;
  std::vector<BYTE> data;
  Phase phase = Phase::kQueued;
  DWORD handlerResult = 0;
};

struct Services::ServiceState {
  SERVICE_STATUS status{};
  std::vector<StatusReport> reports;
  std::shared_ptr<ServiceRun> run;  // the current or the last run
};

// One start of a service: the process the SCM ran for it and its dispatcher.
class ServiceRun {
 public:
  ServiceRun(Services& owner, ServiceConfig config, std::vector<std::wstring> startArgs);
  ServiceRun(const ServiceRun&) = delete;
  ServiceRun& operator=(const ServiceRun&) = delete;

  Services& owner;
  const ServiceConfig config;
  const std::vector<std::wstring> startArgs;

  // The process entry's argv (the image path's words) and ServiceMain's
  // argv (the service name, then the start arguments); kept for the run.
  std::vector<std::wstring> processArgs;
  std::vector<wchar_t*> processArgv;
  std::vector<std::wstring> mainArgs;
  std::vector<wchar_t*> mainArgv;

  std::thread processThread;
  std::thread mainThread;
  bool connected = false;         // the dispatcher started and ServiceMain's thread exists
  bool abandoned = false;         // the SCM gave up waiting for the dispatcher
  bool dispatcherCalled = false;
  bool dispatcherEnded = false;
  bool crashed = false;           // an exception escaped ServiceMain or the handler
  bool terminated = false;        // the machine shut down around a service that would not stop
  bool processEnded = false;
  bool exitRequested = false;     // a thread of the process called ExitProcess
  // The process's exit code: the first ExitProcess call's, or else what the
  // entry returned. None while it runs, or when an exception ended it.
  std::optional<DWORD> exitCode;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  uintptr_t statusHandle = 0;
  std::deque<std::shared_ptr<Services::Pending>> queue;
  std::vector<GUID> powerSettings;
  struct DeviceRegistration {
    uintptr_t id = 0;
    GUID interfaceClass{};
    bool allClasses = false;
  };
  std::vector<DeviceRegistration> deviceRegistrations;
};

}  // namespace winsim
