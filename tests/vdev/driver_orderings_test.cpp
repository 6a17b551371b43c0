// The driver's request handling (vdev/driver/controller.cpp, built unchanged)
// on the fake kernel, through the orderings Wine's class driver never
// produces: cancels before, while and after a request is queued, cancels
// racing completion, removal with requests held, unload with timers armed, a
// timer firing after the controller was plugged in afresh. Every request a
// row makes completes exactly once, with the status the row names; once the
// devices are gone and the driver unloaded nothing is left armed or queued,
// and nothing wrote to a device after its removal.
#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "ctlmodel/model_test_support.h"
#include "fake_kernel.h"
#include "vdev/driver/vdev.h"

namespace {

namespace controller = vdev::controller;
using ctlmodel::Fault;
using fakekernel::When;

constexpr int kRequests = 20;
constexpr uint8_t kPoison = 0xA5;  // what a removed device's memory holds, untouched

enum class Op {
  kRead,            // requests n..n+count-1: IOCTL_HID_READ_REPORT on the newest device
  kQuery,           // the version query written, on the newest device
  kFault,           // the controller's fault becomes `fault`
  kCancel,          // request n is cancelled, from another processor
  kCancelAt,        // ... as the driver next sets (`setting`) or clears its cancel routine
  kExpire,          // every armed timer fires: its DPC is queued
  kDpcs,            // the queued DPCs run
  kWorkItems,       // the queued work items run
  kSurpriseRemove,  // IRP_MN_SURPRISE_REMOVAL of the oldest device
  kRemove,          // IRP_MN_REMOVE_DEVICE of the oldest device, then deleted
  kPlugIn,          // a device arrives; a first one plugs the controller in afresh
  kUnload,
  kDropped,  // the state reply counts n answers and unplugs dropped
};

struct Step {
  Op op;
  int n = 0;
  int count = 1;
  Fault fault = Fault::kNone;
  bool setting = false;
  When when = When::kBefore;
};

Step Read(int n) { return {Op::kRead, n}; }
Step Query(int n, int count = 1) { return {Op::kQuery, n, count}; }
Step SetFault(Fault fault) { return {.op = Op::kFault, .fault = fault}; }
Step Cancel(int n) { return {Op::kCancel, n}; }
Step CancelAsSet(int n, When when) { return {.op = Op::kCancelAt, .n = n, .setting = true, .when = when}; }
Step CancelAsCleared(int n, When when) { return {.op = Op::kCancelAt, .n = n, .when = when}; }
Step Do(Op op, int n = 0) { return {op, n}; }

struct Outcome {
  int first, last;  // requests
  NTSTATUS status;
};

struct Ordering {
  const char* name;
  std::vector<Step> steps;
  std::vector<Outcome> outcomes;
  int reportedFailed = 0;  // IoInvalidateDeviceState calls
};

void PrintTo(const Ordering& ordering, std::ostream* out) { *out << ordering.name; }

// One HID device as the class driver makes it: FDO, PDO and extensions.
struct Device {
  DEVICE_OBJECT fdo{};
  DEVICE_OBJECT pdo{};
  HID_DEVICE_EXTENSION hid{};
  vdev::CollectionDevice ext{};
  bool deleted = false;
};

struct Request {
  IRP irp{};
  IO_STACK_LOCATION stack{};
  uint8_t buffer[ctlmodel::kVendorReportBytes]{};
  bool made = false;
};

class DriverOrderingTest : public testing::TestWithParam<Ordering> {
 protected:
  void SetUp() override {
    fakekernel::Reset();
    controller::Init({.failsDevices = true, .shortensWrites = false});
    PlugIn();
  }

  void TearDown() override {
    for (auto& device : m_devices)
      if (device->deleted) ASAN_UNPOISON_MEMORY_REGION(&device->ext, sizeof(device->ext));
    fakekernel::Reset();
  }

  void Run(const Step& step) {
    switch (step.op) {
      case Op::kRead:
      case Op::kQuery:
        for (int n = step.n; n < step.n + step.count; ++n) Dispatch(n, step.op == Op::kRead);
        break;
      case Op::kFault: controller::SetFault(step.fault); break;
      case Op::kCancel: fakekernel::Cancel(&m_requests[step.n].irp); break;
      case Op::kCancelAt: {
        PIRP irp = &m_requests[step.n].irp;
        fakekernel::AtCancelRoutine(irp, step.setting, step.when, [irp] { fakekernel::Cancel(irp); });
        break;
      }
      case Op::kExpire: fakekernel::ExpireTimers(); break;
      case Op::kDpcs: fakekernel::RunDpcs(); break;
      case Op::kWorkItems: fakekernel::RunWorkItems(); break;
      case Op::kSurpriseRemove: controller::RemoveDevice(Oldest().ext); break;
      case Op::kRemove: Delete(Oldest()); break;
      case Op::kPlugIn: PlugIn(); break;
      case Op::kUnload: Unload(); break;
      case Op::kDropped: EXPECT_EQ(controller::State().dropped, static_cast<uint32_t>(step.n)); break;
    }
  }

  // Everything still there goes, the driver unloads, and the row's outcome
  // is checked.
  void Finish(const Ordering& ordering) {
    for (auto& device : m_devices)
      if (!device->deleted) Delete(*device);
    if (!m_unloaded) Unload();
    std::array<bool, kRequests> expected{};
    for (const Outcome& outcome : ordering.outcomes) {
      for (int n = outcome.first; n <= outcome.last; ++n) {
        expected[n] = true;
        EXPECT_EQ(fakekernel::Completions(&m_requests[n].irp), 1) << "request " << n;
        EXPECT_EQ(m_requests[n].irp.IoStatus.Status, outcome.status) << "request " << n;
      }
    }
    for (int n = 0; n < kRequests; ++n)
      if (m_requests[n].made && !expected[n]) ADD_FAILURE() << "request " << n << " has no outcome in the row";
    const fakekernel::Tally tally = fakekernel::Count();
    EXPECT_EQ(tally.armedTimers, 0) << "a timer armed after the driver unloaded";
    EXPECT_EQ(tally.queuedDpcs, 0) << "a DPC queued after the driver unloaded";
    EXPECT_EQ(tally.queuedWorkItems, 0) << "a work item queued after the driver unloaded";
    EXPECT_EQ(tally.workItems, 0) << "a work item not freed";
    EXPECT_EQ(tally.reportedFailed, ordering.reportedFailed);
    for (auto& device : m_devices) {
      ASAN_UNPOISON_MEMORY_REGION(&device->ext, sizeof(device->ext));
      const auto* bytes = reinterpret_cast<const uint8_t*>(&device->ext);
      EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(device->ext), [](uint8_t b) { return b == kPoison; }))
          << "a device's memory was written after its removal";
      ASAN_POISON_MEMORY_REGION(&device->ext, sizeof(device->ext));
    }
  }

 private:
  void PlugIn() {
    auto device = std::make_unique<Device>();
    device->fdo.DeviceExtension = &device->hid;
    device->hid.PhysicalDeviceObject = &device->pdo;
    device->hid.MiniDeviceExtension = &device->ext;
    device->ext.fdo = &device->fdo;
    device->ext.pdo = &device->pdo;
    device->ext.whole = true;
    fakekernel::CreatePdo(&device->pdo);
    EXPECT_EQ(controller::AddDevice(device->ext, ctlmodel::DefaultConfig()), STATUS_SUCCESS);
    m_devices.push_back(std::move(device));
  }

  // IRP_MN_REMOVE_DEVICE; then the class driver deletes the FDO (with the
  // driver's extension), the bus driver the PDO.
  void Delete(Device& device) {
    controller::DeleteDevice(device.ext);
    fakekernel::DeletePdo(&device.pdo);
    std::memset(&device.ext, kPoison, sizeof(device.ext));
    ASAN_POISON_MEMORY_REGION(&device.ext, sizeof(device.ext));
    device.deleted = true;
  }

  void Unload() {
    controller::Shutdown();
    m_unloaded = true;
  }

  Device& Oldest() {
    for (auto& device : m_devices)
      if (!device->deleted) return *device;
    return *m_devices.back();
  }

  // A request the class driver sends down; the driver marks it pending
  // exactly when it says so, and completes it at once otherwise.
  void Dispatch(int n, bool read) {
    Request& request = m_requests[n];
    request.made = true;
    request.irp.Tail.Overlay.CurrentStackLocation = &request.stack;
    request.irp.UserBuffer = request.buffer;
    request.stack.Parameters.DeviceIoControl.OutputBufferLength = sizeof(request.buffer);
    vdev::CollectionDevice& device = m_devices.back()->ext;
    NTSTATUS status = STATUS_SUCCESS;
    if (read) {
      status = controller::Read(device, &request.irp);
    } else {
      const ctlmodeltest::Bytes query = ctlmodeltest::CommandReport({0x53, 0x00, 0x00, 0x01});
      std::copy(query.begin(), query.end(), request.buffer);
      const HID_XFER_PACKET packet = {request.buffer, sizeof(request.buffer), ctlmodel::kVendorOutputReportId};
      status = controller::Write(device, &request.irp, packet);
      // Outside Wine the length written is the report's, ID byte included once.
      if (status == STATUS_SUCCESS) {
        EXPECT_EQ(request.irp.IoStatus.Information, sizeof(request.buffer));
      }
    }
    const bool marked = (request.stack.Control & SL_PENDING_RETURNED) != 0;
    EXPECT_EQ(marked, status == STATUS_PENDING) << "request " << n << " marked pending, or not, against its status";
    if (status != STATUS_PENDING) {
      EXPECT_EQ(fakekernel::Completions(&request.irp), 1) << "request " << n;
    }
  }

  std::vector<std::unique_ptr<Device>> m_devices;
  std::array<Request, kRequests> m_requests;
  bool m_unloaded = false;
};

TEST_P(DriverOrderingTest, CompletesEachRequestOnceAndLeavesNothingBehind) {
  for (const Step& step : GetParam().steps) Run(step);
  Finish(GetParam());
}

constexpr NTSTATUS kCancelled = STATUS_CANCELLED;
constexpr NTSTATUS kGone = STATUS_DELETE_PENDING;
constexpr NTSTATUS kDone = STATUS_SUCCESS;
constexpr NTSTATUS kHeldTooLong = STATUS_UNSUCCESSFUL;  // a held write's time-out

const Ordering kOrderings[] = {
    {"ReadCancelledBeforeItReachesTheDriver", {Cancel(0), Read(0)}, {{0, 0, kCancelled}}},
    {"ReadCancelledAsItIsQueued", {CancelAsSet(0, When::kAfter), Read(0)}, {{0, 0, kCancelled}}},
    {"ReadCancelledWhileItWaits", {Read(0), Cancel(0)}, {{0, 0, kCancelled}}},
    {"ReadCancelledAsTheAnswerTakesIt",
     {SetFault(Fault::kLate), Read(0), Query(1), CancelAsCleared(0, When::kBefore), Do(Op::kExpire),
      Do(Op::kDpcs), Read(2)},
     {{0, 0, kCancelled}, {1, 2, kDone}}},
    {"AnswerTakesTheReadAsItsCancelComes",
     {SetFault(Fault::kLate), Read(0), Query(1), CancelAsCleared(0, When::kAfter), Do(Op::kExpire),
      Do(Op::kDpcs)},
     {{0, 1, kDone}}},
    {"HeldWriteCancelledBeforeItReachesTheDriver",
     {SetFault(Fault::kStuckWrite), Cancel(0), Query(0)},
     {{0, 0, kCancelled}}},
    {"HeldWriteCancelledAsItIsHeld",
     {SetFault(Fault::kStuckWrite), CancelAsSet(0, When::kAfter), Query(0)},
     {{0, 0, kCancelled}}},
    {"HeldWriteCancelledWhileHeld", {SetFault(Fault::kStuckWrite), Query(0), Cancel(0)}, {{0, 0, kCancelled}}},
    {"HeldWriteCancelledAsItsTimeOutTakesIt",
     {SetFault(Fault::kStuckWrite), Query(0), Do(Op::kExpire), CancelAsCleared(0, When::kBefore), Do(Op::kDpcs)},
     {{0, 0, kCancelled}}},
    {"HeldWriteTimesOutAsItsCancelComes",
     {SetFault(Fault::kStuckWrite), Query(0), Do(Op::kExpire), CancelAsCleared(0, When::kAfter), Do(Op::kDpcs)},
     {{0, 0, kHeldTooLong}}},
    {"RemovalWithHeldWritesAndPendingReads",
     {SetFault(Fault::kStuckWrite), Read(0), Read(1), Query(2, 2), Do(Op::kSurpriseRemove), Do(Op::kRemove),
      Do(Op::kExpire), Do(Op::kDpcs)},
     {{0, 3, kGone}}},
    {"RemovalAfterAHeldWritesTimerFired",
     {SetFault(Fault::kStuckWrite), Query(0), Do(Op::kExpire), Do(Op::kRemove), Do(Op::kDpcs)},
     {{0, 0, kGone}}},
    {"RemovalAsAReadIsCancelled", {Read(0), CancelAsCleared(0, When::kBefore), Do(Op::kRemove)}, {{0, 0, kCancelled}}},
    {"RemovalAsAHeldWriteIsCancelled",
     {SetFault(Fault::kStuckWrite), Query(0), CancelAsCleared(0, When::kBefore), Do(Op::kRemove)},
     {{0, 0, kCancelled}}},
    {"UnloadWithTimersArmed",
     {SetFault(Fault::kLate), Query(0), SetFault(Fault::kUnplug), Query(1), Do(Op::kRemove), Do(Op::kUnload)},
     {{0, 1, kDone}}},
    {"UnloadWithADpcQueued",
     {SetFault(Fault::kLate), Query(0), Do(Op::kExpire), Do(Op::kRemove), Do(Op::kUnload)},
     {{0, 0, kDone}}},
    {"AnswerDueBeforeThePlugInIsDropped",
     {SetFault(Fault::kLate), Query(0), Do(Op::kExpire), Do(Op::kRemove), Do(Op::kPlugIn), Read(1), Do(Op::kDpcs)},
     {{0, 0, kDone}, {1, 1, kGone}}},
    {"UnplugReportsTheDeviceFailed",
     {SetFault(Fault::kUnplug), Query(0), Do(Op::kExpire), Do(Op::kDpcs), Do(Op::kWorkItems)},
     {{0, 0, kDone}},
     1},
    {"UnplugSkipsADeviceSurpriseRemovedMeanwhile",
     {SetFault(Fault::kUnplug), Query(0), Do(Op::kExpire), Do(Op::kDpcs), Do(Op::kSurpriseRemove),
      Do(Op::kWorkItems)},
     {{0, 0, kDone}}},
    {"RemovalWaitsForTheUnplugsWorkItem",
     {SetFault(Fault::kUnplug), Query(0), Do(Op::kExpire), Do(Op::kDpcs), Do(Op::kRemove)},
     {{0, 0, kDone}}},
    {"HeldWritesLeaveTheAnswersTheirTimers",
     {SetFault(Fault::kStuckWrite), Query(0, 17), SetFault(Fault::kLate), Query(17), Read(18), Do(Op::kExpire),
      Do(Op::kDpcs), Do(Op::kDropped, 0)},
     {{0, 15, kHeldTooLong}, {16, 16, STATUS_INSUFFICIENT_RESOURCES}, {17, 18, kDone}}},
    {"AnswersBeyondTheTimersAreCounted",
     {SetFault(Fault::kLate), Query(0, 17), Do(Op::kDropped, 1)},
     {{0, 16, kDone}}},
};

INSTANTIATE_TEST_SUITE_P(Orderings, DriverOrderingTest, testing::ValuesIn(kOrderings),
                         [](const testing::TestParamInfo<Ordering>& info) { return info.param.name; });

}  // namespace
