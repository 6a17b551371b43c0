// vorndev: installs, removes and drives the virtual touch controller.
//
//   vorndev install [fw=HEX] [pid=HEX] [layout=single|split]
//   vorndev remove                 the devices removed
//   vorndev detach | attach        the controller unplugged / plugged in again
//   vorndev fault KIND             none, mute, late, wrong-report, ...
//   vorndev wire [--times]         the wire record since the last `wire`
//   vorndev state                  attached, fault, wake-on-touch, power, resets, dropped
//
// Each prints its result and exits 0, or prints why it failed on standard
// error and exits 1.
#include <windows.h>

#include <handles/win32.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "devices.h"

namespace vorndev {
namespace {

// The class driver and the PnP manager may take a while on a loaded machine.
constexpr DWORD kDeviceWaitMs = 30000;
constexpr uint64_t kMicrosecondsPerSecond = 1000000;

int Fails(const std::string& what) {
  std::fprintf(stderr, "vorndev: %s\n", what.c_str());
  return 1;
}

int Fails(const Failure& failure) { return Fails(failure.Describe()); }

// The driver's control device, closed at scope exit. It exists while the
// controller has devices.
class Control {
 public:
  Control()
      : m_handle(CreateFileW(VDEV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr)),
        m_error(m_handle ? ERROR_SUCCESS : GetLastError()) {}
  bool open() const { return m_handle.Valid(); }
  // The device is not there (rather than refused or broken).
  bool absent() const { return m_error == ERROR_FILE_NOT_FOUND || m_error == ERROR_PATH_NOT_FOUND; }
  Failure OpenFailure() const {
    if (m_error == ERROR_ACCESS_DENIED) return {"open \\\\.\\VornVdev (run it as an administrator)", m_error};
    return {"open \\\\.\\VornVdev", m_error};
  }

  bool Ask(uint32_t code, const void* in = nullptr, DWORD inSize = 0, void* out = nullptr, DWORD outSize = 0,
           DWORD* returned = nullptr) {
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(m_handle.Get(), code, const_cast<void*>(in), inSize, out, outSize, &bytes, nullptr);
    if (returned != nullptr) *returned = bytes;
    return ok != FALSE;
  }

 private:
  handles::FileHandle m_handle;
  DWORD m_error;
};

// What vorndev install stored in the driver's service key: the controller is
// plugged in with these each time.
struct Stored {
  ctlmodel::Config config = ctlmodel::DefaultConfig();
  vdev::Layout layout = UnderWine() ? vdev::Layout::kSplit : vdev::Layout::kSingle;
};

std::wstring ServiceKey() { return std::wstring(L"System\\CurrentControlSet\\Services\\") + VDEV_SERVICE; }

// False when vorndev install never ran here.
bool ReadStored(Stored& stored) {
  DWORD firmware = 0, product = 0, layout = 0, size = sizeof(DWORD);
  const std::wstring key = ServiceKey();
  const auto get = [&](const wchar_t* name, DWORD& value) {
    size = sizeof(DWORD);
    return RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
  };
  if (!get(VDEV_FIRMWARE_VALUE, firmware) || !get(VDEV_PRODUCT_VALUE, product) || firmware > 0xFFFF ||
      product > 0xFFFF)
    return false;
  stored.config.firmwareVersion = static_cast<uint16_t>(firmware);
  stored.config.productId = static_cast<uint16_t>(product);
  if (get(VDEV_LAYOUT_VALUE, layout)) stored.layout = layout == 1 ? vdev::Layout::kSingle : vdev::Layout::kSplit;
  return true;
}

Failure Store(const Stored& stored) {
  handles::RegKey key;
  LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ServiceKey().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                               key.Receive(), nullptr);
  if (error != ERROR_SUCCESS) return {"RegCreateKeyEx", static_cast<DWORD>(error)};
  const DWORD values[] = {stored.config.firmwareVersion, stored.config.productId, static_cast<DWORD>(stored.layout)};
  const wchar_t* names[] = {VDEV_FIRMWARE_VALUE, VDEV_PRODUCT_VALUE, VDEV_LAYOUT_VALUE};
  for (int i = 0; i < 3 && error == ERROR_SUCCESS; ++i)
    error =
        RegSetValueExW(key.Get(), names[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[i]), sizeof(DWORD));
  return error == ERROR_SUCCESS ? Failure{} : Failure{"RegSetValueEx", static_cast<DWORD>(error)};
}

bool ParseHex16(const char* text, USHORT& value) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  const size_t length = std::strlen(text);
  if (length == 0 || length > 4 || std::strspn(text, "0123456789abcdefABCDEF") != length) return false;
  value = static_cast<USHORT>(std::strtoul(text, nullptr, 16));
  return true;
}

bool ParseOption(const char* arg, Stored& stored) {
  if (std::strncmp(arg, "fw=", 3) == 0) return ParseHex16(arg + 3, stored.config.firmwareVersion);
  if (std::strncmp(arg, "pid=", 4) == 0) return ParseHex16(arg + 4, stored.config.productId);
  if (std::strcmp(arg, "layout=single") == 0) return stored.layout = vdev::Layout::kSingle, true;
  if (std::strcmp(arg, "layout=split") == 0) return stored.layout = vdev::Layout::kSplit, true;
  return false;
}

// Creates the devices and waits until the class driver shows them.
Failure Plug(const Stored& stored) {
  Failure failure = CreateDevices(stored.config.productId, stored.layout);
  if (failure.failed()) return failure;
  if (!WaitForCollections(CollectionsShown(stored.layout), kDeviceWaitMs))
    return {"wait for the HID collections", ERROR_TIMEOUT};
  return {};
}

Failure Unplug(int& removed) {
  Failure failure = RemoveDevices(removed);
  if (failure.failed()) return failure;
  if (!WaitForCollections(0, kDeviceWaitMs)) return {"wait for the HID collections to go", ERROR_TIMEOUT};
  return {};
}

// The controller comes back with the ids it was installed with. What is left
// of its devices (those the unplug fault failed) goes first.
int PlugInAgain(const char* done) {
  Stored stored;
  if (!ReadStored(stored)) return Fails("the controller is not installed (run vorndev install)");
  int removed = 0;
  Failure failure = Unplug(removed);
  if (!failure.failed()) failure = Plug(stored);
  if (failure.failed()) return Fails(failure);
  std::printf("%s\n", done);
  return 0;
}

// The driver keeps its control device exactly while it serves the
// controller's devices: without one, an installed controller is detached
// (its devices removed, or failed by the unplug fault).
bool Detached(const Control& control) {
  Stored stored;
  return control.absent() && ReadStored(stored);
}

// What attach and fault none plug in again: a detached controller, or an
// installed one that shows no collection while its control device is still
// there (a device whose collections are gone, failed or never started, still
// counts for the driver until it is removed).
bool Unplugged(const Control& control) {
  Stored stored;
  return ReadStored(stored) && (control.absent() || PresentCollections() == 0);
}

// The controller's state; a reply of another size or with an unknown fault
// is refused.
Failure ReadState(Control& control, vdev::StateReply& state) {
  DWORD returned = 0;
  if (!control.Ask(vdev::kIoctlGetState, nullptr, 0, &state, sizeof(state), &returned))
    return {"read the state", GetLastError()};
  if (returned != sizeof(state) || state.fault >= ctlmodel::kFaultCount)
    return {"read the state: the driver's reply is malformed", ERROR_INVALID_DATA};
  return {};
}

int Install(int argc, char** argv) {
  Stored stored;
  for (int i = 2; i < argc; ++i)
    if (!ParseOption(argv[i], stored)) return Fails("usage: vorndev install [fw=HEX] [pid=HEX] [layout=single|split]");
  int removed = 0;
  Failure failure = Unplug(removed);
  if (!failure.failed()) failure = Store(stored);
  if (!failure.failed()) failure = Plug(stored);
  if (failure.failed()) return Fails(failure);
  const int shown = CollectionsShown(stored.layout);
  std::printf("installed VORN%04X, layout %s: %d collection%s, firmware %04X\n", stored.config.productId,
              stored.layout == vdev::Layout::kSingle ? "single" : "split", shown, shown == 1 ? "" : "s",
              stored.config.firmwareVersion);
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
  if (PresentCollections() == 0) return Fails("detach: the controller is not attached");
  int removed = 0;
  const Failure failure = Unplug(removed);
  if (failure.failed()) return Fails(failure);
  std::printf("detached\n");
  return 0;
}

int Attach() {
  Control control;
  if (Unplugged(control)) return PlugInAgain("attached");
  if (!control.open()) return Fails(control.OpenFailure());
  vdev::StateReply state{};
  if (const Failure failure = ReadState(control, state); failure.failed()) return Fails(failure);
  if (state.attached) return Fails("attach: the controller is attached");
  if (!control.Ask(vdev::kIoctlAttach)) return Fails(Failure{"attach", GetLastError()});
  std::printf("attached\n");
  return 0;
}

int SetFault(int argc, char** argv) {
  ctlmodel::Fault fault;
  if (argc != 3 || !ctlmodel::ParseFault(argv[2], fault))
    return Fails("usage: vorndev fault none|mute|late|wrong-report|short-report|fail-write|stuck-write|unplug");
  Control control;
  // The unplug fault took the devices away: without a fault it is back.
  if (fault == ctlmodel::Fault::kNone && Unplugged(control)) return PlugInAgain("fault none (plugged in again)");
  if (!control.open()) return Fails(control.OpenFailure());
  const uint32_t value = static_cast<uint32_t>(fault);
  if (!control.Ask(vdev::kIoctlSetFault, &value, sizeof(value))) return Fails(Failure{"set the fault", GetLastError()});
  std::printf("fault %s\n", ctlmodel::FaultName(fault));
  return 0;
}

// The entry's clock in microseconds; the clock's start is the machine's.
unsigned long long Microseconds(uint64_t ticks, uint64_t frequency) {
  if (frequency == 0) return 0;
  return (ticks / frequency) * kMicrosecondsPerSecond + (ticks % frequency) * kMicrosecondsPerSecond / frequency;
}

void PrintChunk(const vdev::WireChunk& chunk, bool times) {
  if (chunk.dropped != 0)
    std::printf("(%lu earlier entries were dropped: the record holds %u)\n", static_cast<unsigned long>(chunk.dropped),
                static_cast<unsigned>(ctlmodel::WireRecord::kCapacity));
  for (uint32_t i = 0; i < chunk.count; ++i) {
    const ctlmodel::WireEntry& entry = chunk.entries[i];
    if (std::strcmp(ctlmodel::EntryChannel(entry), "wire") != 0) continue;
    char text[4 * ctlmodel::kMaxReportBytes + 32];
    ctlmodel::FormatWireEntry(entry, text, sizeof(text));
    if (times) std::printf("%llu ", Microseconds(entry.clock, chunk.frequency));
    std::printf("%s [%u bytes]\n", text, static_cast<unsigned>(entry.length));
  }
}

int Wire(int argc, char** argv) {
  const bool times = argc == 3 && std::strcmp(argv[2], "--times") == 0;
  if (argc > 3 || (argc == 3 && !times)) return Fails("usage: vorndev wire [--times]");
  Control control;
  if (!control.open()) return Detached(control) ? 0 : Fails(control.OpenFailure());
  vdev::WireChunk chunk;
  do {
    DWORD returned = 0;
    if (!control.Ask(vdev::kIoctlTakeWire, nullptr, 0, &chunk, sizeof(chunk), &returned))
      return Fails(Failure{"read the wire record", GetLastError()});
    if (!vdev::WireChunkWhole(chunk, returned))
      return Fails("the driver's wire record reply is malformed (" + std::to_string(returned) + " bytes)");
    PrintChunk(chunk, times);
  } while (chunk.more != 0);
  return 0;
}

int State() {
  Control control;
  if (!control.open()) {
    if (!Detached(control)) return Fails(control.OpenFailure());
    std::printf("controller detached\n");
    return 0;
  }
  vdev::StateReply state{};
  if (const Failure failure = ReadState(control, state); failure.failed()) return Fails(failure);
  std::printf("controller %s\nfault %s\nwake-on-touch %s\npower %s\nresets %lu\ndropped %lu\n",
              state.attached ? "attached" : "detached", ctlmodel::FaultName(static_cast<ctlmodel::Fault>(state.fault)),
              state.wakeOnTouch ? "on" : "off", state.sleeping ? "sleep" : "awake",
              static_cast<unsigned long>(state.resets), static_cast<unsigned long>(state.dropped));
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
  if (command == "wire") return Wire(argc, argv);
  if (command == "state" && bare) return State();
  return Fails(
      "usage: vorndev install [fw=HEX] [pid=HEX] [layout=single|split] | remove | detach | attach | fault KIND | "
      "wire [--times] | state");
}
