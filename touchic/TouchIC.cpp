#include "touchic/TouchIC.h"

#include <cstdlib>
#include <initializer_list>
#include <cstring>
#include <new>

#include "hid/HIDWinGet.h"
#include "log/DbgLog.h"
#include "touchic/VRNMutex.h"

namespace {

// Kind tags of the transports that carry a bridge (kInterfaceTypeHid is the
// one this object makes).
constexpr int kOtherBridgeInterface = 2;

// Report IDs of the controller's vendor collections, and of the bridge that
// carries reports without IDs.
constexpr int kInputReportID = 2;
constexpr int kOutputReportID = 3;
constexpr int kNoReportID = 0;

bool CarriesBridge(CInterfaceGet* pInterface) {
  int nType = pInterface->GetInterfaceType();
  return nType == kInterfaceTypeHid || nType == kOtherBridgeInterface;
}

}  // namespace

CTouchIC::CTouchIC() : m_pRecvBuf(new BYTE[kRecvBufSize]()) {}

CTouchIC::~CTouchIC() {
  free(m_szLibVersion);
  m_szLibVersion = nullptr;
  delete[] m_pRecvBuf;
  m_pRecvBuf = nullptr;
  delete m_pInterface;
  m_pInterface = nullptr;
  m_pHidTransport = nullptr;
  m_bConnected = false;
}

void CTouchIC::SetBridgeLevels(int nDvddLevel, int nVioLevel) {
  m_nDvddLevel = nDvddLevel;
  m_nVioLevel = nVioLevel;
}

void CTouchIC::SetBridgeParams(int nBridgeParam2, int nBridgeParam1) {
  m_nBridgeParam2 = nBridgeParam2;
  m_nBridgeParam1 = nBridgeParam1;
}

void CTouchIC::SetLibVersion(const char* pszVersion) {
  char* pszCopy = pszVersion ? strdup(pszVersion) : nullptr;
  free(m_szLibVersion);
  m_szLibVersion = pszCopy;
}

// Keeps one transport across connections; only a HID transport is reused.
// A logged failure (-6) when there is no memory for a new one.
int CTouchIC::PrepareInterface() {
  if (m_pInterface && m_pInterface->GetInterfaceType() != kInterfaceTypeHid) {
    delete m_pInterface;
    m_pInterface = nullptr;
    m_pHidTransport = nullptr;
  }
  if (!m_pInterface) {
    CHIDWinGet* pHid = new (std::nothrow) CHIDWinGet();
    if (!pHid) return DbgLogError("CTouchIC::Connect", __LINE__, "No memory for the HID transport.");
    pHid->m_nInterfaceKind = kInterfaceTypeHid;
    m_pInterface = pHid;
    m_pHidTransport = pHid;
  }
  // A transport this object did not make is left as it was handed in.
  if (m_pHidTransport && m_pHidTransport == m_pInterface) {
    m_pHidTransport->m_pfnSendHook = m_pfnSendHook;
    m_pHidTransport->m_pfnRecvHook = m_pfnRecvHook;
    m_pHidTransport->SetEndingEvent(m_hEndingEvent.load(), kEndingGraceMs);
  }
  return kResultOk;
}

// Bridge handling by the product id of the first controller found.
int CTouchIC::InitBridge() {
  int nVendorId = 0, nProductId = 0;
  int nResult = m_pInterface->GetDevVidPid(&nVendorId, &nProductId, 0);
  if (nResult != 0) {
    DbgLogError("CTouchIC::Connect", __LINE__, "Bridge initialization error");
    return nResult;
  }
  if (nProductId == kBridgeNoReportIdPid) {
    m_nOutReportID = kNoReportID;
    m_pInterface->SetReportID(kNoReportID, kNoReportID);
  } else if (nProductId == kBridgePoweredPid) {
    nResult = BridgePowerOn();
    if (nResult != 0) {
      m_bConnected = false;
      // The vendor collections were opened by this Connect; with the flag
      // cleared Disconnect would not close them, so close them here.
      m_pInterface->Close();
      return nResult;
    }
  }
  return kResultOk;
}

int CTouchIC::ConnectLocked(int nVendorId, int nProductId) {
  const int nPrepared = PrepareInterface();
  if (nPrepared != kResultOk) return nPrepared;
  if (nProductId == kBridgeNoReportIdPid) {
    m_nOutReportID = kNoReportID;
    m_pInterface->SetReportID(kNoReportID, kNoReportID);
  } else {
    m_nOutReportID = kOutputReportID;
    m_pInterface->SetReportID(kInputReportID, kOutputReportID);
  }
  m_pInterface->GetDeviceHandle(nVendorId, nProductId);
  if (!m_pInterface->IsConnected()) {
    DbgLogError("CTouchIC::Connect", __LINE__, "Device is not connected.");
    return kResultNotConnected;
  }
  m_bConnected = true;
  if (!CarriesBridge(m_pInterface)) return kResultOk;
  int nResult = InitBridge();
  if (nResult != 0) return nResult;
  DbgLogTrace("CTouchIC::Connect", __LINE__, "Device connected.");
  return kResultOk;
}

bool CTouchIC::LockMutex(VRNMutex& mutex) {
  return mutex.Lock(m_nMutexTimeout, m_hEndingEvent.load(), m_hCancelEvent.load());
}

bool CTouchIC::IsCallerEnding() const {
  for (HANDLE hEvent : {m_hEndingEvent.load(), m_hCancelEvent.load()})
    if (hEvent && WaitForSingleObject(hEvent, 0) == WAIT_OBJECT_0) return true;
  return false;
}

int CTouchIC::KeptTransferCount() const { return m_pHidTransport ? m_pHidTransport->KeptTransferCount() : 0; }

int CTouchIC::Connect(int nVendorId, int nProductId) {
  m_bConnectFailed = true;
  VRNMutex mutex;
  if (!LockMutex(mutex)) {
    DbgLogError("CTouchIC::Connect", __LINE__, "Device is busy.");
    return kResultBusy;
  }
  const int nResult = ConnectLocked(nVendorId, nProductId);
  m_bConnectFailed = (nResult != 0);
  return nResult;
}

int CTouchIC::Disconnect() {
  if (!m_pInterface) return kResultNoTransport;
  // A failed Connect that left nothing open (the mutex was busy, or no device
  // answered) leaves nothing to close: a caller that is ending does not wait
  // for the mutex a second time.
  if (m_bConnectFailed && !m_bConnected && IsCallerEnding()) return kResultOk;
  VRNMutex mutex;
  if (!LockMutex(mutex)) {
    DbgLogError("CTouchIC::Disconnect", __LINE__, "Device is busy.");
    return kResultBusy;
  }
  if (CarriesBridge(m_pInterface)) {
    int nVendorId = 0, nProductId = 0;
    if (m_pInterface->GetDevVidPid(&nVendorId, &nProductId, 0) == 0 &&
        nProductId == kBridgePoweredPid)
      BridgePowerOff();  // a bridge that fails to power down still lets us close
  }
  if (m_bConnected) {
    m_pInterface->Close();
    m_bConnected = false;
  }
  return kResultOk;
}

int CTouchIC::GetFwVerEx(DWORD& dwVersion) {
  VRNMutex mutex;
  if (!LockMutex(mutex)) {
    DbgLogError("CTouchIC::GetFwVerEx", __LINE__, "Device is busy.");
    return kResultBusy;
  }
  return GetDeviceFWVer(dwVersion);
}

int CTouchIC::GetDeviceCount() {
  if (!m_bConnected || !m_pInterface) return 0;
  return m_pInterface->GetDeviceCount();
}

int CTouchIC::GetDevPath(int nIndex, WCHAR* pszPath, int nSize) {
  if (!m_bConnected || !m_pInterface) {
    DbgLogError("CTouchIC::GetDevPath", __LINE__, "Device is not connected.");
    return kResultNotConnected;
  }
  return m_pInterface->GetDevPath(nIndex, pszPath, nSize);
}
