// Which entry and which role each supported collection takes: pair numbers,
// the touch screens that make entries, collections paired by their device
// when their paths carry no pair number, and the vendor input and output
// roles of an entry.
#include "HidDescriptors.h"
#include "HidTestSupport.h"

#include "log/DbgLog.h"

#include <gtest/gtest.h>
#include <winsim/sim/touch_controller.h>

#include <cstring>
#include <cwchar>
#include <string>

namespace {

using hidtest::AnyContains;
using hidtest::Ascii;
using hidtest::Collection;
using hidtest::Contains;
using hidtest::Dump;
using hidtest::InOrder;
using hidtest::TestTransport;
using winsim::BenchDevice;

class PairingTest : public hidtest::TransportTest {};

// --- Pair numbers and entries ------------------------------------------------

TEST_F(PairingTest, PairNumberIsTheInstanceTextBetweenTheFirstTwoAmpersands) {
  TestTransport transport;
  WCHAR szPair[260] = L"previous";
  EXPECT_EQ(transport.ParsePairNum(L"\\\\?\\hid#vorn_2c1a&col01#7&1a2b3c4d&0&0000#{4d1e55b2}", szPair), 0);
  EXPECT_STREQ(szPair, L"1a2b3c4d");

  // A path without the instance part leaves the buffer as it was.
  wcscpy(szPair, L"previous");
  EXPECT_EQ(transport.ParsePairNum(L"\\\\?\\hid#vorn_2c1a#7&1a2b3c4d", szPair), -6);
  EXPECT_STREQ(szPair, L"previous");
  EXPECT_EQ(transport.ParsePairNum(nullptr, szPair), -6);
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Did not find pair number\r\n");
}

TEST_F(PairingTest, PairNumberMustFitTheFixedBuffer) {
  TestTransport transport;
  WCHAR szPair[260] = L"previous";
  const std::wstring fits(259, L'a');
  EXPECT_EQ(transport.ParsePairNum((L"hid#x#7&" + fits + L"&0").c_str(), szPair), 0);
  EXPECT_EQ(std::wstring(szPair), fits);

  wcscpy(szPair, L"previous");
  const std::wstring tooLong(260, L'b');
  EXPECT_NE(transport.ParsePairNum((L"hid#x#7&" + tooLong + L"&0").c_str(), szPair), 0);
  EXPECT_STREQ(szPair, L"previous");
}

TEST_F(PairingTest, TouchPadWithoutTouchScreenMakesNoEntry) {
  winsim::PlugBenchDevice(*m_machine, BenchDevice::kTouchPadOnly);
  EXPECT_EQ(Discover(), 4100);
  EXPECT_TRUE(InOrder(m_log.Since(), {"CHIDWinGet::FilterTouchPadCols: !! Vorn Touch Pad UsagePage =000D, Usage = 05",
                                      "ERR: No Touch screen is exist !!!"}))
      << Dump(m_log.Since());
}

TEST_F(PairingTest, TwoTouchScreensOfOnePairMakeTwoEntries) {
  const std::wstring pair = L"5a5a5a5a";
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, pair,
                      {hidtest::TouchScreen(1), hidtest::VendorInput(2), hidtest::VendorOutput(3),
                       hidtest::TouchScreen(5)});
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_EQ(m_transport.GetDeviceCount(), 2);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
  EXPECT_FALSE(m_transport.Entry(1).RoleFlags[kRoleVendorInputFound]);
  EXPECT_FALSE(m_transport.Entry(1).RoleFlags[kRoleVendorOutputFound]);
  EXPECT_STREQ(m_transport.Entry(1).PairNum, pair.c_str());
  EXPECT_TRUE(InOrder(m_log.Since(), {"CHIDWinGet::GetDeviceHandle: Device count = 2",
                                      "CHIDWinGet::GetDeviceHandle: Supported Device Count. = 2."}))
      << Dump(m_log.Since());
}

TEST_F(PairingTest, CollectionWithoutPairNumberJoinsTheTouchScreenOfItsDevice) {
  // The controller's own input collection is missing; an input collection of
  // the same device (the same text before "&col") without pair number joins
  // the controller's entry.
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"0badcafe", {hidtest::TouchScreen(1), hidtest::VendorOutput(3)});
  hidtest::PlugDeviceAt(*m_machine, kVendorId, 0x0201, {L"\\\\?\\hid#vorn0201&col01#nopair#{4d1e55b2}"},
                        {hidtest::VendorInput(2)});
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  CHIDCols& entry = m_transport.Entry(0);
  EXPECT_TRUE(entry.RoleFlags[kRoleVendorInputFound]);
  EXPECT_EQ(VendorInputPath(0), L"\\\\?\\hid#vorn0201&col01#nopair#{4d1e55b2}");
  EXPECT_STREQ(entry.PairNum, L"0badcafe");  // the entry keeps its own pair number
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: Did not find pair number"));
}

TEST_F(PairingTest, AVendorDeviceWithoutPairNumberTakesNoRoleOfTheController) {
  // Plugged before the controller: another device of the vendor, whose only
  // collection has output report 3 and whose path has no pair number.
  const std::wstring otherPath = L"\\\\?\\hid#vorn0777#serial01#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  auto other = hidtest::PlugDeviceAt(*m_machine, kVendorId, 0x0777, {otherPath}, {hidtest::VendorOutput(3)});
  auto controller = winsim::AttachTouchController(*m_machine);
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  EXPECT_EQ(std::wstring(m_transport.Entry(0).Handlers[kHandlerVendorOutput].szDevicePath),
            controller->Path(winsim::TouchController::kVendorOutput));
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FilterTouchPadCols: No pair number and no touch screen of its "
                                      "device, collection left alone: " + Ascii(otherPath)))
      << Dump(m_log.Since());
  // The command reaches the controller, and only the controller.
  const BYTE command[] = {0xF0, 0x02, 0x00, 0x01};
  EXPECT_EQ(m_transport.WriteCommand(command, 4, 1000, 0), 0);
  EXPECT_TRUE(std::static_pointer_cast<winsim::RecordingHidDevice>(other->Model())->Received().empty());
  EXPECT_EQ(controller->Received().size(), 1u);
}

TEST_F(PairingTest, CollectionsWithoutPairNumbersPairByTheirDevice) {
  // As Wine names HID interfaces: no pair number; the collections of one
  // device differ in their "&colNN" only. Another device of the vendor,
  // named the same way, is plugged first.
  const std::wstring kClass = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  const std::wstring otherPath = L"\\\\?\\hid#vorn0202&col01#0000" + kClass;
  auto other = hidtest::PlugDeviceAt(*m_machine, kVendorId, 0x0202, {otherPath}, {hidtest::VendorOutput(3)});
  const std::vector<std::wstring> paths = {L"\\\\?\\hid#vorn0101&col01#0000" + kClass,
                                           L"\\\\?\\hid#vorn0101&col02#0000" + kClass,
                                           L"\\\\?\\hid#vorn0101&col03#0000" + kClass};
  hidtest::PlugDeviceAt(*m_machine, kVendorId, 0x0101, paths,
                        {hidtest::TouchScreen(1), hidtest::VendorInput(2), hidtest::VendorOutput(3)});
  ASSERT_EQ(Discover(), 0) << Dump(m_log.Since());
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  EXPECT_EQ(VendorInputPath(0), paths[1]);
  EXPECT_EQ(std::wstring(m_transport.Entry(0).Handlers[kHandlerVendorOutput].szDevicePath), paths[2]);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::FilterTouchPadCols: No pair number and no touch screen of its "
                                      "device, collection left alone: " + Ascii(otherPath)))
      << Dump(m_log.Since());
}

TEST_F(PairingTest, BenchCollectionWithoutPairNumberFindsNoEntryOfItsOwn) {
  winsim::PlugBenchDevice(*m_machine, BenchDevice::kNoPairNumber);
  EXPECT_EQ(Discover(), 4100);
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: No Touch screen is exist !!!")) << Dump(m_log.Since());
}

TEST_F(PairingTest, OverlongPairNumberIsRefused) {
  const std::wstring fits(259, L'c');
  const std::wstring tooLong(300, L'c');
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, tooLong, {hidtest::TouchScreen(1)});
  EXPECT_EQ(Discover(), 4100);
  EXPECT_TRUE(InOrder(m_log.Since(), {"CHIDWinGet::ParsePairNum: Pair number too long (300 characters), collection refused",
                                      "ERR: No Touch screen is exist !!!"}))
      << Dump(m_log.Since());

  // Cut to the buffer, this pair number would pass for the first device's.
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, fits, {hidtest::TouchScreen(1), hidtest::VendorOutput(3)});
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, tooLong, {hidtest::VendorInput(2)});
  ASSERT_EQ(Discover(), 0);
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
  EXPECT_FALSE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
}

// --- Which collection takes which role -------------------------------------

struct RoleCase {
  const char* name;
  Collection collection;
  USHORT wVendorId;
  int nExpected;
  ERoleFlag flag;  // the role taken when nExpected is 0
};

class RoleTest : public PairingTest, public testing::WithParamInterface<RoleCase> {};

// Opens the collection on the bus as discovery does and offers it to an entry.
TEST_P(RoleTest, CollectionIsTakenOrRefused) {
  const RoleCase& role = GetParam();
  auto port = hidtest::PlugDevice(*m_machine, role.wVendorId, 0x0201, L"12345678", {role.collection});
  m_transport.SetReportID(2, 3);
  HID_DEVICE_INFO info = OpenCollection(port->Path(0));
  CHIDCols entry;
  EXPECT_EQ(m_transport.SetHidColsEntrySimple(info, entry), role.nExpected);
  for (int flag = 0; flag < kRoleFlags; ++flag)
    EXPECT_EQ(entry.RoleFlags[flag] != 0, role.nExpected == 0 && flag == role.flag && role.flag != kRoleFlags)
        << "flag " << flag;
  EXPECT_EQ(entry.wVendorID, role.wVendorId);
  EXPECT_STREQ(entry.PairNum, L"12345678");
  m_transport.CloseHidDevice(info);
}

Collection WithFeature(Collection collection, uint8_t featureId) {
  collection.featureId = featureId;
  collection.featureBytes = 8;
  return collection;
}

Collection OnPage(Collection collection, uint16_t usagePage) {
  collection.usagePage = usagePage;
  return collection;
}

Collection Bidirectional() {
  Collection collection = hidtest::VendorOutput(3);
  collection.inputId = 2;
  collection.inputBytes = 63;
  return collection;
}

constexpr ERoleFlag kNoRole = kRoleFlags;

INSTANTIATE_TEST_SUITE_P(
    Roles, RoleTest,
    testing::Values(RoleCase{"OutputOnly", hidtest::VendorOutput(3), kVendorId, 0, kRoleVendorOutputFound},
                    RoleCase{"OutputWithFeature3", WithFeature(hidtest::VendorOutput(3), 3), kVendorId, 0,
                             kRoleVendorOutputFound},
                    RoleCase{"OutputWithOtherFeature", WithFeature(hidtest::VendorOutput(3), 5), kVendorId, 7, kNoRole},
                    RoleCase{"InputOnly", hidtest::VendorInput(2), kVendorId, 0, kRoleVendorInputFound},
                    RoleCase{"InputAndOutput", Bidirectional(), kVendorId, 7, kNoRole},
                    RoleCase{"OtherInputReport", hidtest::VendorInput(4), kVendorId, 7, kNoRole},
                    RoleCase{"SecondInputPageAnyVendor", OnPage(hidtest::VendorInput(2), 0x01FF), 0x1234, 0,
                             kRoleVendorInputFound},
                    RoleCase{"ForeignVendorPage", hidtest::VendorInput(2), 0x1234, 0, kNoRole},
                    RoleCase{"TouchScreen", hidtest::TouchScreen(1), kVendorId, 0, kNoRole},
                    RoleCase{"OtherPage", OnPage(hidtest::VendorInput(2), 0xFF01), kVendorId, 0, kNoRole}),
    [](const testing::TestParamInfo<RoleCase>& info) { return std::string(info.param.name); });


TEST_F(PairingTest, ASecondCollectionForATakenRoleIsRefused) {
  auto port = hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"12345678",
                                  {hidtest::VendorOutput(3), hidtest::VendorOutput(3)});
  m_transport.SetReportID(2, 3);
  HID_DEVICE_INFO first = OpenCollection(port->Path(0));
  HID_DEVICE_INFO second = OpenCollection(port->Path(1));
  CHIDCols entry;
  EXPECT_EQ(m_transport.SetHidColsEntrySimple(first, entry), 0);
  m_log.Mark();
  EXPECT_EQ(m_transport.SetHidColsEntrySimple(second, entry), 7);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::SetHidColsEntrySimple: Found vendor output already."));
  EXPECT_EQ(std::wstring(entry.Handlers[kHandlerVendorOutput].szDevicePath), port->Path(0));
  m_transport.CloseHidDevice(first);
  m_transport.CloseHidDevice(second);
}

TEST_F(PairingTest, ReportIdsZeroTakeCollectionsWithoutReportIds) {
  hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"00000000",
                      {hidtest::TouchScreen(0), hidtest::VendorInput(0), hidtest::VendorOutput(0)});
  m_transport.SetReportID(0, 0);
  ASSERT_EQ(m_transport.GetDeviceHandle(kVendorId, 0), 0);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
  EXPECT_TRUE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
  // With the usual IDs the same collections are refused.
  EXPECT_EQ(Discover(), 0);
  EXPECT_FALSE(m_transport.Entry(0).RoleFlags[kRoleVendorInputFound]);
  EXPECT_FALSE(m_transport.Entry(0).RoleFlags[kRoleVendorOutputFound]);
}

// The collection goes away between discovery's first open and the open of
// its role: the entry is refused with 65535 and the role stays free.
TEST_F(PairingTest, RoleWhoseCollectionCannotBeOpenedFailsTheEntry) {
  struct Case {
    Collection collection;
    ERoleFlag flag;
    const char* pszMessage;
  };
  for (const Case& c : {Case{hidtest::VendorOutput(3), kRoleVendorOutputFound, "Can't get output handle"},
                        Case{hidtest::VendorInput(2), kRoleVendorInputFound,
                             "Can't get asynchronous read handle of Vendor input"}}) {
    SCOPED_TRACE(c.pszMessage);
    auto port = hidtest::PlugDevice(*m_machine, kVendorId, 0x0201, L"12345678", {c.collection});
    m_transport.SetReportID(2, 3);
    HID_DEVICE_INFO info;
    memset(&info, 0, sizeof(info));
    ASSERT_EQ(m_transport.OpenHidDevice(port->Path(0).c_str(), info, 0, FALSE), 0);
    port->Unplug();
    CHIDCols entry;
    m_log.Mark();
    EXPECT_EQ(m_transport.SetHidColsEntrySimple(info, entry), 65535);
    EXPECT_TRUE(AnyContains(m_log.Since(), c.pszMessage)) << Dump(m_log.Since());
    EXPECT_FALSE(entry.RoleFlags[c.flag]);
    m_transport.CloseHidDevice(info);
  }
  EXPECT_EQ(m_transport.m_iOpenHidDevCnt, m_transport.m_iCloseHidDevCnt);
}

}  // namespace
