#include "touchic/DiagnosticAction.h"

#include <cstdio>
#include <string>

#include "hid/VendorIds.h"
#include "log/DbgLog.h"
#include "platform/win32.h"
#include "touchic/TouchIC.h"
#include "touchic/VornApi.h"

namespace {

constexpr const char* kLibVersionText = "TouchIC Version : 0.0.0.2";

// Console output is wide only; narrow texts (log messages, the version text)
// are converted from the ANSI code page first.
std::wstring Widen(const char* pszText) {
  if (!pszText || !*pszText) return std::wstring();
  int nLen = MultiByteToWideChar(CP_ACP, 0, pszText, -1, nullptr, 0);
  if (nLen > 0) {
    std::wstring text(nLen, L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, pszText, -1, text.data(), nLen) == nLen) {
      text.resize(nLen - 1);
      return text;
    }
  }
  std::wstring text;
  for (const char* p = pszText; *p; ++p) text.push_back((WCHAR)(unsigned char)*p);
  return text;
}

void PrintWithText(const wchar_t* pszFormat, const char* pszText) {
  fwprintf(stdout, pszFormat, Widen(pszText).c_str());
}

// Every trace entry of the process also goes to the console, as plain text:
// a message holding a percent sign is printed as it is.
void EchoTraceToConsole(const char* pszMessage, unsigned long long /*nEntryLength*/) {
  PrintWithText(L"\r\n%ls", pszMessage);
}

void PrintLibVersion(CTouchIC& touchIC) {
  char szVersion[64];
  snprintf(szVersion, sizeof(szVersion), " %s\r\n", kLibVersionText);
  touchIC.SetLibVersion(szVersion);
  PrintWithText(L"Library Version Information %ls \n", touchIC.GetLibVersion());
}

int RunFirmwareCheck(CTouchIC& touchIC) {
  DWORD dwVersion = 0;
  int nResult = touchIC.GetFwVerEx(dwVersion);
  if (nResult != 0) {
    PrintWithText(L"\r\nGetFwVerEx fail. %ls", DbgLogLastError());
    return nResult;
  }
  fwprintf(stdout, L"\r\nDevice(%d) FWVer = %04X", 0, (unsigned)dwVersion);
  return 0;
}

int RunCommand(CTouchIC& touchIC, int nAction) {
  switch (nAction) {
    case kDiagSleep: return touchIC.ICSleep();
    case kDiagWake: return touchIC.ICWake();
    case kDiagReset: return touchIC.ICReset();
    case kDiagWotOn: return touchIC.SWSetSystemInfo(1);
    default: return touchIC.SWSetSystemInfo(0);
  }
}

// Reset reports with the wake text: the message users know for it.
const wchar_t* CommandSuccessText(int nAction) {
  switch (nAction) {
    case kDiagSleep: return L"\r\nSet IC Sleep";
    case kDiagWake: return L"\r\nSet IC wake";
    case kDiagReset: return L"\r\nSet IC wake";
    case kDiagWotOn: return L"\r\nEnable Wake-on-touch";
    default: return L"\r\nDisable Wake-off-touch";
  }
}

// A failed command reports kResultFailed, whatever the command returned.
int RunControllerCommand(CTouchIC& touchIC, int nAction) {
  if (RunCommand(touchIC, nAction) != 0) {
    PrintWithText(L"\r\nSWSetSystemInfo fail. %ls", DbgLogLastError());
    return kResultFailed;
  }
  fwprintf(stdout, L"%ls", CommandSuccessText(nAction));
  return 0;
}

bool IsKnownAction(int nAction) { return nAction >= kDiagFwCheck && nAction <= kDiagWotOff; }

}  // namespace

int RunDiagnosticAction(int nAction) {
  DbgLogSetEcho(EchoTraceToConsole);
  CTouchIC* pTouchIC = VORNAPI::TouchIC("RunDiagnosticAction");
  if (!pTouchIC) {
    PrintWithText(L"\r\nConnect fail. %ls", DbgLogLastError());
    return kResultLoggedFailure;
  }
  PrintLibVersion(*pTouchIC);
  if (!IsKnownAction(nAction)) {
    fwprintf(stdout, L"\r\nUnknown diagnostic action %d", nAction);
    return kResultFailed;
  }
  int nResult = VORNAPI::Connect(kVendorId, 0);
  if (nResult != 0) {
    PrintWithText(L"\r\nConnect fail. %ls", DbgLogLastError());
    return nResult;
  }
  if (nAction == kDiagFwCheck) {
    nResult = RunFirmwareCheck(*pTouchIC);
    // A failed query leaves the controller open; the process ends right after.
    if (nResult != 0) return nResult;
  } else {
    nResult = RunControllerCommand(*pTouchIC, nAction);
  }
  if (VORNAPI::Disconnect() != 0)
    PrintWithText(L"\r\nDisconnect fail. %ls", DbgLogLastError());
  return nResult;
}
