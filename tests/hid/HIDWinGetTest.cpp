// The transport object without a device: its fixed answers, index checks,
// the per-entry queries and its destruction.
#include "HidTestSupport.h"

#include "log/DbgLog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

namespace {

using hidtest::Contains;
using hidtest::Dump;
using hidtest::TestTransport;

class TransportTest : public hidtest::TransportTest {};

TEST_F(TransportTest, NewObjectAnswersFixedValues) {
  TestTransport transport;
  CInterfaceGet& device = transport;
  EXPECT_EQ(device.GetDeviceCount(), 0);
  EXPECT_FALSE(device.IsConnected());
  EXPECT_EQ(device.GetInterfaceType(), 1);
  EXPECT_STREQ(device.GetVersion(), "HIDWinGet Version : 1.0.7.2");
  EXPECT_EQ(device.ReservedSlot14(), 0);
  EXPECT_EQ(device.ReservedSlot15(), 0);
  EXPECT_EQ(device.ReservedSlot16(), 1);
  EXPECT_EQ(device.ReservedSlot17(), 1);
  EXPECT_EQ(device.ReservedSlot22(), 1);
  EXPECT_EQ(device.SetReportID(2, 3), 0);
  EXPECT_EQ(device.SetFixedCmdLen(1), 0);
  EXPECT_EQ(transport.m_iOpenHidDevCnt, 0);
  EXPECT_EQ(transport.m_iCloseHidDevCnt, 0);
  // The report hooks are the object's first members, the counters follow.
  const auto address = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
  EXPECT_LT(address(&transport.m_pfnSendHook), address(&transport.m_pfnRecvHook));
  EXPECT_LT(address(&transport.m_pfnRecvHook), address(&transport.m_iOpenHidDevCnt));
  EXPECT_LT(address(&transport.m_iOpenHidDevCnt), address(&transport.m_iCloseHidDevCnt));
}

TEST_F(TransportTest, DestroyingANeverConnectedTransportWritesOnlyItsFourTraces) {
  m_log.Mark();
  {
    std::unique_ptr<CInterfaceGet> pDevice = std::make_unique<CHIDWinGet>();
  }
  const std::vector<std::string> expected = {
      "CHIDWinGet::~CHIDWinGet: CHIDWinGet::~CHIDWinGet --> ",
      "CHIDWinGet::Close: CHIDWinGet::Close --> ",
      "CHIDWinGet::Close: CHIDWinGet::Close <-- ",
      "CHIDWinGet::~CHIDWinGet: CHIDWinGet::~CHIDWinGet <-- ",
  };
  EXPECT_EQ(m_log.Since(), expected) << Dump(m_log.Since());
}

TEST_F(TransportTest, ReportOperationsWithoutEntryRefuseTheCall) {
  CHIDWinGet transport;
  BYTE command[4] = {0xF0, 0x02, 0x00, 0x01};
  BYTE answer[64] = {};
  m_log.Mark();
  EXPECT_EQ(transport.WriteCommand(command, 4, 1000, 0), 4100);
  EXPECT_EQ(transport.WriteRawBytes(command, 4, 1000, 0), 4100);
  EXPECT_EQ(transport.WriteEEPROMCommand(0, command, 4, 1000, 0), 4100);
  EXPECT_EQ(transport.WriteCommand(nullptr, 4, 1000, 0), 4100);  // not connected is checked first
  EXPECT_EQ(transport.ReadData(answer, sizeof(answer), 1000, 0, true), -6);
  EXPECT_EQ(transport.ReadRawBytes(answer, 4, 1000, 0), -6);
  const auto entries = m_log.Since();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "ERR: Device is not connected."), 4) << Dump(entries);
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "ERR: Parameters Error - nDevIdx is not exist."), 2);
}

TEST_F(TransportTest, PerEntryQueriesRefuseIndicesOutsideTheList) {
  TestTransport transport;
  transport.m_listHidCols.emplace_back();
  WCHAR szPath[260];
  char szType[64];
  int nValue = 0, nPid = 0;
  for (int nDevIdx : {-1, 1, 2}) {
    m_log.Mark();
    EXPECT_EQ(transport.GetDevPath(nDevIdx, szPath, sizeof(szPath)), -6);
    EXPECT_EQ(transport.GetIcDevType(nDevIdx, szType, sizeof(szType)), -6);
    EXPECT_EQ(transport.GetDevVersion(&nValue, nDevIdx), -6);
    EXPECT_EQ(transport.GetDevVidPid(&nValue, &nPid, nDevIdx), -6);
    const auto entries = m_log.Since();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "ERR: Error Parameters - DevIdx is not exist"), 4)
        << Dump(entries);
  }
  EXPECT_EQ(transport.GetDevVersion(&nValue, 0), 0);
}

// An entry as discovery leaves it for a controller with a vendor input role.
void GiveVendorInput(CHIDCols& entry, const std::wstring& path) {
  entry.RoleFlags[kRoleVendorInputFound] = TRUE;
  wcsncpy(entry.Handlers[kHandlerVendorInput].szDevicePath, path.c_str(), 259);
}

TEST_F(TransportTest, DevPathCountsTwoBytesPerCharacter) {
  TestTransport transport;
  CHIDCols& entry = transport.m_listHidCols.emplace_back();
  const std::wstring path(129, L'p');
  GiveVendorInput(entry, path);
  WCHAR szPath[260];
  wmemset(szPath, L'#', 260);
  ASSERT_EQ(transport.GetDevPath(0, szPath, 260), 0);
  EXPECT_EQ(std::wstring(szPath), path);

  // Exactly twice the characters: room for all but the last, then the terminator.
  const std::wstring longer(130, L'q');
  GiveVendorInput(entry, longer);
  wmemset(szPath, L'#', 260);
  ASSERT_EQ(transport.GetDevPath(0, szPath, 260), 0);
  EXPECT_EQ(std::wstring(szPath), longer.substr(0, 129));
  EXPECT_EQ(szPath[130], L'#');  // nothing written past the 260 bytes

  m_log.Mark();
  EXPECT_EQ(transport.GetDevPath(0, szPath, 259), -6);
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: Error Parameters - strlen is too small. 260 bytes need"))
      << Dump(m_log.Since());
  EXPECT_EQ(transport.GetDevPath(0, nullptr, 260), -6);
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Error Parameters - pszDevPairNum is NULL\r\n");
  EXPECT_EQ(transport.GetDevPath(0, szPath, 0), -6);
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Error Parameters - strlen is 0\r\n");
}

TEST_F(TransportTest, DevPathPrefersVendorInputAndNeedsSomePath) {
  TestTransport transport;
  CHIDCols& entry = transport.m_listHidCols.emplace_back();
  WCHAR szPath[260];
  EXPECT_EQ(transport.GetDevPath(0, szPath, 520), -6);
  EXPECT_STREQ(DbgLogLastError(), "[ERR]len is zero\r\n");

  entry.RoleFlags[kRoleVendorOutputFound] = TRUE;
  wcscpy(entry.Handlers[kHandlerVendorOutput].szDevicePath, L"output");
  ASSERT_EQ(transport.GetDevPath(0, szPath, 520), 0);
  EXPECT_STREQ(szPath, L"output");
  GiveVendorInput(entry, L"input");
  ASSERT_EQ(transport.GetDevPath(0, szPath, 520), 0);
  EXPECT_STREQ(szPath, L"input");
}

TEST_F(TransportTest, IcDevTypeNamesRolesAndIsCutToTheBuffer) {
  TestTransport transport;
  CHIDCols& entry = transport.m_listHidCols.emplace_back();
  char szType[64];
  memset(szType, 'x', sizeof(szType));
  ASSERT_EQ(transport.GetIcDevType(0, szType, 39), 0);
  EXPECT_STREQ(szType, "");

  entry.RoleFlags[kRoleActivePen] = TRUE;
  entry.RoleFlags[kRoleTouchScreen] = TRUE;
  entry.RoleFlags[kRoleVendorDefined] = TRUE;
  ASSERT_EQ(transport.GetIcDevType(0, szType, 39), 0);
  EXPECT_STREQ(szType, "Active Pen,Touch Screen,Vendor Defined");

  memset(szType, 'x', sizeof(szType));
  ASSERT_EQ(transport.GetIcDevType(0, szType, 12), 0);
  EXPECT_STREQ(szType, "Active Pen,");
  EXPECT_EQ(szType[12], 'x');
  EXPECT_EQ(transport.GetIcDevType(0, szType, 0), -6);
  EXPECT_EQ(transport.GetIcDevType(0, nullptr, 10), -6);
}

TEST_F(TransportTest, VidPidComeVendorFirst) {
  TestTransport transport;
  CHIDCols& entry = transport.m_listHidCols.emplace_back();
  entry.wVendorID = 0x2C1A;
  entry.wProductID = 0xFFFE;
  entry.wVersion = 0x8001;
  int nVid = 0, nPid = 0, nVersion = 0;
  ASSERT_EQ(transport.GetDevVidPid(&nVid, &nPid, 0), 0);
  EXPECT_EQ(nVid, 0x2C1A);
  EXPECT_EQ(nPid, 0xFFFE);  // zero-extended
  ASSERT_EQ(transport.GetDevVersion(&nVersion, 0), 0);
  EXPECT_EQ(nVersion, 0x8001);
}

TEST_F(TransportTest, CloseAndCloseDeviceSkipWhatIsClosed) {
  TestTransport transport;
  CHIDCols& entry = transport.m_listHidCols.emplace_back();
  entry.Handlers[kHandlerVendorInput].Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < 2; ++i) {
    transport.Close();
    entry.CloseDevice();
    EXPECT_EQ(entry.Handlers[kHandlerVendorInput].Overlapped.hEvent, nullptr);
    EXPECT_EQ(entry.Handlers[kHandlerVendorInput].hHidDevice, INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(transport.m_iCloseHidDevCnt, 0);  // no information slot held a collection
  EXPECT_EQ(transport.GetDeviceCount(), 1);   // Close keeps the entries
}

}  // namespace
