// Machines with a non-default configuration for the host-only tests: a
// folder of the test's own, removed afterwards.
#pragma once

#include <winsim/sim/machine.h>

#include <atomic>
#include <filesystem>
#include <string>

#include <unistd.h>

struct TempMachineRoot {
  std::filesystem::path path;
  TempMachineRoot() {
    static std::atomic<int> counter{0};
    path = std::filesystem::temp_directory_path() /
           ("winsim-machine-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  }
  ~TempMachineRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  winsim::MachineConfig Config(bool userLoggedOn) const {
    winsim::MachineConfig config;
    config.root = path;
      config.defaultUserLoggedOn = userLoggedOn;
    return config;
  }
};
