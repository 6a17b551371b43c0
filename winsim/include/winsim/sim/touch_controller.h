// The vendor's touch controller as a device on the HID bus: a touch-screen
// collection, a vendor input collection (page 0xFF00, usage 1, input report 2)
// and a vendor output collection (page 0xFF00, usage 1, output report 3).
//
// Its behaviour (descriptors, commands and answers, bridge frames, faults,
// the wire record) is the controller model in ctlmodel/, which the virtual
// controller driver runs too; this class plugs that model into winsim's bus:
// it serialises the calls, delivers what the model says is due later on the
// simulated clock, and keeps the history tests read (actions, reports, frames).
//
// Commands arrive as output report 3: [3, 0x00, length, command...], zero
// filled. Bridge frames arrive as [3, bridge command, four parameters] and are
// taken by the bridge products 0x0007 and 0x000B. The firmware version query
// is answered with input report 2: [2, 4, 0x52, v>>12, (v>>4)&0xFF, (v&0xF)<<4].
#pragma once

#include <ctlmodel/controller.h>
#include <winsim/sim/hidbus.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace winsim {

// The controller vendor's USB vendor ID (the same number the product is built with).
constexpr USHORT kTouchControllerVendorId = ctlmodel::kVendorId;
constexpr USHORT kTouchControllerDefaultProductId = ctlmodel::kDefaultProductId;
constexpr USHORT kTouchControllerDefaultFirmware = ctlmodel::kDefaultFirmware;
constexpr USHORT kBridgePowerProductId = ctlmodel::kBridgePowerProductId;  // a bridge that must power the controller
constexpr USHORT kBridgeNoIdsProductId = ctlmodel::kBridgeNoIdsProductId;  // a bridge that carries reports without IDs
constexpr UCHAR kVendorInputReportId = ctlmodel::kVendorInputReportId;
constexpr UCHAR kVendorStatusReportId = ctlmodel::kVendorStatusReportId;  // a second input report of the vendor input collection
constexpr UCHAR kVendorOutputReportId = ctlmodel::kVendorOutputReportId;
constexpr size_t kVendorReportBytes = ctlmodel::kVendorReportBytes;
// The "late" fault answers after this much simulated time: later than the
// product's 1000 ms transfer time-out.
constexpr uint64_t kLateAnswerMs = ctlmodel::kLateAnswerMs;
// The "unplug" fault leaves the bus this long after the command that triggers it.
constexpr uint64_t kUnplugDelayMs = ctlmodel::kUnplugDelayMs;

// none, mute, late, wrong-report, short-report, fail-write, stuck-write,
// unplug: see ctlmodel::Fault.
using ControllerFault = ctlmodel::Fault;

std::string FaultName(ControllerFault fault);
bool ParseFault(const std::string& name, ControllerFault& fault);

struct TouchControllerConfig {
  USHORT firmwareVersion = kTouchControllerDefaultFirmware;
  USHORT productId = kTouchControllerDefaultProductId;
  ControllerFault fault = ControllerFault::kNone;
  // Plugged in behind a polling minidriver: the class driver passes a short
  // report on as it is (the short-report fault then reaches the reader).
  bool polled = false;
  // Its driver hangs on every write (fault=hang): see SetHang.
  bool hang = false;
};

// WINSIM_CONTROLLER: "none" (no controller), or key=value pairs separated by
// commas: fw=HEX, pid=HEX, fault=KIND (a fault of the controller, or hang),
// polled=0|1. Empty text means one default
// controller. False with a message in `error` when the text is malformed.
bool ParseControllerConfig(const std::string& text, std::vector<TouchControllerConfig>& controllers,
                           std::string& error);

// What the controller did with an output report: see ctlmodel::Action.
using ControllerAction = ctlmodel::Action;

// "wake-on-touch on", "sleep", "version query", ... as vornsim prints them.
std::string ActionName(ControllerAction action);

struct ControllerEvent {
  enum class Kind {
    kReportOut,    // an output report reached the controller
    kReportIn,     // the controller sent an input report
    kAction,       // the controller acted on a report
    kWriteFailed,  // a write failed or stuck by a fault; the controller never saw it
    kWriteHung,    // a write the driver hangs on (SetHang); the controller never saw it
  };
  Kind kind;
  std::vector<uint8_t> bytes;  // the report, for kReportOut, kReportIn, kWriteFailed, kWriteHung
  ControllerAction action = ControllerAction::kMalformed;  // for kAction
};

struct BridgeState {
  std::vector<std::vector<uint8_t>> frames;  // every frame taken, 6 bytes each
  uint8_t supplyByte3 = 0, supplyByte5 = 0;  // level bits of the last 0x12 frame
  uint8_t param1 = 0, param2 = 0;            // values of the last 0x01 and 0x02 frames
  bool poweredOn = false;                    // supply set and 0x01 sent, no 0x11 since
};

struct TouchControllerState {
  USHORT firmwareVersion = 0;
  USHORT productId = 0;
  ControllerFault fault = ControllerFault::kNone;
  bool hang = false;
  bool wakeOnTouch = false;
  uint8_t lastWakeOnTouchFlag = 0;
  bool sleeping = false;
  unsigned resets = 0;
  unsigned versionQueries = 0;
  std::vector<ControllerAction> actions;  // in the order taken
  BridgeState bridge;
};

class TouchController : public HidDeviceModel, public std::enable_shared_from_this<TouchController> {
 public:
  enum Collection : size_t { kTouchScreen = 0, kVendorInput = 1, kVendorOutput = 2 };
  using Observer = std::function<void(const ControllerEvent&)>;

  explicit TouchController(TouchControllerConfig config);

  // The controller's device: its collections' descriptor and identity; the
  // pair number goes into every path.
  static HidDeviceDesc DeviceDesc(const TouchControllerConfig& config, const std::wstring& pairNumber);
  static const std::vector<uint8_t>& ReportDescriptor();

  TouchControllerState State() const;
  std::vector<std::vector<uint8_t>> Received() const;  // every output report taken, in order
  void SetFault(ControllerFault fault);
  // A driver that hangs, a setting of this device on winsim's bus rather than
  // a fault of the controller model (the virtual controller's driver does not
  // have it): while set, every write to the vendor output collection stays
  // pending, and neither CancelIo nor closing the handle ends it. Lifting it
  // ends the writes held so far as cancelled; an unplug fails them.
  void SetHang(bool hang);
  void SetFirmwareVersion(USHORT version);
  // Called for every report in or out and every action, without locks held.
  void SetObserver(Observer observer);
  // Waits (real time, bounded) until the controller has taken `count` actions
  // of `action`. Not for a simulated thread of a virtual clock, which would
  // hold the machine still meanwhile: it waits with Clock::Await.
  bool WaitForActions(ControllerAction action, size_t count, DWORD timeoutMs) const;

  void Detach();
  void Attach();
  bool Attached() const;
  std::wstring Path(Collection collection) const;
  // A finger report on the touch-screen collection (coordinates 0..4095).
  bool Touch(uint16_t x, uint16_t y, bool down);

  HidTransferResult OnOutputReport(size_t collection, std::span<const uint8_t> report) override;
  HidTransferResult OnGetFeature(size_t collection, std::span<uint8_t> report) override;
  HidTransferResult OnSetFeature(size_t collection, std::span<const uint8_t> report) override;
  void OnPlugged(const std::shared_ptr<HidDevicePort>& port) override;
  void OnUnplugged() override;

 private:
  void RememberLocked(const ctlmodel::Reaction& reaction, std::span<const uint8_t> report);
  std::vector<ControllerEvent> DrainWireLocked();
  void AtDue(const std::shared_ptr<HidDevicePort>& port, uint32_t dueMs, std::function<void()> work);
  void Emit(const std::vector<ControllerEvent>& events) const;
  bool Send(size_t collection, const std::vector<uint8_t>& report);
  std::shared_ptr<HidDevicePort> Port() const;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  ctlmodel::Controller m_model;  // guarded by m_mutex, as everything below
  std::vector<ControllerAction> m_actions;
  std::vector<std::vector<uint8_t>> m_received;
  std::vector<std::vector<uint8_t>> m_frames;
  Observer m_observer;
  std::weak_ptr<HidDevicePort> m_port;
  bool m_hang = false;
};

// Plugs a controller into the machine's bus (a fresh pair number each).
std::shared_ptr<TouchController> AttachTouchController(Machine& machine, const TouchControllerConfig& config = {});
// The controllers plugged into the machine's bus, attached or not, in plug order.
std::vector<std::shared_ptr<TouchController>> TouchControllers(Machine& machine);

// Further devices for the discovery filters. Each takes writes and answers
// nothing (RecordingHidDevice).
enum class BenchDevice {
  kComposite,       // the controller's collections on a composite USB function: paths carry "&mi_"
  kOtherVendor,     // the same collections and maker word, another vendor ID
  kTouchPadOnly,    // the maker's touch pad (0x0D/0x05) with the vendor collections, no touch screen
  kUpperCaseMaker,  // the controller's collections, paths in upper case ("VORN")
  kNoPairNumber,    // a vendor input collection whose path has no pair number
};
std::shared_ptr<HidDevicePort> PlugBenchDevice(Machine& machine, BenchDevice device);

// A device model that records what it is sent and answers nothing.
class RecordingHidDevice : public HidDeviceModel {
 public:
  HidTransferResult OnOutputReport(size_t collection, std::span<const uint8_t> report) override;
  std::vector<std::vector<uint8_t>> Received() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::vector<uint8_t>> m_received;
};

}  // namespace winsim
