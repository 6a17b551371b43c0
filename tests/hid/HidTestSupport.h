// Shared pieces of the transport tests: the machine with its debug log read
// back, a transport whose pipeline steps tests may call, and that transport
// connected to a controller.
#pragma once

#include "hid/HIDWinGet.h"
#include "simkit/Machine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace hidtest {

// True when `expected` occurs in `entries` in this order (others may come between).
bool InOrder(const std::vector<std::string>& entries, std::initializer_list<std::string> expected);
bool Contains(const std::vector<std::string>& entries, const std::string& entry);
std::string Dump(const std::vector<std::string>& entries);

// Opens the pipeline steps and the state of CHIDWinGet to the tests.
class TestTransport : public CHIDWinGet {
 public:
  using CHIDWinGet::CloseHidDevice;
  using CHIDWinGet::FilterTouchPadCols;
  using CHIDWinGet::FindSupportDevice;
  using CHIDWinGet::GetAllHidDeviceList;
  using CHIDWinGet::GetDevParsedError;
  using CHIDWinGet::GetDevParsedUsageValue;
  using CHIDWinGet::m_bProfileValid;
  using CHIDWinGet::m_ProfileCopy;
  using CHIDWinGet::xGetDevFingerParsedReport;
  using CHIDWinGet::m_iCloseHidDevCnt;
  using CHIDWinGet::m_iOpenHidDevCnt;
  using CHIDWinGet::m_listHidCols;
  using CHIDWinGet::m_nMatchedColsCnt;
  using CHIDWinGet::m_nSupportDevCnt;
  using CHIDWinGet::OpenHidDevice;
  using CHIDWinGet::ParsePairNum;
  using CHIDWinGet::SetHidColsEntrySimple;

  CHIDCols& Entry(int nIndex) { return *EntryAt(m_listHidCols, nIndex); }
};

// A machine with nothing on its HID bus until a test plugs it, and its debug
// log read back as entries.
class MachineTest : public testing::Test {
 protected:
  simkit::VirtualMachine m_machine{{.controller = "none"}};
  simkit::DebugLog& m_log = m_machine.Log();
};

// What the transport's send and receive hooks were given since SetUp.
using Bytes = std::vector<uint8_t>;
inline std::vector<Bytes> g_sent;
inline std::vector<Bytes> g_received;
inline void RecordSent(const BYTE* pReport, ULONG nLength) { g_sent.emplace_back(pReport, pReport + nLength); }
inline void RecordReceived(const BYTE* pReport, ULONG nLength) { g_received.emplace_back(pReport, pReport + nLength); }

// One controller attached and the transport connected to it with the vendor
// report IDs; the log is marked once connected. A fixture may change
// `m_config` before SetUp.
class ConnectedTransportTest : public MachineTest {
 protected:
  void SetUp() override;

  winsim::TouchControllerConfig m_config;
  TestTransport m_transport;
  std::shared_ptr<winsim::TouchController> m_controller;
};

}  // namespace hidtest
