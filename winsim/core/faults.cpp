#include <winsim/sim/faults.h>

#include <atomic>

namespace winsim {

namespace {
// Knobs armed on any machine of the process: while none is, a call does not
// even look its machine's knobs up.
std::atomic<int> g_armedKnobs{0};
}  // namespace

// A knob left armed would make every later call of any machine look for one.
Faults::~Faults() {
  for (size_t i = 0; i < m_knobs.size(); ++i) Disarm(static_cast<FaultPoint>(i));
}

void Faults::Arm(FaultPoint point, FaultPlan plan) {
  std::lock_guard lock(m_mutex);
  Knob& knob = m_knobs[static_cast<size_t>(point)];
  if (!knob.armed) g_armedKnobs.fetch_add(1);
  knob.armed = plan.count != 0;
  if (!knob.armed) g_armedKnobs.fetch_sub(1);
  knob.plan = std::move(plan);
}

void Faults::Disarm(FaultPoint point) {
  std::lock_guard lock(m_mutex);
  Knob& knob = m_knobs[static_cast<size_t>(point)];
  if (knob.armed) g_armedKnobs.fetch_sub(1);
  knob.armed = false;
}

unsigned Faults::Hits(FaultPoint point) const {
  std::lock_guard lock(m_mutex);
  return m_knobs[static_cast<size_t>(point)].hits;
}

DWORD Faults::TakeLocked(FaultPoint point, std::wstring_view subject, std::function<void()>& action) {
  Knob& knob = m_knobs[static_cast<size_t>(point)];
  if (!knob.armed || subject.find(knob.plan.subject) == std::wstring_view::npos) return ERROR_SUCCESS;
  if (knob.plan.skip > 0) {
    --knob.plan.skip;
    return ERROR_SUCCESS;
  }
  ++knob.hits;
  if (knob.plan.count != UINT_MAX && --knob.plan.count == 0) {
    knob.armed = false;
    g_armedKnobs.fetch_sub(1);
  }
  if (!knob.plan.action) return knob.plan.error;
  action = knob.plan.action;
  return ERROR_SUCCESS;
}

DWORD Faults::Take(FaultPoint point, std::wstring_view subject) {
  if (g_armedKnobs.load(std::memory_order_relaxed) == 0) return ERROR_SUCCESS;
  Faults& faults = CurrentMachine().Part<Faults>();
  std::function<void()> action;
  DWORD error;
  {
    std::lock_guard lock(faults.m_mutex);
    error = faults.TakeLocked(point, subject, action);
  }
  if (action) action();
  return error;
}

}  // namespace winsim
