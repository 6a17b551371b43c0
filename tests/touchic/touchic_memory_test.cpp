// The controller layer when memory runs out: every allocation a connection
// makes (the transport, the device list, the collections' records and
// preparsed data, the paths) is refused in turn. A refused allocation fails
// the work with a logged error and leaves nothing open or allocated; it never
// lets a command look sent when the controller did not get it.
#include <gtest/gtest.h>

#include <winsim/sim/executable.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>

#include "hid/VendorIds.h"
#include "tests/support/AllocationFaults.h"
#include "log/DbgLog.h"
#include "simkit/Machine.h"
#include "touchic/TouchIC.h"

namespace {

using vorntest::ForEachRefusedAllocation;

bool HasError(const std::vector<std::string>& entries) {
  return std::any_of(entries.begin(), entries.end(), [](const std::string& entry) {
    return entry.rfind("ERR: ", 0) == 0 || entry.rfind("ERROR: ", 0) == 0;
  });
}

// The wake-on-touch commands among the reports the controller took from
// index `nFrom` on (byte 0 the report ID, 1 and 2 the header, then the command).
size_t WakeOnTouchCommands(const winsim::TouchController& controller, size_t nFrom) {
  const auto received = controller.Received();
  return static_cast<size_t>(std::count_if(received.begin() + static_cast<std::ptrdiff_t>(nFrom), received.end(),
                                           [](const std::vector<uint8_t>& report) {
                                             return report.size() >= 7 && report[3] == 0xF0 && report[4] == 0x02;
                                           }));
}

TEST(TouchICMemory, EachRefusedAllocationFailsTheConnectionCleanly) {
  simkit::VirtualMachine machine;
  winsim::TouchController& controller = *machine.Controller();
  const size_t nHandles = machine->handles().Count();
  const size_t nBlocks = winsim::LocalHeapBlocks();
  int nConnect = -1, nCommand = -1, nVersion = -1;
  size_t nReceivedBefore = 0;
  DWORD dwVersion = 0;
  unsigned nRun = 0;
  const unsigned nAllocations = ForEachRefusedAllocation(
      machine.Faults(),
      [&] {
        machine.Log().Mark();
        nReceivedBefore = controller.Received().size();
        CTouchIC touch;  // a fresh object makes its transport in its first Connect
        nConnect = touch.Connect(kVendorId, 0);
        nCommand = nConnect == 0 ? touch.SWSetSystemInfo(1) : -1;
        nVersion = nConnect == 0 ? touch.GetDeviceFWVer(dwVersion) : -1;
        touch.Disconnect();
      },
      [&](bool fRefused) {
        const auto entries = machine.Log().Since();
        const size_t nReceived = WakeOnTouchCommands(controller, nReceivedBefore);
        // The first allocation is the transport itself: its failure is logged, so -6.
        if (nRun++ == 0) {
          EXPECT_EQ(nConnect, -6);
        }
        if (!fRefused) {
          EXPECT_EQ(nConnect, 0);
          EXPECT_EQ(nCommand, 0);
          EXPECT_EQ(nVersion, 0);
        }
        if (nConnect != 0 || nCommand != 0 || nVersion != 0) {
          EXPECT_TRUE(HasError(entries)) << "a failure nobody logged";
        }
        // The wake-on-touch command counts as sent only when the controller has it.
        if (nCommand == 0) {
          EXPECT_GE(nReceived, 1u);
        } else {
          EXPECT_EQ(nReceived, 0u);
        }
        EXPECT_EQ(machine->handles().Count(), nHandles);
        EXPECT_EQ(winsim::LocalHeapBlocks(), nBlocks);
      });
  EXPECT_GT(nAllocations, 5u);
}

}  // namespace
