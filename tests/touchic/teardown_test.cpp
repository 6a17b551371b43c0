// The end of a process that used the controller: the debug log shuts down
// before the controller object is destroyed, so the transport's teardown,
// which runs after the log is gone, leaves nothing in the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace {

namespace fs = std::filesystem;

class ProcessTeardown : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    m_root = fs::temp_directory_path() / ("touchic-teardown-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(LogDir());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }
  fs::path LogDir() const { return m_root / "drive_c" / "VornPalmix" / "VrnDbgLog"; }

  // The debug log of one run of the executable with `sw`.
  std::string LogOfRun(const std::string& sw, const std::string& controller) {
    ChildProcess process({VORN_SVC_EXE, sw}, {"WINSIM_ROOT=" + m_root.string(), "WINSIM_TIME_SCALE=1000",
                                              "WINSIM_CONTROLLER=" + controller});
    EXPECT_TRUE(process.Started());
    EXPECT_EQ(process.Finish(), 0);
    std::string text;
    for (const auto& entry : fs::directory_iterator(LogDir())) {
      std::ifstream in(entry.path(), std::ios::binary);
      text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
  }

  fs::path m_root;
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
    fs::remove_all(LogDir());
    fs::create_directories(LogDir());
  }
}

}  // namespace
