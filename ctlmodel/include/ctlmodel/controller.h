// ctlmodel: the vendor's touch controller as one platform-free unit. winsim's
// HID bus (host) and the virtual controller driver (vdev/, a HID minidriver)
// both run this code, so the two controllers cannot drift.
//
// Written in the subset of C++ a kernel driver can use: no exceptions, no
// RTTI, no heap, no standard library beyond <stdint.h>/<stddef.h>, no static
// constructors (the tables are constexpr), fixed buffers. It has no threads
// and no clock: the caller serialises every call on one Controller (a lock of
// its own) and delivers what is due later ("answer due in N ms") on its own
// clock: winsim's bus on the simulated clock, the driver with a kernel timer.
//
// ---- The device -------------------------------------------------------------
// Three top-level collections, each with report IDs:
//   touch screen   (0x0D/0x04): input report 1 (two fingers, contact count,
//                   14 bytes with the ID), feature report 10 (contact maximum)
//   vendor input   (0xFF00/1):  input reports 2 (answers) and 4 (status), 64 bytes
//   vendor output  (0xFF00/1):  output report 3 (commands and bridge frames), 64 bytes
// DeviceDescriptor() is the report descriptor of the whole device (Windows
// splits it into one HID device per collection; so does winsim);
// CollectionDescriptor(c) is one collection alone (for a HID stack that is
// given one device per collection, as Wine 8's class driver is). Vendor id
// kVendorId, product id and version number (= firmware version) from GetState().
//
// ---- Using a Controller -----------------------------------------------------
//   ctlmodel::Controller model;            // constexpr: a global is constinit, no
//                                          // static constructor
//   model.Init(ctlmodel::DefaultConfig()); // or {firmware, product id, fault};
//                                          // also on zeroed memory (a device
//                                          // extension) before any other call
//
// An output report (WriteFile, IOCTL_HID_WRITE_REPORT, HidD_SetOutputReport):
//   ctlmodel::Reaction r = model.TakeOutputReport(collection, bytes, length);
//   - r.write: kDone (complete the write with success), kFailed (fail it:
//     fault fail-write), kStuck (leave it pending until cancelled or the
//     device goes: fault stuck-write), kNotConnected (the model is detached).
//   - r.answers: an input report for the vendor input collection (r.answer,
//     report ID first) is due r.answerDueMs after this write (0: now; the
//     "late" fault says kLateAnswerMs). Deliver it then to the readers of the
//     vendor input collection, and then tell the model it went out:
//     model.NoteInputSent(r.answer.bytes, r.answer.length). A report that could
//     not be delivered (device gone) is not noted.
//   - r.unplugs: fault "unplug": the controller leaves the bus r.unplugDueMs
//     after this write; the caller unplugs its device then and calls Detach().
//   - r.acted / r.action: what the controller did (also in the wire record).
//   - r.frameTaken: a bridge frame was taken (its first kBridgeFrameBytes
//     bytes are the frame).
// Feature reports: GetFeature() fills the contact maximum (report 10 of the
// touch screen); SetFeature() always fails (the device stalls it). Both
// return false where the device fails the request.
// A touch: TouchReport() builds input report 1; send it, then NoteInputSent().
//
// Control (the driver's control interface, winsim's control API):
//   SetFault(), SetFirmwareVersion(), SetProductId(), Attach(), Detach(),
//   GetState() (ids, fault, attached, wake-on-touch, power, resets, bridge).
//   FaultName()/ParseFault() and ActionName() give the names vornsim and
//   vorndev print ("stuck-write", "wake-on-touch on", ...).
//
// The wire record (Wire()): every report out and in, every action and every
// write a fault failed, in order, bounded at WireRecord::kCapacity entries,
// each stamped with the caller's clock as SetClock() last gave it;
// on overflow the oldest entry is dropped and Dropped() counts it. Take()
// removes the oldest entry; FormatWireEntry() writes it in vornsim's format
// (`out 03 00 04 F0 02 00 01 ...`, `in 02 ...`, `out ... (write failed)`, or
// the action's name for an action entry, whose channel is "ctl").
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace ctlmodel {

// ---- identity and reports ----
constexpr uint16_t kVendorId = 0x2C1A;  // the controller vendor's USB vendor id
constexpr uint16_t kDefaultProductId = 0x0101;
constexpr uint16_t kDefaultFirmware = 0x1203;
constexpr uint16_t kBridgePowerProductId = 0x0007;  // a bridge that must power the controller
constexpr uint16_t kBridgeNoIdsProductId = 0x000B;  // a bridge that carries reports without IDs

constexpr uint8_t kTouchReportId = 1;
constexpr uint8_t kVendorInputReportId = 2;
constexpr uint8_t kVendorOutputReportId = 3;
constexpr uint8_t kVendorStatusReportId = 4;  // a second input report of the vendor input collection
constexpr uint8_t kContactMaximumReportId = 10;
constexpr uint8_t kContactMaximum = 2;
constexpr size_t kVendorReportBytes = 64;  // reports 2, 3 and 4, with the ID byte
constexpr size_t kTouchReportBytes = 14;   // report 1, with the ID byte
constexpr size_t kBridgeFrameBytes = 6;    // [3, bridge command, four parameters]
// The "short-report" fault answers with this many bytes: the report ID, its
// header and 13 bytes, well below the input length.
constexpr size_t kShortAnswerBytes = 16;
// Reports longer than this are recorded and judged by their first
// kMaxReportBytes bytes.
constexpr size_t kMaxReportBytes = 64;

// The "late" fault answers this long after the query: later than the
// product's 1000 ms transfer time-out.
constexpr uint32_t kLateAnswerMs = 1500;
// The "unplug" fault leaves the bus this long after the command that triggers it.
constexpr uint32_t kUnplugDelayMs = 20;

enum class Collection : uint8_t { kTouchScreen = 0, kVendorInput = 1, kVendorOutput = 2 };
constexpr size_t kCollectionCount = 3;

struct Descriptor {
  const uint8_t* bytes;
  size_t length;
};
Descriptor DeviceDescriptor();                        // all three collections, in Collection order
Descriptor CollectionDescriptor(Collection collection);  // one top-level collection alone
// The collection whose report carries this ID (every report of the
// controller has an ID of its own); false for an ID it does not use.
bool CollectionOfReport(uint8_t reportId, Collection& collection);
// UTF-16 strings for the HID string requests (zero-terminated).
const char16_t* ManufacturerString();
const char16_t* ProductString();

// ---- faults and actions ----
enum class Fault : uint8_t {
  kNone,
  kMute,         // takes commands, never answers
  kLate,         // answers kLateAnswerMs after the query
  kWrongReport,  // answers with report 4 instead of 2
  kShortReport,  // answers with kShortAnswerBytes bytes, fewer than the input report length
  kFailWrite,    // writes to the output collection fail; the controller never sees them
  kStuckWrite,   // writes to the output collection never complete; the controller never sees them
  kUnplug,       // leaves the bus kUnplugDelayMs after the next report, while the answer is awaited
};
constexpr int kFaultCount = 8;
const char* FaultName(Fault fault);  // "none", "mute", ..., "stuck-write", "unplug"
// True and `fault` set when `name` (exactly, lower case) names a fault.
bool ParseFault(const char* name, size_t length, Fault& fault);
bool ParseFault(const char* name, Fault& fault);  // zero-terminated

enum class Action : uint8_t {
  kWakeOnTouchOn,
  kWakeOnTouchOff,
  kSleep,
  kWake,
  kReset,
  kVersionQuery,
  kBridgeFrame,
  kMalformed,  // an output report that is neither a known command nor a bridge frame
};
constexpr int kActionCount = 8;
const char* ActionName(Action action);  // "wake-on-touch on", "version query", ...

// ---- configuration and state ----
struct Config {
  uint16_t firmwareVersion;
  uint16_t productId;
  Fault fault;
};
constexpr Config DefaultConfig() { return {kDefaultFirmware, kDefaultProductId, Fault::kNone}; }

struct BridgeState {
  uint32_t frames;              // bridge frames taken (well-formed or not)
  uint8_t supplyByte3;          // level bits of the last 0x12 frame
  uint8_t supplyByte5;
  uint8_t param1;               // value of the last 0x01 frame
  uint8_t param2;               // value of the last 0x02 frame
  bool poweredOn;               // supply set and 0x01 sent, no 0x11 since
};

struct State {
  uint16_t firmwareVersion;
  uint16_t productId;
  Fault fault;
  bool attached;
  bool wakeOnTouch;             // on only after F0 02 00 01; any other last byte switches it off
  uint8_t lastWakeOnTouchFlag;  // the last byte of the last wake-on-touch command
  bool sleeping;                // power: sleep (54 50 00 01) until wake (54 58 00 01) or reset
  uint32_t resets;              // 77 77 77 77 taken
  uint32_t versionQueries;      // 53 00 00 01 taken
  uint32_t reportsTaken;        // output reports that reached the controller
  BridgeState bridge;
};

bool IsBridgeProduct(uint16_t productId);

// ---- what one output report does ----
struct Report {
  uint8_t bytes[kMaxReportBytes];
  uint16_t length;
};

enum class WriteOutcome : uint8_t { kDone, kFailed, kStuck, kNotConnected };

struct Reaction {
  WriteOutcome write;
  bool acted;              // the controller took the report and did `action`
  Action action;
  bool frameTaken;         // the report was taken as a bridge frame
  bool answers;            // `answer` is due on the vendor input collection
  uint32_t answerDueMs;    // ms after the write (0: now)
  Report answer;
  bool unplugs;            // the controller leaves the bus unplugDueMs after the write
  uint32_t unplugDueMs;
};

// ---- the wire record ----
enum class EntryKind : uint8_t {
  kOut,          // an output report reached the controller
  kIn,           // the controller sent an input report
  kAction,       // the controller acted on a report
  kWriteFailed,  // a write failed or stuck by a fault; the controller never saw it
};

struct WireEntry {
  EntryKind kind;
  Action action;    // for kAction
  uint16_t length;  // bytes held (at most kMaxReportBytes)
  uint8_t bytes[kMaxReportBytes];
  uint8_t reserved[4];  // 0; the entry has no padding, so a copy carries every byte
  uint64_t clock;       // the caller's clock when the entry was recorded (SetClock)
};
static_assert(sizeof(WireEntry) == 4 + kMaxReportBytes + 4 + 8, "a wire entry has no padding");

class WireRecord {
 public:
  static constexpr size_t kCapacity = 256;

  void Clear();
  void Append(const WireEntry& entry);  // drops the oldest entry when full
  size_t Count() const { return m_count; }
  const WireEntry& At(size_t index) const;  // 0 = oldest; index < Count()
  bool Take(WireEntry& entry);              // removes the oldest; false when empty
  uint32_t Dropped() const { return m_dropped; }  // entries lost to overflow since Clear()
  uint32_t Total() const { return m_total; }      // entries appended since Clear()

 private:
  WireEntry m_entries[kCapacity] = {};
  size_t m_first = 0;
  size_t m_count = 0;
  uint32_t m_dropped = 0;
  uint32_t m_total = 0;
};

// "wire" for reports, "ctl" for actions (vornsim's channels).
const char* EntryChannel(const WireEntry& entry);
// The entry's text, zero-terminated, cut to `size`; returns the length it
// needs without the terminator (as snprintf does).
size_t FormatWireEntry(const WireEntry& entry, char* text, size_t size);
// Upper-case hex bytes separated by spaces; a run of trailing zero bytes is
// written as "...". Same return convention.
size_t FormatReport(const uint8_t* bytes, size_t length, char* text, size_t size);

// ---- the controller ----
class Controller {
 public:
  void Init(const Config& config);  // state as after power-on, attached, empty wire record

  Reaction TakeOutputReport(Collection collection, const uint8_t* report, size_t length);
  // An input report of this controller went out on the bus.
  void NoteInputSent(const uint8_t* report, size_t length);
  bool GetFeature(Collection collection, uint8_t* report, size_t length) const;
  bool SetFeature(Collection collection, const uint8_t* report, size_t length) const;
  // Input report 1 with finger 1 at (x, y) (0..4095) touching or lifted.
  static Report TouchReport(uint16_t x, uint16_t y, bool down);

  void SetFault(Fault fault) { m_state.fault = fault; }
  void SetFirmwareVersion(uint16_t version) { m_state.firmwareVersion = version; }
  void SetProductId(uint16_t productId) { m_state.productId = productId; }
  void Attach() { m_state.attached = true; }
  void Detach() { m_state.attached = false; }
  // The caller's clock, in its own unit, for the entries recorded from now on.
  void SetClock(uint64_t now) { m_clock = now; }
  const State& GetState() const { return m_state; }

  WireRecord& Wire() { return m_wire; }
  const WireRecord& Wire() const { return m_wire; }

 private:
  void TakeCommand(const uint8_t* report, size_t length, Reaction& reaction);
  void TakeBridgeFrame(const uint8_t* report, size_t length, Reaction& reaction);
  void Act(Action action, Reaction& reaction);
  void Answer(Reaction& reaction) const;
  void Record(EntryKind kind, const uint8_t* bytes, size_t length);

  State m_state = {};
  WireRecord m_wire;
  uint64_t m_clock = 0;
};

}  // namespace ctlmodel
