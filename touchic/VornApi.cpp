#include "touchic/VornApi.h"

#include "log/DbgLog.h"
#include "touchic/TouchIC.h"

namespace {

constexpr UINT kTimerResolutionMs = 1;
// Lets the controller finish what the last command started before the
// connection goes away.
constexpr DWORD kDisconnectSettleMs = 100;

}  // namespace

namespace VORNAPI {

void LibTouchInitial() {
  timeBeginPeriod(kTimerResolutionMs);
  g_TouchIC.SetBridgeLevels(kBridgeDefaults.nDvddLevel, kBridgeDefaults.nVioLevel);
  g_TouchIC.SetBridgeParams(kBridgeDefaults.nBridgeParam2, kBridgeDefaults.nBridgeParam1);
}

int Connect(int nVendorId, int nProductId) {
  DbgLogTrace("VORNAPI::Connect", __LINE__, "Connect\n");
  LibTouchInitial();
  return g_TouchIC.Connect(nVendorId, nProductId);
}

void SetEndingEvent(HANDLE hEnding) { g_TouchIC.SetEndingEvent(hEnding); }

void SetCancelEvent(HANDLE hCancel) { g_TouchIC.SetCancelEvent(hCancel); }

int GetDeviceCount() { return g_TouchIC.GetDeviceCount(); }

int GetDevPath(int nIndex, WCHAR* pszPath, int nSize) { return g_TouchIC.GetDevPath(nIndex, pszPath, nSize); }

int SWSetSystemInfo(int nFlag) { return g_TouchIC.SWSetSystemInfo(nFlag); }

int Disconnect() {
  DbgLogTrace("VORNAPI::Disconnect", __LINE__, "Disconnect\n");
  timeEndPeriod(kTimerResolutionMs);
  Sleep(kDisconnectSettleMs);
  return g_TouchIC.Disconnect();
}

}  // namespace VORNAPI
