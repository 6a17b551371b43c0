// Inside the HID bus: the shared state behind HidBus, the plugged devices and
// the handles opened on their collections. One mutex (State::mutex) guards
// everything that changes: plug state, handle lists, input queues and
// pending transfers. It is never held while a model is called or while a
// transfer is completed (completion takes the kernel lock).
#pragma once

#include <winsim/sim/hidbus.h>
#include <winsim/sim/hidclass.h>

#include "../core/scheduler.h"

#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace winsim::hidbus {

class HidHandle;
class DeviceNode;

// A transfer that waits for the device: a read for its report, a write that
// the device has not finished.
struct Transfer {
  LPOVERLAPPED overlapped = nullptr;
  std::shared_ptr<Event> event;  // held from the start: the caller may close its handle early
  uint8_t* buffer = nullptr;     // reads: where the report goes
  DWORD length = 0;
  bool hung = false;             // a write the device's driver hangs on
};

struct CollectionNode {
  std::wstring path;
  std::wstring lowerPath;
  hid::CollectionLayout layout;
  DWORD devInst = 0;
  std::vector<std::weak_ptr<HidHandle>> handles;  // open handles, guarded by State::mutex
};

}  // namespace winsim::hidbus

namespace winsim {

struct HidBus::State {
  explicit State(Machine& m) : machine(m), scheduler(m.clock(), "hid bus") {}
  Machine& machine;
  std::mutex mutex;
  std::vector<std::shared_ptr<hidbus::DeviceNode>> devices;
  // Lower-case interface path -> (index in `devices`, collection), in plug
  // order: CreateFileW finds a path without walking every device, as the
  // object manager's name lookup does on Windows.
  std::unordered_map<std::wstring, std::vector<std::pair<size_t, size_t>>> pathIndex;
  Scheduler scheduler;
  uint32_t pairNumbers = 0;
  DWORD nextDevInst = 1;
  // Devices plugged from now on arrive: those of the machine's boot were
  // there before any service could register for them.
  bool announcing = false;
};

}  // namespace winsim

namespace winsim::hidbus {

using State = HidBus::State;

class DeviceNode : public HidDevicePort, public std::enable_shared_from_this<DeviceNode> {
 public:
  DeviceNode(const std::shared_ptr<State>& state, HidDeviceDesc desc, std::vector<CollectionNode> collections,
             std::shared_ptr<HidDeviceModel> model);

  bool SendInputReport(size_t collection, std::span<const uint8_t> report) override;
  void Schedule(uint64_t delayMs, std::function<void()> work) override;
  void Unplug() override;
  void Replug() override;
  bool Plugged() const override;
  void EndHungWrites() override;
  const HidDeviceDesc& Desc() const override { return m_desc; }
  size_t CollectionCount() const override { return m_collections.size(); }
  std::wstring Path(size_t collection) const override { return m_collections.at(collection).path; }
  const hid::CollectionLayout& Layout(size_t collection) const override { return m_collections.at(collection).layout; }
  std::shared_ptr<HidDeviceModel> Model() const override { return m_model; }

  // Under State::mutex.
  bool PluggedLocked() const { return m_plugged; }
  CollectionNode& CollectionLocked(size_t collection) { return m_collections[collection]; }
  std::vector<CollectionNode>& CollectionsLocked() { return m_collections; }
  // A handle with a hung write is kept alive here, as the system keeps the
  // file object of a pending request, also after the handle is closed.
  void HoldHungLocked(std::shared_ptr<HidHandle> handle);
  // Takes the hung writes of the handles held for them and lets the handles go.
  void TakeHungLocked(std::vector<std::pair<std::shared_ptr<HidHandle>, Transfer>>& taken);

 private:
  enum class Input { kRefused, kDropped, kDelivered };
  // What the class driver makes of a report the device sends; `delivered`
  // is what a read gets.
  Input TakeInput(size_t collection, std::span<const uint8_t> report, std::vector<uint8_t>& delivered) const;

  std::weak_ptr<State> m_state;
  const HidDeviceDesc m_desc;
  std::vector<CollectionNode> m_collections;
  const std::shared_ptr<HidDeviceModel> m_model;
  bool m_plugged = true;  // guarded by State::mutex
  std::vector<std::shared_ptr<HidHandle>> m_hungHandles;  // guarded by State::mutex
};

// A handle opened on one collection (one file object of the class driver):
// its own input queue, its own pending transfers.
class HidHandle : public IoObject, public HidCollectionRequests, public std::enable_shared_from_this<HidHandle> {
 public:
  struct Access {
    bool read = false;
    bool write = false;
    bool del = false;
    DWORD share = 0;
    bool Counts() const { return read || write || del; }
  };

  HidHandle(std::shared_ptr<State> state, std::shared_ptr<DeviceNode> device, size_t collection, Access access,
            bool overlapped);

  BOOL Read(LPVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) override;
  BOOL Write(LPCVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) override;
  BOOL Cancel(LPOVERLAPPED overlapped) override;
  void OnHandleClosed() override;

  DWORD GetInformation(HidCollectionInformation& information) const override;
  DWORD GetLayout(const hid::CollectionLayout*& layout) const override;
  DWORD GetFeature(uint8_t* report, DWORD length) override { return FeatureRequest(false, report, length); }
  DWORD SetFeature(uint8_t* report, DWORD length) override { return FeatureRequest(true, report, length); }

  const Access& access() const { return m_access; }

  // Under State::mutex.
  bool DeliverLocked(std::span<const uint8_t> report, std::vector<std::pair<Transfer, DWORD>>& completed);
  // Marks the handle dead and takes its pending transfers, the hung writes
  // only when asked (a close leaves them pending).
  void KillLocked(std::vector<Transfer>& pending, bool withHung);
  // Moves the writes that are hung (or, with false, those that are not) to
  // `taken`, in the order they began.
  void TakeWritesLocked(std::vector<Transfer>& taken, bool hung);

  // Finishes a transfer that was pending on this handle.
  void Complete(const Transfer& transfer, DWORD error, DWORD bytes);

 private:
  DWORD CheckAlive() const;
  const hid::CollectionLayout& Layout() const { return m_device->Layout(m_collection); }
  DWORD FeatureRequest(bool set, uint8_t* report, DWORD length);
  DWORD CheckRead(const void* buffer, DWORD length) const;
  DWORD CheckWrite(const void* buffer, DWORD length) const;
  DWORD CheckReportId(int reportType, uint8_t id) const;
  DWORD CheckRequest(int reportType, const uint8_t* report, DWORD length) const;
  DWORD CheckEvent(LPOVERLAPPED overlapped) const;
  BOOL StartRead(uint8_t* buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped);
  BOOL WaitSynchronous(LPOVERLAPPED overlapped, LPDWORD transferred);
  BOOL FailStarted(LPOVERLAPPED overlapped, DWORD error);
  Transfer Begin(LPOVERLAPPED overlapped, uint8_t* buffer, DWORD length);
  BOOL CompleteNow(const Transfer& transfer, DWORD bytes, LPDWORD transferred);
  bool Synchronous(LPOVERLAPPED overlapped) const { return !m_overlapped || !overlapped; }

  std::shared_ptr<State> m_state;
  std::shared_ptr<DeviceNode> m_device;
  size_t m_collection;
  Access m_access;
  bool m_overlapped;
  // Guarded by State::mutex.
  bool m_dead = false;
  std::deque<std::vector<uint8_t>> m_queue;
  std::deque<Transfer> m_reads;
  std::vector<Transfer> m_writes;
};

// Tells the services registered for HID interfaces of each of the device's
// collections (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE). No lock held.
void Announce(const std::shared_ptr<State>& state, const HidDevicePort& device, DWORD deviceEvent);

// Opens a device path for CreateFileW (the DeviceNamespace opener).
std::shared_ptr<IoObject> OpenPath(const std::shared_ptr<State>& state, const std::wstring& path, DWORD access,
                                   DWORD share, DWORD flags, DWORD& error);

std::wstring Lower(std::wstring text);

}  // namespace winsim::hidbus
