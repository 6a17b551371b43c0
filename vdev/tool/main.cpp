// vorndev: installs, removes and drives the virtual touch controller.
//
//   vorndev install [fw=HEX] [pid=HEX]   root devices created, driver installed
//   vorndev remove                       the devices removed
//   vorndev detach | attach              the controller unplugged / plugged in
//   vorndev fault KIND                   none, mute, late, wrong-report, ...
//   vorndev wire                         the wire record since the last `wire`
//   vorndev state                        wake-on-touch, power, resets
//
// Each prints its result (one line; wire one line a report, state three)
// and exits 0, or prints why it failed on standard error and exits 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "../control.h"
#include "devices.h"

namespace vorndev {
namespace {

// The class driver and the PnP manager may take a while on a loaded machine.
constexpr DWORD kDeviceWaitMs = 30000;

int Fails(const std::string& what) {
  std::fprintf(stderr, "vorndev: %s\n", what.c_str());
  return 1;
}

int Fails(const Failure& failure) { return Fails(failure.Describe()); }

// The driver's control device, closed at scope exit.
class Control {
 public:
  Control()
      : m_handle(CreateFileW(VDEV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~Control() {
    if (open()) CloseHandle(m_handle);
  }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  bool open() const { return m_handle != INVALID_HANDLE_VALUE; }

  bool Ask(uint32_t code, const void* in = nullptr, DWORD inSize = 0, void* out = nullptr, DWORD outSize = 0) {
    DWORD returned = 0;
    return DeviceIoControl(m_handle, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr) != 0;
  }

 private:
  HANDLE m_handle;
};

Failure NotLoaded() { return {"open \\\\.\\VornVdev (is the driver installed?)", GetLastError()}; }

bool ParseHex16(const char* text, USHORT& value) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  const size_t length = std::strlen(text);
  if (length == 0 || length > 4 || std::strspn(text, "0123456789abcdefABCDEF") != length) return false;
  value = static_cast<USHORT>(std::strtoul(text, nullptr, 16));
  return true;
}

bool ParseIds(int argc, char** argv, ctlmodel::Config& config) {
  for (int i = 2; i < argc; ++i) {
    const bool fw = std::strncmp(argv[i], "fw=", 3) == 0, pid = std::strncmp(argv[i], "pid=", 4) == 0;
    if (!fw && !pid) return false;
    if (!ParseHex16(argv[i] + (fw ? 3 : 4), fw ? config.firmwareVersion : config.productId)) return false;
  }
  return true;
}

// The ids the driver starts with when it loads: the class driver asks for
// the product id once, when a device starts, so they must be there first.
Failure StoreIds(const ctlmodel::Config& config) {
  const std::wstring path = std::wstring(L"System\\CurrentControlSet\\Services\\") + VDEV_SERVICE;
  HKEY key = nullptr;
  LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (error != ERROR_SUCCESS) return {"RegCreateKeyEx", static_cast<DWORD>(error)};
  const DWORD firmware = config.firmwareVersion, product = config.productId;
  error = RegSetValueExW(key, VDEV_FIRMWARE_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&firmware), sizeof(DWORD));
  if (error == ERROR_SUCCESS)
    error = RegSetValueExW(key, VDEV_PRODUCT_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&product), sizeof(DWORD));
  RegCloseKey(key);
  return error == ERROR_SUCCESS ? Failure{} : Failure{"RegSetValueEx", static_cast<DWORD>(error)};
}

// Creates the devices and waits until the class driver shows them.
Failure Plug(USHORT productId) {
  Failure failure = CreateDevices(productId);
  if (failure.failed()) return failure;
  if (!WaitForCollections(kCollections, kDeviceWaitMs)) return {"wait for the HID collections", ERROR_TIMEOUT};
  return {};
}

Failure Unplug(int& removed) {
  Failure failure = RemoveDevices(removed);
  if (failure.failed()) return failure;
  if (!WaitForCollections(0, kDeviceWaitMs)) return {"wait for the HID collections to go", ERROR_TIMEOUT};
  return {};
}

int Install(int argc, char** argv) {
  ctlmodel::Config config = ctlmodel::DefaultConfig();
  if (!ParseIds(argc, argv, config)) return Fails("usage: vorndev install [fw=HEX] [pid=HEX]");
  int removed = 0;
  Failure failure = Unplug(removed);
  if (!failure.failed()) failure = StoreIds(config);
  if (failure.failed()) return Fails(failure);
  Control control;  // a driver already loaded starts the new controller at once
  if (control.open() && !control.Ask(vdev::kIoctlReset, &config, sizeof(config)))
    return Fails(Failure{"reset the controller", GetLastError()});
  failure = Plug(config.productId);
  if (failure.failed()) return Fails(failure);
  std::printf("installed VORN%04X: %d collections, firmware %04X\n", config.productId, kCollections,
              config.firmwareVersion);
  return 0;
}

int Remove() {
  int removed = 0;
  const Failure failure = Unplug(removed);
  if (failure.failed()) return Fails(failure);
  std::printf("removed %d devices\n", removed);
  return 0;
}

int Detach() {
  Control control;
  if (!control.open()) return Fails(NotLoaded());
  if (!control.Ask(vdev::kIoctlDetach)) return Fails(Failure{"detach", GetLastError()});
  int removed = 0;
  const Failure failure = Unplug(removed);
  if (failure.failed()) return Fails(failure);
  std::printf("detached\n");
  return 0;
}

int Attach() {
  Control control;
  if (!control.open()) return Fails(NotLoaded());
  ctlmodel::State state{};
  if (!control.Ask(vdev::kIoctlGetState, nullptr, 0, &state, sizeof(state)))
    return Fails(Failure{"read the state", GetLastError()});
  if (PresentCollections() != 0) return Fails("attach: the controller is attached");
  if (!control.Ask(vdev::kIoctlAttach)) return Fails(Failure{"attach", GetLastError()});
  const Failure failure = Plug(state.productId);
  if (failure.failed()) return Fails(failure);
  std::printf("attached\n");
  return 0;
}

int SetFault(int argc, char** argv) {
  ctlmodel::Fault fault;
  if (argc != 3 || !ctlmodel::ParseFault(argv[2], fault)) return Fails("usage: vorndev fault none|mute|late|wrong-report|short-report|fail-write|stuck-write|unplug");
  Control control;
  if (!control.open()) return Fails(NotLoaded());
  const uint32_t value = static_cast<uint32_t>(fault);
  if (!control.Ask(vdev::kIoctlSetFault, &value, sizeof(value))) return Fails(Failure{"set the fault", GetLastError()});
  std::printf("fault %s\n", ctlmodel::FaultName(fault));
  return 0;
}

int Wire() {
  Control control;
  if (!control.open()) return Fails(NotLoaded());
  vdev::WireChunk chunk;
  do {
    if (!control.Ask(vdev::kIoctlTakeWire, nullptr, 0, &chunk, sizeof(chunk)))
      return Fails(Failure{"read the wire record", GetLastError()});
    for (uint32_t i = 0; i < chunk.count && i < vdev::WireChunk::kEntries; ++i) {
      if (std::strcmp(ctlmodel::EntryChannel(chunk.entries[i]), "wire") != 0) continue;
      char text[4 * ctlmodel::kMaxReportBytes + 32];
      ctlmodel::FormatWireEntry(chunk.entries[i], text, sizeof(text));
      std::printf("%s\n", text);
    }
  } while (chunk.more != 0);
  return 0;
}

int State() {
  Control control;
  if (!control.open()) return Fails(NotLoaded());
  ctlmodel::State state{};
  if (!control.Ask(vdev::kIoctlGetState, nullptr, 0, &state, sizeof(state)))
    return Fails(Failure{"read the state", GetLastError()});
  std::printf("wake-on-touch %s\npower %s\nresets %lu\n", state.wakeOnTouch ? "on" : "off",
              state.sleeping ? "sleep" : "awake", static_cast<unsigned long>(state.resets));
  return 0;
}

}  // namespace
}  // namespace vorndev

int main(int argc, char** argv) {
  using namespace vorndev;
  const std::string command = argc > 1 ? argv[1] : "";
  const bool bare = argc == 2;
  if (command == "install") return Install(argc, argv);
  if (command == "remove" && bare) return Remove();
  if (command == "detach" && bare) return Detach();
  if (command == "attach" && bare) return Attach();
  if (command == "fault") return SetFault(argc, argv);
  if (command == "wire" && bare) return Wire();
  if (command == "state" && bare) return State();
  return Fails("usage: vorndev install [fw=HEX] [pid=HEX] | remove | detach | attach | fault KIND | wire | state");
}
