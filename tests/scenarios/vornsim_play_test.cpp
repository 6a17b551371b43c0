// vornsim playing against the service: the timeline's channels along the
// road of the setting, controls the service does not take, and the same
// timeline on an idle and a busy host.
#include "simkit/Machine.h"
#include "simulator.h"
#include "soak_model.h"
#include "tests/support/InOrder.h"

#include <gtest/gtest.h>
#include <winsim/sim/identity.h>
#include <winsim/sim/registry.h>
#include <winsim/sim/services.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <functional>
#include <thread>
#include <vector>

namespace {

// The machine runs on virtual time and the test's thread is its player; the
// stories wait for the lines they expect (the service runs meanwhile), each
// wait bounded in simulated time.

// A simulator whose timeline is collected, without time stamps.
class Recorder {
 public:
  // pace: 0 as fast as the host allows, else times real time.
  explicit Recorder(double pace = 0) {
    winsim::MachineConfig config;
    config.root = m_folder.Path();
    config.timeScale = pace;
    m_simulator = std::make_unique<vornsim::Simulator>(config, [this](const std::wstring& line) {
      std::lock_guard lock(m_mutex);
      m_timeline.push_back(line);
      m_lines.push_back(line.substr(line.find(L' ') + 1));
    });
  }
  ~Recorder() { m_simulator.reset(); }

  void Play(const std::string& line) {
    std::vector<vornsim::Command> commands;
    vornsim::ScriptErrors errors;
    ASSERT_TRUE(vornsim::ParseScript(line, commands, errors)) << errors.first.front().message;
    for (const auto& command : commands) m_simulator->Play(command);
  }
  void Finish() { m_simulator->Finish(); }
  // Plays one of the scripts that come with the tool, to its end.
  void PlayScenario(const std::string& name) {
    Play(simkit::FileText(std::filesystem::path(VORNSIM_SCENARIOS_DIR) / name));
    Finish();
  }
  std::optional<DWORD> ServiceExitCode() {
    auto& scm = m_simulator->Machine().Part<winsim::Services>();
    if (!scm.WaitForProcessEnd(L"VornPalmixSvc", simkit::kWaitBoundMs)) return std::nullopt;
    return scm.ProcessExitCode(L"VornPalmixSvc");
  }
  // Lines from `from` on that start with `prefix`.
  size_t CountAfter(const std::wstring& from, const std::wstring& prefix) {
    auto lines = Lines();
    auto it = std::find(lines.begin(), lines.end(), from);
    return static_cast<size_t>(
        std::count_if(it, lines.end(), [&](const std::wstring& each) { return each.rfind(prefix, 0) == 0; }));
  }

  std::vector<std::wstring> Lines() {
    std::lock_guard lock(m_mutex);
    return m_lines;
  }
  // The lines as printed, with their simulated times.
  std::vector<std::wstring> Timeline() {
    std::lock_guard lock(m_mutex);
    return m_timeline;
  }
  size_t Count(const std::wstring& line) {
    auto lines = Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }
  size_t CountStartingWith(const std::wstring& prefix) {
    auto lines = Lines();
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::wstring& each) { return each.rfind(prefix, 0) == 0; }));
  }
  // The wake-on-touch bytes sent after each of `marks` (lines found in this
  // order) until the next mark.
  std::vector<std::vector<uint8_t>> SentAfter(const std::vector<std::wstring>& marks) {
    std::vector<std::vector<uint8_t>> sent;
    for (const auto& line : Lines()) {
      if (sent.size() < marks.size() && line == marks[sent.size()]) sent.emplace_back();
      const auto byte = line.rfind(L"wire ", 0) == 0 ? vornsim::WakeOnTouchByteSent(line.substr(5)) : std::nullopt;
      if (byte && !sent.empty()) sent.back().push_back(*byte);
    }
    return sent;
  }
  winsim::Machine& Machine() { return m_simulator->Machine(); }
  // Lets the machine run until `done` holds.
  bool AwaitThat(const std::function<bool()>& done) {
    return m_simulator->Machine().clock().Await(done, simkit::kWaitBoundMs);
  }
  // Lines are printed as they happen; `before` comes ahead of `after`.
  bool InOrder(const std::wstring& before, const std::wstring& after) { return vorntest::InOrder(Lines(), {before, after}); }
  // Waits until `line` has been printed `count` times.
  bool Await(const std::wstring& line, size_t count = 1) {
    return AwaitThat([&] { return Count(line) >= count; });
  }

 private:
  simkit::FreshFolder m_folder;
  std::mutex m_mutex;
  std::vector<std::wstring> m_lines;
  std::vector<std::wstring> m_timeline;
  std::unique_ptr<vornsim::Simulator> m_simulator;
};

const std::wstring kEnable = L"event VornPalmixSvc: Enable Wake-on-touch";
const std::wstring kDisable = L"event VornPalmixSvc: Disable Wake-on-touch";
const std::wstring kWireOn = L"wire out 03 00 04 F0 02 00 01 ...";
const std::wstring kWireOff = L"wire out 03 00 04 F0 02 ...";

// The road of the demo, each step awaited: the start and the first push, a
// change of the setting, display off and on, the controller unplugged and
// back, the stop.
TEST(VornsimPlay, TheRoadOfTheSettingOnEveryChannel) {
  Recorder sim;
  sim.Play("start");
  ASSERT_TRUE(sim.Await(L"scm VornPalmixSvc RUNNING"));
  ASSERT_TRUE(sim.Await(kEnable));
  EXPECT_TRUE(sim.InOrder(L"scm VornPalmixSvc START_PENDING", L"scm VornPalmixSvc RUNNING"));
  EXPECT_TRUE(sim.InOrder(L"sim start", kWireOn));
  EXPECT_TRUE(sim.InOrder(kWireOn, L"ctl wake-on-touch on"));
  ASSERT_TRUE(sim.Await(L"event VornPalmixSvc: RegNotifyChangeKeyValue success."));

  sim.Play("touch 0");
  ASSERT_TRUE(sim.Await(kDisable));
  EXPECT_TRUE(sim.InOrder(L"sim touch 0", kWireOff));
  EXPECT_TRUE(sim.InOrder(kWireOff, L"ctl wake-on-touch off"));

  sim.Play("display off");
  ASSERT_TRUE(sim.Await(L"event VornPalmixSvc: Monitor Off - Do nothing"));
  sim.Play("touch 1\ndisplay on");
  // The new watcher reads the changed setting after its delay (the old one
  // may or may not have pushed it before it ended).
  ASSERT_TRUE(sim.Await(kEnable, 2));

  sim.Play("controller detach\ndisplay on");
  ASSERT_TRUE(sim.Await(L"event VornPalmixSvc: Monitor On - Pass WoT selection to low level touch controller", 2));
  auto failures = [&] { return sim.CountStartingWith(L"event VornPalmixSvc: Connect fail. "); };
  ASSERT_TRUE(sim.AwaitThat([&] { return failures() >= 2; }));
  size_t enabledBefore = sim.Count(kEnable);
  sim.Play("controller attach");
  ASSERT_TRUE(sim.Await(kEnable, enabledBefore + 1));

  sim.Play("stop");
  EXPECT_TRUE(sim.Await(L"scm VornPalmixSvc STOPPED"));
  EXPECT_TRUE(sim.InOrder(L"sim stop", L"scm VornPalmixSvc STOP_PENDING"));
  sim.Finish();
  EXPECT_EQ(sim.Count(L"scm VornPalmixSvc STOPPED"), 1u);
  EXPECT_EQ(sim.Count(L"sim stop (end of script)"), 0u);
}

TEST(VornsimPlay, ControlsTheServiceDoesNotAcceptAreNotDelivered) {
  Recorder sim;
  sim.Play("power suspend\nstart");
  ASSERT_TRUE(sim.Await(L"scm VornPalmixSvc RUNNING"));
  sim.Play("start\npower suspend\npower resume\nsession change\ndisplay off\nlogoff\ntouch 1\nstop\nstop");
  EXPECT_EQ(sim.Count(L"sim power suspend not delivered: the service is not running"), 1u);
  EXPECT_EQ(sim.Count(L"sim power suspend not delivered: the service does not accept it"), 1u);
  EXPECT_EQ(sim.Count(L"sim power resume not delivered: the service does not accept it"), 1u);
  EXPECT_EQ(sim.Count(L"sim session change"), 1u) << "delivered";
  EXPECT_EQ(sim.Count(L"sim start refused: the service is already running"), 1u);
  EXPECT_EQ(sim.Count(L"event VornPalmixSvc: Monitor Off - Do nothing"), 1u);
  EXPECT_EQ(sim.Count(L"sim nobody is logged on: no setting to change"), 1u);
  EXPECT_EQ(sim.Count(L"sim stop not delivered: the service is not running"), 1u);
  EXPECT_EQ(sim.Count(L"event VornPalmixSvc: Service receive PBT_APMSUSPEND"), 0u);
}

// A logon through the script makes that user the one whose setting counts.
TEST(VornsimPlay, ALogonGivesTheNextDisplayOnTheNewUsersSetting) {
  Recorder sim;
  sim.Play("logoff\nlogon Robin\ntouch 2\nstart");
  ASSERT_TRUE(sim.Await(kDisable));
  ASSERT_TRUE(sim.Await(L"event VornPalmixSvc: RegNotifyChangeKeyValue success."));
  EXPECT_EQ(sim.Count(L"wire out 03 00 04 F0 02 00 02 ..."), 1u);
  EXPECT_EQ(sim.Count(L"ctl wake-on-touch off"), 1u) << "only byte 1 switches it on, as the message says";
  EXPECT_EQ(sim.CountStartingWith(L"sim Robin is logged on as S-1-5-21-"), 1u);
}

// A logon, a switch and a logoff print the session changes they send, in
// Windows' order; "touch" changes the console user's setting unless it
// names a user.
TEST(VornsimPlay, SessionCommandsPrintTheirSessionChangesAndTouchFollowsTheUser) {
  Recorder sim;
  sim.Play("start\nlogon Robin\nswitch Dana\ntouch 0 Robin\ntouch 2\nlogoff Robin\nlogoff Robin\ntouch 1 Robin");
  const std::vector<std::wstring> expected = {
      L"sim start",
      L"sim logon Robin",
      L"sim session change console-disconnect 1",
      L"sim session change console-connect 2",
      L"sim session change logon 2",
      L"sim switch Dana",
      L"sim session change console-disconnect 2",
      L"sim session change console-connect 1",
      L"sim touch 0 Robin",
      L"sim touch 2",
      L"sim logoff Robin",
      L"sim session change logoff 2",
      L"sim logoff Robin",
      L"sim Robin is not logged on",
      L"sim touch 1 Robin",
      L"sim Robin is not logged on: no setting to change",
  };
  std::vector<std::wstring> story;
  for (const auto& line : sim.Lines())
    if (line.rfind(L"sim ", 0) == 0 && line.rfind(L"sim Robin is logged on as", 0) != 0) story.push_back(line);
  EXPECT_EQ(story, expected);
  auto& identity = sim.Machine().Part<winsim::Identity>();
  auto& registry = sim.Machine().Part<winsim::Registry>();
  EXPECT_EQ(registry.GetDword(simkit::WakeKey(identity.AddUser(L"Robin")), L"Touch"), 0u);
  EXPECT_EQ(registry.GetDword(simkit::WakeKey(identity.ConsoleUserSid()), L"Touch"), 2u);
}

// The push opportunities beyond the display, as the scripts tell them (no
// display-on in either): every logon, switch and logoff brings the setting
// of the user at the console, or 1 once nobody is logged on (a woken watcher
// first pushes its own user's once more); a lock brings nothing. A
// controller that arrives is pushed once by the newest run, also after a
// watcher that gave up for want of it; a mouse that arrives, never.
TEST(VornsimPlay, TheControllerFollowsTheUserAtTheConsoleAndComesBackInStep) {
  {
    Recorder sim;
    sim.PlayScenario("console-users.txt");
    auto sent = sim.SentAfter({L"sim start", L"sim logon Robin", L"sim touch 1", L"sim logon Sam", L"sim switch Robin",
                               L"sim session change lock", L"sim logoff Robin", L"sim logoff Sam"});
    ASSERT_EQ(sent.size(), 8u);
    std::vector<int> held;
    for (const auto& bytes : sent) held.push_back(bytes.empty() ? -1 : bytes.back());
    EXPECT_EQ(held, (std::vector<int>{1, 0, 1, 2, 1, -1, 2, 1}));
  }
  {
    Recorder sim;
    sim.PlayScenario("controller-replug.txt");
    EXPECT_EQ(sim.SentAfter({L"sim start", L"sim controller attach", L"sim controller detach",
                             L"sim controller attach", L"sim mouse attach"}),
              (std::vector<std::vector<uint8_t>>{{}, {1}, {}, {1, 1}, {}}));
  }
}

// Keeps every core of the host busy for its life (host threads that never
// touch the machine).
class BusyHost {
 public:
  BusyHost() {
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
      m_threads.emplace_back([this] {
        while (!m_stop.load(std::memory_order_relaxed)) std::this_thread::yield();
      });
  }
  ~BusyHost() {
    m_stop = true;
    for (auto& thread : m_threads) thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::vector<std::thread> m_threads;
};

std::vector<std::wstring> PlayWhole(const std::string& script) {
  Recorder sim;
  sim.Play(script);
  sim.Finish();
  return sim.Timeline();
}

// The same script gives the same timeline, times and all, whether the host is
// idle or every core is busy: the service's threads, the device and the
// player run one at a time on virtual time. The script's waits end at the
// same instants as the service's own timers (its 5 s start delay, its 2 s
// retries), and the late answer races the read's time-out.
TEST(VornsimPlay, TheSameScriptGivesTheSameTimelineOnAnIdleAndABusyHost) {
  const std::string script = vornsim::DemoScript() +
                             "start\nwait 5\ncontroller detach\ndisplay on\nwait 2.1\ncontroller attach\n"
                             "controller fault late\ntouch 0\nwait 5\ncontroller fault none\nstop\n";
  auto idle = PlayWhole(script);
  std::vector<std::wstring> busy;
  {
    BusyHost host;
    busy = PlayWhole(script);
  }
  EXPECT_EQ(idle, busy);
  EXPECT_GT(idle.size(), 60u);
}

// Retries two seconds apart print two seconds apart, and an hour of waiting
// takes no hour.
TEST(VornsimPlay, TimesAreExactAndAnHourPassesAtOnce) {
  auto timeline = PlayWhole("controller detach\nstart\nwait 3600\n");
  std::vector<std::wstring> failures;
  for (const auto& line : timeline)
    if (line.find(L" event VornPalmixSvc: Connect fail.") != std::wstring::npos) failures.push_back(line.substr(0, line.find(L' ')));
  ASSERT_GE(failures.size(), 3u);
  EXPECT_EQ(failures[0], L"5.000");
  EXPECT_EQ(failures[1], L"7.100");
  EXPECT_EQ(failures[2], L"9.200");
  EXPECT_EQ(timeline.back().substr(0, 9), L"3600.000 ");
}

// The pushes under pressure, as the scripts tell them. Another process holds
// the controller's mutex through a display-on storm: the runs do not queue up
// behind one another, and once the mutex is free the newest value goes out
// once. A driver that hangs on every write: each push gives its write up, and
// once the driver works the next push reaches the controller. Either way the
// stop ends the process at once with 0.
TEST(VornsimPlay, TheSquattedMutexAndTheHungWriteScenarios) {
  {
    Recorder sim;
    sim.PlayScenario("squatted-mutex-storm.txt");
    EXPECT_EQ(sim.CountAfter(L"sim mutex hold", L"wire out"), 1u);
    EXPECT_EQ(sim.CountAfter(L"sim mutex release", L"wire out 03 00 04 F0 02 ..."), 1u);
    EXPECT_EQ(sim.CountAfter(L"sim mutex release", kDisable), 1u);
    EXPECT_EQ(sim.CountAfter(L"sim mutex release", kEnable), 0u);
    EXPECT_EQ(sim.ServiceExitCode(), std::optional<DWORD>(0));
  }
  {
    Recorder sim;
    sim.PlayScenario("hung-write.txt");
    EXPECT_GE(sim.Count(L"event VornPalmixSvc: SWSetSystemInfo fail. [ERR]Write Data Wait timeout."), 3u);
    EXPECT_EQ(sim.CountAfter(L"sim controller fault none", L"ctl wake-on-touch off"), 1u);
    EXPECT_TRUE(sim.InOrder(L"sim controller fault none", kDisable));
    EXPECT_EQ(sim.ServiceExitCode(), std::optional<DWORD>(0));
  }
}

}  // namespace
