// The end of a process that used the controller: the debug log shuts down
// before the controller object is destroyed, so the transport's teardown,
// which runs after the log is gone, leaves nothing in the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "simkit/ChildProcess.h"
#include "simkit/Folder.h"

namespace {

namespace fs = std::filesystem;
using simkit::ChildProcess;

class ProcessTeardown : public testing::Test {
 protected:
  // The debug log of one run of the executable with `sw`.
  std::string LogOfRun(const std::string& sw, const std::string& controller) {
    ChildProcess process({VORN_SVC_EXE, sw}, m_folder.Environment(controller));
    EXPECT_TRUE(process.Started());
    EXPECT_EQ(process.Finish(), 0);
    return m_folder.Log().Text();
  }

  simkit::SharedFolder m_folder;
};

// A clean run (connect, command, disconnect) and one that ends still
// connected: in neither does the transport's destructor reach the file,
// while the run's own traces are there.
TEST_F(ProcessTeardown, TheLogIsClosedBeforeTheControllerObjectGoes) {
  struct Case {
    const char* pszSwitch;
    const char* pszController;
  };
  for (const Case& c : {Case{"-fwchk", "fw=1234"}, Case{"-fwchk", "fault=mute"}, Case{"-sleep", "fw=1234"}}) {
    SCOPED_TRACE(std::string(c.pszSwitch) + " " + c.pszController);
    const std::string log = LogOfRun(c.pszSwitch, c.pszController);
    EXPECT_NE(log.find("CHIDWinGet::OpenHidDevice"), std::string::npos) << log;
    EXPECT_EQ(log.find("~CHIDWinGet"), std::string::npos) << log;
    fs::remove_all(m_folder.LogDirectory());
    fs::create_directories(m_folder.LogDirectory());
  }
}

}  // namespace
