// A service object whose events cannot be made: construction fails with the
// system's error, says which event in the event log, and leaves no handle
// behind; -wotchk then ends without touching the controller.
#include "simkit/ServiceMachine.h"
#include "wot/SampleService.h"
#include "wot/ServiceEntry.h"

#include <gtest/gtest.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/touch_controller.h>

#include <string>
#include <vector>

namespace {

class ConstructionFailureTest : public testing::Test {
 protected:
  winsim::Faults& Faults() { return winsim::CurrentMachine().Part<winsim::Faults>(); }
  simkit::ServiceMachine m_host;
};

TEST_F(ConstructionFailureTest, EachEventThatCannotBeMadeFailsTheObjectCleanly) {
  const wchar_t* const failures[] = {L"m_hStoppedEvent create fail.", L"m_hRegWatchEvent create fail.",
                                     L"m_hEndingEvent create fail."};
  auto& handles = winsim::CurrentMachine().handles();
  for (unsigned nSkip = 0; nSkip < 3; ++nSkip) {
    SCOPED_TRACE(nSkip);
    winsim::FaultPlan plan;
    plan.error = ERROR_NOT_ENOUGH_MEMORY;
    plan.skip = nSkip;
    Faults().Arm(winsim::FaultPoint::kCreateEvent, plan);
    const size_t nBefore = handles.Count();
    const size_t nEvents = m_host.EventTexts().size();
    DWORD dwThrown = 0;
    try {
      CSampleService service;
      ADD_FAILURE() << "constructed although an event failed";
    } catch (DWORD dwError) {
      dwThrown = dwError;
    }
    EXPECT_EQ(dwThrown, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(handles.Count(), nBefore);
    const auto texts = m_host.EventTexts();
    ASSERT_EQ(texts.size(), nEvents + 1);
    EXPECT_EQ(texts.back(), failures[nSkip]);
    Faults().Disarm(winsim::FaultPoint::kCreateEvent);
  }
  // Without the fault the object is made again.
  EXPECT_NO_THROW({ CSampleService service; });
}

TEST_F(ConstructionFailureTest, WotCheckWithoutItsObjectSendsNothing) {
  auto controller = winsim::AttachTouchController(winsim::CurrentMachine());
  winsim::FaultPlan plan;
  Faults().Arm(winsim::FaultPoint::kCreateEvent, plan);
  RunWotCheck();
  EXPECT_EQ(Faults().Hits(winsim::FaultPoint::kCreateEvent), 1u);
  EXPECT_TRUE(controller->Received().empty());
  EXPECT_FALSE(m_host.Log().Has("Read WoT setting by wotchk"));
}

}  // namespace
