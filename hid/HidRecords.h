// Records that describe opened HID top-level collections and the entries
// (one per touch controller) built from them.
#pragma once

#include "platform/win32.h"

#include <list>
#include <vector>

// Usage pages and usages the transport looks for.
constexpr USHORT kDigitizerUsagePage = 0x000D;
constexpr USHORT kTouchScreenUsage = 0x0004;
constexpr USHORT kTouchPadUsage = 0x0005;
constexpr USHORT kVendorUsagePage = 0xFF00;
constexpr USHORT kVendorUsage = 0x0001;
// The controller's second vendor input collection sits on this page, just
// below the vendor-defined range; it is accepted whatever the vendor ID.
constexpr USHORT kAltVendorInputUsagePage = 0x01FF;
// A feature report with this ID may sit beside the vendor output report.
constexpr UCHAR kOutputFeatureReportID = 3;

// Room for a pair number or a device path in the fixed records, terminator included.
constexpr int kPathChars = 260;

// What one report descriptor may make the records of its collection hold, per
// report kind (input, output, feature). Real touch controllers stay far below
// (tens of caps, a few hundred usages); a collection past any of these is
// refused, so a broken or hostile device cannot make discovery allocate
// without bound.
constexpr USHORT kMaxCapsPerKind = 1024;      // button caps, and value caps
constexpr ULONG kMaxUsageRows = 65536;        // rows of the usage table
constexpr ULONG kMaxUsageListLength = 65536;  // usages of all the pages' lists together

// One row of a usage table: a button capability or one usage of a value capability.
struct HID_USAGE_DATA {
  BOOLEAN bIsButton;
  USAGE UsagePage;
  NTSTATUS Status;
  ULONG ReportID;
  BOOLEAN bIsSet;
  union {
    struct {
      ULONG UsageMin;
      ULONG UsageMax;
      ULONG MaxUsageListLength;
      // MaxUsageListLength zeroed usages, one list per usage page: the page's
      // first button row owns it, later rows of the page share it.
      PUSAGE pUsages;
    };
    struct {
      USAGE Usage;
    };
  };
};

// One HID top-level collection that was opened. A zeroed record is empty:
// a null or INVALID_HANDLE_VALUE handle both mean "not open".
struct HID_DEVICE_INFO {
  PWCHAR DevicePath;  // owned, NUL-terminated
  HANDLE hHidDevice;
  BOOL bReadAccess;
  BOOL bWriteAccess;
  BOOL bOverlapped;
  BOOL bExclusive;
  PHIDP_PREPARSED_DATA pPreparsedData;
  HIDP_CAPS Caps;
  HIDD_ATTRIBUTES Attributes;

  PCHAR pInReportBuf;
  HID_USAGE_DATA* pInUsageData;
  ULONG nInUsageDataCount;
  PHIDP_BUTTON_CAPS pInButtonCaps;
  PHIDP_VALUE_CAPS pInValueCaps;

  PCHAR pOutReportBuf;
  HID_USAGE_DATA* pOutUsageData;
  ULONG nOutUsageDataCount;
  PHIDP_BUTTON_CAPS pOutButtonCaps;
  PHIDP_VALUE_CAPS pOutValueCaps;

  PCHAR pFeatReportBuf;
  HID_USAGE_DATA* pFeatUsageData;
  ULONG nFeatUsageDataCount;
  PHIDP_BUTTON_CAPS pFeatButtonCaps;
  PHIDP_VALUE_CAPS pFeatValueCaps;
};
typedef HID_DEVICE_INFO* PHID_DEVICE_INFO;

// Frees everything a record owns and closes its handle, without logging;
// the record ends zeroed but with an invalid handle. Safe on an empty record.
void ReleaseHidDeviceInfo(HID_DEVICE_INFO& info);
// The report ID of the first value capability of a kind, or 0 without one.
UCHAR FirstValueReportID(const HID_DEVICE_INFO& info, HIDP_REPORT_TYPE reportType);

// Links of a circular doubly linked list; a head that links to itself is empty.
struct DEVICE_LIST_LINK {
  DEVICE_LIST_LINK* Flink;
  DEVICE_LIST_LINK* Blink;
};

// One HID interface found by enumeration. The link comes first, so a link
// pointer is the node's address.
struct PHYSICAL_DEVICE_NODE {
  DEVICE_LIST_LINK Link;
  HDEVNOTIFY hNotify;
  HID_DEVICE_INFO Info;
  BOOL bDeviceOpened;
};
typedef PHYSICAL_DEVICE_NODE* PPHYSICAL_DEVICE_NODE;

// One opened collection in a role of an entry.
struct REPORT_HANDLER {
  HANDLE hHidDevice;  // copy of the paired HID_DEVICE_INFO's handle
  // Its event signals the handler's transfers; each transfer's OVERLAPPED
  // travels with that transfer's report buffer (CReportBuffer).
  OVERLAPPED Overlapped;
  ULONG ReportByteLength;  // report ID byte included
  ULONG ReportID;
  WCHAR szDevicePath[kPathChars];
  BOOLEAN bOpened;
  PHIDP_PREPARSED_DATA pPreparsedData;  // held by the active-pen and touch-screen handlers only
};
typedef REPORT_HANDLER* PREPORT_HANDLER;

// Slots of CHIDCols::Handlers.
enum EHandlerSlot {
  kHandlerActivePen = 0,
  kHandlerVendorInput = 1,
  kHandlerVendorOutput = 2,
  kHandlerBidirectionalA = 3,
  kHandlerBidirectionalB = 4,
  kHandlerVendorDefined = 5,
  kHandlerPenFeature = 6,
  kHandlerSpare = 7,
  kHandlerSlots = 8,
};

// Slots of CHIDCols::Infos.
enum EInfoSlot {
  kInfoVendorInput = 0,
  kInfoVendorOutput = 1,
  kInfoActivePen = 2,
  kInfoPenFeature = 3,
  kInfoBidirectionalA = 4,
  kInfoSpare5 = 5,
  kInfoVendorDefined = 6,
  kInfoSpare7 = 7,
  kInfoSlots = 8,
};

// Indices of CHIDCols::RoleFlags.
enum ERoleFlag {
  kRoleVendorDefined = 0,
  kRoleTouchScreen = 1,
  kRoleActivePen = 2,
  kRoleBidirectionalA = 3,
  kRoleBidirectionalB = 4,
  kRolePenFeature = 5,
  kRoleVendorOutputFound = 6,
  kRoleVendorInputFound = 7,
  kRoleFlags = 8,
};

// One entry: one physical touch controller, found through its touch-screen
// collection, with the collections that share its pair number.
class CHIDCols {
 public:
  CHIDCols();
  // Releases whatever CloseDevice and Close left: handles, events, records
  // and their buffers.
  ~CHIDCols();
  CHIDCols(const CHIDCols&) = delete;
  CHIDCols& operator=(const CHIDCols&) = delete;

  // Closes the handles of the roles and the vendor handlers' events. Skips
  // what is closed; may run more than once.
  void CloseDevice();

  std::vector<REPORT_HANDLER> TouchScreenHandlers;  // element i pairs with TouchScreenInfos[i]
  REPORT_HANDLER Handlers[kHandlerSlots];
  USHORT wProductID;
  USHORT wVendorID;
  USHORT wVersion;
  WCHAR PairNum[kPathChars];
  std::vector<PHID_DEVICE_INFO> TouchScreenInfos;  // owned records
  HID_DEVICE_INFO Infos[kInfoSlots];
  BOOLEAN RoleFlags[kRoleFlags];

 private:
  void CloseHandles();
  void CloseRole(EHandlerSlot handler, EInfoSlot info);
  void CloseTouchScreens();
  void CloseActivePen();
  static void FreeHandlerPreparsedData(REPORT_HANDLER& handler, const HID_DEVICE_INFO& info);
};

// A handler with no handle, no event and nothing opened.
void InitReportHandler(REPORT_HANDLER& handler);
// The entry at position nDevIdx of the list, or null when there is none.
CHIDCols* EntryAt(std::list<CHIDCols>& entries, int nDevIdx);
