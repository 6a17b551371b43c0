#include <winsim/sim/machine.h>
#include <winsim/sim/text.h>
#include <winsim/sim/touch_controller.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace winsim {

std::filesystem::path MachineConfig::DefaultRoot() {
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::filesystem::path(home) / ".winsim";
  return std::filesystem::temp_directory_path() / "winsim";
}

MachineConfig MachineConfig::FromEnvironment() {
  MachineConfig config;
  const char* root = std::getenv("WINSIM_ROOT");
  config.root = (root && *root) ? std::filesystem::path(root) : DefaultRoot();
  config.clock = Clock::Kind::kScaled;
  const double scale = ScaleFromEnvironment();
  config.timeScale = scale > 0 ? scale : 1.0;
  if (const char* controller = std::getenv("WINSIM_CONTROLLER")) config.controller = controller;
  std::vector<TouchControllerConfig> controllers;
  std::string error;
  if (!ParseControllerConfig(config.controller, controllers, error))
    throw std::invalid_argument("WINSIM_CONTROLLER: " + error);
  return config;
}

std::string MachineFolderProblem(const std::filesystem::path& root) {
  std::wstring wide;
  if (!TryWideFromUtf8(root.native(), wide)) return "its name is not UTF-8 text";
  const std::filesystem::path driveC = root / "drive_c";
  std::error_code ec;
  std::filesystem::create_directories(driveC, ec);
  if (ec) return "cannot make " + driveC.native() + ": " + ec.message();
  if (::access(driveC.c_str(), W_OK | X_OK) != 0) return driveC.native() + ": " + std::strerror(errno);
  return {};
}

namespace {
int64_t HostWallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

Machine::Machine(MachineConfig config)
    : m_config(std::move(config)),
      m_clock(m_config.clock, m_config.timeScale, m_config.wallOriginMs ? m_config.wallOriginMs : HostWallMs()) {
  if (!m_config.makeDriveC) return;
  std::error_code ec;
  std::filesystem::create_directories(DriveC(), ec);
}

void Machine::Shutdown() {
  std::call_once(m_shutdownOnce, [this] {
    // Without the parts lock: a part's threads may still ask for other parts.
    std::vector<MachinePart*> parts;
    {
      std::lock_guard lock(m_partsMutex);
      for (auto& entry : m_parts) parts.push_back(entry.second.get());
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) (*it)->Shutdown();
  });
}

Machine::~Machine() {
  Shutdown();
  // Parts go newest first: later parts may depend on earlier ones.
  while (!m_parts.empty()) m_parts.pop_back();
}

namespace {
std::atomic<Machine*> g_current{nullptr};
std::mutex g_currentMutex;
// The process's machine must outlive every static object of the program: a
// product object destroyed at exit still closes its handles, as it may on
// Windows, where the process's objects go only after the CRT has run its
// destructors. Initialised first, so destroyed last.
std::unique_ptr<Machine> g_owned __attribute__((init_priority(101)));

// The environment's machine, for a process that made none. One the
// environment describes wrongly ends the process (status 2): this may run
// before main, from a static object of the program, where nothing could
// report the error better.
MachineConfig ProcessMachineConfig() {
  try {
    MachineConfig config = MachineConfig::FromEnvironment();
    config.makeDriveC = false;
    return config;
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "winsim: %s\n", error.what());
    std::fflush(nullptr);
    std::_Exit(2);
  }
}
}  // namespace

Machine& CurrentMachine() {
  if (Machine* machine = g_current.load(std::memory_order_acquire)) return *machine;
  std::lock_guard lock(g_currentMutex);
  if (!g_owned) {
    g_owned = std::make_unique<Machine>(ProcessMachineConfig());
    g_current.store(g_owned.get(), std::memory_order_release);
  }
  return *g_owned;
}

std::unique_ptr<Machine> ReplaceMachine(std::unique_ptr<Machine> machine) {
  std::lock_guard lock(g_currentMutex);
  auto previous = std::move(g_owned);
  g_owned = std::move(machine);
  g_current.store(g_owned.get(), std::memory_order_release);
  return previous;
}

namespace {
std::filesystem::path FreshTempRoot() {
  std::random_device rd;
  for (;;) {
    auto path = std::filesystem::temp_directory_path() /
                ("winsim-test-" + std::to_string(rd()) + std::to_string(rd()));
    if (std::filesystem::create_directory(path)) return path;
  }
}
}  // namespace

ScopedMachine::ScopedMachine(MachineConfig config) {
  auto machine = std::make_unique<Machine>(std::move(config));
  m_machine = machine.get();
  m_previous = ReplaceMachine(std::move(machine));
}

ScopedMachine::ScopedMachine() : ScopedMachine(Clock::Kind::kVirtual) {}

ScopedMachine::ScopedMachine(Clock::Kind clock) {
  MachineConfig config;
  m_ownedRoot = FreshTempRoot();
  config.root = m_ownedRoot;
  config.clock = clock;
  config.timeScale = clock == Clock::Kind::kScaled ? 1000 : 0;
  auto machine = std::make_unique<Machine>(std::move(config));
  m_machine = machine.get();
  m_previous = ReplaceMachine(std::move(machine));
}

ScopedMachine::~ScopedMachine() {
  m_machine->Shutdown();
  ReplaceMachine(std::move(m_previous));
  if (!m_ownedRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_ownedRoot, ec);
  }
}

}  // namespace winsim
