// The machine's state over simulated time, as the timeline page draws it in
// bands: one value per band ("service", "display", "user", "controller",
// "wake-on-touch", and any band a command of the script adds), each change
// passed on with its simulated time. The page takes any band and any value,
// so a new command or fault shows without changes there.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace winsim {
class Machine;
}

namespace vornsim {

class StateBands {
 public:
  using Sink = std::function<void(uint64_t timeMs, const std::wstring& band, const std::wstring& value)>;

  // Passes every band's current value at `timeMs`, then each change.
  void ShowTo(Sink sink, uint64_t timeMs);
  // Sets a band; a value equal to the band's current one is no change.
  void Set(uint64_t timeMs, const std::wstring& band, const std::wstring& value);
  // The controller's fault as the script named it ("none" clears it).
  void SetFault(const std::string& name);
  // Reads the logged-on user and their "Touch" value, and the controller,
  // from the machine.
  void Sample(winsim::Machine& machine, uint64_t timeMs);

 private:
  std::wstring UserText(winsim::Machine& machine) const;
  std::wstring ControllerText(winsim::Machine& machine) const;

  mutable std::mutex m_mutex;
  std::vector<std::pair<std::wstring, std::wstring>> m_values;  // in the order the bands appeared
  Sink m_sink;
  std::string m_fault;  // empty: the controller's own
};

// "stopped", "start pending", "running", "stop pending", ...
std::wstring ServiceStateText(uint32_t state);

}  // namespace vornsim
