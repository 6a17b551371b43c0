// Device-interface enumeration as Windows does it: the sentinel last error,
// the set handle checks, the end of the list, and the detail-size protocol.
#include "hid_conformance.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cwchar>

using namespace hidtest;

namespace {

class InterfaceSet : public testing::Test {
 protected:
  void SetUp() override {
    m_guid = HidGuid();
    m_set.Reset(SetupDiGetClassDevsW(&m_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    ASSERT_TRUE(m_set);
  }

  // The first interface of the set, or false when there is none.
  bool First(SP_DEVICE_INTERFACE_DATA& data) {
    data = {};
    data.cbSize = sizeof(data);
    return SetupDiEnumDeviceInterfaces(m_set.Get(), nullptr, &m_guid, 0, &data);
  }

  GUID m_guid{};
  handles::DeviceInfoSet m_set;
};

}  // namespace

TEST(ConformanceHidGuid, IsTheHidInterfaceClass) {
  const GUID expected = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
  EXPECT_TRUE(IsEqualGUID(HidGuid(), expected));
}

TEST(ConformanceSetupDi, ClassDevsNeedsAClassUnlessAllClasses) {
  ArmLastError();
  EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(ConformanceSetupDi, DestroyRefusesAnInvalidSet) {
  ArmLastError();
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(InterfaceSet, EnumerationEndsWithNoMoreItems) {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  DWORD index = 0;
  while (SetupDiEnumDeviceInterfaces(m_set.Get(), nullptr, &m_guid, index, &data)) {
    EXPECT_TRUE(IsEqualGUID(data.InterfaceClassGuid, m_guid));
    EXPECT_EQ(data.Flags, (DWORD)SPINT_ACTIVE);
    ++index;
  }
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
  ArmLastError();
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(m_set.Get(), nullptr, &m_guid, index + 100, &data));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
}

TEST_F(InterfaceSet, EnumerationChecksItsArguments) {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data) + 4;
  ArmLastError();
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(m_set.Get(), nullptr, &m_guid, 0, &data));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  ArmLastError();
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(m_set.Get(), nullptr, &m_guid, 0, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  data.cbSize = sizeof(data);
  ArmLastError();
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(nullptr, nullptr, &m_guid, 0, &data));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(InterfaceSet, DetailSizeProtocol) {
  SP_DEVICE_INTERFACE_DATA data;
  if (!First(data)) GTEST_SKIP() << "no HID interface present";
  DWORD needed = 0xdeadbeef;
  ArmLastError();
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(m_set.Get(), &data, nullptr, 0, &needed, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(needed, kDetailHeaderBytes);
  ASSERT_LT(needed, 4096u);

  std::vector<BYTE> buffer(needed + 64, 0xcd);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  ArmLastError();
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(m_set.Get(), &data, detail, needed - 1, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);

  DWORD reported = 0;
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(m_set.Get(), &data, detail, needed, &reported, nullptr));
  EXPECT_EQ(reported, needed);
  EXPECT_EQ(needed, kDetailHeaderBytes + (wcslen(detail->DevicePath) + 1) * sizeof(WCHAR));
  for (size_t i = needed; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xcd) << "written past the detail at " << i;
}

TEST_F(InterfaceSet, DetailRecordChecks) {
  SP_DEVICE_INTERFACE_DATA data;
  if (!First(data)) GTEST_SKIP() << "no HID interface present";
  ArmLastError();
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(m_set.Get(), &data, nullptr, 100, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);

  std::vector<BYTE> buffer(4096);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  for (DWORD wrong : {DWORD{0}, DWORD{4}, DWORD{sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 2}, DWORD{4096}}) {
    detail->cbSize = wrong;
    DWORD needed = 0xdeadbeef;
    ArmLastError();
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(m_set.Get(), &data, detail, 4096, &needed, nullptr)) << wrong;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER) << wrong;
    EXPECT_EQ(needed, 0xdeadbeef) << "no size is reported for a bad record";
  }

  ArmLastError();
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(m_set.Get(), nullptr, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// The device information record of the interface's device is filled also on
// the size query.
TEST_F(InterfaceSet, DetailReportsTheHidClassDevice) {
  SP_DEVICE_INTERFACE_DATA data;
  if (!First(data)) GTEST_SKIP() << "no HID interface present";
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  DWORD needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(m_set.Get(), &data, nullptr, 0, &needed, &device));
  const GUID hidClass = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
  EXPECT_TRUE(IsEqualGUID(device.ClassGuid, hidClass));
}
