// CHIDWinGet: the device interface over the HID class driver. It finds the
// vendor's touch controllers among the HID interfaces, opens their vendor
// input and output collections for overlapped I/O and moves framed reports.
// Not safe for concurrent use: the caller serialises every call.
#pragma once

#include "hid/HidProfile.h"
#include "hid/HidRecords.h"
#include "hid/InterfaceGet.h"
#include "hid/KeptTransfers.h"
#include "hid/ReportBuffer.h"

#include <list>
#include <string>
#include <vector>

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

  // What the user of the transport hands it. The hooks see every report
  // written and read (null: none). Once hEndingEvent is signalled, a transfer
  // still pending gets at most dwEndingGraceMs more before it is cancelled
  // and fails (null: every transfer waits out its time-out). The kind tag is
  // the user's own; the transport never reads it.
  void SetReportHooks(pfnReportHook pfnSendHook, pfnReportHook pfnRecvHook);
  void SetEndingEvent(HANDLE hEndingEvent, DWORD dwEndingGraceMs);
  void SetInterfaceKind(int nInterfaceKind) { m_nInterfaceKind = nInterfaceKind; }

  // A cancelled transfer that has not ended CKeptTransfers::kCancelWaitMs
  // later is given up: its buffer, OVERLAPPED and event are kept, the
  // connection is dropped and the next one opens afresh. These are the
  // transfers given up on and not yet ended (freed at the next connection
  // once they have).
  int KeptTransferCount() const { return m_KeptTransfers.Count(); }

 protected:
  // Discovery pipeline, in the order GetDeviceHandle runs it.
  int GetAllHidDeviceList();
  int FindKnownHidDevices(PHID_DEVICE_INFO* ppDevices, ULONG* pnCount);
  int OpenHidDevice(PCWSTR pszDevicePath, HID_DEVICE_INFO& info, DWORD dwAccess, BOOL bOverlapped);
  bool FillDeviceInfo(HID_DEVICE_INFO& info);
  void CloseHidDevice(HID_DEVICE_INFO& info);
  int FindSupportDevice(USHORT wVid, USHORT wPid);
  int ParsePairNum(PCWSTR pszDevicePath, WCHAR (&szPairNum)[kPathChars]);
  PPHYSICAL_DEVICE_NODE GetEntryFromPhysicalList(int nIndex);
  int FilterTouchPadCols();
  int SetHidColsEntrySimple(HID_DEVICE_INFO& info, CHIDCols& entry);

  // Overlapped primitives and their completion waits. Each transfer moves the
  // bytes of `report` with the OVERLAPPED that comes with them and the
  // handler's event.
  int ReadAsync(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD* pdwRead);
  int WriteAsync(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD* pdwWritten);
  int ReadAsyncWaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout, DWORD* pdwRead);
  int WriteAsyncWaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout, DWORD* pdwWritten);

  // The entry at position nDevIdx, or null when there is none.
  CHIDCols* EntryAt(int nDevIdx);

  // The members, the report hooks first.
  pfnReportHook m_pfnSendHook;
  pfnReportHook m_pfnRecvHook;
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
  // What tells the vendor input role from the vendor output role.
  struct VendorRole {
    ERoleFlag flag;
    EInfoSlot info;
    EHandlerSlot handler;
    HIDP_REPORT_TYPE reportType;
    USHORT HIDP_CAPS::*pReportByteLength;
    DWORD dwAccess;
    const char* pszAlreadyFound;
    const char* pszWantedIdName;
    const char* pszOpenFailed;
    const char* pszOpened;
  };

 private:
  HANDLE m_hEndingEvent;
  DWORD m_dwEndingGraceMs;
  int m_nInterfaceKind;
  CKeptTransfers m_KeptTransfers;

  // Discovery steps.
  int EnumerateInterfaces(HDEVINFO hDevInfo, const GUID& hidGuid, PHID_DEVICE_INFO& pDevices, ULONG& nKept);
  int ExamineInterface(HDEVINFO hDevInfo, SP_DEVICE_INTERFACE_DATA& interfaceData, HID_DEVICE_INFO& device,
                       ULONG& nKept);
  int ReleaseOpenedDevice(HID_DEVICE_INFO& info, int nLine, const char* pszMessage);
  void ReleaseDeviceArray(PHID_DEVICE_INFO pDevices, ULONG nFrom, ULONG nCount);
  void FreePhysicalNodes(bool bCountClose);
  void ReleasePhysicalList();
  void RemoveNode(PPHYSICAL_DEVICE_NODE pNode);
  bool FillReportKind(HID_DEVICE_INFO& info, HIDP_REPORT_TYPE type);
  bool FillButtonRows(HID_DEVICE_INFO& info, HIDP_REPORT_TYPE type, USHORT nButtons);
  bool FillValueRows(HID_DEVICE_INFO& info, HIDP_REPORT_TYPE type, USHORT nFirstRow, USHORT nValues);
  bool CollectTouchScreens(WCHAR (&szPairNum)[kPathChars], std::vector<std::wstring>& screenDevices);
  PPHYSICAL_DEVICE_NODE StepPhysicalList(int nIndex, DEVICE_LIST_LINK*& pLink);
  CHIDCols* FindEntryByPair(const WCHAR* pszPairNum);
  CHIDCols* MatchEntry(PCWSTR pszDevicePath, const std::vector<std::wstring>& screenDevices);
  int TakeVendorRole(HID_DEVICE_INFO& info, CHIDCols& entry, const VendorRole& role, bool bLayoutFits,
                     int nWantedID);
  void FillRoleHandler(REPORT_HANDLER& handler, const HID_DEVICE_INFO& slot, ULONG nReportID,
                       ULONG nReportByteLength);
  void CloseRoleSlot(CHIDCols& entry, EInfoSlot info, EHandlerSlot handler);

  // Report I/O steps.
  PREPORT_HANDLER LookUpHandler(int nDevIdx, EHandlerSlot slot, const char* pszOperation, int nLine);
  int StartTransfer(PREPORT_HANDLER pHandler, CReportBuffer& report, bool bWrite, DWORD* pdwTransferred);
  int WaitComplete(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout, DWORD* pdwTransferred,
                   const char* pszOperation, const char* pszTimeoutMessage);
  DWORD WaitTransfer(HANDLE hTransferEvent, DWORD dwTimeout, bool* pbEnding);
  void EndCancelled(PREPORT_HANDLER pHandler, CReportBuffer& report, const char* pszOperation);
  int SendReport(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout);
  int ReceiveReport(PREPORT_HANDLER pHandler, CReportBuffer& report, DWORD dwTimeout, const char* pszOperation);
  int CheckReceiveBuffer(const BYTE* pRcvBuf, int nRcvLen, const char* pszOperation, int nLine);
  void DeliverReport(const PREPORT_HANDLER pHandler, const CReportBuffer& report, size_t nOffset, BYTE* pRcvBuf,
                     int nRcvLen);
  int FeatureWrite(PREPORT_HANDLER pHandler, CReportBuffer& report);

  // Pen feature reports: the pen-feature handler of an entry after the
  // connection, buffer and role checks, or null with *pnResult set.
  PREPORT_HANDLER PenFeatureHandler(const void* pBuffer, int nDevIdx, const char* pszOperation, int* pnResult);

 protected:
  // Report profiles.
  ULONG GetDevFingerProfile(const CHIDCols& entry, DEV_PROFILE& profile);
  void GetDevActivePenProfile(const CHIDCols& entry, PEN_PROFILE& pen);
  void GetDevLineTestProfile(const CHIDCols& entry, LINE_TEST_PROFILE& lineTest);
  void FillDevProfile(const CHIDCols& entry, int nDevIdx, DEV_PROFILE& profile);

  // Parsed reports, decoded against m_ProfileCopy.
  int xGetDevFingerParsedReport(const BYTE* pReport, int nReportLen, FINGER_REPORT* pFinger, int nDevIdx);
  int xGetDevPenParsedReport(const BYTE* pReport, int nReportLen, PEN_REPORT* pPen, int nDevIdx);
  // Reads one value of an input report; 0 or -6 with the parser status logged.
  static int GetDevParsedUsageValue(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport,
                                    ULONG nReportLen, ULONG* pnValue, USHORT nLinkCollection);
  // Writes the name of a HID parser status into a 512-byte text; -6 for a status it does not know.
  static int GetDevParsedError(NTSTATUS status, char* pszText);

 private:
  static int LogParserStatus(NTSTATUS status, const char* pszOperation, int nLine);
  CHIDCols* ParseEntry(int nDevIdx, bool bFinger, const char* pszOperation);
  int ParseContacts(PHIDP_PREPARSED_DATA pPreparsed, const FINGER_PROFILE& finger, const BYTE* pReport,
                    ULONG nReportLen, FINGER_REPORT& report);
  static int ParseContact(PHIDP_PREPARSED_DATA pPreparsed, const FINGER_PROFILE& finger, const BYTE* pReport,
                          ULONG nReportLen, USHORT nLink, CONTACT_REPORT& contact, int nResult);
  int ParsePenValues(PHIDP_PREPARSED_DATA pPreparsed, const BYTE* pReport, ULONG nReportLen, PEN_REPORT& report);
  static int ReadPenValue(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport,
                          ULONG nReportLen, ULONG* pnValue);
  static int ReadPenAngle(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport,
                          ULONG nReportLen, LONG* pnAngle, int nResult);
};
