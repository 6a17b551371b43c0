// A fresh simulated machine folder for runs of the executable as processes of
// their own: its debug log folder exists (so the log is on), and everything
// goes with the test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

class ProcessMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    m_root = std::filesystem::temp_directory_path() / ("touchic-process-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(LogDir());
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
  }

  std::filesystem::path LogDir() const { return m_root / "drive_c" / "VornPalmix" / "VrnDbgLog"; }

  // The environment of a run: this machine, a fast clock by default (the
  // mutex and transfer time-outs then pass in milliseconds), and the
  // controller's description when one is given.
  std::vector<std::string> Env(const std::string& controller, int nTimeScale = 1000) const {
    std::vector<std::string> env = {"WINSIM_ROOT=" + m_root.string(),
                                    "WINSIM_TIME_SCALE=" + std::to_string(nTimeScale)};
    if (!controller.empty()) env.push_back("WINSIM_CONTROLLER=" + controller);
    return env;
  }

  // Every file of the debug log folder, as one text.
  std::string LogText() const {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(LogDir())) {
      std::ifstream in(entry.path(), std::ios::binary);
      text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
  }

  std::filesystem::path m_root;
};
