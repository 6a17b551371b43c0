#include "touchic/VornApi.h"

#include "log/DbgLog.h"
#include "touchic/TouchIC.h"

#include <atomic>

namespace {

constexpr UINT kTimerResolutionMs = 1;
// Lets the controller finish what the last command started before the
// connection goes away.
constexpr DWORD kDisconnectSettleMs = 100;

// Constant-initialised, so it is null before any static object of the
// process hands one in, whatever the order of their construction.
std::atomic<CTouchIC*> g_pTouchIC{nullptr};

void LoadBridgeDefaults(CTouchIC& touchIC) {
  timeBeginPeriod(kTimerResolutionMs);
  touchIC.SetBridgeLevels(kBridgeDefaults.nDvddLevel, kBridgeDefaults.nVioLevel);
  touchIC.SetBridgeParams(kBridgeDefaults.nBridgeParam2, kBridgeDefaults.nBridgeParam1);
}

}  // namespace

namespace VORNAPI {

void SetTouchIC(CTouchIC* pTouchIC) { g_pTouchIC.store(pTouchIC); }

CTouchIC* TouchIC(const char* pszOperation) {
  CTouchIC* pTouchIC = g_pTouchIC.load();
  if (!pTouchIC) DbgLogError(pszOperation, __LINE__, "No controller object.");
  return pTouchIC;
}

void LibTouchInitial() {
  if (CTouchIC* pTouchIC = TouchIC("VORNAPI::LibTouchInitial")) LoadBridgeDefaults(*pTouchIC);
}

int Connect(int nVendorId, int nProductId) {
  DbgLogTrace("VORNAPI::Connect", __LINE__, "Connect\n");
  CTouchIC* pTouchIC = TouchIC("VORNAPI::Connect");
  if (!pTouchIC) return kResultLoggedFailure;
  LoadBridgeDefaults(*pTouchIC);
  return pTouchIC->Connect(nVendorId, nProductId);
}

void SetEndingEvent(HANDLE hEnding) {
  if (CTouchIC* pTouchIC = TouchIC("VORNAPI::SetEndingEvent")) pTouchIC->SetEndingEvent(hEnding);
}

void SetCancelEvent(HANDLE hCancel) {
  if (CTouchIC* pTouchIC = TouchIC("VORNAPI::SetCancelEvent")) pTouchIC->SetCancelEvent(hCancel);
}

int GetDeviceCount() {
  CTouchIC* pTouchIC = TouchIC("VORNAPI::GetDeviceCount");
  return pTouchIC ? pTouchIC->GetDeviceCount() : 0;
}

int GetDevPath(int nIndex, WCHAR* pszPath, int nSize) {
  CTouchIC* pTouchIC = TouchIC("VORNAPI::GetDevPath");
  return pTouchIC ? pTouchIC->GetDevPath(nIndex, pszPath, nSize) : kResultLoggedFailure;
}

int SWSetSystemInfo(int nFlag) {
  CTouchIC* pTouchIC = TouchIC("VORNAPI::SWSetSystemInfo");
  return pTouchIC ? pTouchIC->SWSetSystemInfo(nFlag) : kResultLoggedFailure;
}

// Without a controller object Connect requested no timer resolution, so
// there is none to end here either.
int Disconnect() {
  DbgLogTrace("VORNAPI::Disconnect", __LINE__, "Disconnect\n");
  CTouchIC* pTouchIC = TouchIC("VORNAPI::Disconnect");
  if (!pTouchIC) return kResultLoggedFailure;
  timeEndPeriod(kTimerResolutionMs);
  Sleep(kDisconnectSettleMs);
  return pTouchIC->Disconnect();
}

}  // namespace VORNAPI
