// winsim's main: the program's arguments reach wmain as wide strings and the
// entry is registered for the simulated SCM.
#include "simkit/ChildProcess.h"
#include "simkit/Folder.h"

#include <gtest/gtest.h>
#include <winsim/sim/machine.h>

namespace {

TEST(MachineMain, ArgumentsReachWmainAsWideStrings) {
  winsim::ScopedMachine machine;
  simkit::ChildProcess probe({WINSIM_MAIN_PROBE_PATH, "-install", "caf\xc3\xa9", "bad\xff"},
                             simkit::MachineEnvironment(machine->config().root));
  EXPECT_EQ(probe.ReadLine(), "entry registered");
  EXPECT_EQ(probe.ReadLine(), "[-install] 8");
  EXPECT_EQ(probe.ReadLine(), "[caf\xc3\xa9] 4");
  EXPECT_EQ(probe.ReadLine(), "[bad\xef\xbf\xbd] 4");
  EXPECT_EQ(probe.Finish(), 4);
}

}  // namespace
