#include "HidTestSupport.h"

#include "hid/VendorIds.h"

#include <winsim/sim/touch_controller.h>

#include <algorithm>

namespace hidtest {

void ConnectedTransportTest::SetUp() {
  m_controller = winsim::AttachTouchController(*m_machine, m_config);
  m_transport.SetReportID(2, 3);
  ASSERT_EQ(m_transport.GetDeviceHandle(kVendorId, 0), 0);
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  g_sent.clear();
  g_received.clear();
  m_log.Mark();
}

bool InOrder(const std::vector<std::string>& entries, std::initializer_list<std::string> expected) {
  auto it = entries.begin();
  for (const std::string& want : expected) {
    it = std::find(it, entries.end(), want);
    if (it == entries.end()) return false;
    ++it;
  }
  return true;
}

bool Contains(const std::vector<std::string>& entries, const std::string& entry) {
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

std::string Dump(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += "  " + entry + "\n";
  return text;
}

}  // namespace hidtest
