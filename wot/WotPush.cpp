#include "wot/WotPush.h"

#include "hid/VendorIds.h"
#include "log/DbgLog.h"
#include "platform/results.h"
#include "service/ServiceBase.h"
#include "touchic/VornApi.h"
#include "wot/WatchPause.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

namespace {

constexpr int kPushAttempts = 15;
constexpr DWORD kPushRetryMs = 2000;
constexpr size_t kTextChars = MAX_PATH;

// The facade's last error text as wide text, its line break kept (so the
// debug log shows an empty line after the message); a text too long for the
// buffer is cut.
void LastFacadeError(WCHAR* pszText, size_t nChars) {
  pszText[0] = L'\0';
  const char* pszError = DbgLogLastError();
  if (!pszError) return;
  const size_t nBytes = std::min(std::strlen(pszError), nChars - 1);
  int nWritten = MultiByteToWideChar(CP_UTF8, 0, pszError, static_cast<int>(nBytes), pszText, static_cast<int>(nChars - 1));
  pszText[nWritten > 0 ? nWritten : 0] = L'\0';
}

}  // namespace

CWotPush::CWotPush(CServiceBase& service)
    : m_Service(service), m_dwVid(kVendorId), m_dwPid(0), m_csPush(CreateMutexW(nullptr, FALSE, nullptr)) {
  if (!m_csPush) throw static_cast<DWORD>(GetLastError());
}

CWotPush::~CWotPush() { CloseHandle(m_csPush); }

int CWotPush::RetryHidDevWoTCtrl(DWORD dwSel, CWatchPause& pause) {
  for (int nAttempt = 0; nAttempt < kPushAttempts; ++nAttempt) {
    if (pause.IsEnding() || (nAttempt > 0 && !pause.MayRetry())) return kResultNotDone;
    const int nResult = HidDevWoTCtrl(dwSel, pause);
    if (nResult == kResultOk) {
      m_Service.LogMessage(L"Init HidDevWoTCtrl success", DEBUGLOG_ONLY);
      return kResultOk;
    }
    if (nResult == kResultNotDone) return kResultNotDone;
    m_Service.LogMessage(L"Init HidDevWoTCtrl fail", DEBUGLOG_ONLY);
    if (!pause.WatchPause(kPushRetryMs)) return kResultNotDone;
  }
  m_Service.LogMessage(L"Init HidDevWoTCtrl fail.", EVENTLOG_INFORMATION_TYPE);
  return kResultNotDone;
}

// Waits for the push lock until it is free, the service ends or the push is
// called off. A thread that ended inside a push (the lock comes back
// abandoned) left nothing a push relies on, so the lock is taken then too.
bool CWotPush::TakePushLock(CWatchPause& pause) {
  HANDLE rgWait[3] = {m_csPush, pause.EndingEvent()};
  DWORD nWait = 2;
  if (HANDLE hCallOff = pause.CallOffEvent()) rgWait[nWait++] = hCallOff;
  const DWORD dwWait = WaitForMultipleObjects(nWait, rgWait, FALSE, INFINITE);
  if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_ABANDONED_0) return false;
  // Called off while the lock came free: the newer push goes first.
  for (DWORD i = 1; i < nWait; ++i)
    if (WaitForSingleObject(rgWait[i], 0) == WAIT_OBJECT_0) {
      ReleaseMutex(m_csPush);
      return false;
    }
  return true;
}

int CWotPush::HidDevWoTCtrl(DWORD dwSel, CWatchPause& pause) {
  if (!pause.EnterPush() || !TakePushLock(pause)) {
    if (!pause.IsEnding()) m_Service.LogMessage(L"A newer watcher pushes - this one does not", DEBUGLOG_ONLY);
    return kResultNotDone;
  }
  VORNAPI::SetCancelEvent(pause.CallOffEvent());
  const int nResult = PushLocked(dwSel);
  VORNAPI::SetCancelEvent(nullptr);
  ReleaseMutex(m_csPush);
  return nResult;
}

int CWotPush::PushLocked(DWORD dwSel) {
  m_Service.LogMessage(L"---> VORNAPI::Connect", DEBUGLOG_ONLY);
  WCHAR szMessage[kTextChars * 2];
  WCHAR szError[kTextChars];
  int nResult = VORNAPI::Connect(static_cast<int>(m_dwVid), static_cast<int>(m_dwPid));
  if (nResult != kResultOk) {
    LastFacadeError(szError, std::size(szError));
    std::swprintf(szMessage, std::size(szMessage), L"Connect fail. %ls", szError);
  } else {
    LogConnection();
    nResult = SendSelection(dwSel, szMessage, std::size(szMessage));
  }
  m_Service.LogMessage(szMessage, EVENTLOG_INFORMATION_TYPE);
  VORNAPI::Disconnect();
  m_Service.LogMessage(L"<--- VORNAPI::Disconnect", DEBUGLOG_ONLY);
  return nResult;
}

void CWotPush::LogConnection() {
  WCHAR szText[kTextChars + 32];
  std::swprintf(szText, std::size(szText), L"Connect device count = %d", VORNAPI::GetDeviceCount());
  m_Service.LogMessage(szText, DEBUGLOG_ONLY);
  WCHAR szPath[kTextChars] = {};
  VORNAPI::GetDevPath(0, szPath, static_cast<int>(kTextChars));
  szPath[kTextChars - 1] = L'\0';
  std::swprintf(szText, std::size(szText), L"Connect device path = %ls", szPath);
  m_Service.LogMessage(szText, DEBUGLOG_ONLY);
}

// The command carries the selection's low byte; the message says what that
// byte tells the controller: 1 switches wake-on-touch on, any other byte off.
int CWotPush::SendSelection(DWORD dwSel, WCHAR* pszMessage, size_t nChars) {
  if (VORNAPI::SWSetSystemInfo(static_cast<int>(dwSel)) == kResultOk) {
    const bool fEnabling = (dwSel & 0xFF) == 1;
    std::swprintf(pszMessage, nChars, L"%ls", fEnabling ? L"Enable Wake-on-touch" : L"Disable Wake-on-touch");
    return kResultOk;
  }
  WCHAR szError[kTextChars];
  LastFacadeError(szError, std::size(szError));
  std::swprintf(pszMessage, nChars, L"SWSetSystemInfo fail. %ls", szError);
  return kResultFailed;
}
