// The debug log on a simulated machine whose clock stands still (virtual time
// passes only in waits), so time stamps and hourly file names are exact.
#include "log/DbgLog.h"
#include "simkit/Machine.h"

#include <gtest/gtest.h>
#include <winsim/sim/executable.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using simkit::FileText;

// 6 March 2024, 14:05:09.042 local time.
int64_t WallMs(int nHour, int nMinute, int nSecond, int nMs) {
  auto tp = sys_days{year{2024} / March / 6} + hours{nHour} + minutes{nMinute} + seconds{nSecond} +
            milliseconds{nMs};
  return tp.time_since_epoch() / milliseconds{1};
}

std::string Prefix(const char* pszStamp) {
  return std::string("[") + pszStamp + "][PID=" + std::to_string(GetCurrentProcessId()) + "] ";
}

std::vector<std::string> g_echoed;
unsigned long long g_nEchoLength = 0;
void RecordEcho(const char* pszMessage, unsigned long long nLength) {
  g_echoed.emplace_back(pszMessage);
  g_nEchoLength = nLength;
}

class DbgLogTest : public testing::Test {
 protected:
  ~DbgLogTest() override { DbgLogShutdown(); }

  fs::path LogDir() { return m_machine.LogDirectory(); }
  fs::path HourFile(const char* pszHour) { return LogDir() / (std::string("20240306-") + pszHour + ".log"); }
  // Starts the log with its directory present and drops the banner.
  void StartEnabled() {
    fs::create_directories(LogDir());
    DbgLogInit();
    fs::remove(HourFile("14"));
  }

  simkit::VirtualMachine m_machine{{.debugLog = false, .wallOriginMs = WallMs(14, 5, 9, 42)}};
};

TEST_F(DbgLogTest, BannerLinesInOrderWithVersionLineOnlyWhenResourcePresent) {
  fs::create_directories(LogDir());
  char szExe[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, szExe, MAX_PATH);
  const std::string prefix = Prefix("0306-14:05:09.042");
  const std::string rule = prefix + std::string(64, '-') + "\r\n\r\n";
  const std::string banner = rule + prefix + std::string(25, ' ') + "Logging Start" + std::string(26, ' ') +
                             "\r\n\r\n" + rule + prefix + "FilePath:\r\n" + prefix + szExe + "\r\n";
  DbgLogInit();
  EXPECT_EQ(FileText(HourFile("14")), banner + prefix + "File Version: " VORN_PROJECT_VERSION "\r\n");

  fs::remove(HourFile("14"));
  m_machine->Part<winsim::Executable>().SetVersionResource(false);
  DbgLogInit();
  EXPECT_EQ(FileText(HourFile("14")), banner);
}

TEST_F(DbgLogTest, EntriesAndLastErrorTextByteForByte) {
  StartEnabled();
  EXPECT_STREQ(DbgLogLastError(), "");
  EXPECT_EQ(DbgLogTrace("CTouchIC::Connect", 336, "Device %s.", "connected"), 0);
  EXPECT_EQ(DbgLogTrace("VORNAPI::Connect", 12, "Connect\n"), 0);
  EXPECT_EQ(DbgLogError("CTouchIC::Connect", 40, "Device is %s.", "busy"), kResultLoggedFailure);
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Device is busy.\r\n");
  EXPECT_EQ(DbgLogSysError("CHIDWinGet::ReadData", 7, 0, "Read %d", 3), kResultLoggedFailure);
  EXPECT_STREQ(DbgLogLastError(), "[ERROR]Read 3");
  EXPECT_EQ(DbgLogSysError("CHIDWinGet::ReadData", 8, WAIT_TIMEOUT, "Wait: "), kResultLoggedFailure);
  EXPECT_STREQ(DbgLogLastError(), "[ERROR]Wait: The wait operation timed out.\r\n");
  DbgLogSysError("CHIDWinGet::ReadData", 9, 0x2000FFFFu, "No text");  // no system text for this code
  EXPECT_STREQ(DbgLogLastError(), "[ERROR]No text");

  const std::string p = Prefix("0306-14:05:09.042");
  EXPECT_EQ(FileText(HourFile("14")), p + "[CTouchIC::Connect#336]Device connected.\r\n" +
                                          p + "[VORNAPI::Connect#12]Connect\n\r\n" +
                                          p + "[ERR]Device is busy.\r\n\r\n" + p + "[ERROR]Read 3\r\n" +
                                          p + "[ERROR]Wait: The wait operation timed out.\r\n\r\n" +
                                          p + "[ERROR]No text\r\n");
}

TEST_F(DbgLogTest, OffWithoutDirectoryButErrorsStillRecorded) {
  DbgLogInit();
  fs::create_directories(LogDir());  // too late: decided once at start
  EXPECT_EQ(DbgLogWrite("plain"), 0);
  EXPECT_EQ(DbgLogTrace("A::B", 1, "trace"), 0);
  EXPECT_EQ(DbgLogError("A::B", 2, "Device is busy."), kResultLoggedFailure);
  EXPECT_STREQ(DbgLogLastError(), "[ERR]Device is busy.\r\n");
  EXPECT_TRUE(fs::is_empty(LogDir()));
}

TEST_F(DbgLogTest, NewFileWithEveryHour) {
  StartEnabled();
  m_machine->clock().SetWallMs(WallMs(13, 59, 59, 999));
  DbgLogWrite("last of 13");
  m_machine->clock().SetWallMs(WallMs(14, 0, 0, 0));
  DbgLogWrite("first of 14");
  EXPECT_EQ(FileText(HourFile("13")), Prefix("0306-13:59:59.999") + "last of 13\r\n");
  EXPECT_EQ(FileText(HourFile("14")), Prefix("0306-14:00:00.000") + "first of 14\r\n");
}

TEST_F(DbgLogTest, SharingWithOtherWritersAndLostLines) {
  StartEnabled();
  const std::wstring path = L"C:\\VornPalmix\\VrnDbgLog\\20240306-14.log";
  HANDLE hShared = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(hShared, INVALID_HANDLE_VALUE);
  EXPECT_EQ(DbgLogWrite("kept"), 0);
  CloseHandle(hShared);

  HANDLE hExclusive = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(hExclusive, INVALID_HANDLE_VALUE);
  SetLastError(1234);
  EXPECT_EQ(DbgLogWrite("lost"), kResultLogOpenFailed);
  EXPECT_EQ(GetLastError(), 1234u) << "logging must not disturb the caller's last error";
  CloseHandle(hExclusive);
  EXPECT_EQ(FileText(HourFile("14")), Prefix("0306-14:05:09.042") + "kept\r\n");

  fs::remove_all(LogDir());
  EXPECT_EQ(DbgLogWrite("directory gone"), kResultLogOpenFailed);
}

TEST_F(DbgLogTest, OverlongTextsAreCutAndStayWellFormed) {
  StartEnabled();
  const std::string longText(5000, 'x');
  DbgLogTrace("Op::Name", 1, "%s", longText.c_str());
  const std::string line = FileText(HourFile("14"));
  EXPECT_EQ(line.size(), 511u);
  EXPECT_EQ(line.rfind(Prefix("0306-14:05:09.042") + "[Op::Name#1]xxx", 0), 0u);
  EXPECT_EQ(line.substr(line.size() - 3), "x\r\n");

  DbgLogError("Op::Name", 2, "%s", longText.c_str());
  EXPECT_EQ(std::string(DbgLogLastError()), "[ERR]" + std::string(511, 'x') + "\r\n");
  DbgLogSysError("Op::Name", 3, WAIT_TIMEOUT, "%s", longText.c_str());
  EXPECT_EQ(std::string(DbgLogLastError()), "[ERROR]" + std::string(511, 'x') + "The wait operation timed out.\r\n");

  // Two-byte UTF-8 characters cut at an odd byte count: no half character.
  std::string accents;
  for (int i = 0; i < 400; ++i) accents += "\xC3\xA9";
  DbgLogError("Op::Name", 4, "%s", accents.c_str());
  EXPECT_EQ(std::string(DbgLogLastError()), "[ERR]" + accents.substr(0, 510) + "\r\n");

  EXPECT_EQ(DbgLogTrace(nullptr, 5, nullptr), 0);
  EXPECT_EQ(DbgLogWrite(nullptr), 0);
}

TEST_F(DbgLogTest, EchoHookSeesMessageAloneEvenAfterShutdown) {
  g_echoed.clear();
  DbgLogInit();  // logging off: the hook still sees every trace
  DbgLogSetEcho(RecordEcho);
  DbgLogTrace("VORNAPI::Connect", 88, "Connect\n");
  EXPECT_EQ(g_nEchoLength, 8u);
  DbgLogError("VORNAPI::Connect", 89, "not echoed");
  DbgLogShutdown();
  DbgLogTrace("VORNAPI::Disconnect", 90, "after %d", 1);
  EXPECT_EQ(g_echoed, (std::vector<std::string>{"Connect\n", "after 1"}));
}

TEST_F(DbgLogTest, ShutdownStopsWritingAndRestartWorks) {
  StartEnabled();
  DbgLogShutdown();
  DbgLogShutdown();
  EXPECT_EQ(DbgLogWrite("after shutdown"), 0);
  EXPECT_FALSE(fs::exists(HourFile("14")));
  DbgLogInit();
  EXPECT_NE(FileText(HourFile("14")).find("Logging Start"), std::string::npos);
}

TEST_F(DbgLogTest, LastErrorTextBelongsToTheFailingThread) {
  StartEnabled();
  DbgLogError("Main::Run", 1, "main failed");
  std::string other;
  std::thread([&] {
    EXPECT_STREQ(DbgLogLastError(), "");
    DbgLogError("Worker::Run", 2, "worker failed");
    other = DbgLogLastError();
  }).join();
  EXPECT_EQ(other, "[ERR]worker failed\r\n");
  EXPECT_STREQ(DbgLogLastError(), "[ERR]main failed\r\n");
}

TEST_F(DbgLogTest, ConcurrentWritersKeepLinesWholeUntilShutdown) {
  StartEnabled();
  constexpr int kThreads = 4;
  constexpr int kLines = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) DbgLogTrace("Worker::Loop", t, "line %d", i);
    });
  for (auto& thread : threads) thread.join();
  std::istringstream lines(FileText(HourFile("14")));
  int nLines = 0;
  for (std::string line; std::getline(lines, line); ++nLines) {
    EXPECT_EQ(line.rfind(Prefix("0306-14:05:09.042") + "[Worker::Loop#", 0), 0u) << line;
    EXPECT_EQ(line.back(), '\r');
  }
  EXPECT_EQ(nLines, kThreads * kLines);

  // Writers still running while the log shuts down: nothing crashes, and the
  // lock is not deleted under them.
  std::atomic<bool> fStop{false};
  threads.clear();
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&fStop] {
      while (!fStop.load()) DbgLogWrite("racing");
    });
  DbgLogShutdown();
  fStop = true;
  for (auto& thread : threads) thread.join();
}

}  // namespace

// ---- Only the hourly file itself is written -----------------------------------

// A folder of the machine's drive outside the log directory: what a link reaches.
class DbgLogLinkTest : public DbgLogTest {
 protected:
  fs::path Elsewhere() { return m_machine->DriveC() / "Elsewhere"; }
  bool NothingElsewhere() {
    for (const auto& item : fs::recursive_directory_iterator(Elsewhere()))
      if (item.is_regular_file() && item.file_size() != 0 && item.path().filename() != "target.txt") return false;
    return true;
  }
};

TEST_F(DbgLogLinkTest, ALinkedLogFolderReceivesNothing) {
  fs::create_directories(Elsewhere());
  fs::create_directories(LogDir().parent_path());
  fs::create_directory_symlink(Elsewhere(), LogDir());
  DbgLogInit();  // the folder is there, as a link: the log is on
  EXPECT_EQ(DbgLogWrite("through the link"), kResultLogOpenFailed);
  EXPECT_TRUE(fs::is_empty(Elsewhere()));
}

TEST_F(DbgLogLinkTest, ALinkedParentFolderReceivesNothing) {
  fs::create_directories(Elsewhere() / "VrnDbgLog");
  fs::create_directory_symlink(Elsewhere(), LogDir().parent_path());
  DbgLogInit();
  EXPECT_EQ(DbgLogWrite("through the link"), kResultLogOpenFailed);
  EXPECT_TRUE(fs::is_empty(Elsewhere() / "VrnDbgLog"));
  // An hourly file made there beforehand gets nothing either: its handle's
  // final name is not the log's.
  std::ofstream(Elsewhere() / "VrnDbgLog" / "20240306-14.log").flush();
  EXPECT_EQ(DbgLogWrite("through the link"), kResultLogOpenFailed);
  EXPECT_EQ(fs::file_size(Elsewhere() / "VrnDbgLog" / "20240306-14.log"), 0u);
}

TEST_F(DbgLogLinkTest, ALinkedOrHardLinkedHourFileReceivesNothing) {
  StartEnabled();
  fs::create_directories(Elsewhere());
  const fs::path target = Elsewhere() / "target.txt";
  std::ofstream(target) << "kept";
  fs::create_symlink(target, HourFile("14"));
  EXPECT_EQ(DbgLogWrite("through a symbolic link"), kResultLogOpenFailed);
  EXPECT_EQ(FileText(target), "kept");
  fs::remove(HourFile("14"));
  fs::create_hard_link(target, HourFile("14"));
  EXPECT_EQ(DbgLogWrite("through a hard link"), kResultLogOpenFailed);
  EXPECT_EQ(FileText(target), "kept");
  EXPECT_TRUE(NothingElsewhere());
  fs::remove(HourFile("14"));
  EXPECT_EQ(DbgLogWrite("plain again"), 0);
  EXPECT_EQ(FileText(HourFile("14")), Prefix("0306-14:05:09.042") + "plain again\r\n");
}

TEST_F(DbgLogTest, AFullHourFileSaysSoOnceAndDropsTheRest) {
  StartEnabled();
  constexpr uintmax_t kLimit = 16u * 1024 * 1024;
  std::ofstream(HourFile("14")).flush();
  fs::resize_file(HourFile("14"), kLimit - 10);
  EXPECT_EQ(DbgLogWrite("the last line"), 0);
  // A dropped line is a write that failed: 0, as any failed write.
  EXPECT_EQ(DbgLogWrite("dropped"), 0);
  EXPECT_EQ(DbgLogTrace("Op::Name", 1, "dropped too"), 0);
  const std::string p = Prefix("0306-14:05:09.042");
  const std::string tail =
      p + "the last line\r\n" + p + "Log file size limit reached: the further lines of this hour are dropped\r\n";
  const std::string text = FileText(HourFile("14"));
  ASSERT_EQ(text.size(), kLimit - 10 + tail.size());
  EXPECT_EQ(text.substr(kLimit - 10), tail);
  // The next hour has a file of its own.
  m_machine->clock().SetWallMs(WallMs(15, 0, 0, 0));
  EXPECT_EQ(DbgLogWrite("next hour"), 0);
  EXPECT_EQ(FileText(HourFile("15")), Prefix("0306-15:00:00.000") + "next hour\r\n");
}

// The folder swapped for a link between the log's checks and its open of a
// new hourly file: the file that open made is deleted through its handle,
// so nothing is left anywhere but in the log's own folder.
TEST_F(DbgLogLinkTest, AFolderSwappedForALinkAtTheOpenKeepsNothingItMade) {
  StartEnabled();
  fs::create_directories(Elsewhere());
  winsim::FaultPlan swap;
  swap.subject = L"VrnDbgLog\\20240306-14.log";
  swap.skip = 1;  // the open of an existing file comes first; the open that makes it second
  swap.action = [&] {
    fs::rename(LogDir(), LogDir().string() + ".old");
    fs::create_directory_symlink(Elsewhere(), LogDir());
  };
  m_machine->Part<winsim::Faults>().Arm(winsim::FaultPoint::kCreateFile, swap);
  EXPECT_EQ(DbgLogWrite("raced"), kResultLogOpenFailed);
  EXPECT_EQ(m_machine->Part<winsim::Faults>().Hits(winsim::FaultPoint::kCreateFile), 1u);
  EXPECT_TRUE(fs::is_empty(Elsewhere()));
}

// Past 256 MB of hourly files, a new hourly file makes the oldest go, and
// only the log's own: a name it does not give, a link, a file with a second
// name and read-only files stay. Those it cannot delete are counted apart:
// however much they hold, the others go only as far as the bound needs.
TEST_F(DbgLogLinkTest, ANewHourFileKeepsTheFolderWithinItsBound) {
  StartEnabled();
  constexpr uintmax_t kFull = 16u * 1024 * 1024;
  auto make = [&](const std::string& name, uintmax_t size) {
    std::ofstream(LogDir() / name).flush();
    fs::resize_file(LogDir() / name, size);  // sparse: no disk is used
  };
  auto day = [](const char* pszMonth, int nDay) {
    return std::string("2024") + pszMonth + (nDay < 10 ? "0" : "") + std::to_string(nDay) + "-07.log";
  };
  for (int nDay = 1; nDay <= 17; ++nDay) make(day("02", nDay), kFull);
  for (int nDay = 1; nDay <= 17; ++nDay) {  // older, and read-only
    make(day("01", nDay), kFull);
    fs::permissions(LogDir() / day("01", nDay), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
  make("notes.txt", kFull);
  make("20240101-7.log", kFull);
  fs::create_directories(Elsewhere());
  std::ofstream(Elsewhere() / "target.txt") << "kept";
  fs::create_symlink(Elsewhere() / "target.txt", LogDir() / "20230101-00.log");
  fs::create_hard_link(LogDir() / "notes.txt", LogDir() / "20230101-01.log");

  EXPECT_EQ(DbgLogWrite("a new hour"), 0);
  EXPECT_FALSE(fs::exists(LogDir() / "20240201-07.log"));
  for (const std::string& kept : {day("02", 2), day("02", 17), day("01", 1), std::string("notes.txt"),
                                  std::string("20240101-7.log"), std::string("20230101-01.log")})
    EXPECT_TRUE(fs::exists(LogDir() / kept)) << kept;
  EXPECT_TRUE(fs::is_symlink(LogDir() / "20230101-00.log"));
  EXPECT_EQ(FileText(Elsewhere() / "target.txt"), "kept");
  const std::string p = Prefix("0306-14:05:09.042");
  // Seventeen full files of the log's own hold 272 MB: one goes. The hard
  // link and the read-only files cannot.
  EXPECT_EQ(FileText(HourFile("14")), p + "Log folder over its 256 MB: the 1 oldest hourly files were deleted "
                                          "(16777216 bytes), 18 could not be deleted\r\n" +
                                          p + "a new hour\r\n");
  // Lines to a file that exists check nothing.
  make("20240101-01.log", kFull);
  EXPECT_EQ(DbgLogWrite("same hour"), 0);
  EXPECT_TRUE(fs::exists(LogDir() / "20240101-01.log"));
}

// Two processes write the same hourly files, across an hour change, while a
// third holds the next hour's file open as the open that makes a file holds
// it (with delete access, during the folder's bound): every line of both
// arrives, whole, in its hour's file.
TEST(DbgLogProcessesTest, TwoWritersAcrossAnHourLoseNoLine) {
  constexpr int kLines = 600;
  const simkit::SharedFolder folder;
  winsim::MachineConfig config;
  config.root = folder.Root();
  winsim::ScopedMachine machine(config);
  HANDLE hMaking = CreateFileW(L"C:\\VornPalmix\\VrnDbgLog\\20240306-14.log",
                               FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES | DELETE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  ASSERT_NE(hMaking, INVALID_HANDLE_VALUE);
  auto writer = [&](const char* pszTag) {
    return std::async(std::launch::async, simkit::RunCommand,
                      folder.ShellPrefix("", /*timeScale=*/1) + VORN_LOG_WRITER_EXE " " + pszTag + " " +
                          std::to_string(kLines));
  };
  auto first = writer("A"), second = writer("B");
  EXPECT_EQ(first.get().status, 0);
  EXPECT_EQ(second.get().status, 0);
  CloseHandle(hMaking);

  std::map<char, std::vector<int>> numbers;  // each writer's line numbers, from both files
  for (const char* pszHour : {"13", "14"}) {
    std::istringstream text(FileText(folder.LogDirectory() / (std::string("20240306-") + pszHour + ".log")));
    for (std::string row; std::getline(text, row);) {
      // "[0306-hh:mm:ss.mmm][PID=n] TAG N\r"; the banners' lines do not match.
      unsigned nHour = 0, nPid = 0;
      char cTag = 0, cEnd = 0;
      int nLine = -1;
      if (std::sscanf(row.c_str(), "[0306-%2u:%*2u:%*2u.%*3u][PID=%u] %c %d%c", &nHour, &nPid, &cTag, &nLine, &cEnd) != 5 ||
          cEnd != '\r')
        continue;
      EXPECT_EQ(std::to_string(nHour), pszHour) << row;
      numbers[cTag].push_back(nLine);
    }
  }
  std::vector<int> all(kLines);
  std::iota(all.begin(), all.end(), 0);
  for (char cTag : {'A', 'B'}) {
    std::sort(numbers[cTag].begin(), numbers[cTag].end());
    EXPECT_EQ(numbers[cTag], all) << cTag << ": " << numbers[cTag].size() << " of " << kLines << " lines";
  }
}

// A caller that never leaves the log (a thread ended inside a write) holds
// its shutdown up for a bounded time only.
TEST_F(DbgLogTest, ShutdownWaitsForACallerStuckInsideABoundedTime) {
  StartEnabled();
  std::promise<void> inside, letGo;
  std::shared_future<void> released = letGo.get_future().share();
  winsim::FaultPlan stall;
  stall.subject = L"VrnDbgLog";
  stall.action = [&] {
    inside.set_value();
    released.wait();
  };
  m_machine->Part<winsim::Faults>().Arm(winsim::FaultPoint::kCreateFile, stall);
  std::thread stuck([] { DbgLogWrite("stuck"); });
  inside.get_future().wait();
  DbgLogShutdown();
  EXPECT_EQ(DbgLogWrite("after the shutdown"), 0);
  letGo.set_value();
  stuck.join();
}
