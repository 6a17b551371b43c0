#include "log/DbgLog.h"
#include "touchic/TouchIC.h"

namespace {

constexpr int kCommandLen = 4;
constexpr BYTE kSleepCommand[kCommandLen] = {0x54, 0x50, 0x00, 0x01};
constexpr BYTE kWakeCommand[kCommandLen] = {0x54, 0x58, 0x00, 0x01};
constexpr BYTE kResetCommand[kCommandLen] = {0x77, 0x77, 0x77, 0x77};
constexpr BYTE kFwVersionQuery[kCommandLen] = {0x53, 0x00, 0x00, 0x01};
constexpr BYTE kSystemInfoCommand = 0xF0;
constexpr BYTE kSystemInfoWakeOnTouch = 0x02;

constexpr BYTE kFwAnswerMark = 0x52;
constexpr DWORD kReadTimeoutMs = 1000;

// Bridge frames: report ID, command, four parameter bytes.
constexpr int kBridgeFrameLen = 6;
constexpr DWORD kBridgeTimeoutMs = CTouchIC::kBridgeFrameTimeoutMs;
constexpr BYTE kBridgeSetLevels = 0x12;
constexpr BYTE kBridgeSetPower = 0x11;
constexpr BYTE kBridgeParam2Cmd = 0x02;
constexpr BYTE kBridgeParam1Cmd = 0x01;
// The bridge needs its supply to settle between the power-on steps, and a
// pause before each power-off step.
constexpr DWORD kPowerOnSettleMs = 20;
constexpr DWORD kPowerOffPauseMs = 10;
static_assert(kPowerOnSettleMs <= 20 && kPowerOffPauseMs <= 20, "CTouchIC::kPushEndingWaitMs counts 20 ms per frame");
// Power-off steps: I/O level off first, then the supply, then the power state.
constexpr BYTE kPowerOffLevels[] = {0xA0, 0x20, 0x00};

// Where a voltage code puts its level bit in a 0x12 frame.
struct LevelBits {
  BYTE nByte3;
  BYTE nByte5;
};

LevelBits DvddBits(int nCode) {
  switch (nCode) {
    case 50: return {0x00, 0x40};
    case 33: return {0x00, 0x80};
    case 30: return {0x02, 0x00};
    case 28: return {0x04, 0x00};
    default: return {0x08, 0x00};
  }
}

BYTE VioBits(int nCode) {
  switch (nCode) {
    case 50: return 0x01;
    case 33: return 0x02;
    case 30: return 0x04;
    case 28: return 0x08;
    default: return 0x10;
  }
}

// Firmware answer: 0x52, then the version's digits spread over three bytes
// (low nibble of byte 1, byte 2, high nibble of byte 3).
bool DecodeFwVersion(const BYTE* pAnswer, DWORD& dwVersion) {
  if (pAnswer[0] != kFwAnswerMark || pAnswer[1] > 0x0F) return false;
  dwVersion = ((DWORD)(pAnswer[1] & 0x0F) << 12) | ((DWORD)pAnswer[2] << 4) | (pAnswer[3] >> 4);
  return true;
}

}  // namespace

int CTouchIC::SendCommand(const char* pszLogName, const BYTE* pCommand) {
  if (!m_bConnected) {
    DbgLogError(pszLogName, __LINE__, "Device is not connected.");
    return kResultNotConnected;
  }
  return m_pInterface->WriteCommand(pCommand, kCommandLen, m_nWriteTimeout, 0);
}

int CTouchIC::SWSetSystemInfo(int nFlag) {
  const BYTE command[kCommandLen] = {kSystemInfoCommand, kSystemInfoWakeOnTouch, 0x00,
                                     (BYTE)(nFlag & 0xFF)};
  return SendCommand("CTouchIC::SWSetSystemInfo", command);
}

int CTouchIC::ICSleep() { return SendCommand("CTouchIC::ICSleep", kSleepCommand); }

int CTouchIC::ICWake() { return SendCommand("CTouchIC::ICWake", kWakeCommand); }

int CTouchIC::ICReset() { return SendCommand("CTouchIC::ICReset", kResetCommand); }

int CTouchIC::GetDeviceData(BYTE* pBuf, int nLen) {
  if (!m_bConnected) {
    DbgLogError("CTouchIC::GetDeviceData", __LINE__, "Device is not connected.");
    return kResultNotConnected;
  }
  return m_pInterface->ReadData(pBuf, nLen, kReadTimeoutMs, 0, true);
}

int CTouchIC::GetDeviceFWVer(DWORD& dwVersion) {
  int nResult = SendCommand("CTouchIC::GetDeviceFWVer", kFwVersionQuery);
  // The transport is handed the whole buffer's size so that it refuses an
  // input report too long for it; the answer is its first four bytes.
  if (nResult == 0) nResult = GetDeviceData(m_pRecvBuf, kRecvBufSize);
  if (nResult == 0 && !DecodeFwVersion(m_pRecvBuf, dwVersion)) nResult = kResultBadAnswer;
  DbgLogTrace("CTouchIC::GetDeviceFWVer", __LINE__, "FW VER.: 0x%04x.", (unsigned)dwVersion);
  return nResult;
}

int CTouchIC::SendDeviceBridgeCmd(BYTE nCommand, BYTE nParam2, BYTE nParam3, BYTE nParam4,
                                  BYTE nParam5) {
  if (!m_bConnected) {
    DbgLogError("CTouchIC::SendDeviceBridgeCmd", __LINE__, "Device is not connected.");
    return kResultNotConnected;
  }
  const BYTE frame[kBridgeFrameLen] = {(BYTE)m_nOutReportID, nCommand, nParam2,
                                       nParam3,              nParam4,  nParam5};
  return m_pInterface->WriteRawBytes(frame, kBridgeFrameLen, kBridgeTimeoutMs, 0);
}

// Only the last frame's result counts: every step is attempted regardless.
int CTouchIC::BridgePowerOn() {
  const LevelBits dvdd = DvddBits(m_nDvddLevel);
  const BYTE nVio = VioBits(m_nVioLevel);
  SendDeviceBridgeCmd(kBridgeSetLevels, 0x00, dvdd.nByte3, 0x00, dvdd.nByte5);
  Sleep(kPowerOnSettleMs);
  SendDeviceBridgeCmd(kBridgeSetLevels, 0x00, dvdd.nByte3, 0x00, (BYTE)(dvdd.nByte5 | nVio));
  Sleep(kPowerOnSettleMs);
  SendDeviceBridgeCmd(kBridgeParam2Cmd, (BYTE)(m_nBridgeParam2 & 0xFF), 0x00, 0x00, 0x00);
  Sleep(kPowerOnSettleMs);
  int nResult = SendDeviceBridgeCmd(kBridgeParam1Cmd, (BYTE)(m_nBridgeParam1 & 0xFF), 0x00, 0x00,
                                    0x00);
  Sleep(kPowerOnSettleMs);
  return nResult;
}

int CTouchIC::BridgePowerOff() {
  for (BYTE nLevels : kPowerOffLevels) {
    Sleep(kPowerOffPauseMs);
    SendDeviceBridgeCmd(kBridgeSetLevels, 0x00, 0x00, 0x00, nLevels);
  }
  Sleep(kPowerOffPauseMs);
  return SendDeviceBridgeCmd(kBridgeSetPower, 0x00, 0x00, 0x00, 0x00);
}
