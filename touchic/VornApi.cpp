#include "touchic/VornApi.h"

#include "log/DbgLog.h"
#include "log/DbgLogSession.h"
#include "touchic/TouchIC.h"

namespace {

constexpr UINT kTimerResolutionMs = 1;
// Lets the controller finish what the last command started before the
// connection goes away.
constexpr DWORD kDisconnectSettleMs = 100;

constexpr int kDefaultDvddLevel = 33;
constexpr int kDefaultVioLevel = 33;
constexpr int kDefaultBridgeParam2 = 32;
constexpr int kDefaultBridgeParam1 = 63;

}  // namespace

// Construction order matters, and within one translation unit it is fixed:
// the controller object exists before the debug log starts, and the log shuts
// down before the controller object goes, so nothing logged while it is
// destroyed reaches the file. Every program that uses the controller links
// this unit, the executable through RunDiagnosticAction.
CTouchIC g_TouchIC;
CDbgLogSession g_DbgLogSession;

namespace VORNAPI {

void LibTouchInitial() {
  timeBeginPeriod(kTimerResolutionMs);
  g_TouchIC.SetBridgeLevels(kDefaultDvddLevel, kDefaultVioLevel);
  g_TouchIC.SetBridgeParams(kDefaultBridgeParam2, kDefaultBridgeParam1);
}

int Connect(int nVendorId, int nProductId) {
  DbgLogTrace("VORNAPI::Connect", __LINE__, "Connect\n");
  LibTouchInitial();
  return g_TouchIC.Connect(nVendorId, nProductId);
}

void SetEndingEvent(HANDLE hEnding) { g_TouchIC.SetEndingEvent(hEnding); }

int Disconnect() {
  DbgLogTrace("VORNAPI::Disconnect", __LINE__, "Disconnect\n");
  timeEndPeriod(kTimerResolutionMs);
  Sleep(kDisconnectSettleMs);
  return g_TouchIC.Disconnect();
}

}  // namespace VORNAPI
