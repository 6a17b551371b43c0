// The simulated machine: its folder, clock, handle table and parts (registry,
// services, HID bus, ...). A process has one current machine; tests replace it.
#pragma once

#include <winsim/sim/clock.h>
#include <winsim/sim/object.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

namespace winsim {

struct MachineConfig {
  std::filesystem::path root;     // the machine folder; drive C: is root/"drive_c"
  // Virtual time unless other OS processes share the folder (see Clock).
  Clock::Kind clock = Clock::Kind::kVirtual;
  // Scaled clock: simulated ms per real ms. Virtual clock: the pace, 0 for
  // none (as fast as the host allows).
  double timeScale = 0;
  int64_t wallOriginMs = 0;       // local wall clock at boot; 0 = the host's time
  std::string controller;         // WINSIM_CONTROLLER syntax; empty = one default controller
  bool defaultUserLoggedOn = true;
  // The machine makes its drive C: folder when it starts. The process's
  // machine from the environment does not: a program may still refuse its
  // command line before it makes anything (winsim's main makes it).
  bool makeDriveC = true;
  // Reads WINSIM_ROOT, WINSIM_TIME_SCALE and WINSIM_CONTROLLER; a scaled
  // clock, 1 unless WINSIM_TIME_SCALE says otherwise (the machine folder may
  // be shared with other processes). A bad WINSIM_TIME_SCALE or
  // WINSIM_CONTROLLER throws std::invalid_argument with a message that names it.
  static MachineConfig FromEnvironment();
  static std::filesystem::path DefaultRoot();
};

// Why `root` cannot be a machine folder (its name is not UTF-8, or its drive
// C: folder cannot be made or written), or empty when it can; makes the
// folders it needs.
std::string MachineFolderProblem(const std::filesystem::path& root);

class Machine;

// A part of the machine (registry, services, HID bus, ...). Parts are created
// on first use by Machine::Part<T>() and destroyed with the machine, newest first.
class MachinePart {
 public:
  virtual ~MachinePart() = default;
  // Called on every part, newest first, before any part is destroyed and
  // while the machine is still current: stop threads that may use other parts.
  virtual void Shutdown() {}
};

class Machine {
 public:
  explicit Machine(MachineConfig config);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const MachineConfig& config() const { return m_config; }
  Clock& clock() { return m_clock; }
  HandleTable& handles() { return m_handles; }
  std::filesystem::path DriveC() const { return m_config.root / "drive_c"; }

  // Shuts every part down (MachinePart::Shutdown); runs once, also from the
  // destructor. ScopedMachine calls it while the machine is still current.
  void Shutdown();

  // The part of type T, created as T(Machine&) on first use.
  template <class T>
  T& Part() {
    std::lock_guard lock(m_partsMutex);
    for (auto& [type, part] : m_parts)
      if (type == std::type_index(typeid(T))) return static_cast<T&>(*part);
    auto part = std::make_unique<T>(*this);
    T& ref = *part;
    m_parts.emplace_back(std::type_index(typeid(T)), std::move(part));
    return ref;
  }
  // The part of type T if it has been made, else null.
  template <class T>
  T* FindPart() {
    std::lock_guard lock(m_partsMutex);
    for (auto& [type, part] : m_parts)
      if (type == std::type_index(typeid(T))) return static_cast<T*>(part.get());
    return nullptr;
  }

 private:
  MachineConfig m_config;
  Clock m_clock;
  HandleTable m_handles;
  std::recursive_mutex m_partsMutex;
  std::once_flag m_shutdownOnce;
  std::vector<std::pair<std::type_index, std::unique_ptr<MachinePart>>> m_parts;
};

// The current machine; created from the environment on first use.
Machine& CurrentMachine();
// Replaces the current machine (tests). Returns the previous one, if any.
std::unique_ptr<Machine> ReplaceMachine(std::unique_ptr<Machine> machine);

// A machine for the life of a test: installs a fresh machine, restores the
// previous one on destruction. The folder is created if it does not exist.
class ScopedMachine {
 public:
  explicit ScopedMachine(MachineConfig config);
  ScopedMachine();  // fresh temporary folder, virtual clock without a pace, defaults otherwise
  // Fresh temporary folder and a clock of that kind: scaled at 1000, or
  // virtual without a pace.
  explicit ScopedMachine(Clock::Kind clock);
  ~ScopedMachine();
  ScopedMachine(const ScopedMachine&) = delete;
  ScopedMachine& operator=(const ScopedMachine&) = delete;
  Machine& operator*() { return *m_machine; }
  Machine* operator->() { return m_machine; }

 private:
  Machine* m_machine;
  std::unique_ptr<Machine> m_previous;
  std::filesystem::path m_ownedRoot;  // removed on destruction when we made it
};

}  // namespace winsim
