// The simulated HID bus: devices plug into it as models; each top-level
// collection of a device becomes a HID device interface with its own path, as
// the Windows HID class driver makes it. SetupAPI enumerates the interfaces,
// CreateFileW opens them, hid.dll and ReadFile/WriteFile talk to them.
#pragma once

#include <winsim/sim/hidparse.h>
#include <winsim/sim/machine.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace winsim {

// The HID device interface class ({4D1E55B2-F16F-11CF-88CB-001111000030}).
extern const GUID kHidInterfaceClassGuid;
// The HIDClass setup class ({745A17A0-74D3-11D0-B6FE-00A0C90F57DA}).
extern const GUID kHidSetupClassGuid;

// Input reports the class driver buffers per open handle before it drops the oldest.
constexpr size_t kHidInputBuffers = 32;

// What a device does with an output report or a feature request.
struct HidTransferResult {
  enum class Kind { kDone, kFailed, kStuck, kHung };
  Kind kind = Kind::kDone;
  DWORD error = ERROR_SUCCESS;

  static HidTransferResult Done() { return {}; }
  static HidTransferResult Failed(DWORD error) { return {Kind::kFailed, error}; }
  // The transfer stays pending until it is cancelled or the device goes.
  static HidTransferResult Stuck() { return {Kind::kStuck, ERROR_SUCCESS}; }
  // A driver that hangs: the write stays pending whatever is done about it;
  // neither CancelIo nor closing the handle ends it, only the device's going
  // or HidDevicePort::EndHungWrites.
  static HidTransferResult Hung() { return {Kind::kHung, ERROR_SUCCESS}; }
};

// Identity and appearance of one physical device.
struct HidDeviceDesc {
  USHORT vendorId = 0;
  USHORT productId = 0;
  USHORT versionNumber = 0x0100;
  std::vector<uint8_t> reportDescriptor;
  // Hardware part of every path, e.g. L"vid_2c1a&pid_0101" or L"vorn0101".
  std::wstring hardwareId;
  // Composite USB function number: paths then carry "&mi_NN".
  std::optional<unsigned> interfaceNumber;
  // Device instance part before the collection number, e.g. L"5&1a2b3c4d&0"
  // (the pair number sits between its two '&'); empty: the bus makes one
  // with a fresh pair number.
  std::wstring instance;
  // Explicit interface paths, one per top-level collection; empty: the bus
  // builds them as Windows does.
  std::vector<std::wstring> paths;
  // The minidriver polls the device for its reports (it asks for them with
  // IOCTL_HID_GET_INPUT_REPORT) instead of completing the class driver's reads.
  bool polled = false;
};

class HidDevicePort;

// The behaviour behind a device. The bus calls it without holding its own
// locks, on the thread that made the request (or on the bus's timer thread
// for scheduled work). `collection` counts top-level collections from 0.
class HidDeviceModel {
 public:
  virtual ~HidDeviceModel() = default;
  virtual void OnPlugged(const std::shared_ptr<HidDevicePort>&) {}
  virtual void OnUnplugged() {}
  // WriteFile: one whole output report, report ID first.
  virtual HidTransferResult OnOutputReport(size_t collection, std::span<const uint8_t> report);
  virtual HidTransferResult OnSetFeature(size_t collection, std::span<const uint8_t> report);
  // Fills `report` (its byte 0 holds the requested report ID).
  virtual HidTransferResult OnGetFeature(size_t collection, std::span<uint8_t> report);
  virtual HidTransferResult OnGetInputReport(size_t collection, std::span<uint8_t> report);
};

// The bus side of one plugged device, handed to its model.
class HidDevicePort {
 public:
  virtual ~HidDevicePort() = default;
  // Delivers an input report (report ID first) to every handle open on the
  // collection. False when the device is unplugged or the report cannot be
  // one of the collection's: empty, too long, or an unknown report ID (the
  // class driver drops those). A report shorter than its ID's report is sent
  // but dropped by the class driver, unless the device is polled (then it is
  // delivered as it is); a whole report shorter than the collection's input
  // length reaches the readers padded with zeros to that length.
  virtual bool SendInputReport(size_t collection, std::span<const uint8_t> report) = 0;
  // Runs `work` on the bus's timer thread after `delayMs` simulated ms.
  virtual void Schedule(uint64_t delayMs, std::function<void()> work) = 0;
  virtual void Unplug() = 0;
  // Plugs the same device in again, with the same paths; handles opened
  // before the unplug stay dead.
  virtual void Replug() = 0;
  virtual bool Plugged() const = 0;
  // Ends the device's hung writes as cancelled (the driver honours the
  // cancels at last).
  virtual void EndHungWrites() = 0;
  virtual const HidDeviceDesc& Desc() const = 0;
  virtual size_t CollectionCount() const = 0;
  virtual std::wstring Path(size_t collection) const = 0;
  virtual const hid::CollectionLayout& Layout(size_t collection) const = 0;
  virtual std::shared_ptr<HidDeviceModel> Model() const = 0;
};

// One device interface, as SetupAPI lists it.
struct HidInterfaceInfo {
  std::wstring path;
  bool present = false;
  DWORD devInst = 0;
};

class HidBus : public MachinePart {
 public:
  explicit HidBus(Machine& machine);  // plugs the controllers of the machine's configuration
  ~HidBus() override;
  void Shutdown() override;

  // Plugs a device in. Null, with the parser's reason in `error`, when its
  // report descriptor does not parse (Windows fails such a device's start).
  std::shared_ptr<HidDevicePort> Plug(HidDeviceDesc desc, std::shared_ptr<HidDeviceModel> model,
                                      std::string* error = nullptr);
  // Every device plugged in since boot (present or not), in plug order.
  std::vector<std::shared_ptr<HidDevicePort>> Devices() const;
  // The interfaces in enumeration order: devices in plug order, collections in
  // descriptor order.
  std::vector<HidInterfaceInfo> Interfaces(bool presentOnly) const;
  // A fresh pair number ("1a2b3c4d"-style, 8 hex digits) for a new device.
  std::wstring NextPairNumber();

  struct State;

 private:
  std::shared_ptr<State> m_state;
};

}  // namespace winsim
