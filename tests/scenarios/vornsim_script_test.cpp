// vornsim's script language and its timeline format: what a script may say,
// how a bad line is reported, and how reports on the wire are written.
#include "script.h"
#include "simkit/Folder.h"
#include "timeline.h"

#include <gtest/gtest.h>
#include <winsim/user32.h>

#include <filesystem>
#include <vector>

namespace {

using vornsim::CommandKind;

std::vector<vornsim::Command> Parse(const std::string& script) {
  std::vector<vornsim::Command> commands;
  vornsim::ScriptErrors errors;
  EXPECT_TRUE(vornsim::ParseScript(script, commands, errors)) << errors.first.front().line << ": " << errors.first.front().message;
  return commands;
}

vornsim::ScriptErrors ParseErrors(const std::string& script) {
  std::vector<vornsim::Command> commands;
  vornsim::ScriptErrors errors;
  EXPECT_FALSE(vornsim::ParseScript(script, commands, errors)) << script;
  return errors;
}

TEST(VornsimScript, ReadsEveryCommandWithItsArguments) {
  auto commands = Parse(
      "# a comment line\n"
      "start\n"
      "  display on   # trailing comment\n"
      "display off\r\n"
      "power suspend\npower resume\nsession change\n"
      "touch 0\ntouch 0x2\ntouch 4294967295\ntouch delete\n"
      "logon Kiosk\nlogoff\n"
      "controller attach\ncontroller attach fw=1204 pid=0x0007\ncontroller detach\n"
      "controller fault stuck-write\n"
      "wait 5\nwait 0.25\nstop\n"
      "mutex hold\nmutex release\ncontroller fault hang\n");
  std::vector<CommandKind> kinds;
  for (const auto& command : commands) kinds.push_back(command.kind);
  EXPECT_EQ(kinds, (std::vector<CommandKind>{
                       CommandKind::kStart, CommandKind::kDisplayOn, CommandKind::kDisplayOff,
                       CommandKind::kPowerSuspend, CommandKind::kPowerResume, CommandKind::kSessionChange,
                       CommandKind::kTouchSet, CommandKind::kTouchSet, CommandKind::kTouchSet,
                       CommandKind::kTouchDelete, CommandKind::kLogOn, CommandKind::kLogOff,
                       CommandKind::kControllerAttach, CommandKind::kControllerAttach,
                       CommandKind::kControllerDetach, CommandKind::kControllerFault, CommandKind::kWait,
                       CommandKind::kWait, CommandKind::kStop, CommandKind::kMutexHold,
                       CommandKind::kMutexRelease, CommandKind::kControllerFault}));
  EXPECT_EQ(commands[1].text, "display on");
  EXPECT_EQ(commands[1].line, 3);
  EXPECT_EQ(commands[7].touchValue, 2u);
  EXPECT_EQ(commands[8].touchValue, 0xFFFFFFFFu);
  EXPECT_EQ(commands[10].name, "Kiosk");
  EXPECT_FALSE(commands[12].firmware.has_value());
  EXPECT_EQ(commands[13].firmware, 0x1204);
  EXPECT_EQ(commands[13].productId, 0x0007);
  EXPECT_EQ(commands[15].name, "stuck-write");
  EXPECT_EQ(commands[16].waitMs, 5000u);
  EXPECT_EQ(commands[17].waitMs, 250u);
}

TEST(VornsimScript, NamesEveryLineItCannotRead) {
  struct Case {
    const char* script;
    int line;
  } const cases[] = {
      {"start\nfly away\n", 2},
      {"start extra\n", 1},
      {"\n\ndisplay sideways\n", 3},
      {"touch\n", 1},
      {"touch -1\n", 1},
      {"touch 4294967296\n", 1},
      {"touch 0x\n", 1},
      {"logon\n", 1},
      {"logon two words\n", 1},
      {"logon bad\\name\n", 1},
      {"logon abcdefghijklmnopqrstu\n", 1},
      {"controller\n", 1},
      {"controller attach fw=12345\n", 1},
      {"controller attach fw=1 fw=2\n", 1},
      {"controller attach size=3\n", 1},
      {"controller fault unplug\n", 1},
      {"controller fault\n", 1},
      {"wait\n", 1},
      {"wait -1\n", 1},
      {"wait 1.2345\n", 1},
      {"wait 1.\n", 1},
      {"wait 86401\n", 1},
      {"wait soon\n", 1},
      {"START\n", 1},
      {"mutex grab\n", 1},
      {"mutex hold now\n", 1},
      {"mutex\n", 1},
      {"logon Dana\n", 1},  // the machine's user is logged on at boot
      {"logon Robin\nlogon ROBIN\n", 2},
      {"logon Robin\nlogoff Robin\nlogon Robin\nlogoff\nlogon Dana\nlogon dana\n", 6},
      {"switch\n", 1},
      {"logoff a b\n", 1},
      {"touch 1 bad\\name\n", 1},
      {"touch 1 Robin extra\n", 1},
      {"session\n", 1},
      {"session change nap\n", 1},
      {"mouse\n", 1},
  };
  for (const auto& c : cases) {
    auto errors = ParseErrors(c.script);
    ASSERT_EQ(errors.count, 1u) << c.script;
    EXPECT_EQ(errors.first[0].line, c.line) << c.script;
    EXPECT_FALSE(errors.first[0].message.empty()) << c.script;
  }
  auto errors = ParseErrors("start\n  fly away  # where?\nstop\ntouch x\n");
  ASSERT_EQ(errors.count, 2u);
  EXPECT_EQ(errors.first[0].text, "fly away  # where?");
  EXPECT_EQ(errors.first[1].line, 4);
  // Past the first lines kept, the rest are only counted.
  std::string many;
  for (int i = 0; i < 25; ++i) many += "jump\n";
  errors = ParseErrors(many);
  EXPECT_EQ(errors.count, 25u);
  EXPECT_EQ(errors.first.size(), vornsim::ScriptErrors::kKept);
}

TEST(VornsimScript, ReadsTheUserCommandsAndEverySessionChange) {
  auto commands = Parse("switch Robin\nlogoff Robin\nlogoff\ntouch 2 Robin\ntouch delete Robin\nmouse attach\n"
                        "mouse detach\nsession change\n");
  std::vector<CommandKind> kinds;
  for (const auto& command : commands) kinds.push_back(command.kind);
  EXPECT_EQ(kinds, (std::vector<CommandKind>{CommandKind::kSwitch, CommandKind::kLogOff, CommandKind::kLogOff,
                                             CommandKind::kTouchSet, CommandKind::kTouchDelete,
                                             CommandKind::kMouseAttach, CommandKind::kMouseDetach,
                                             CommandKind::kSessionChange}));
  EXPECT_EQ(commands[1].name, "Robin");
  EXPECT_EQ(commands[2].name, "") << "everybody";
  EXPECT_EQ(commands[3].name, "Robin");
  EXPECT_EQ(commands[3].touchValue, 2u);
  EXPECT_EQ(commands[7].sessionEvent, (uint32_t)WTS_SESSION_LOCK) << "a bare session change is a lock";
  for (uint32_t type = WTS_CONSOLE_CONNECT; type <= WTS_SESSION_UNLOCK; ++type) {
    auto named = Parse("session change " + vornsim::SessionEventName(type) + "\n");
    ASSERT_EQ(named.size(), 1u) << type;
    EXPECT_EQ(named[0].sessionEvent, type);
  }
}

TEST(VornsimScript, TheDemoIsAValidScriptThatCoversTheWholeRoad) {
  auto commands = Parse(vornsim::DemoScript());
  auto has = [&](CommandKind kind) {
    for (const auto& command : commands)
      if (command.kind == kind) return true;
    return false;
  };
  for (CommandKind kind : {CommandKind::kStart, CommandKind::kTouchSet, CommandKind::kDisplayOff,
                           CommandKind::kDisplayOn, CommandKind::kControllerDetach, CommandKind::kControllerAttach,
                           CommandKind::kStop})
    EXPECT_TRUE(has(kind));
  uint64_t total = 0;
  for (const auto& command : commands) total += command.waitMs;
  EXPECT_LT(total, 60000u);  // simulated: the demo stays short at any scale
}

// The scenario scripts that come with the tool are all valid.
TEST(VornsimScript, TheScenarioScriptsParse) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VORNSIM_SCENARIOS_DIR)) {
    std::vector<vornsim::Command> commands;
    vornsim::ScriptErrors errors;
    EXPECT_TRUE(vornsim::ParseScript(simkit::FileText(entry.path()), commands, errors)) << entry.path() << ":" << errors.first.front().line;
    EXPECT_FALSE(commands.empty()) << entry.path();
    ++count;
  }
  EXPECT_GE(count, 10u);
}

TEST(VornsimTimeline, FormatsTimeChannelAndReports) {
  EXPECT_EQ(vornsim::FormatLine(12345, L"wire", L"out 03"), L"12.345 wire out 03");
  EXPECT_EQ(vornsim::FormatLine(7, L"sim", L"start"), L"0.007 sim start");

  std::vector<uint8_t> report(64, 0);
  const uint8_t head[] = {0x03, 0x00, 0x04, 0xF0, 0x02, 0x00, 0x01};
  std::copy(std::begin(head), std::end(head), report.begin());
  EXPECT_EQ(vornsim::FormatReport(report), L"03 00 04 F0 02 00 01 ...");
  report[6] = 0;
  EXPECT_EQ(vornsim::FormatReport(report), L"03 00 04 F0 02 ...");
  EXPECT_EQ(vornsim::FormatReport(std::vector<uint8_t>{0x02, 0xAB}), L"02 AB");
  EXPECT_EQ(vornsim::FormatReport(std::vector<uint8_t>{0, 0}), L"...");
  EXPECT_EQ(vornsim::FormatReport(std::vector<uint8_t>{}), L"");
}

}  // namespace
