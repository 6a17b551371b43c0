// The built executable, run as a child process on a fresh machine folder.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string kUsage =
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n";

class CliTest : public testing::Test {
 protected:
  CliTest() {
    std::string templ = (fs::temp_directory_path() / "vorncli-XXXXXX").string();
    m_root = ::mkdtemp(templ.data());
  }
  ~CliTest() override {
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }

  // Output of one run; the exit status must be 0 whatever happened.
  std::string Run(const std::string& args) {
    std::string command = "WINSIM_ROOT='" + m_root.string() + "' '" VORN_SVC_EXE "' " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (!pipe) return {};
    std::string output;
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, n);
    int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << args << " -> " << status;
    return output;
  }

  fs::path LogDir() const { return m_root / "drive_c" / "VornPalmix" / "VrnDbgLog"; }

  std::string AllLogText() const {
    std::string text;
    for (const auto& entry : fs::directory_iterator(LogDir())) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream content;
      content << in.rdbuf();
      text += content.str();
    }
    return text;
  }

  fs::path m_root;
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

TEST_F(CliTest, WithoutSwitchUsageThenServiceStart) {
  for (const char* args : {"", "install", "x -install"}) {
    std::string output = Run(args);
    EXPECT_EQ(output.substr(0, kUsage.size()), kUsage) << args;
  }
}

TEST_F(CliTest, EveryRunAppendsItsBannerWhenTheLogDirectoryExists) {
  Run("-wot");
  EXPECT_FALSE(fs::exists(LogDir()));
  fs::create_directories(LogDir());
  Run("-wot");
  Run("-install");
  std::string text = AllLogText();
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
