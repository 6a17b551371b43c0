// The device interface's virtual table is a contract: a caller built against
// the same layout reaches each operation by its slot number. These calls go
// through the table by number, as such a caller's do, so an operation moved,
// inserted or dropped in hid/InterfaceGet.h lands in the wrong slot here.
#include "hid/InterfaceGet.h"

#include <gtest/gtest.h>

namespace {

// Every operation answers with its slot number: a call that reaches the
// wrong operation shows.
class CSlotProbe : public CInterfaceGet {
 public:
  explicit CSlotProbe(bool* pfDestroyed = nullptr) : m_pfDestroyed(pfDestroyed) {}
  ~CSlotProbe() override {
    if (m_pfDestroyed) *m_pfDestroyed = true;
  }

  int GetInterfaceType() override { return 1; }
  const char* GetVersion() override { return "slot 2"; }
  int GetDeviceHandle(int, int) override { return 3; }
  int GetDefaultDeviceHandle() override { return 4; }
  void Close() override { m_nClosed = 5; }
  bool IsConnected() override { return m_nClosed == 5; }
  int WriteCommand(const BYTE*, int, DWORD, int) override { return 7; }
  int ReadData(BYTE*, int, DWORD, int, bool) override { return 8; }
  int WriteRawBytes(const BYTE*, int, DWORD, int) override { return 9; }
  int ReadRawBytes(BYTE*, int, DWORD, int) override { return 10; }
  int WriteEEPROMCommand(int, const BYTE*, int, DWORD, int) override { return 11; }
  int SetPenFeature(const BYTE*, int, DWORD, int) override { return 12; }
  int GetPenFeature(BYTE*, int, DWORD, int) override { return 13; }
  int ReservedSlot14() override { return 14; }
  int ReservedSlot15() override { return 15; }
  int ReservedSlot16() override { return 16; }
  int ReservedSlot17() override { return 17; }
  int GetDeviceCount() override { return 18; }
  int GetDevProfile(DEV_PROFILE*, int) override { return 19; }
  int SetDevProfile(DEV_PROFILE*, int) override { return 20; }
  int GetDevParsedReport(const BYTE*, int, void*, int) override { return 21; }
  int ReservedSlot22() override { return 22; }
  int GetDevPath(int, WCHAR*, int) override { return 23; }
  int GetIcDevType(int, char*, int) override { return 24; }
  int GetDevVersion(int*, int) override { return 25; }
  int GetDevVidPid(int*, int*, int) override { return 26; }
  int SetReportID(int, int) override { return 27; }
  int SetFixedCmdLen(BYTE) override { return 28; }

 private:
  bool* m_pfDestroyed;
  int m_nClosed = 0;
};

// g++ follows the Itanium C++ ABI, on Windows too: the virtual destructor of
// slot 0 takes two entries of the table (the complete-object destructor,
// then the deleting one), so slot n > 0 is entry n + 1.
constexpr int kDeletingDestructorEntry = 1;
constexpr int kDestructorEntries = 2;

using TableEntry = void (*)();

TableEntry EntryAt(CInterfaceGet& object, int nEntry) {
  const TableEntry* pTable = *reinterpret_cast<const TableEntry* const*>(&object);
  return pTable[nEntry];
}

template <class R, class... Args>
R CallSlot(CInterfaceGet& object, int nSlot, Args... args) {
  auto pfn = reinterpret_cast<R (*)(CInterfaceGet*, Args...)>(EntryAt(object, nSlot - 1 + kDestructorEntries));
  return pfn(&object, args...);
}

TEST(InterfaceSlots, EachOperationIsReachedThroughItsSlotNumber) {
  CSlotProbe probe;
  BYTE buffer[8] = {};
  const BYTE* pConst = buffer;
  const DWORD dwTimeout = 1000;
  EXPECT_EQ(CallSlot<int>(probe, 1), 1);
  EXPECT_STREQ(CallSlot<const char*>(probe, 2), "slot 2");
  EXPECT_EQ(CallSlot<int>(probe, 3, 0x2C1A, 0), 3);
  EXPECT_EQ(CallSlot<int>(probe, 4), 4);
  EXPECT_FALSE(CallSlot<bool>(probe, 6));
  CallSlot<void>(probe, 5);
  EXPECT_TRUE(CallSlot<bool>(probe, 6)) << "slot 5 is Close, slot 6 IsConnected";
  EXPECT_EQ(CallSlot<int>(probe, 7, pConst, 4, dwTimeout, 0), 7);
  EXPECT_EQ(CallSlot<int>(probe, 8, buffer, 8, dwTimeout, 0, true), 8);
  EXPECT_EQ(CallSlot<int>(probe, 9, pConst, 4, dwTimeout, 0), 9);
  EXPECT_EQ(CallSlot<int>(probe, 10, buffer, 8, dwTimeout, 0), 10);
  EXPECT_EQ(CallSlot<int>(probe, 11, 0, pConst, 4, dwTimeout, 0), 11);
  EXPECT_EQ(CallSlot<int>(probe, 12, pConst, 4, DWORD{0}, 0), 12);
  EXPECT_EQ(CallSlot<int>(probe, 13, buffer, 8, DWORD{0}, 0), 13);
  for (int nSlot : {14, 15, 16, 17, 18, 22}) EXPECT_EQ(CallSlot<int>(probe, nSlot), nSlot);
  EXPECT_EQ(CallSlot<int>(probe, 19, static_cast<DEV_PROFILE*>(nullptr), 0), 19);
  EXPECT_EQ(CallSlot<int>(probe, 20, static_cast<DEV_PROFILE*>(nullptr), 0), 20);
  EXPECT_EQ(CallSlot<int>(probe, 21, pConst, 8, static_cast<void*>(nullptr), 0), 21);
  WCHAR szPath[4] = {};
  char szType[4] = {};
  int nFirst = 0, nSecond = 0;
  EXPECT_EQ(CallSlot<int>(probe, 23, 0, szPath, 8), 23);
  EXPECT_EQ(CallSlot<int>(probe, 24, 0, szType, 4), 24);
  EXPECT_EQ(CallSlot<int>(probe, 25, &nFirst, 0), 25);
  EXPECT_EQ(CallSlot<int>(probe, 26, &nFirst, &nSecond, 0), 26);
  EXPECT_EQ(CallSlot<int>(probe, 27, 2, 3), 27);
  EXPECT_EQ(CallSlot<int>(probe, 28, BYTE{64}), 28);

  bool fDestroyed = false;
  CInterfaceGet* pOwned = new CSlotProbe(&fDestroyed);
  reinterpret_cast<void (*)(CInterfaceGet*)>(EntryAt(*pOwned, kDeletingDestructorEntry))(pOwned);
  EXPECT_TRUE(fDestroyed) << "slot 0 is the destructor";
}

}  // namespace
