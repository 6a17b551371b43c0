// Shared pieces of the transport tests: the debug log read back from the
// simulated machine, and a transport whose pipeline steps tests may call.
#pragma once

#include "hid/HIDWinGet.h"
#include "tests/support/LogCapture.h"

#include <winsim/sim/machine.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace hidtest {

// A fresh machine (own folder, fast clock) with no device on its HID bus.
class BareMachine {
 public:
  BareMachine();
  ~BareMachine();
  BareMachine(const BareMachine&) = delete;
  BareMachine& operator=(const BareMachine&) = delete;
  winsim::Machine& operator*() { return **m_machine; }
  winsim::Machine* operator->() { return &**m_machine; }

 private:
  std::filesystem::path m_root;
  std::optional<winsim::ScopedMachine> m_machine;
};

// The debug log of the machine, read back as entries.
using vorntest::LogCapture;

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
  using CHIDWinGet::m_iCloseHidDevCnt;
  using CHIDWinGet::m_iOpenHidDevCnt;
  using CHIDWinGet::m_listHidCols;
  using CHIDWinGet::m_nMatchedColsCnt;
  using CHIDWinGet::m_nSupportDevCnt;
  using CHIDWinGet::OpenHidDevice;
  using CHIDWinGet::ParsePairNum;
  using CHIDWinGet::SetHidColsEntrySimple;

  CHIDCols& Entry(int nIndex) { return *EntryAt(nIndex); }
};

}  // namespace hidtest
