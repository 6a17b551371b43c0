// Opening and closing the controller: report IDs, bridge handling, the named
// mutex and the queries, over a scripted transport.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "FakeInterface.h"
#include "log/DbgLog.h"

#include "hid/VendorIds.h"
#include "touchic/TouchIC.h"

namespace {

using Bytes = std::vector<BYTE>;

class TouchICConnection : public FakeTransportTest {};

TEST_F(TouchICConnection, ConnectSetsTheVendorReportIdsAndFindsTheDevice) {
  EXPECT_EQ(touch.Connect(kVendorId, 0), 0);
  EXPECT_TRUE(touch.IsDeviceConnected());
  EXPECT_EQ(touch.GetOutReportID(), 3);
  EXPECT_EQ(sent.reportIds, (std::vector<std::pair<int, int>>{{2, 3}}));
  EXPECT_EQ(sent.searches, 1);
  EXPECT_TRUE(m_echo.Has("Device connected."));
  EXPECT_EQ(touch.GetDeviceCount(), 1);

  EXPECT_EQ(touch.Disconnect(), 0);
  EXPECT_FALSE(touch.IsDeviceConnected());
  EXPECT_EQ(sent.closes, 1);
  EXPECT_EQ(touch.Disconnect(), 0);  // a second close closes nothing
  EXPECT_EQ(sent.closes, 1);
}

TEST_F(TouchICConnection, ConnectTwiceReusesTheTransportAndSearchesAgain) {
  CInterfaceGet* pFirst = touch.transport();
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  EXPECT_EQ(touch.transport(), pFirst);
  EXPECT_EQ(sent.searches, 2);
  EXPECT_TRUE(touch.IsDeviceConnected());
}

TEST_F(TouchICConnection, NoDeviceFailsAndLeavesTheQueriesEmpty) {
  touch.fake().m_nFound = 0;
  EXPECT_EQ(touch.Connect(kVendorId, 0), 4100);
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Device is not connected.\r\n");
  EXPECT_FALSE(touch.IsDeviceConnected());
  EXPECT_EQ(touch.GetDeviceCount(), 0);

  WCHAR szPath[8] = L"keep";
  EXPECT_NE(touch.GetDevPath(0, szPath, sizeof(szPath)), 0);
  EXPECT_STREQ(szPath, L"keep");
  EXPECT_EQ(touch.Disconnect(), 0);
  EXPECT_EQ(sent.closes, 0);
}

TEST_F(TouchICConnection, DisconnectBeforeAnyConnectReturnsSixAndLogsNothing) {
  CTouchIC fresh;
  size_t nTraces = m_echo.Traces().size();
  std::string before = m_machine.Log().Text();
  EXPECT_EQ(fresh.Disconnect(), 6);
  EXPECT_EQ(m_echo.Traces().size(), nTraces);
  EXPECT_EQ(m_machine.Log().Text(), before);
}

TEST_F(TouchICConnection, TransportOfAnotherKindIsReplaced) {
  touch.fake().m_nType = 7;
  touch.Connect(kVendorId, 0);
  EXPECT_TRUE(sent.destroyed);
  ASSERT_NE(touch.transport(), nullptr);
  EXPECT_EQ(touch.transport()->GetInterfaceType(), 1);
}

TEST_F(TouchICConnection, BridgeWithoutReportIdsClearsTheOutputReportId) {
  touch.fake().m_nPid = 0x000B;
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  EXPECT_EQ(touch.GetOutReportID(), 0);
  EXPECT_EQ(sent.reportIds, (std::vector<std::pair<int, int>>{{2, 3}, {0, 0}}));

  // Asked for by product id, the IDs are cleared before the search too.
  FakeTransportLog other;
  CTouchICWithFake direct(other);
  direct.fake().m_nPid = 0x0001;
  ASSERT_EQ(direct.Connect(kVendorId, 0x000B), 0);
  EXPECT_EQ(other.reportIds, (std::vector<std::pair<int, int>>{{0, 0}}));
  EXPECT_EQ(direct.GetOutReportID(), 0);
}

TEST_F(TouchICConnection, FailedPowerOnLeavesNothingOpen) {
  touch.fake().m_nPid = 0x0007;
  touch.fake().m_frameResults = {0, 0, 0, 3};
  EXPECT_EQ(touch.Connect(kVendorId, 0), 3);
  EXPECT_FALSE(touch.IsDeviceConnected());
  EXPECT_EQ(sent.closes, 1);
  EXPECT_EQ(touch.ICSleep(), 4100);

  // Power-off frames then meet a closed controller, and Disconnect still succeeds.
  sent.frames.clear();
  EXPECT_EQ(touch.Disconnect(), 0);
  EXPECT_TRUE(sent.frames.empty());
  EXPECT_EQ(sent.closes, 1);
}

TEST_F(TouchICConnection, OnlyTheLastPowerOnFrameDecides) {
  touch.fake().m_nPid = 0x0007;
  touch.fake().m_frameResults = {3, -6, 4100, 0};
  EXPECT_EQ(touch.Connect(kVendorId, 0), 0);
  EXPECT_EQ(sent.frames.size(), 4u);
  EXPECT_TRUE(touch.IsDeviceConnected());

  touch.fake().m_frameResults = {0, 0, 0, 3};
  EXPECT_EQ(touch.Disconnect(), 0);  // a bridge failure is never reported
  EXPECT_EQ(sent.closes, 1);
}

TEST_F(TouchICConnection, FailingProductQueryKeepsTheDeviceOpen) {
  touch.fake().m_nVidPidResult = -6;
  EXPECT_EQ(touch.Connect(kVendorId, 0), -6);
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Bridge initialization error\r\n");
  EXPECT_TRUE(touch.IsDeviceConnected());
  EXPECT_FALSE(m_echo.Has("Device connected."));
  EXPECT_EQ(touch.Disconnect(), 0);
  EXPECT_EQ(sent.closes, 1);
  EXPECT_TRUE(sent.frames.empty());
}

// Holds "GMutexTouchIC" on a thread of its own until told to let go (or, with
// `abandon`, lets the thread end while owning it).
class MutexHolder {
 public:
  explicit MutexHolder(bool abandon = false) : m_thread([this, abandon] { Hold(abandon); }) {
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_held; });
  }
  ~MutexHolder() {
    {
      std::lock_guard lock(m_mutex);
      m_release = true;
    }
    m_cv.notify_all();
    m_thread.join();
  }

 private:
  void Hold(bool abandon) {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, "GMutexTouchIC");
    WaitForSingleObject(hMutex, INFINITE);
    {
      std::lock_guard lock(m_mutex);
      m_held = true;
    }
    m_cv.notify_all();
    if (!abandon) {
      std::unique_lock lock(m_mutex);
      m_cv.wait(lock, [this] { return m_release; });
      ReleaseMutex(hMutex);
    }
    CloseHandle(hMutex);
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_held = false;
  bool m_release = false;
  std::thread m_thread;
};

TEST_F(TouchICConnection, BusyMutexFailsEveryLockedOperation) {
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  sent.commands.clear();
  {
    MutexHolder holder;
    EXPECT_EQ(touch.Connect(kVendorId, 0), 2);
    EXPECT_STREQ(DbgLogLastError(), "[ERR]Device is busy.\r\n");
    DWORD dwVersion = 0;
    EXPECT_EQ(touch.GetFwVerEx(dwVersion), 2);
    EXPECT_EQ(touch.Disconnect(), 2);
  }
  EXPECT_EQ(sent.searches, 1);
  EXPECT_TRUE(sent.commands.empty());
  EXPECT_EQ(sent.closes, 0);
  EXPECT_TRUE(touch.IsDeviceConnected());

  std::string log = m_machine.Log().Text();
  size_t nLockFail = log.find("[ERROR]TouchIC Mutex Lock fail.The wait operation timed out.");
  size_t nBusy = log.find("[ERR]Device is busy.");
  ASSERT_NE(nLockFail, std::string::npos);
  ASSERT_NE(nBusy, std::string::npos);
  EXPECT_LT(nLockFail, nBusy);

  EXPECT_EQ(touch.Disconnect(), 0);  // free again
  EXPECT_EQ(sent.closes, 1);
}

// The service's ending event, and a caller's own call-off event, end the
// waits for a busy mutex at once, and the Disconnect after a Connect that
// opened nothing does not wait again; the call-off event does not shorten
// device transfers.
TEST_F(TouchICConnection, EndingOrCallOffEventEndsTheWaitsForABusyMutex) {
  for (const bool fCallOff : {false, true}) {
    SCOPED_TRACE(fCallOff ? "call-off event" : "ending event");
    const size_t nFrom = m_machine.Log().Text().size();
    HANDLE hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    fCallOff ? touch.SetCancelEvent(hEvent) : touch.SetEndingEvent(hEvent);
    {
      MutexHolder holder;
      EXPECT_EQ(touch.Connect(kVendorId, 0), 2);
      EXPECT_EQ(touch.Disconnect(), 0);
      DWORD dwVersion = 0;
      EXPECT_EQ(touch.GetFwVerEx(dwVersion), 2);
    }
    touch.SetEndingEvent(nullptr);
    touch.SetCancelEvent(nullptr);
    CloseHandle(hEvent);
    EXPECT_EQ(sent.searches, 0);
    EXPECT_EQ(sent.closes, 0);
    const std::string log = m_machine.Log().Text().substr(nFrom);
    size_t nFirst = log.find("TouchIC Mutex Lock fail.");
    ASSERT_NE(nFirst, std::string::npos);
    size_t nSecond = log.find("TouchIC Mutex Lock fail.", nFirst + 1);
    ASSERT_NE(nSecond, std::string::npos) << "GetFwVerEx's";
    EXPECT_EQ(log.find("TouchIC Mutex Lock fail.", nSecond + 1), std::string::npos) << "Disconnect waited";
    EXPECT_EQ(log.find("timed out"), std::string::npos);
  }
  // Without either event the controller waits for the mutex as before, and a
  // Disconnect after a failed Connect waits for it too.
  {
    MutexHolder holder;
    EXPECT_EQ(touch.Connect(kVendorId, 0), 2);
    EXPECT_EQ(touch.Disconnect(), 2);
  }
  EXPECT_EQ(touch.Connect(kVendorId, 0), 0);
  EXPECT_EQ(touch.Disconnect(), 0);
}

TEST_F(TouchICConnection, AbandonedMutexFailsOnceAndIsHandedBack) {
  // An open handle keeps the mutex (and so its abandonment) in existence.
  HANDLE hKeep = CreateMutexA(nullptr, FALSE, "GMutexTouchIC");
  { MutexHolder holder(/*abandon=*/true); }
  EXPECT_EQ(touch.Connect(kVendorId, 0), 2);
  EXPECT_EQ(touch.Connect(kVendorId, 0), 0);
  CloseHandle(hKeep);
}

TEST_F(TouchICConnection, MutexIsFreeBetweenOperations) {
  ASSERT_EQ(touch.Connect(kVendorId, 0), 0);
  std::atomic<DWORD> dwWait{WAIT_FAILED};
  std::thread other([&] {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, "GMutexTouchIC");
    dwWait = WaitForSingleObject(hMutex, 0);
    ReleaseMutex(hMutex);
    CloseHandle(hMutex);
  });
  other.join();
  EXPECT_EQ(dwWait.load(), WAIT_OBJECT_0);
}

}  // namespace
