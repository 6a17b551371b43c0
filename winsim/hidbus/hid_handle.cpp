// A handle on one HID collection, as the class driver treats it: one whole
// report per transfer; reads take the oldest queued report or wait for the
// next one; writes go to the device model. Error codes are Windows': a read
// buffer shorter than the input report is ERROR_INVALID_USER_BUFFER, a write
// whose length is not the output report length ERROR_INVALID_PARAMETER (an
// empty one ERROR_INVALID_USER_BUFFER), transfers without the access right
// ERROR_ACCESS_DENIED, and everything after an unplug ERROR_DEVICE_NOT_CONNECTED.
#include "bus_internal.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace winsim::hidbus {

namespace {

// Windows uses the low bit of OVERLAPPED.hEvent as a flag; handles are multiples of 4.
HANDLE EventHandle(LPOVERLAPPED overlapped) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t{1});
}

// A feature or report request that never finishes would hang the synchronous
// hid.dll call for good; the caller sees a time-out instead.
DWORD RequestError(const HidTransferResult& result) {
  switch (result.kind) {
    case HidTransferResult::Kind::kDone: return ERROR_SUCCESS;
    case HidTransferResult::Kind::kFailed: return result.error ? result.error : ERROR_GEN_FAILURE;
    case HidTransferResult::Kind::kStuck:
    case HidTransferResult::Kind::kHung: return ERROR_SEM_TIMEOUT;
  }
  return ERROR_GEN_FAILURE;
}

}  // namespace

HidHandle::HidHandle(std::shared_ptr<State> state, std::shared_ptr<DeviceNode> device, size_t collection,
                     Access access, bool overlapped)
    : m_state(std::move(state)),
      m_device(std::move(device)),
      m_collection(collection),
      m_access(access),
      m_overlapped(overlapped) {}

DWORD HidHandle::CheckAlive() const {
  std::lock_guard lock(m_state->mutex);
  return (m_dead || !m_device->PluggedLocked()) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_SUCCESS;
}

DWORD HidHandle::GetInformation(HidCollectionInformation& information) const {
  if (DWORD error = CheckAlive()) return error;
  const HidDeviceDesc& desc = m_device->Desc();
  information = {desc.vendorId, desc.productId, desc.versionNumber};
  return ERROR_SUCCESS;
}

DWORD HidHandle::GetLayout(const hid::CollectionLayout*& layout) const {
  if (DWORD error = CheckAlive()) return error;
  layout = &Layout();
  return ERROR_SUCCESS;
}

DWORD HidHandle::CheckReportId(int reportType, uint8_t id) const {
  const auto& layout = Layout();
  if (!layout.usesReportIds) return ERROR_SUCCESS;
  const auto& ids = layout.reportIds[reportType];
  return std::find(ids.begin(), ids.end(), id) != ids.end() ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

DWORD HidHandle::CheckRead(const void* buffer, DWORD length) const {
  if (!m_access.read) return ERROR_ACCESS_DENIED;
  if (DWORD error = CheckAlive()) return error;
  const USHORT reportLength = Layout().reportByteLength[HidP_Input];
  if (reportLength == 0) return ERROR_INVALID_FUNCTION;
  if (length < reportLength) return ERROR_INVALID_USER_BUFFER;
  return buffer ? ERROR_SUCCESS : ERROR_NOACCESS;
}

DWORD HidHandle::CheckWrite(const void* buffer, DWORD length) const {
  if (!m_access.write) return ERROR_ACCESS_DENIED;
  if (DWORD error = CheckAlive()) return error;
  const USHORT reportLength = Layout().reportByteLength[HidP_Output];
  if (reportLength == 0) return ERROR_INVALID_FUNCTION;
  if (length == 0) return ERROR_INVALID_USER_BUFFER;
  if (!buffer) return ERROR_NOACCESS;
  if (length != reportLength) return ERROR_INVALID_PARAMETER;
  return CheckReportId(HidP_Output, *static_cast<const uint8_t*>(buffer));
}

// kernel32 marks the OVERLAPPED pending and the I/O manager resets its event
// before the request reaches the driver.
Transfer HidHandle::Begin(LPOVERLAPPED overlapped, uint8_t* buffer, DWORD length) {
  Transfer transfer{overlapped, nullptr, buffer, length};
  if (overlapped->hEvent) transfer.event = m_state->machine.handles().GetAs<Event>(EventHandle(overlapped));
  if (transfer.event) transfer.event->Reset();
  std::lock_guard lock(KernelLock());
  overlapped->Internal = STATUS_PENDING;
  overlapped->InternalHigh = 0;
  return transfer;
}

void HidHandle::Complete(const Transfer& transfer, DWORD error, DWORD bytes) {
  {
    std::lock_guard lock(KernelLock());
    OverlappedCompleteLocked(transfer.overlapped, error, bytes);
    --m_pending;
  }
  if (transfer.event) transfer.event->Set();
  NotifyWaiters();
}

BOOL HidHandle::CompleteNow(const Transfer& transfer, DWORD bytes, LPDWORD transferred) {
  {
    std::lock_guard lock(KernelLock());
    OverlappedCompleteLocked(transfer.overlapped, ERROR_SUCCESS, bytes);
  }
  if (transfer.event) transfer.event->Set();
  NotifyWaiters();
  if (transferred) *transferred = bytes;
  return TRUE;
}

// A request refused after kernel32 marked it pending: the status is recorded,
// the event stays reset.
BOOL HidHandle::FailStarted(LPOVERLAPPED overlapped, DWORD error) {
  {
    std::lock_guard lock(KernelLock());
    OverlappedCompleteLocked(overlapped, error, 0);
  }
  return Fail(error, FALSE);
}

BOOL HidHandle::WaitSynchronous(LPOVERLAPPED overlapped, LPDWORD transferred) {
  WaitForOverlapped(overlapped);
  std::lock_guard lock(KernelLock());
  if (overlapped->Internal != 0) return Fail(static_cast<DWORD>(overlapped->Internal & ~kCompletedTag), FALSE);
  if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  return TRUE;
}

// The I/O manager takes a reference on the OVERLAPPED's event before the
// request starts; a handle that is no event fails the call.
DWORD HidHandle::CheckEvent(LPOVERLAPPED overlapped) const {
  if (!overlapped || !overlapped->hEvent) return ERROR_SUCCESS;
  return m_state->machine.handles().GetAs<Event>(EventHandle(overlapped)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

BOOL HidHandle::Read(LPVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) {
  if (DWORD error = CheckRead(buffer, length)) return Fail(error, FALSE);
  if (DWORD error = CheckEvent(overlapped)) return Fail(error, FALSE);
  return StartRead(static_cast<uint8_t*>(buffer), length, transferred, overlapped);
}

BOOL HidHandle::StartRead(uint8_t* buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) {
  OVERLAPPED local{};
  LPOVERLAPPED used = overlapped ? overlapped : &local;
  const Transfer transfer = Begin(used, buffer, length);
  std::optional<DWORD> immediate;
  {
    std::lock_guard lock(m_state->mutex);
    if (m_dead || !m_device->PluggedLocked()) return FailStarted(used, ERROR_DEVICE_NOT_CONNECTED);
    if (m_queue.empty()) {
      m_reads.push_back(transfer);
      std::lock_guard kernel(KernelLock());
      ++m_pending;
    } else {
      const auto& report = m_queue.front();
      immediate = static_cast<DWORD>(std::min<size_t>(report.size(), length));
      std::memcpy(buffer, report.data(), *immediate);
      m_queue.pop_front();
    }
  }
  if (immediate) return CompleteNow(transfer, *immediate, transferred);
  if (Synchronous(overlapped)) return WaitSynchronous(used, transferred);
  return Fail(ERROR_IO_PENDING, FALSE);
}

BOOL HidHandle::Write(LPCVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped) {
  if (DWORD error = CheckWrite(buffer, length)) return Fail(error, FALSE);
  if (DWORD error = CheckEvent(overlapped)) return Fail(error, FALSE);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  const std::vector<uint8_t> report(bytes, bytes + length);
  OVERLAPPED local{};
  LPOVERLAPPED used = overlapped ? overlapped : &local;
  Transfer transfer = Begin(used, nullptr, length);
  const HidTransferResult result = m_device->Model()->OnOutputReport(m_collection, report);
  if (result.kind == HidTransferResult::Kind::kDone) return CompleteNow(transfer, length, transferred);
  if (result.kind == HidTransferResult::Kind::kFailed) return FailStarted(used, RequestError(result));
  transfer.hung = result.kind == HidTransferResult::Kind::kHung;
  {
    std::lock_guard lock(m_state->mutex);
    if (m_dead || !m_device->PluggedLocked()) return FailStarted(used, ERROR_DEVICE_NOT_CONNECTED);
    if (transfer.hung) m_device->HoldHungLocked(shared_from_this());
    m_writes.push_back(transfer);
    std::lock_guard kernel(KernelLock());
    ++m_pending;
  }
  if (Synchronous(overlapped)) return WaitSynchronous(used, transferred);
  return Fail(ERROR_IO_PENDING, FALSE);
}

BOOL HidHandle::Cancel(LPOVERLAPPED overlapped) {
  std::vector<Transfer> cancelled;
  {
    std::lock_guard lock(m_state->mutex);
    auto take = [&](auto& transfers) {
      for (auto it = transfers.begin(); it != transfers.end();) {
        if ((overlapped && it->overlapped != overlapped) || it->hung) {
          ++it;
          continue;
        }
        cancelled.push_back(*it);
        it = transfers.erase(it);
      }
    };
    take(m_reads);
    take(m_writes);
  }
  for (const auto& transfer : cancelled) Complete(transfer, ERROR_OPERATION_ABORTED, 0);
  return cancelled.empty() ? Fail(ERROR_NOT_FOUND, FALSE) : TRUE;
}

// Closing the last handle of a file object cancels what is still pending on it.
void HidHandle::OnHandleClosed() {
  std::vector<Transfer> pending;
  {
    std::lock_guard lock(m_state->mutex);
    KillLocked(pending, false);
    auto& handles = m_device->CollectionLocked(m_collection).handles;
    std::erase_if(handles, [this](const auto& weak) {
      auto handle = weak.lock();
      return !handle || handle.get() == this;
    });
  }
  for (const auto& transfer : pending) Complete(transfer, ERROR_OPERATION_ABORTED, 0);
}

bool HidHandle::DeliverLocked(std::span<const uint8_t> report, std::vector<std::pair<Transfer, DWORD>>& completed) {
  if (m_dead || !m_access.read) return false;
  if (m_reads.empty()) {
    m_queue.emplace_back(report.begin(), report.end());
    if (m_queue.size() > kHidInputBuffers) m_queue.pop_front();
    return false;
  }
  const Transfer transfer = m_reads.front();
  m_reads.pop_front();
  const size_t bytes = std::min<size_t>(report.size(), transfer.length);
  std::memcpy(transfer.buffer, report.data(), bytes);
  completed.emplace_back(transfer, static_cast<DWORD>(bytes));
  return true;
}

void HidHandle::KillLocked(std::vector<Transfer>& pending, bool withHung) {
  m_dead = true;
  m_queue.clear();
  pending.insert(pending.end(), m_reads.begin(), m_reads.end());
  m_reads.clear();
  if (withHung) TakeWritesLocked(pending, true);
  TakeWritesLocked(pending, false);
}

void HidHandle::TakeWritesLocked(std::vector<Transfer>& taken, bool hung) {
  const auto first = std::stable_partition(m_writes.begin(), m_writes.end(),
                                           [hung](const Transfer& transfer) { return transfer.hung != hung; });
  taken.insert(taken.end(), first, m_writes.end());
  m_writes.erase(first, m_writes.end());
}

// The checks the class driver makes of a synchronous report request.
DWORD HidHandle::CheckRequest(int reportType, const uint8_t* report, DWORD length) const {
  if (DWORD error = CheckAlive()) return error;
  const USHORT reportLength = Layout().reportByteLength[reportType];
  if (length == 0) return ERROR_INVALID_USER_BUFFER;
  if (!report) return ERROR_NOACCESS;
  if (reportLength == 0 || length < reportLength) return ERROR_INVALID_PARAMETER;
  return CheckReportId(reportType, report[0]);
}

DWORD HidHandle::FeatureRequest(bool set, uint8_t* report, DWORD length) {
  if (DWORD error = CheckRequest(HidP_Feature, report, length)) return error;
  const std::span<uint8_t> whole(report, Layout().reportByteLength[HidP_Feature]);
  auto model = m_device->Model();
  return RequestError(set ? model->OnSetFeature(m_collection, whole) : model->OnGetFeature(m_collection, whole));
}

}  // namespace winsim::hidbus
