// With the service stopped: the HID write+read round trip on the virtual
// controller (a version query and its answer, the same handles throughout),
// and the product's Connect against a bare enumeration of the HID interface
// class, interleaved.
#include "Benchmarks.h"

#include "hid/VendorIds.h"
#include "touchic/VornApi.h"
#include "vdev/tool/hidpaths.h"

#include <hidsdi.h>

#include <string>
#include <vector>

namespace winbench {

namespace {

constexpr USHORT kVendorUsagePage = 0xFF00;
constexpr UCHAR kOutputReportId = 3, kAnswerReportId = 2;
// The version query as the product frames it: report ID, 0, length 4, the command.
constexpr UCHAR kVersionQuery[] = {kOutputReportId, 0x00, 0x04, 0x53, 0x00, 0x00, 0x01};
// The product's time-out of one command transfer.
constexpr DWORD kTransferMs = 1000;
constexpr long kDefaultCount = 50;

// Device paths of the present HID interfaces; the bare enumeration Connect is held against.
std::vector<std::wstring> EnumerateHid() {
  std::vector<std::wstring> paths;
  if (!vdev::HidInterfacePaths(paths)) throw Failure(Describe("SetupDiGetClassDevs", GetLastError()));
  return paths;
}

struct Collection {
  handles::FileHandle handle;
  USHORT inputBytes = 0, outputBytes = 0;
};

// The controller's collection at `path` when it is a vendor collection.
bool OpenVendorCollection(const std::wstring& path, Collection& collection) {
  handles::FileHandle handle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr));
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  if (!handle.Valid() || !HidD_GetAttributes(handle.Get(), &attributes) || attributes.VendorID != kVendorId) return false;
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(handle.Get(), &preparsed)) return false;
  HIDP_CAPS caps{};
  const bool fVendor = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS && caps.UsagePage == kVendorUsagePage;
  HidD_FreePreparsedData(preparsed);
  if (!fVendor) return false;
  collection = {std::move(handle), caps.InputReportByteLength, caps.OutputReportByteLength};
  return true;
}

// One overlapped transfer, bounded as the product bounds its own.
bool Transfer(HANDLE handle, bool fWrite, void* data, DWORD length) {
  const handles::ObjectHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.Get();
  DWORD done = 0;
  const BOOL fStarted = fWrite ? WriteFile(handle, data, length, &done, &overlapped)
                               : ReadFile(handle, data, length, &done, &overlapped);
  if (!fStarted && GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(event.Get(), kTransferMs) != WAIT_OBJECT_0) {
    CancelIo(handle);
    GetOverlappedResult(handle, &overlapped, &done, TRUE);
    return false;
  }
  return GetOverlappedResult(handle, &overlapped, &done, FALSE) && done == length;
}

class Controller {
 public:
  Controller() {
    for (const std::wstring& path : EnumerateHid()) {
      Collection collection;
      if (!OpenVendorCollection(path, collection)) continue;
      if (collection.outputBytes != 0 && !m_output.handle.Valid()) m_output = std::move(collection);
      else if (collection.inputBytes != 0 && !m_input.handle.Valid()) m_input = std::move(collection);
    }
    if (!m_output.handle.Valid() || !m_input.handle.Valid())
      throw Failure("the controller's vendor input and output collections were not found (is it plugged in?)");
  }

  // Seconds of one version query written and its answer read.
  double RoundTrip() {
    std::vector<UCHAR> query(m_output.outputBytes, 0), answer(m_input.inputBytes, 0);
    std::copy(std::begin(kVersionQuery), std::end(kVersionQuery), query.begin());
    const double start = Now();
    if (!Transfer(m_output.handle.Get(), true, query.data(), static_cast<DWORD>(query.size())))
      throw Failure(Describe("the version query was not written", GetLastError()));
    if (!Transfer(m_input.handle.Get(), false, answer.data(), static_cast<DWORD>(answer.size())) ||
        answer[0] != kAnswerReportId)
      throw Failure("the controller did not answer the version query");
    return Now() - start;
  }

 private:
  Collection m_output, m_input;
};

double TimedConnect() {
  const double start = Now();
  const int result = VORNAPI::Connect(kVendorId, 0);
  const double seconds = Now() - start;
  VORNAPI::Disconnect();
  if (result != 0) throw Failure("Connect failed with " + std::to_string(result));
  return seconds;
}

double TimedEnumeration(size_t& interfaces) {
  const double start = Now();
  interfaces = EnumerateHid().size();
  return Now() - start;
}

}  // namespace

Result RunHid(const Options& options) {
  const long count = options.Number(L"count", kDefaultCount, 1, 10000);
  std::vector<double> roundTrips, connects, enumerations;
  size_t interfaces = 0;
  {
    Controller controller;
    for (long i = 0; i < count; ++i) roundTrips.push_back(controller.RoundTrip());
  }
  for (long i = 0; i < count; ++i) {
    if (i % 2 == 0) connects.push_back(TimedConnect());
    enumerations.push_back(TimedEnumeration(interfaces));
    if (i % 2 != 0) connects.push_back(TimedConnect());
  }
  Result result;
  result.Set("count", static_cast<double>(count));
  result.Set("round_trip_us", Median(roundTrips) * 1e6);
  result.Set("connect_us", Median(connects) * 1e6);
  result.Set("enumeration_us", Median(enumerations) * 1e6);
  result.Set("hid_interfaces", static_cast<double>(interfaces));
  return result;
}

}  // namespace winbench
