#include "hid/HIDWinGet.h"

#include "hid/DeviceList.h"
#include "hid/VendorIds.h"
#include "log/DbgLog.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace {

const char kVersionText[] = "HIDWinGet Version : 1.0.7.2";

// Every device path and pair number counts 2 bytes per character in the
// caller's length, whatever the size of WCHAR on the platform.
constexpr int kBytesPerPathChar = 2;

const char kBadDevIdx[] = "Error Parameters - DevIdx is not exist";
const char kNullBuffer[] = "Error Parameters - pszDevPairNum is NULL";
const char kZeroLength[] = "Error Parameters - strlen is 0";

// The roles whose information slot Close releases after the touch screens, in
// this order.
const struct {
  EInfoSlot info;
  EHandlerSlot handler;
} kClosedRoles[] = {{kInfoBidirectionalA, kHandlerBidirectionalA},
                    {kInfoVendorInput, kHandlerVendorInput},
                    {kInfoVendorOutput, kHandlerVendorOutput}};

}  // namespace

CHIDWinGet::CHIDWinGet()
    : m_pfnSendHook(nullptr),
      m_pfnRecvHook(nullptr),
      m_iOpenHidDevCnt(0),
      m_iCloseHidDevCnt(0),
      m_bFixedCmdLen(FALSE),
      m_nOutputReportID(0),
      m_nInputReportID(0),
      m_nSupportDevCnt(0),
      m_nMatchedColsCnt(0),
      m_bProfileValid(FALSE),
      m_nInterfaceKind(0),
      m_ReportChannel(*this) {
  InitDeviceList(m_PhysicalDevList);
  memset(&m_ProfileCopy, 0, sizeof(m_ProfileCopy));
}

CHIDWinGet::~CHIDWinGet() {
  static const char kOp[] = "CHIDWinGet::~CHIDWinGet";
  DbgLogTrace(kOp, __LINE__, "CHIDWinGet::~CHIDWinGet --> ");
  m_pfnSendHook = nullptr;
  m_pfnRecvHook = nullptr;
  m_bFixedCmdLen = FALSE;
  for (CHIDCols& entry : m_listHidCols) entry.CloseDevice();
  m_listHidCols.clear();
  CHIDWinGet::Close();
  EmptyDeviceList(m_PhysicalDevList, ReleaseHidDeviceInfo);
  DbgLogTrace(kOp, __LINE__, "CHIDWinGet::~CHIDWinGet <-- ");
}

int CHIDWinGet::GetInterfaceType() { return kInterfaceTypeHid; }

void CHIDWinGet::SetEndingEvent(HANDLE hEndingEvent, DWORD dwEndingGraceMs) {
  m_ReportChannel.SetEndingEvent(hEndingEvent, dwEndingGraceMs);
}

int CHIDWinGet::KeptTransferCount() const { return m_ReportChannel.KeptCount(); }

const char* CHIDWinGet::GetVersion() { return kVersionText; }

int CHIDWinGet::GetDefaultDeviceHandle() { return GetDeviceHandle(kVendorId, 0); }

bool CHIDWinGet::IsConnected() { return GetDeviceCount() > 0; }

int CHIDWinGet::GetDeviceCount() { return static_cast<int>(m_listHidCols.size()); }

int CHIDWinGet::SetReportID(int nInputReportID, int nOutputReportID) {
  m_nInputReportID = nInputReportID;
  m_nOutputReportID = nOutputReportID;
  return kResultOk;
}

int CHIDWinGet::SetFixedCmdLen(BYTE bFixedCmdLen) {
  m_bFixedCmdLen = bFixedCmdLen;
  return kResultOk;
}

void CHIDWinGet::Close() {
  static const char kOp[] = "CHIDWinGet::Close";
  DbgLogTrace(kOp, __LINE__, "CHIDWinGet::Close --> ");
  for (CHIDCols& entry : m_listHidCols) {
    if (entry.Infos[kInfoActivePen].DevicePath != nullptr) CloseHidDevice(entry.Infos[kInfoActivePen]);
    for (size_t i = 0; i < entry.TouchScreenInfos.size(); ++i) {
      if (entry.TouchScreenInfos[i]->DevicePath == nullptr) continue;
      CloseHidDevice(*entry.TouchScreenInfos[i]);
      entry.TouchScreenHandlers[i].hHidDevice = INVALID_HANDLE_VALUE;
    }
    // The handler's copy of the handle goes with its slot's collection.
    for (const auto& role : kClosedRoles) {
      if (entry.Infos[role.info].DevicePath != nullptr) CloseHidDevice(entry.Infos[role.info]);
      entry.Handlers[role.handler].hHidDevice = INVALID_HANDLE_VALUE;
      entry.Handlers[role.handler].bOpened = FALSE;
    }
  }
  DbgLogTrace(kOp, __LINE__, "CHIDWinGet::Close <-- ");
}

int CHIDWinGet::GetDevPath(int nDevIdx, WCHAR* pszDevPairNum, int nLength) {
  static const char kOp[] = "CHIDWinGet::GetDevPath";
  CHIDCols* pEntry = EntryAt(m_listHidCols, nDevIdx);
  if (pEntry == nullptr) return DbgLogError(kOp, __LINE__, kBadDevIdx);
  if (pszDevPairNum == nullptr) return DbgLogError(kOp, __LINE__, kNullBuffer);
  if (nLength == 0) return DbgLogError(kOp, __LINE__, kZeroLength);
  const WCHAR* pszPath = nullptr;
  if (pEntry->RoleFlags[kRoleTouchScreen] && !pEntry->TouchScreenInfos.empty())
    pszPath = pEntry->TouchScreenInfos.front()->DevicePath;
  else if (pEntry->RoleFlags[kRoleBidirectionalA])
    pszPath = pEntry->Infos[kInfoBidirectionalA].DevicePath;
  else if (pEntry->RoleFlags[kRoleVendorInputFound])
    pszPath = pEntry->Handlers[kHandlerVendorInput].szDevicePath;
  else if (pEntry->RoleFlags[kRoleVendorOutputFound])
    pszPath = pEntry->Handlers[kHandlerVendorOutput].szDevicePath;
  const int nNeeded = pszPath ? static_cast<int>(wcslen(pszPath)) * kBytesPerPathChar : 0;
  if (nLength < nNeeded)
    return DbgLogError(kOp, __LINE__, "Error Parameters - strlen is too small. %d bytes need", nNeeded);
  if (nNeeded == 0) return DbgLogError(kOp, __LINE__, "len is zero");
  // Room for nLength / 2 characters: a path that fills it exactly gives up
  // its last character to the terminator.
  const size_t nChars = static_cast<size_t>(nLength / kBytesPerPathChar);
  memset(pszDevPairNum, 0, nChars * sizeof(WCHAR));
  const size_t nCopy = std::min(wcslen(pszPath), nChars - 1);
  wmemcpy(pszDevPairNum, pszPath, nCopy);
  pszDevPairNum[nCopy] = L'\0';
  return kResultOk;
}

int CHIDWinGet::GetIcDevType(int nDevIdx, char* pszDevType, int nLength) {
  static const char kOp[] = "CHIDWinGet::GetIcDevType";
  CHIDCols* pEntry = EntryAt(m_listHidCols, nDevIdx);
  if (pEntry == nullptr) return DbgLogError(kOp, __LINE__, kBadDevIdx);
  if (pszDevType == nullptr) return DbgLogError(kOp, __LINE__, kNullBuffer);
  if (nLength <= 0) return DbgLogError(kOp, __LINE__, kZeroLength);
  memset(pszDevType, 0, static_cast<size_t>(nLength));
  // The text is cut to the buffer; the last byte always stays the terminator.
  const auto append = [&](const char* pszText) {
    size_t nUsed = strlen(pszDevType);
    if (nUsed > 0) strncat(pszDevType, ",", static_cast<size_t>(nLength) - 1 - nUsed);
    nUsed = strlen(pszDevType);
    strncat(pszDevType, pszText, static_cast<size_t>(nLength) - 1 - nUsed);
  };
  if (pEntry->RoleFlags[kRoleActivePen]) append("Active Pen");
  if (pEntry->RoleFlags[kRoleTouchScreen]) append("Touch Screen");
  if (pEntry->RoleFlags[kRoleVendorDefined]) append("Vendor Defined");
  return kResultOk;
}

int CHIDWinGet::GetDevVersion(int* pnVersion, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::GetDevVersion";
  CHIDCols* pEntry = EntryAt(m_listHidCols, nDevIdx);
  if (pEntry == nullptr) return DbgLogError(kOp, __LINE__, kBadDevIdx);
  if (pnVersion != nullptr) *pnVersion = pEntry->wVersion;
  return kResultOk;
}

int CHIDWinGet::GetDevVidPid(int* pnVid, int* pnPid, int nDevIdx) {
  static const char kOp[] = "CHIDWinGet::GetDevVidPid";
  CHIDCols* pEntry = EntryAt(m_listHidCols, nDevIdx);
  if (pEntry == nullptr) return DbgLogError(kOp, __LINE__, kBadDevIdx);
  if (pnVid != nullptr) *pnVid = pEntry->wVendorID;
  if (pnPid != nullptr) *pnPid = pEntry->wProductID;
  return kResultOk;
}

