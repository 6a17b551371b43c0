// Entry of the conformance suite on winsim: every test runs on one fresh
// simulated machine in a temporary folder, with a mouse besides the touch
// controller, as a machine has. The tests run host threads of their own, as
// they would on Windows; a timed wait for another thread's work must then
// count real time, so the clock is the scaled one.
#include <gtest/gtest.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/mouse.h>

#include <memory>

namespace {
class MachineEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    m_machine = std::make_unique<winsim::ScopedMachine>(winsim::Clock::Kind::kScaled);
    winsim::AttachMouse(**m_machine);
  }
  void TearDown() override { m_machine.reset(); }

 private:
  std::unique_ptr<winsim::ScopedMachine> m_machine;
};
}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new MachineEnvironment);
  return RUN_ALL_TESTS();
}
