// A simulated machine with the service installed, the logged-on user's wake
// setting and one controller, for whole-service stories: start the service,
// change the machine, and wait for what the service writes and sends.
#pragma once

#include "app/ServiceProcess.h"
#include "log/DbgLog.h"
#include "tests/support/InstalledService.h"
#include "touchic/VornApi.h"
#include "wot/ServiceEntry.h"

#include <gtest/gtest.h>
#include <winsim/sim/eventlog.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/process_entry.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>
#include <winsim/sim/threadpool.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace scenario {

inline constexpr wchar_t kService[] = L"VornPalmixSvc";
inline constexpr const wchar_t* kWakeKeySuffix = L"\\Software\\Microsoft\\Input\\WakeableInputTypes";
// Simulated bound of every wait: far beyond what any story needs; on virtual
// time a wait that is not met costs no real time.
inline constexpr uint64_t kSimBoundMs = 3600 * 1000;

inline int ServiceProcess(int, wchar_t**) {
  RunService();
  return 0;
}

// A fresh machine folder and virtual time without a pace; `controller` as
// WINSIM_CONTROLLER would give it (empty: one default controller).
inline winsim::MachineConfig FreshConfig(const std::string& controller) {
  static std::atomic<int> counter{0};
  winsim::MachineConfig config;
  config.controller = controller;
  config.root = std::filesystem::temp_directory_path() /
                ("scenario-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  config.clock = winsim::Clock::Kind::kVirtual;
  config.timeScale = 0;
  return config;
}

// Removes the machine folder once the machine is gone.
struct FolderRemover {
  std::filesystem::path path;
  ~FolderRemover() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// The machine runs on virtual time and the test's thread is one of its
// simulated threads: the service runs only while the test waits, so a story
// plays the same way on any host. Stories end where the service is at rest (a
// watcher waiting, or none).
class ScenarioMachine {
 public:
  explicit ScenarioMachine(const std::string& controller = "")
      : m_config(FreshConfig(controller)), m_folder{m_config.root}, m_machine(m_config), m_driver(m_machine->clock(), "test") {
    std::filesystem::create_directories(LogDirectory());
    DbgLogInit();
    Scm().Install(vorntest::InstalledServiceConfig());
    winsim::SetProcessEntry(ServiceProcess);
  }
  ~ScenarioMachine() {
    Scm().Shutdown();
    Scm().WaitForProcessEnd(kService, kSimBoundMs);
    winsim::SetProcessEntry(nullptr);
    // The product's globals outlive the machine here: a service process that
    // ended through ExitProcess left its ending event with the controller.
    VORNAPI::SetEndingEvent(nullptr);
    DbgLogShutdown();
  }
  ScenarioMachine(const ScenarioMachine&) = delete;
  ScenarioMachine& operator=(const ScenarioMachine&) = delete;

  winsim::Machine& Machine() { return *m_machine; }
  winsim::Services& Scm() { return m_machine->Part<winsim::Services>(); }
  winsim::Registry& Registry() { return m_machine->Part<winsim::Registry>(); }
  winsim::Identity& Identity() { return m_machine->Part<winsim::Identity>(); }
  std::shared_ptr<winsim::TouchController> Controller() { return winsim::TouchControllers(*m_machine).at(0); }
  std::filesystem::path LogDirectory() { return m_machine->DriveC() / "VornPalmix" / "VrnDbgLog"; }

  // The wake key of the first logged-on user, as the registry's control API names it.
  std::wstring UserKey() {
    auto sids = Identity().LoggedOnUserSids();
    return sids.empty() ? std::wstring() : L"HKU\\" + sids.front() + kWakeKeySuffix;
  }
  void SetTouch(DWORD value) { ASSERT_TRUE(Registry().SetDword(UserKey(), L"Touch", value)); }

  void Start() { ASSERT_EQ(Scm().Start(kService), (DWORD)ERROR_SUCCESS); }
  void Stop() {
    ASSERT_TRUE(Scm().Stop(kService).Delivered());
    ASSERT_TRUE(Scm().WaitForState(kService, SERVICE_STOPPED, kSimBoundMs));
    ASSERT_TRUE(Scm().WaitForProcessEnd(kService, kSimBoundMs));
  }
  void DisplayOn() { EXPECT_TRUE(Scm().PowerSettingChange(kService, GUID_MONITOR_POWER_ON, {1}).Delivered()); }

  // The texts of the service's event-log entries (their second insertion string).
  std::vector<std::wstring> EventTexts() {
    std::vector<std::wstring> texts;
    for (const auto& entry : m_machine->Part<winsim::EventLog>().Entries())
      texts.push_back(entry.strings.size() == 2 && entry.source == kService ? entry.strings[1] : L"<other entry>");
    return texts;
  }
  size_t EventCount(const std::wstring& text) {
    auto texts = EventTexts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
  }
  size_t EventsStartingWith(const std::wstring& prefix) {
    auto texts = EventTexts();
    return static_cast<size_t>(
        std::count_if(texts.begin(), texts.end(), [&](const std::wstring& text) { return text.rfind(prefix, 0) == 0; }));
  }
  // The debug log's messages without their "[stamp][PID=n] " prefix.
  std::vector<std::string> DebugMessages() {
    std::vector<std::filesystem::path> files;
    for (const auto& item : std::filesystem::directory_iterator(LogDirectory())) files.push_back(item.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> messages;
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t pid = line.find("][PID=");
        size_t end = pid == std::string::npos ? pid : line.find("] ", pid);
        messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
      }
    }
    return messages;
  }
  size_t DebugCount(const std::string& message) {
    auto messages = DebugMessages();
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
  }

  // Lets the machine run until `done` holds (looked at after every step of
  // the service's threads).
  bool WaitUntil(const std::function<bool()>& done) { return Machine().clock().Await(done, kSimBoundMs); }
  bool WaitForEvents(const std::wstring& text, size_t count) {
    return WaitUntil([&] { return EventCount(text) >= count; });
  }
  bool WaitForDebug(const std::string& message, size_t count = 1) {
    return WaitUntil([&] { return DebugCount(message) >= count; });
  }
  // Waits until the watcher has armed its notification on the user's key and
  // said so `count` times in all.
  bool WaitForWatching(size_t count) {
    return WaitUntil([&] {
      return Registry().ArmedNotifications(UserKey()) >= 1 && EventCount(L"RegNotifyChangeKeyValue success.") >= count;
    });
  }
  // Waits until no watcher run is left on the thread pool.
  bool WaitForNoWatcher() {
    return Machine().Part<winsim::ThreadPool>().WaitIdle(std::chrono::milliseconds(kSimBoundMs));
  }
  // The selections the controller was sent, in order.
  std::vector<uint8_t> PushedFlags() {
    std::vector<uint8_t> flags;
    for (const auto& report : Controller()->Received())
      if (report.size() >= 7 && report[3] == 0xF0 && report[4] == 0x02) flags.push_back(report[6]);
    return flags;
  }

 private:
  winsim::MachineConfig m_config;
  FolderRemover m_folder;
  winsim::ScopedMachine m_machine;
  winsim::Clock::Member m_driver;
};

}  // namespace scenario
