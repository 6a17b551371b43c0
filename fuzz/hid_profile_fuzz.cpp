// The product's view of collections it opens: FillDeviceInfo (report
// buffers, caps, usage tables), the report profiles of an entry whose
// touch-screen, pen and vendor-defined roles hold collections of a random
// descriptor, and parsed reports of any length decoded against them. After
// the transport is gone, no handle of the run may be left open.
//
// Input: the descriptor (a block), the role each top-level collection takes,
// then reports: a choice, a length, which known report, and the bytes.
#include "FuzzSupport.h"

#include "hid/HIDWinGet.h"
#include "hid/VendorIds.h"

#include <winsim/sim/hidbus.h>
#include <winsim/sim/touch_controller.h>

#include <cstring>

namespace {

constexpr size_t kMaxCollections = 8;
constexpr size_t kMaxReports = 8;
constexpr size_t kMaxReportBytes = 4096;

enum Role : uint8_t { kNoRole, kTouchScreenRole, kPenRole, kVendorDefinedRole, kRoles };

class ProfileTransport : public CHIDWinGet {
 public:
  using CHIDWinGet::m_listHidCols;
  using CHIDWinGet::OpenHidDevice;

  // Opens the collection at `path` into the role `role` of `entry`.
  void Take(CHIDCols& entry, const std::wstring& path, Role role) {
    switch (role) {
      case kTouchScreenRole: {
        auto* pInfo = new HID_DEVICE_INFO{};
        pInfo->hHidDevice = INVALID_HANDLE_VALUE;
        if (OpenHidDevice(path.c_str(), *pInfo, 0, FALSE) != kResultOk) {
          delete pInfo;
          return;
        }
        entry.TouchScreenInfos.push_back(pInfo);
        entry.TouchScreenHandlers.emplace_back();
        InitReportHandler(entry.TouchScreenHandlers.back());
        wcsncpy(entry.TouchScreenHandlers.back().szDevicePath, path.c_str(), kPathChars - 1);
        entry.RoleFlags[kRoleTouchScreen] = TRUE;
        return;
      }
      case kPenRole:
        TakeSlot(entry, path, kInfoActivePen, kHandlerActivePen, kRoleActivePen);
        return;
      case kVendorDefinedRole:
        TakeSlot(entry, path, kInfoVendorDefined, kHandlerVendorDefined, kRoleVendorDefined);
        return;
      default:
        return;
    }
  }

 private:
  void TakeSlot(CHIDCols& entry, const std::wstring& path, EInfoSlot info, EHandlerSlot handler, ERoleFlag role) {
    if (entry.RoleFlags[role]) return;
    if (OpenHidDevice(path.c_str(), entry.Infos[info], 0, FALSE) != kResultOk) return;
    InitReportHandler(entry.Handlers[handler]);
    wcsncpy(entry.Handlers[handler].szDevicePath, path.c_str(), kPathChars - 1);
    entry.RoleFlags[role] = TRUE;
  }
};

// The report IDs and exact lengths the profile knows, for reports that reach the parser.
std::vector<std::pair<ULONG, ULONG>> KnownReports(const DEV_PROFILE& profile) {
  std::vector<std::pair<ULONG, ULONG>> known;
  for (ULONG i = 0; i < profile.FingerCount && i < kMaxFingerProfiles; ++i)
    known.emplace_back(profile.Fingers[i].ReportID, profile.Fingers[i].InputReportLength);
  if (profile.bActivePen) known.emplace_back(profile.Pen.ReportID, profile.Pen.InputReportLength);
  return known;
}

void ParseReports(FuzzedDataProvider& input, ProfileTransport& transport, const DEV_PROFILE& profile) {
  const auto known = KnownReports(profile);
  for (size_t i = 0; i < kMaxReports && input.remaining_bytes() != 0; ++i) {
    const uint8_t choice = input.ConsumeIntegral<uint8_t>();
    size_t length = input.ConsumeIntegralInRange<size_t>(0, kMaxReportBytes - 1);
    int id = -1;
    if ((choice & 1) && !known.empty()) {
      const auto& report = known[vornfuzz::ConsumeIndex(input, known.size())];
      id = static_cast<int>(report.first & 0xFF);
      if (choice & 2) length = report.second;
    }
    std::vector<BYTE> report(length == 0 ? 1 : length);
    const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(length);
    std::copy(bytes.begin(), bytes.end(), report.begin());
    if (id >= 0) report[0] = static_cast<BYTE>(id);
    union {
      FINGER_REPORT finger;
      PEN_REPORT pen;
    } parsed;
    memset(&parsed, 0, sizeof(parsed));
    const bool bFinger = id >= 0 && static_cast<size_t>(id) != (profile.Pen.ReportID & 0xFF);
    const int nResult =
        transport.GetDevParsedReport(report.data(), static_cast<int>(length), &parsed, (choice & 4) ? 1 : 0);
    if (nResult == kResultOk && bFinger)
      FUZZ_CHECK(parsed.finger.ContactCount <= kMaxContactReports, "%lu contacts in a finger report",
                 (unsigned long)parsed.finger.ContactCount);
  }
}

void Run(FuzzedDataProvider& input, winsim::Machine& machine) {
  winsim::HidDeviceDesc desc;
  desc.vendorId = kVendorId;
  desc.productId = 0x0101;
  desc.hardwareId = L"vorn0101";
  desc.reportDescriptor = vornfuzz::ConsumeBlock(input);
  auto port = machine.Part<winsim::HidBus>().Plug(desc, std::make_shared<winsim::RecordingHidDevice>());
  if (!port) return;
  ProfileTransport transport;
  CHIDCols& entry = transport.m_listHidCols.emplace_back();
  for (size_t i = 0; i < port->CollectionCount() && i < kMaxCollections; ++i)
    transport.Take(entry, port->Path(i), static_cast<Role>(input.ConsumeIntegralInRange<int>(kNoRole, kRoles - 1)));
  DEV_PROFILE profile;
  FUZZ_CHECK(transport.GetDevProfile(&profile, 0) == kResultOk, "profile of an entry");
  FUZZ_CHECK(profile.FingerCount <= kMaxFingerProfiles, "finger profiles %lu", (unsigned long)profile.FingerCount);
  DEV_PROFILE again;
  transport.SetDevProfile(&again, 0);
  ParseReports(input, transport, profile);
  if (input.ConsumeBool()) transport.Close();
}

}  // namespace

VORN_FUZZ_ON_FRESH_MACHINE(Run)
