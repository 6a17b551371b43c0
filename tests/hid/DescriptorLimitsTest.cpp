// What a report descriptor can make discovery allocate: one usage list per
// usage page, and collections past the records' limits refused cleanly.
#include "HidDescriptors.h"
#include "HidTestSupport.h"

#include "hid/VendorIds.h"

#include <gtest/gtest.h>
#include <winsim/sim/touch_controller.h>

#include <cstring>
#include <set>
#include <string>

namespace {

using hidtest::Contains;
using hidtest::Dump;

class DescriptorLimitsTest : public hidtest::TransportTest {
 protected:
  // Opens collection 0 of the port as discovery opens every interface.
  int Open(const winsim::HidDevicePort& port, HID_DEVICE_INFO& info) {
    memset(&info, 0, sizeof(info));
    m_log.Mark();
    return m_transport.OpenHidDevice(port.Path(0).c_str(), info, 0, FALSE);
  }
};

// The usage lists of the input button rows: each distinct list once, with its length.
struct Lists {
  size_t nLists = 0;
  unsigned long long nUsages = 0;
};

Lists InputLists(const HID_DEVICE_INFO& info) {
  Lists lists;
  std::set<const USAGE*> seen;
  for (ULONG i = 0; i < info.nInUsageDataCount; ++i) {
    const HID_USAGE_DATA& row = info.pInUsageData[i];
    if (!row.bIsButton || !seen.insert(row.pUsages).second) continue;
    ++lists.nLists;
    lists.nUsages += row.MaxUsageListLength;
  }
  return lists;
}

TEST_F(DescriptorLimitsTest, ButtonRowsOfOnePageShareOneUsageList) {
  // 200 usages over 100 fields: 200 button caps on page 0xFF00, whose usage
  // list holds 200 * 100 usages. One list per row would be 200 of them.
  auto port = hidtest::PlugDescriptor(*m_machine, kVendorId, 0x0301, L"11111111",
                                      hidtest::ArrayDescriptor(0xFF00, 0x01, 2, 200, 100));
  HID_DEVICE_INFO info;
  ASSERT_EQ(Open(*port, info), 0) << Dump(m_log.Since());
  ASSERT_EQ(info.Caps.NumberInputButtonCaps, 200);
  const ULONG nListLength = HidP_MaxUsageListLength(HidP_Input, 0xFF00, info.pPreparsedData);
  EXPECT_EQ(nListLength, 200u * 100u);
  const Lists lists = InputLists(info);
  EXPECT_EQ(lists.nLists, 1u);
  EXPECT_EQ(lists.nUsages, nListLength);
  for (ULONG i = 0; i < info.Caps.NumberInputButtonCaps; ++i) {
    EXPECT_EQ(info.pInUsageData[i].MaxUsageListLength, nListLength);
    EXPECT_EQ(info.pInUsageData[i].UsagePage, 0xFF00);
  }
  m_transport.CloseHidDevice(info);  // frees the shared list once (the sanitizers would see a second free)
}

TEST_F(DescriptorLimitsTest, TooManyCapsRefuseTheCollection) {
  const size_t nBaseline = m_machine->handles().Count();
  auto port = hidtest::PlugDescriptor(*m_machine, kVendorId, 0x0301, L"11111111",
                                      hidtest::ArrayDescriptor(0xFF00, 0x01, 2, kMaxCapsPerKind + 1, 1));
  HID_DEVICE_INFO info;
  EXPECT_EQ(Open(*port, info), -6);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FillDeviceInfo: Descriptor refused: 1025 input button caps (at "
                                      "most 1024)"))
      << Dump(m_log.Since());
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: Close handle. FillDeviceInfo Failure"));
  EXPECT_EQ(info.DevicePath, nullptr);
  EXPECT_EQ(m_machine->handles().Count(), nBaseline);
}

TEST_F(DescriptorLimitsTest, UsageListsPastTheLimitRefuseTheCollection) {
  // 100 usages over 1000 fields: a list of 100 000 usages.
  auto port = hidtest::PlugDescriptor(*m_machine, kVendorId, 0x0301, L"11111111",
                                      hidtest::ArrayDescriptor(0xFF00, 0x01, 2, 100, 1000));
  HID_DEVICE_INFO info;
  EXPECT_EQ(Open(*port, info), -6);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FillDeviceInfo: Descriptor refused: 100000 input usage list "
                                      "entries (at most 65536)"))
      << Dump(m_log.Since());
}

TEST_F(DescriptorLimitsTest, ARefusedInterfaceLeavesTheControllerFound) {
  // Plugged first, so that it is examined on every discovery before the controller.
  hidtest::PlugDescriptor(*m_machine, kVendorId, 0x0301, L"22222222",
                          hidtest::ArrayDescriptor(0xFF00, 0x01, 2, kMaxCapsPerKind + 1, 1));
  winsim::AttachTouchController(*m_machine);
  m_transport.SetReportID(2, 3);
  size_t nHandles = 0;
  for (int nRun = 0; nRun < 2; ++nRun) {
    m_log.Mark();
    ASSERT_EQ(m_transport.GetDeviceHandle(kVendorId, 0), 0) << Dump(m_log.Since());
    EXPECT_EQ(m_transport.GetDeviceCount(), 1);
    EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
    EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FindKnownHidDevices: Total 3 HID devices found."))
        << Dump(m_log.Since());
    // The refused interface keeps nothing open from one discovery to the next.
    if (nRun == 0) nHandles = m_machine->handles().Count();
    EXPECT_EQ(m_machine->handles().Count(), nHandles);
  }
}

}  // namespace
