// Shared pieces of the transport tests: the machine with its debug log read
// back, a transport whose pipeline steps tests may call, discovery as the
// controller layer runs it, and that transport connected to a controller.
#pragma once

#include "hid/HIDWinGet.h"
#include "hid/VendorIds.h"
#include "simkit/Machine.h"
#include "tests/support/InOrder.h"

#include <winsim/sim/faults.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace hidtest {

using vorntest::InOrder;
bool Contains(const std::vector<std::string>& entries, const std::string& entry);
std::string Dump(const std::vector<std::string>& entries);
// Whether any entry holds `text`; how many start with `prefix`.
bool AnyContains(const std::vector<std::string>& entries, const std::string& text);
size_t CountStartingWith(const std::vector<std::string>& entries, const std::string& prefix);
bool StartsWith(const std::string& text, const std::string& prefix);
// A device path as the log writes it.
std::string Ascii(const std::wstring& text);

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

// A transport on that machine, and discovery as the controller layer runs it.
class TransportTest : public MachineTest {
 protected:
  // Sets the vendor report IDs, marks the log and discovers.
  int Discover(int nVid = kVendorId, int nPid = 0);
  // A collection opened as discovery opens it, for attribute queries only.
  HID_DEVICE_INFO OpenCollection(const std::wstring& path);
  std::wstring VendorInputPath(int nDevIdx);
  winsim::Faults& Faults();

  TestTransport m_transport;
};

// What the transport's send and receive hooks were given since SetUp.
using Bytes = std::vector<uint8_t>;
inline std::vector<Bytes> g_sent;
inline std::vector<Bytes> g_received;
inline void RecordSent(const BYTE* pReport, ULONG nLength) { g_sent.emplace_back(pReport, pReport + nLength); }
inline void RecordReceived(const BYTE* pReport, ULONG nLength) { g_received.emplace_back(pReport, pReport + nLength); }
// A whole vendor report of the controller: the given leading bytes, then zeros.
Bytes Report(Bytes leading);

// One controller attached and the transport connected to it with the vendor
// report IDs; the log is marked once connected. A fixture may change
// `m_config` before SetUp.
class ConnectedTransportTest : public TransportTest {
 protected:
  void SetUp() override;
  // The last report the controller took, or none.
  Bytes LastReceivedByController();
  // A command framed into one report, written with a 1000 ms time-out.
  int Command(Bytes command);
  int QueryVersion() { return Command({0x53, 0x00, 0x00, 0x01}); }

  winsim::TouchControllerConfig m_config;
  std::shared_ptr<winsim::TouchController> m_controller;
};

}  // namespace hidtest
