#include "HidTestSupport.h"

#include <winsim/sim/faults.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <cstring>

namespace hidtest {

int TransportTest::Discover(int nVid, int nPid) {
  m_transport.SetReportID(2, 3);
  m_log.Mark();
  return m_transport.GetDeviceHandle(nVid, nPid);
}

HID_DEVICE_INFO TransportTest::OpenCollection(const std::wstring& path) {
  HID_DEVICE_INFO info;
  memset(&info, 0, sizeof(info));
  EXPECT_EQ(m_transport.OpenHidDevice(path.c_str(), info, 0, FALSE), 0);
  return info;
}

std::wstring TransportTest::VendorInputPath(int nDevIdx) {
  return m_transport.Entry(nDevIdx).Handlers[kHandlerVendorInput].szDevicePath;
}

winsim::Faults& TransportTest::Faults() { return m_machine->Part<winsim::Faults>(); }

void ConnectedTransportTest::SetUp() {
  m_controller = winsim::AttachTouchController(*m_machine, m_config);
  ASSERT_EQ(Discover(), 0);
  ASSERT_EQ(m_transport.GetDeviceCount(), 1);
  g_sent.clear();
  g_received.clear();
  m_log.Mark();
}

Bytes ConnectedTransportTest::LastReceivedByController() {
  const auto received = m_controller->Received();
  return received.empty() ? Bytes{} : received.back();
}

int ConnectedTransportTest::Command(Bytes command) {
  command.reserve(1);  // a valid buffer also for an empty command
  return m_transport.WriteCommand(command.data(), static_cast<int>(command.size()), 1000, 0);
}

bool Contains(const std::vector<std::string>& entries, const std::string& entry) {
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

Bytes Report(Bytes leading) {
  leading.resize(winsim::kVendorReportBytes, 0);
  return leading;
}

bool AnyContains(const std::vector<std::string>& entries, const std::string& text) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const std::string& entry) { return entry.find(text) != std::string::npos; });
}

size_t CountStartingWith(const std::vector<std::string>& entries, const std::string& prefix) {
  return static_cast<size_t>(
      std::count_if(entries.begin(), entries.end(), [&](const std::string& entry) { return StartsWith(entry, prefix); }));
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

std::string Ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string Dump(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += "  " + entry + "\n";
  return text;
}

}  // namespace hidtest
