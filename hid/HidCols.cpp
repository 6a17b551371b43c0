#include "hid/HidRecords.h"

#include "log/DbgLog.h"

#include <cstdlib>
#include <cstring>

namespace {

bool IsOpenHandle(HANDLE hHandle) { return hHandle != nullptr && hHandle != INVALID_HANDLE_VALUE; }

template <class T>
void FreeAndNull(T*& pBuffer) {
  free(pBuffer);
  pBuffer = nullptr;
}

// Button rows of one usage page share the list of the first of them.
bool OwnsList(const HID_USAGE_DATA* pRows, ULONG nRow) {
  for (ULONG i = 0; i < nRow; ++i)
    if (pRows[i].bIsButton && pRows[i].pUsages == pRows[nRow].pUsages) return false;
  return true;
}

void FreeUsageTable(HID_USAGE_DATA*& pRows, ULONG nRows) {
  if (pRows == nullptr) return;
  for (ULONG i = nRows; i-- > 0;)
    if (pRows[i].bIsButton && pRows[i].pUsages != nullptr && OwnsList(pRows, i)) free(pRows[i].pUsages);
  FreeAndNull(pRows);
}

void CloseEvent(REPORT_HANDLER& handler) {
  if (handler.Overlapped.hEvent == nullptr) return;
  CloseHandle(handler.Overlapped.hEvent);
  handler.Overlapped.hEvent = nullptr;
}

}  // namespace

void ReleaseHidDeviceInfo(HID_DEVICE_INFO& info) {
  FreeAndNull(info.DevicePath);
  if (IsOpenHandle(info.hHidDevice)) CloseHandle(info.hHidDevice);
  info.hHidDevice = INVALID_HANDLE_VALUE;
  if (info.pPreparsedData != nullptr) {
    HidD_FreePreparsedData(info.pPreparsedData);
    info.pPreparsedData = nullptr;
  }
  FreeAndNull(info.pInReportBuf);
  FreeUsageTable(info.pInUsageData, info.nInUsageDataCount);
  FreeAndNull(info.pInButtonCaps);
  FreeAndNull(info.pInValueCaps);
  FreeAndNull(info.pOutReportBuf);
  FreeUsageTable(info.pOutUsageData, info.nOutUsageDataCount);
  FreeAndNull(info.pOutButtonCaps);
  FreeAndNull(info.pOutValueCaps);
  FreeAndNull(info.pFeatReportBuf);
  FreeUsageTable(info.pFeatUsageData, info.nFeatUsageDataCount);
  FreeAndNull(info.pFeatButtonCaps);
  FreeAndNull(info.pFeatValueCaps);
}

UCHAR FirstValueReportID(const HID_DEVICE_INFO& info, HIDP_REPORT_TYPE reportType) {
  switch (reportType) {
    case HidP_Input:
      return info.Caps.NumberInputValueCaps && info.pInValueCaps ? info.pInValueCaps[0].ReportID : 0;
    case HidP_Output:
      return info.Caps.NumberOutputValueCaps && info.pOutValueCaps ? info.pOutValueCaps[0].ReportID : 0;
    case HidP_Feature:
      return info.Caps.NumberFeatureValueCaps && info.pFeatValueCaps ? info.pFeatValueCaps[0].ReportID
                                                                     : 0;
  }
  return 0;
}

CHIDCols* EntryAt(std::list<CHIDCols>& entries, int nDevIdx) {
  if (nDevIdx < 0 || static_cast<size_t>(nDevIdx) >= entries.size()) return nullptr;
  auto it = entries.begin();
  for (int i = 0; i < nDevIdx; ++i) ++it;
  return &*it;
}

void InitReportHandler(REPORT_HANDLER& handler) {
  memset(&handler, 0, sizeof(handler));
  handler.hHidDevice = INVALID_HANDLE_VALUE;
}

CHIDCols::CHIDCols() : wProductID(0), wVendorID(0), wVersion(0) {
  for (REPORT_HANDLER& handler : Handlers) InitReportHandler(handler);
  memset(PairNum, 0, sizeof(PairNum));
  memset(Infos, 0, sizeof(Infos));
  memset(RoleFlags, 0, sizeof(RoleFlags));
}

CHIDCols::~CHIDCols() {
  CloseHandles();
  // Besides the handles, an entry discarded without Close still holds the
  // other handlers' events and its information records' buffers.
  for (REPORT_HANDLER& handler : Handlers) CloseEvent(handler);
  for (HID_DEVICE_INFO& info : Infos) ReleaseHidDeviceInfo(info);
}

// Closes one role's handle through the handler's copy and marks both copies closed.
void CHIDCols::CloseRole(EHandlerSlot handler, EInfoSlot info) {
  REPORT_HANDLER& rHandler = Handlers[handler];
  if (!rHandler.bOpened || !IsOpenHandle(rHandler.hHidDevice)) return;
  CloseHandle(rHandler.hHidDevice);
  rHandler.hHidDevice = INVALID_HANDLE_VALUE;
  rHandler.bOpened = FALSE;
  Infos[info].hHidDevice = INVALID_HANDLE_VALUE;
}

// A handler may hold its own preparsed data or borrow its record's.
void CHIDCols::FreeHandlerPreparsedData(REPORT_HANDLER& handler, const HID_DEVICE_INFO& info) {
  if (handler.pPreparsedData != nullptr && handler.pPreparsedData != info.pPreparsedData)
    HidD_FreePreparsedData(handler.pPreparsedData);
  handler.pPreparsedData = nullptr;
}

void CHIDCols::CloseTouchScreens() {
  while (!TouchScreenInfos.empty()) {
    REPORT_HANDLER& handler = TouchScreenHandlers.back();
    PHID_DEVICE_INFO pInfo = TouchScreenInfos.back();
    if (handler.bOpened && IsOpenHandle(handler.hHidDevice)) {
      CloseHandle(handler.hHidDevice);
      handler.hHidDevice = INVALID_HANDLE_VALUE;
      handler.bOpened = FALSE;
      pInfo->hHidDevice = INVALID_HANDLE_VALUE;
    }
    FreeHandlerPreparsedData(handler, *pInfo);
    CloseEvent(handler);
    ReleaseHidDeviceInfo(*pInfo);
    delete pInfo;
    TouchScreenInfos.pop_back();
    TouchScreenHandlers.pop_back();
  }
}

void CHIDCols::CloseActivePen() {
  REPORT_HANDLER& handler = Handlers[kHandlerActivePen];
  if (!handler.bOpened || !IsOpenHandle(handler.hHidDevice)) return;
  FreeHandlerPreparsedData(handler, Infos[kInfoActivePen]);
  CloseRole(kHandlerActivePen, kInfoActivePen);
}

void CHIDCols::CloseHandles() {
  CloseRole(kHandlerVendorInput, kInfoVendorInput);
  CloseRole(kHandlerVendorOutput, kInfoVendorOutput);
  CloseTouchScreens();
  CloseActivePen();
  CloseRole(kHandlerVendorDefined, kInfoVendorDefined);
  CloseRole(kHandlerPenFeature, kInfoPenFeature);
  CloseEvent(Handlers[kHandlerVendorInput]);
  CloseEvent(Handlers[kHandlerVendorOutput]);
}

void CHIDCols::CloseDevice() {
  static const char kOp[] = "CHIDCols::CloseDevice";
  DbgLogTrace(kOp, __LINE__, "CHIDCols::CloseDevice --> \n");
  CloseHandles();
  DbgLogTrace(kOp, __LINE__, "CHIDCols::CloseDevice <--");
}
