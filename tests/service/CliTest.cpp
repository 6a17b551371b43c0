// The built executable, run as a child process on a fresh machine folder.
#include "simkit/Folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string kUsage =
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n";

class CliTest : public testing::Test {
 protected:
  // Output of one run; the exit status must be 0 whatever happened.
  std::string Run(const std::string& args) {
    const auto run = simkit::RunCommand(m_folder.ShellPrefix() + "'" VORN_SVC_EXE "' " + args + " 2>&1");
    EXPECT_EQ(run.status, 0) << args;
    return run.output;
  }

  fs::path LogDir() const { return m_folder.LogDirectory(); }

  simkit::SharedFolder m_folder{/*debugLog=*/false};
};

TEST_F(CliTest, InstallAndRemoveAcrossProcesses) {
  EXPECT_EQ(Run("-install"), "VornPalmixSvc is installed.\n");
  EXPECT_EQ(Run("/INSTALL"), "CreateService failed w/err 0x00000431\n");
  EXPECT_EQ(Run("-Remove extra args"), "VornPalmixSvc is removed.\n");
  EXPECT_EQ(Run("/remove"), "OpenService failed w/err 0x00000424\n");
}

TEST_F(CliTest, UnknownSwitchesDoNothing) {
  for (const char* args : {"-wot", "-wotoffx", "--install", "/", "-install\\ "}) {
    EXPECT_EQ(Run(args), "") << args;
  }
  EXPECT_EQ(Run("-install"), "VornPalmixSvc is installed.\n") << "nothing was installed before";
}

// Started from a console, the executable prints its usage and then the
// dispatcher's refusal, and still exits with 0.
TEST_F(CliTest, WithoutSwitchUsageThenTheDispatcherFailure) {
  for (const char* args : {"", "install", "x -install"})
    EXPECT_EQ(Run(args), kUsage + "Service failed to run w/err 0x00000427\n") << args;
}

TEST_F(CliTest, EveryRunAppendsItsBannerWhenTheLogDirectoryExists) {
  Run("-wot");
  EXPECT_FALSE(fs::exists(LogDir()));
  fs::create_directories(LogDir());
  Run("-wot");
  Run("-install");
  std::string text = m_folder.Log().Text();
  size_t nBanners = 0;
  for (size_t pos = 0; (pos = text.find("Logging Start", pos)) != std::string::npos; ++pos) ++nBanners;
  EXPECT_EQ(nBanners, 2u);
  EXPECT_NE(text.find("] FilePath:\r\n"), std::string::npos);
  EXPECT_NE(text.find("] File Version: "), std::string::npos);
  for (const auto& entry : fs::directory_iterator(LogDir())) {
    std::string name = entry.path().filename().string();
    EXPECT_EQ(name.size(), std::string("20240306-14.log").size()) << name;
    EXPECT_EQ(name.substr(8, 1), "-") << name;
  }
}

}  // namespace
