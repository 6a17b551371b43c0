// The diagnostic switches of the real executable, each run as a process of
// its own on a fresh simulated machine: console output with a controller,
// without one, with a failing controller, and against a second process that
// holds the controller's mutex; and the debug log closed before the
// controller object goes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "simkit/ChildProcess.h"
#include "simkit/Folder.h"

namespace {

namespace fs = std::filesystem;
using simkit::ChildProcess;

const std::string kVersionLine = "Library Version Information  TouchIC Version : 0.0.0.2\r\n \n";

class DiagnosticAction : public testing::Test {
 protected:
  std::string Run(const std::string& sw, const std::string& controller = "") {
    ChildProcess process({VORN_SVC_EXE, sw}, m_folder.Environment(controller));
    EXPECT_TRUE(process.Started());
    EXPECT_EQ(process.Finish(), 0);
    return process.Output();
  }

  simkit::SharedFolder m_folder;
};

// The pieces appear in this order in `text`.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& pieces) {
  size_t nPos = 0;
  for (const std::string& piece : pieces) {
    size_t nFound = text.find(piece, nPos);
    if (nFound == std::string::npos)
      return ::testing::AssertionFailure() << "missing (in order) \"" << piece << "\" in:\n" << text;
    nPos = nFound + piece.size();
  }
  return ::testing::AssertionSuccess();
}

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

TEST_F(DiagnosticAction, FirmwareCheckPrintsTheVersionAfterTheEchoedTraces) {
  std::string out = Run("-fwchk", "fw=1234");
  EXPECT_EQ(out.rfind(kVersionLine, 0), 0u) << out;
  EXPECT_TRUE(InOrder(out, {"\r\nConnect\n", "\r\nDevice connected.", "\r\nFW VER.: 0x1234.",
                            "\r\nDevice(0) FWVer = 1234", "\r\nDisconnect\n"}));
  EXPECT_FALSE(Has(out, "[ERR]"));
  // Trace entries reach the console without their bracketed prefix.
  EXPECT_FALSE(Has(out, "[VORNAPI::Connect#"));
  EXPECT_TRUE(Has(m_folder.Log().Text(), "[VORNAPI::Connect#"));
}

struct CommandCase {
  const char* sw;
  const char* success;
};

TEST_F(DiagnosticAction, EachCommandPrintsItsSuccessLine) {
  const CommandCase cases[] = {
      {"-sleep", "\r\nSet IC Sleep"},          {"-wake", "\r\nSet IC wake"},
      {"-reset", "\r\nSet IC wake"},           {"-woton", "\r\nEnable Wake-on-touch"},
      {"-wotoff", "\r\nDisable Wake-off-touch"},
  };
  for (const CommandCase& c : cases) {
    std::string out = Run(c.sw);
    EXPECT_EQ(out.rfind(kVersionLine, 0), 0u) << c.sw;
    EXPECT_TRUE(InOrder(out, {"\r\nConnect\n", "\r\nDevice connected.", c.success, "\r\nDisconnect\n"})) << c.sw;
    EXPECT_FALSE(Has(out, "fail.")) << c.sw << out;
  }
}

TEST_F(DiagnosticAction, WithoutControllerEachSwitchReportsTheConnectFailure) {
  for (const char* sw : {"-fwchk", "-sleep", "-wake", "-reset", "-woton", "-wotoff"}) {
    std::string out = Run(sw, "none");
    EXPECT_EQ(out.rfind(kVersionLine, 0), 0u) << sw;
    EXPECT_TRUE(InOrder(out, {"\r\nConnect\n", "\r\nConnect fail. [ERR]Device is not connected.\r\n"})) << sw;
    EXPECT_FALSE(Has(out, "Disconnect")) << sw;  // no disconnect after a failed connect
    EXPECT_FALSE(Has(out, "Set IC")) << sw;
  }
}

TEST_F(DiagnosticAction, FailingCommandReportsItsLastError) {
  std::string out = Run("-sleep", "fault=fail-write");
  EXPECT_TRUE(InOrder(out, {"\r\nDevice connected.", "\r\nSWSetSystemInfo fail. [ERROR]", "\r\nDisconnect\n"})) << out;
  EXPECT_FALSE(Has(out, "Set IC Sleep"));
}

TEST_F(DiagnosticAction, SilentControllerFailsTheFirmwareCheckWithoutDisconnect) {
  std::string out = Run("-fwchk", "fault=mute");
  EXPECT_TRUE(InOrder(out, {"\r\nDevice connected.", "\r\nFW VER.: 0x0000.",
                            "\r\nGetFwVerEx fail. [ERR]Read Data Wait timeout.\r\n"}))
      << out;
  EXPECT_FALSE(Has(out, "Disconnect\n"));
  EXPECT_FALSE(Has(out, "FWVer ="));
}

TEST_F(DiagnosticAction, SecondProcessHoldingTheMutexMakesTheDeviceBusy) {
  ChildProcess holder({VORN_MUTEX_HOLDER_EXE}, m_folder.Environment(""));
  ASSERT_TRUE(holder.ReadUntil("held\n")) << holder.Output();
  std::string out = Run("-fwchk");
  EXPECT_TRUE(InOrder(out, {"\r\nConnect\n", "\r\nConnect fail. [ERR]Device is busy.\r\n"})) << out;
  holder.CloseStdin();
  EXPECT_EQ(holder.Finish(), 0);
  EXPECT_TRUE(InOrder(m_folder.Log().Text(), {"[ERROR]TouchIC Mutex Lock fail.", "[ERR]Device is busy."}));
}

// The output report of a four-byte command, as hex: report ID 3, 0x00, the
// length, the command, zero fill to the controller's 64 bytes.
std::string CommandReportHex(const std::string& command) {
  std::string hex = "030004" + command;
  hex.resize(64 * 2, '0');
  return hex;
}

std::vector<std::string> Lines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(DiagnosticAction, EachActionPutsItsCommandOnTheWire) {
  const char* const commands[] = {"53000001", "54500001", "54580001", "77777777", "F0020001", "F0020000"};
  for (int nAction = 0; nAction < 6; ++nAction) {
    const fs::path wire = m_folder.Root() / ("wire" + std::to_string(nAction));
    ChildProcess probe({VORN_DIAGNOSTIC_PROBE_EXE, std::to_string(nAction), wire.string()}, m_folder.Environment(""));
    EXPECT_EQ(probe.Finish(), 0);
    EXPECT_EQ(Lines(wire), std::vector<std::string>{CommandReportHex(commands[nAction])}) << nAction;
  }
}

// The end of a process that used the controller: the debug log shuts down
// before the controller object goes, so the transport's teardown leaves
// nothing in the file, whether the run ended connected or not; the run's own
// traces are there.
TEST_F(DiagnosticAction, TheLogIsClosedBeforeTheControllerObjectGoes) {
  for (const auto& [pszSwitch, pszController] :
       {std::pair{"-fwchk", "fw=1234"}, std::pair{"-fwchk", "fault=mute"}, std::pair{"-sleep", "fw=1234"}}) {
    SCOPED_TRACE(std::string(pszSwitch) + " " + pszController);
    fs::remove_all(m_folder.LogDirectory());
    fs::create_directories(m_folder.LogDirectory());
    Run(pszSwitch, pszController);
    const std::string log = m_folder.Log().Text();
    EXPECT_NE(log.find("CHIDWinGet::OpenHidDevice"), std::string::npos) << log;
    EXPECT_EQ(log.find("~CHIDWinGet"), std::string::npos) << log;
  }
}

// In real time, as on the default machine: the one that waits for the mutex
// must not run out of time while the other is inside Connect. The version
// is four upper-case hex digits, and the switch is taken in any case.
TEST_F(DiagnosticAction, TwoFirmwareChecksStartedTogetherBothSucceed) {
  std::vector<std::string> env = m_folder.Environment("fw=0A5C", 1);
  ChildProcess first({VORN_SVC_EXE, "-fwchk"}, env);
  ChildProcess second({VORN_SVC_EXE, "/FWCHK"}, env);
  EXPECT_EQ(first.Finish(), 0);
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_TRUE(Has(first.Output(), "\r\nDevice(0) FWVer = 0A5C")) << first.Output();
  EXPECT_TRUE(Has(second.Output(), "\r\nDevice(0) FWVer = 0A5C")) << second.Output();
}

}  // namespace
