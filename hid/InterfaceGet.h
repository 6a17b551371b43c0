// The device interface through which the touch-controller layer reaches a
// controller. The virtual table is the contract: 29 slots in a fixed order
// (0 is the destructor), so other users of the interface built against the
// same layout keep working.
#pragma once

#include "platform/results.h"
#include "platform/win32.h"

struct DEV_PROFILE;

// Kind tags answered by GetInterfaceType.
constexpr int kInterfaceTypeHid = 1;

// Called with every report written (send hook) or read (receive hook).
typedef void (*pfnReportHook)(const BYTE* pReport, ULONG nLength);

class CInterfaceGet {
 public:
  CInterfaceGet() = default;
  CInterfaceGet(const CInterfaceGet&) = delete;
  CInterfaceGet& operator=(const CInterfaceGet&) = delete;

  /* 0 */ virtual ~CInterfaceGet() = default;
  /* 1 */ virtual int GetInterfaceType() = 0;
  /* 2 */ virtual const char* GetVersion() = 0;
  /* 3 */ virtual int GetDeviceHandle(int nVid, int nPid) = 0;
  /* 4 */ virtual int GetDefaultDeviceHandle() = 0;
  /* 5 */ virtual void Close() = 0;
  /* 6 */ virtual bool IsConnected() = 0;
  /* 7 */ virtual int WriteCommand(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwTimeout,
                                   int nDevIdx) = 0;
  /* 8 */ virtual int ReadData(BYTE* pRcvBuf, int nRcvLen, DWORD dwTimeout, int nDevIdx,
                               bool bStripHeader) = 0;
  /* 9 */ virtual int WriteRawBytes(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwTimeout,
                                    int nDevIdx) = 0;
  /* 10 */ virtual int ReadRawBytes(BYTE* pRcvBuf, int nRcvLen, DWORD dwTimeout, int nDevIdx) = 0;
  /* 11 */ virtual int WriteEEPROMCommand(int nMode, const BYTE* pszBuf, int Size, DWORD dwTimeout,
                                          int nDevIdx) = 0;
  // The third argument of the pen feature calls stands where the report calls
  // pass their timeout; the feature requests complete synchronously.
  /* 12 */ virtual int SetPenFeature(const BYTE* pszCommandBuf, int nCommandLen, DWORD dwUnused,
                                     int nDevIdx) = 0;
  /* 13 */ virtual int GetPenFeature(BYTE* pRcvBuf, int nRcvDataLen, DWORD dwUnused, int nDevIdx) = 0;
  /* 14 */ virtual int ReservedSlot14() { return 0; }
  /* 15 */ virtual int ReservedSlot15() { return 0; }
  /* 16 */ virtual int ReservedSlot16() { return kResultNotSupported; }
  /* 17 */ virtual int ReservedSlot17() { return kResultNotSupported; }
  /* 18 */ virtual int GetDeviceCount() { return kResultNotSupported; }
  /* 19 */ virtual int GetDevProfile(DEV_PROFILE* /*pProfile*/, int /*nDevIdx*/) { return kResultNotSupported; }
  /* 20 */ virtual int SetDevProfile(DEV_PROFILE* /*pProfile*/, int /*nDevIdx*/) { return kResultNotSupported; }
  // pParsed receives a FINGER_REPORT or a PEN_REPORT, chosen by the report ID.
  /* 21 */ virtual int GetDevParsedReport(const BYTE* /*pReport*/, int /*nReportLen*/, void* /*pParsed*/,
                                          int /*nDevIdx*/) {
    return kResultNotSupported;
  }
  /* 22 */ virtual int ReservedSlot22() { return kResultNotSupported; }
  // nLength counts bytes of 2-byte characters on every platform.
  /* 23 */ virtual int GetDevPath(int /*nDevIdx*/, WCHAR* /*pszDevPairNum*/, int /*nLength*/) {
    return kResultNotSupported;
  }
  /* 24 */ virtual int GetIcDevType(int /*nDevIdx*/, char* /*pszDevType*/, int /*nLength*/) {
    return kResultNotSupported;
  }
  /* 25 */ virtual int GetDevVersion(int* /*pnVersion*/, int /*nDevIdx*/) { return kResultNotSupported; }
  /* 26 */ virtual int GetDevVidPid(int* /*pnVid*/, int* /*pnPid*/, int /*nDevIdx*/) {
    return kResultNotSupported;
  }
  /* 27 */ virtual int SetReportID(int /*nInputReportID*/, int /*nOutputReportID*/) { return kResultNotSupported; }
  /* 28 */ virtual int SetFixedCmdLen(BYTE /*bFixedCmdLen*/) { return kResultNotSupported; }
};
