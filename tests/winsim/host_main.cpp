// Entry of the conformance suite on winsim: every test runs on one fresh
// simulated machine in a temporary folder, with a fast clock.
#include <gtest/gtest.h>
#include <winsim/sim/machine.h>

#include <memory>

namespace {
class MachineEnvironment : public testing::Environment {
 public:
  void SetUp() override { m_machine = std::make_unique<winsim::ScopedMachine>(); }
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
