// The machine's event log: entries with their type and insertion strings, in
// order, the observer, registration failure on demand, and bad handles.
#include <gtest/gtest.h>
#include <winsim/sim/eventlog.h>
#include <winsim/windows.h>

#include <thread>

namespace {

using winsim::EventLog;

void Report(HANDLE source, WORD type, const wchar_t* first, const wchar_t* second) {
  LPCWSTR strings[] = {first, second};
  ASSERT_TRUE(ReportEventW(source, type, 0, 0, nullptr, 2, 0, strings, nullptr));
}

TEST(MachineEventLog, EntriesKeepSourceTypeAndStringsInOrder) {
  winsim::ScopedMachine machine;
  auto& log = machine->Part<EventLog>();
  std::vector<std::wstring> seen;
  log.SetObserver([&](const winsim::EventRecord& record) { seen.push_back(record.strings.at(1)); });
  HANDLE source = RegisterEventSourceW(nullptr, L"SvcA");
  ASSERT_NE(source, nullptr);
  Report(source, EVENTLOG_INFORMATION_TYPE, L"SvcA", L"first");
  Report(source, EVENTLOG_ERROR_TYPE, L"SvcA", L"second");
  ASSERT_TRUE(DeregisterEventSource(source));
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].source, L"SvcA");
  EXPECT_EQ(entries[0].type, (WORD)EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(entries[0].strings, (std::vector<std::wstring>{L"SvcA", L"first"}));
  EXPECT_EQ(entries[1].type, (WORD)EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"first", L"second"}));
  EXPECT_EQ(log.OpenSources(), 0u);
}

TEST(MachineEventLog, RegistrationFailsOnDemand) {
  winsim::ScopedMachine machine;
  auto& log = machine->Part<EventLog>();
  log.SetRegistrationFailure(ERROR_ACCESS_DENIED);
  SetLastError(0);
  EXPECT_EQ(RegisterEventSourceW(nullptr, L"SvcA"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  log.SetRegistrationFailure(ERROR_SUCCESS);
  HANDLE source = RegisterEventSourceW(nullptr, L"SvcA");
  EXPECT_NE(source, nullptr);
  DeregisterEventSource(source);
}

TEST(MachineEventLog, BadArgumentsAndHandlesFail) {
  winsim::ScopedMachine machine;
  SetLastError(0);
  EXPECT_EQ(RegisterEventSourceW(L"\\\\elsewhere", L"SvcA"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)RPC_S_SERVER_UNAVAILABLE);
  HANDLE source = RegisterEventSourceW(nullptr, L"SvcA");
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(DeregisterEventSource(source));
  EXPECT_FALSE(DeregisterEventSource(source));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  LPCWSTR strings[] = {L"x"};
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(machine->Part<EventLog>().Count(), 0u);
}

TEST(MachineEventLog, ConcurrentReportersLoseNothing) {
  winsim::ScopedMachine machine;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 25; ++i) {
        HANDLE source = RegisterEventSourceW(nullptr, L"SvcB");
        Report(source, EVENTLOG_INFORMATION_TYPE, L"SvcB", L"line");
        DeregisterEventSource(source);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(machine->Part<EventLog>().WaitForCount(100, 1000));
  EXPECT_EQ(machine->Part<EventLog>().OpenSources(), 0u);
}

}  // namespace
