// The process's single contact with the touch controller: opening and closing
// it under the cross-process mutex, the bridge handling done while connecting,
// and the vendor commands sent in between.
#pragma once

#include "hid/InterfaceGet.h"
#include "hid/KeptTransfers.h"
#include "platform/results.h"
#include "platform/win32.h"

#include <atomic>

class CHIDWinGet;
class VRNMutex;

// Product ids of the two USB bridges the controller can sit behind.
constexpr int kBridgeNoReportIdPid = 0x000B;  // carries reports without report IDs
constexpr int kBridgePoweredPid = 0x0007;     // must power the controller itself

// The power-on settings of the 0x0007 bridge: the supply and I/O voltage
// codes (3.3 V each) and the two parameter bytes. A controller object starts
// with them and the facade loads them again before every Connect.
struct SBridgeSettings {
  int nDvddLevel;
  int nVioLevel;
  int nBridgeParam2;
  int nBridgeParam1;
};
inline constexpr SBridgeSettings kBridgeDefaults = {33, 33, 32, 63};

class CTouchIC {
 public:
  // Size of the answer buffer; an answer longer than this is refused by the transport.
  static constexpr int kRecvBufSize = 20000;

  CTouchIC();
  virtual ~CTouchIC();
  CTouchIC(const CTouchIC&) = delete;
  CTouchIC& operator=(const CTouchIC&) = delete;

  static constexpr DWORD kBridgeFrameTimeoutMs = 5000;
  static constexpr DWORD kCommandWriteTimeoutMs = 1000;
  // Once the ending event is signalled, a device write still pending gets
  // this much more before it is cancelled: a controller that answers at once
  // still gets the whole sequence, a held write no longer costs its time-out.
  static constexpr DWORD kEndingGraceMs = 100;
  // Longest device wait of one push once the ending event is signalled: the
  // four bridge frames of the power-on and the four of the power-off, each
  // with its grace and pause, and the command's own write; and one cancelled
  // write that the driver does not end, waited for until it is given up (the
  // connection is dropped with it, so the push's later writes fail at once).
  static constexpr DWORD kPushWrites = 9;
  static constexpr DWORD kPushEndingWaitMs = kPushWrites * (kEndingGraceMs + 20) + CKeptTransfers::kCancelWaitMs;
  static_assert(kPushEndingWaitMs < kBridgeFrameTimeoutMs,
                "once the caller ends, a whole push waits less than one bridge frame's time-out");

  // Connection (locked by the named mutex "GMutexTouchIC"). A Disconnect
  // after a Connect that failed with nothing open returns at once, without
  // waiting for the mutex again, only while its caller is ending or called
  // off (the wait would end at once anyway).
  int Connect(int nVendorId, int nProductId);
  int Disconnect();
  // An event that, once signalled, ends every wait for the mutex at once and
  // cuts every device transfer still pending to kEndingGraceMs (the service
  // hands its ending event in); nullptr waits out the time-outs.
  void SetEndingEvent(HANDLE hEnding) { m_hEndingEvent.store(hEnding); }
  // An event of the current caller that, once signalled, ends its waits for
  // the mutex at once, without shortening device transfers (a push hands in
  // the event that calls it off for its length); nullptr: none.
  void SetCancelEvent(HANDLE hCancel) { m_hCancelEvent.store(hCancel); }
  // Transfers the transport gave up on and still keeps (CKeptTransfers).
  int KeptTransferCount() const;
  int GetFwVerEx(DWORD& dwVersion);

  // Queries.
  int GetDeviceCount();
  int GetDevPath(int nIndex, WCHAR* pszPath, int nSize);
  bool IsDeviceConnected() const { return m_bConnected; }
  int GetOutReportID() const { return m_nOutReportID; }

  // Controller commands.
  int SWSetSystemInfo(int nFlag);
  int ICSleep();
  int ICWake();
  int ICReset();
  int GetDeviceFWVer(DWORD& dwVersion);
  int GetDeviceData(BYTE* pBuf, int nLen);

  // Bridge frames and the power sequences of the 0x0007 bridge.
  int SendDeviceBridgeCmd(BYTE nCommand, BYTE nParam2, BYTE nParam3, BYTE nParam4, BYTE nParam5);
  int BridgePowerOn();
  int BridgePowerOff();

  // Bridge settings that the facade loads before every Connect.
  void SetBridgeLevels(int nDvddLevel, int nVioLevel);
  void SetBridgeParams(int nBridgeParam2, int nBridgeParam1);

  // The library version text the diagnostic actions build and print.
  void SetLibVersion(const char* pszVersion);
  const char* GetLibVersion() const { return m_szLibVersion ? m_szLibVersion : ""; }

 protected:
  int SendCommand(const char* pszLogName, const BYTE* pCommand);
  int ConnectLocked(int nVendorId, int nProductId);
  int PrepareInterface();
  bool LockMutex(VRNMutex& mutex);
  bool IsCallerEnding() const;
  int InitBridge();

  char* m_szLibVersion = nullptr;
  CInterfaceGet* m_pInterface = nullptr;
  // m_pInterface when it is the HID transport this object made, else null.
  CHIDWinGet* m_pHidTransport = nullptr;
  int m_nDvddLevel = kBridgeDefaults.nDvddLevel;
  int m_nVioLevel = kBridgeDefaults.nVioLevel;
  int m_nBridgeParam2 = kBridgeDefaults.nBridgeParam2;
  int m_nBridgeParam1 = kBridgeDefaults.nBridgeParam1;
  int m_nOutReportID = 0;
  bool m_bConnected = false;
  BYTE* m_pRecvBuf = nullptr;
  DWORD m_nWriteTimeout = kCommandWriteTimeoutMs;
  std::atomic<HANDLE> m_hEndingEvent{nullptr};
  std::atomic<HANDLE> m_hCancelEvent{nullptr};
  bool m_bConnectFailed = false;
  int m_nMutexTimeout = 15000;
  pfnReportHook m_pfnSendHook = nullptr;
  pfnReportHook m_pfnRecvHook = nullptr;
};
