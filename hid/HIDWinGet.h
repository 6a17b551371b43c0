// CHIDWinGet: the device interface over the HID class driver. It finds the
// vendor's touch controllers among the HID interfaces, opens their vendor
// input and output collections for overlapped I/O and moves framed reports.
// Its operations are the faces; the work is done behind them in small parts:
// the interface walk (InterfaceWalk.h), the physical-device list
// (DeviceList.h), the pairing of collections with entries (Pairing.h), the
// report channel (ReportChannel.h), and the reading of capabilities, profiles
// and reports (free functions over the records, beside the operations).
// Not safe for concurrent use: the caller serialises every call.
#pragma once

#include "hid/HidProfile.h"
#include "hid/HidRecords.h"
#include "hid/InterfaceGet.h"
#include "hid/ReportBuffer.h"
#include "hid/ReportChannel.h"

#include <list>

class CHIDWinGet : public CInterfaceGet {
 public:
  CHIDWinGet();
  ~CHIDWinGet() override;

  int GetInterfaceType() override;
  const char* GetVersion() override;
  int GetDeviceHandle(int nVid, int nPid) override;
  int GetDefaultDeviceHandle() override;
  void Close() override;
  bool IsConnected() override;
  int WriteCommand(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwTimeout, int nDevIdx) override;
  int ReadData(BYTE* pRcvBuf, int nRcvLen, DWORD dwTimeout, int nDevIdx, bool bStripHeader) override;
  int WriteRawBytes(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwTimeout, int nDevIdx) override;
  int ReadRawBytes(BYTE* pRcvBuf, int nRcvLen, DWORD dwTimeout, int nDevIdx) override;
  int WriteEEPROMCommand(int nMode, const BYTE* pszBuf, int Size, DWORD dwTimeout, int nDevIdx) override;
  int SetPenFeature(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwUnused, int nDevIdx) override;
  int GetPenFeature(BYTE* pRcvBuf, int nRcvDataLen, DWORD dwUnused, int nDevIdx) override;
  int GetDeviceCount() override;
  int GetDevProfile(DEV_PROFILE* pProfile, int nDevIdx) override;
  int SetDevProfile(DEV_PROFILE* pProfile, int nDevIdx) override;
  int GetDevParsedReport(const BYTE* pReport, int nReportLen, void* pParsed, int nDevIdx) override;
  int GetDevPath(int nDevIdx, WCHAR* pszDevPairNum, int nLength) override;
  int GetIcDevType(int nDevIdx, char* pszDevType, int nLength) override;
  int GetDevVersion(int* pnVersion, int nDevIdx) override;
  int GetDevVidPid(int* pnVid, int* pnPid, int nDevIdx) override;
  int SetReportID(int nInputReportID, int nOutputReportID) override;
  int SetFixedCmdLen(BYTE bFixedCmdLen) override;

  // Once hEndingEvent is signalled, a transfer still pending gets at most
  // dwEndingGraceMs more before it is cancelled and fails (null: every
  // transfer waits out its time-out).
  void SetEndingEvent(HANDLE hEndingEvent, DWORD dwEndingGraceMs);
  // A cancelled transfer that has not ended CKeptTransfers::kCancelWaitMs
  // later is given up: its buffer, OVERLAPPED and event are kept, the
  // connection is dropped and the next one opens afresh. These are the
  // transfers given up on and not yet ended (freed at the next connection
  // once they have).
  int KeptTransferCount() const;

  // The user's hooks (null: none), copied in at every connection: the send
  // hook sees every report written, the receive hook every report read.
  pfnReportHook m_pfnSendHook;
  pfnReportHook m_pfnRecvHook;

 protected:
  // Discovery pipeline, in the order GetDeviceHandle runs it.
  int GetAllHidDeviceList();
  int FindKnownHidDevices(PHID_DEVICE_INFO* ppDevices, ULONG* pnCount);
  int OpenHidDevice(PCWSTR pszDevicePath, HID_DEVICE_INFO& info, DWORD dwAccess, BOOL bOverlapped);
  static bool FillDeviceInfo(HID_DEVICE_INFO& info);
  void CloseHidDevice(HID_DEVICE_INFO& info);
  int FindSupportDevice(USHORT wVid, USHORT wPid);
  static int ParsePairNum(PCWSTR pszDevicePath, WCHAR (&szPairNum)[kPathChars]);
  PPHYSICAL_DEVICE_NODE GetEntryFromPhysicalList(int nIndex);
  int FilterTouchPadCols();
  int SetHidColsEntrySimple(HID_DEVICE_INFO& info, CHIDCols& entry);

  // Overlapped primitives and their completion waits, over the report
  // channel. Each transfer moves the bytes of `report` with the OVERLAPPED
  // that comes with them and the handler's event.
  int ReadAsync(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD* pdwRead);
  int WriteAsync(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD* pdwWritten);
  int ReadAsyncWaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout, DWORD* pdwRead);
  int WriteAsyncWaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout, DWORD* pdwWritten);

  // Report profiles.
  static ULONG GetDevFingerProfile(const CHIDCols& entry, DEV_PROFILE& profile);
  static void GetDevActivePenProfile(const CHIDCols& entry, PEN_PROFILE& pen);
  static void GetDevLineTestProfile(const CHIDCols& entry, LINE_TEST_PROFILE& lineTest);

  // Parsed reports, decoded against m_ProfileCopy.
  int xGetDevFingerParsedReport(const BYTE* pReport, int nReportLen, FINGER_REPORT* pFinger, int nDevIdx);
  int xGetDevPenParsedReport(const BYTE* pReport, int nReportLen, PEN_REPORT* pPen, int nDevIdx);
  // Reads one value of an input report; 0 or -6 with the parser status logged.
  static int GetDevParsedUsageValue(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport,
                                    ULONG nReportLen, ULONG* pnValue, USHORT nLinkCollection);
  // Writes the name of a HID parser status into a 512-byte text; -6 for a status it does not know.
  static int GetDevParsedError(NTSTATUS status, char* pszText);

  // The members after the hooks, in their order.
  int m_iOpenHidDevCnt;
  int m_iCloseHidDevCnt;
  BYTE m_bFixedCmdLen;
  int m_nOutputReportID;
  int m_nInputReportID;
  DEVICE_LIST_LINK m_PhysicalDevList;
  int m_nSupportDevCnt;
  std::list<CHIDCols> m_listHidCols;
  int m_nMatchedColsCnt;
  DEV_PROFILE m_ProfileCopy;
  BYTE m_bProfileValid;

 public:
  // The user's kind tag; the transport never reads or writes it.
  int m_nInterfaceKind;

 private:
  // One whole report out, or one whole report of the handler's report ID in;
  // the hooks see what went.
  int SendReport(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout);
  int ReceiveReport(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout, const char* pszOperation);

  CReportChannel m_ReportChannel;
};
