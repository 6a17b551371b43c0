// A scripted transport for the controller layer: records what it is asked to
// send and answers as told, so that failure paths the controller model cannot
// produce one by one (a single failing bridge frame, a failing product-id
// query) can be driven.
#pragma once

#include <deque>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "hid/InterfaceGet.h"
#include "simkit/Machine.h"
#include "touchic/TouchIC.h"

struct FakeTransportLog {
  std::vector<std::vector<BYTE>> commands;  // WriteCommand payloads
  std::vector<std::vector<BYTE>> frames;    // WriteRawBytes reports
  std::vector<std::pair<int, int>> reportIds;
  std::vector<int> readLengths;  // nRcvLen of every ReadData
  int searches = 0;
  int closes = 0;
  bool destroyed = false;
};

class CFakeInterface : public CInterfaceGet {
 public:
  explicit CFakeInterface(FakeTransportLog& log) : m_log(log) {}
  ~CFakeInterface() override { m_log.destroyed = true; }

  int m_nType = kInterfaceTypeHid;
  int m_nFound = 1;  // entries a search finds
  int m_nVid = 0x2C1A;
  int m_nPid = 0x0001;
  int m_nVidPidResult = 0;
  int m_nWriteResult = 0;
  std::deque<int> m_frameResults;  // per bridge frame, 0 once used up
  int m_nReadResult = 0;
  std::vector<BYTE> m_answer{0x52, 0x01, 0x23, 0x40};

  int GetInterfaceType() override { return m_nType; }
  const char* GetVersion() override { return "fake"; }
  int GetDeviceHandle(int, int) override {
    ++m_log.searches;
    m_nCount = m_nFound;
    return m_nFound > 0 ? 0 : kResultNoSupportDevice;
  }
  int GetDefaultDeviceHandle() override { return GetDeviceHandle(0, 0); }
  void Close() override { ++m_log.closes; }
  bool IsConnected() override { return m_nCount > 0; }
  int WriteCommand(const BYTE* pBuf, int nLen, DWORD, int) override {
    m_log.commands.emplace_back(pBuf, pBuf + nLen);
    return m_nWriteResult;
  }
  int ReadData(BYTE* pBuf, int nLen, DWORD, int, bool) override {
    m_log.readLengths.push_back(nLen);
    if (m_nReadResult != 0) return m_nReadResult;
    std::copy(m_answer.begin(), m_answer.end(), pBuf);
    return 0;
  }
  int WriteRawBytes(const BYTE* pBuf, int nLen, DWORD, int) override {
    m_log.frames.emplace_back(pBuf, pBuf + nLen);
    if (m_frameResults.empty()) return 0;
    int nResult = m_frameResults.front();
    m_frameResults.pop_front();
    return nResult;
  }
  int ReadRawBytes(BYTE*, int, DWORD, int) override { return kResultNotSupported; }
  int WriteEEPROMCommand(int, const BYTE*, int, DWORD, int) override { return kResultNotSupported; }
  int SetPenFeature(const BYTE*, int, DWORD, int) override { return kResultNotSupported; }
  int GetPenFeature(BYTE*, int, DWORD, int) override { return kResultNotSupported; }
  int GetDeviceCount() override { return m_nCount; }
  int GetDevVidPid(int* pnVid, int* pnPid, int) override {
    if (m_nVidPidResult != 0) return m_nVidPidResult;
    *pnVid = m_nVid;
    *pnPid = m_nPid;
    return 0;
  }
  int SetReportID(int nInput, int nOutput) override {
    m_log.reportIds.emplace_back(nInput, nOutput);
    return 0;
  }

 private:
  FakeTransportLog& m_log;
  int m_nCount = 0;
};

// A controller object whose transport is the fake; Connect keeps it while it
// answers the HID interface type. The record outlives the object.
class CTouchICWithFake : public CTouchIC {
 public:
  explicit CTouchICWithFake(FakeTransportLog& log) : m_pFake(new CFakeInterface(log)) {
    m_pInterface = m_pFake;
  }
  CFakeInterface& fake() { return *m_pFake; }
  CInterfaceGet* transport() const { return m_pInterface; }

 private:
  CFakeInterface* m_pFake;
};

// A controller object over the fake on a machine of the kit, with the traces it echoes.
class FakeTransportTest : public testing::Test {
 protected:
  simkit::VirtualMachine m_machine;
  simkit::EchoCapture m_echo;
  FakeTransportLog sent;
  CTouchICWithFake touch{sent};
};
