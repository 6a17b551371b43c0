// Emulated wtsapi32 subset: what a service asks about a session.
#pragma once

#include <winsim/kernel32.h>

#define WTS_CURRENT_SERVER_HANDLE ((HANDLE) nullptr)
#define WTS_CURRENT_SESSION ((DWORD)-1)

typedef enum _WTS_INFO_CLASS {
  WTSInitialProgram,
  WTSApplicationName,
  WTSWorkingDirectory,
  WTSOEMId,
  WTSSessionId,
  WTSUserName,
  WTSWinStationName,
  WTSDomainName,
  WTSConnectState,
  WTSClientBuildNumber,
  WTSClientName,
  WTSClientDirectory,
  WTSClientProductId,
  WTSClientHardwareId,
  WTSClientAddress,
  WTSClientDisplay,
  WTSClientProtocolType,
  WTSIdleTime,
  WTSLogonTime,
  WTSIncomingBytes,
  WTSOutgoingBytes,
  WTSIncomingFrames,
  WTSOutgoingFrames,
  WTSClientInfo,
  WTSSessionInfo,
  WTSSessionInfoEx,
  WTSConfigInfo,
  WTSValidationInfo,
  WTSSessionAddressV4,
  WTSIsRemoteSession
} WTS_INFO_CLASS;

typedef enum _WTS_CONNECTSTATE_CLASS {
  WTSActive,
  WTSConnected,
  WTSConnectQuery,
  WTSShadow,
  WTSDisconnected,
  WTSIdle,
  WTSListen,
  WTSReset,
  WTSDown,
  WTSInit
} WTS_CONNECTSTATE_CLASS;

extern "C" {

// Answers WTSSessionId, WTSUserName (empty while nobody is logged on in the
// session) and WTSConnectState; the other classes are beyond the emulated
// subset (ERROR_NOT_SUPPORTED). The buffer is freed with WTSFreeMemory.
BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId, WTS_INFO_CLASS WTSInfoClass,
                                        LPWSTR* ppBuffer, DWORD* pBytesReturned);
VOID WINAPI WTSFreeMemory(PVOID pMemory);

}  // extern "C"
