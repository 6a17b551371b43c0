// Pen feature reports on an entry whose pen-feature role holds a real
// collection: the bytes the device sees and returns, the checks in their
// order, and the failures with their codes and log entries.
#include "HidDescriptors.h"
#include "HidTestSupport.h"

#include "hid/VendorIds.h"

#include <gtest/gtest.h>
#include <winsim/sim/touch_controller.h>

#include <mutex>
#include <vector>

namespace {

using hidtest::Bytes;
using hidtest::TestTransport;
using hidtest::g_received;
using hidtest::g_sent;
using hidtest::RecordReceived;
using hidtest::RecordSent;

constexpr uint8_t kFeatureBytes = 8;  // data bytes; the report adds its ID byte

// Keeps the feature reports it is sent and answers a get with a fixed pattern.
class FeatureDevice : public winsim::HidDeviceModel {
 public:
  winsim::HidTransferResult OnSetFeature(size_t, std::span<const uint8_t> report) override {
    std::lock_guard lock(m_mutex);
    m_set.emplace_back(report.begin(), report.end());
    return m_refuse ? winsim::HidTransferResult::Failed(ERROR_GEN_FAILURE) : winsim::HidTransferResult::Done();
  }
  winsim::HidTransferResult OnGetFeature(size_t, std::span<uint8_t> report) override {
    std::lock_guard lock(m_mutex);
    m_requestedId.push_back(report[0]);
    if (m_refuse) return winsim::HidTransferResult::Failed(ERROR_GEN_FAILURE);
    for (size_t i = 1; i < report.size(); ++i) report[i] = static_cast<uint8_t>(0xA0 + i);
    return winsim::HidTransferResult::Done();
  }
  std::vector<Bytes> Set() const {
    std::lock_guard lock(m_mutex);
    return m_set;
  }
  std::vector<uint8_t> RequestedIds() const {
    std::lock_guard lock(m_mutex);
    return m_requestedId;
  }
  void Refuse() {
    std::lock_guard lock(m_mutex);
    m_refuse = true;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<Bytes> m_set;
  std::vector<uint8_t> m_requestedId;
  bool m_refuse = false;
};

class PenFeatureTest : public hidtest::ConnectedTransportTest {
 protected:
  // Plugs a digitizer pen-feature collection (report ID `reportId`, 0 for a
  // descriptor without IDs) and puts it into the pen-feature role of entry 0.
  void FillPenFeatureRole(uint8_t reportId) {
    hidtest::Collection feature;
    feature.usagePage = 0x0D;
    feature.usage = 0x02;
    feature.featureId = reportId;
    feature.featureBytes = kFeatureBytes;
    winsim::HidDeviceDesc desc;
    desc.vendorId = kVendorId;
    desc.productId = 0x0301;
    desc.hardwareId = L"vorn0301";
    desc.reportDescriptor = hidtest::Descriptor({feature});
    auto port = m_machine.Bus().Plug(desc, m_device);
    ASSERT_TRUE(port);
    const std::wstring path = port->Path(0);
    HANDLE hDevice = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    ASSERT_NE(hDevice, INVALID_HANDLE_VALUE);
    CHIDCols& entry = m_transport.Entry(0);
    entry.Handlers[kHandlerPenFeature].hHidDevice = hDevice;
    entry.Handlers[kHandlerPenFeature].bOpened = TRUE;
    entry.RoleFlags[kRolePenFeature] = TRUE;
    m_log.Mark();
  }

  std::shared_ptr<FeatureDevice> m_device = std::make_shared<FeatureDevice>();
};

TEST_F(PenFeatureTest, SetSendsTheCallersBytesUnframedAndLeavesThemAlone) {
  FillPenFeatureRole(5);
  m_transport.m_pfnSendHook = RecordSent;
  const Bytes report = {5, 1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes before = report;
  ASSERT_EQ(m_transport.SetPenFeature(report.data(), static_cast<int>(report.size()), 0, 0), 0);
  ASSERT_EQ(m_device->Set().size(), 1u);
  EXPECT_EQ(m_device->Set()[0], report);
  EXPECT_EQ(report, before);
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0], report);
  EXPECT_TRUE(m_log.Since().empty()) << hidtest::Dump(m_log.Since());
}

TEST_F(PenFeatureTest, GetAlwaysAsksForReportIdZero) {
  FillPenFeatureRole(0);
  m_transport.m_pfnRecvHook = RecordReceived;
  Bytes buffer(1 + kFeatureBytes, 0xEE);
  buffer[0] = 7;
  ASSERT_EQ(m_transport.GetPenFeature(buffer.data(), static_cast<int>(buffer.size()), 0, 0), 0);
  EXPECT_EQ(m_device->RequestedIds(), Bytes{0});
  EXPECT_EQ(buffer, (Bytes{0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8}));
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0], buffer);
}

TEST_F(PenFeatureTest, RefusedRequestsAreThreeWithoutLogEntry) {
  FillPenFeatureRole(5);
  Bytes buffer(1 + kFeatureBytes, 0);
  buffer[0] = 5;
  // Report ID 5 is overwritten by 0, which this collection does not know.
  EXPECT_EQ(m_transport.GetPenFeature(buffer.data(), static_cast<int>(buffer.size()), 0, 0), kResultTimeout);
  EXPECT_EQ(buffer, Bytes(buffer.size(), 0));
  m_device->Refuse();
  m_transport.m_pfnSendHook = RecordSent;
  buffer[0] = 5;
  EXPECT_EQ(m_transport.SetPenFeature(buffer.data(), static_cast<int>(buffer.size()), 0, 0), kResultTimeout);
  EXPECT_TRUE(g_sent.empty());
  // Too short for the collection's report: the class driver refuses it.
  EXPECT_EQ(m_transport.SetPenFeature(buffer.data(), 1, 0, 0), kResultTimeout);
  EXPECT_TRUE(m_log.Since().empty()) << hidtest::Dump(m_log.Since());
}

TEST_F(PenFeatureTest, LengthBoundsAreOneTo2048) {
  FillPenFeatureRole(5);
  Bytes buffer(2049, 0);
  buffer[0] = 5;
  for (int nLength : {0, -1, 2049}) {
    EXPECT_EQ(m_transport.SetPenFeature(buffer.data(), nLength, 0, 0), -6);
    EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : nCommandLen = " + std::to_string(nLength));
    EXPECT_EQ(m_transport.GetPenFeature(buffer.data(), nLength, 0, 0), -6);
    EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : nRcvDataLen = " + std::to_string(nLength));
  }
  EXPECT_TRUE(m_device->Set().empty());
  // 2048 passes the length check and reaches the device, which takes the
  // first report's worth.
  EXPECT_EQ(m_transport.SetPenFeature(buffer.data(), 2048, 0, 0), 0);
  m_log.Mark();
  EXPECT_EQ(m_transport.SetPenFeature(buffer.data(), 1, 0, 0), kResultTimeout);  // past the length check
  EXPECT_TRUE(m_log.Since().empty()) << hidtest::Dump(m_log.Since());
}

TEST_F(PenFeatureTest, ChecksRunConnectedBufferHandlerLength) {
  Bytes buffer(16, 0);
  TestTransport unconnected;
  m_log.Mark();
  EXPECT_EQ(unconnected.SetPenFeature(nullptr, 0, 0, 5), kResultNotConnected);
  EXPECT_EQ(m_log.LastSince(), "ERR: Device is not connected.");
  EXPECT_EQ(unconnected.GetPenFeature(nullptr, 0, 0, 5), kResultNotConnected);
  EXPECT_EQ(m_log.LastSince(), "ERR: Device is not connected.");

  EXPECT_EQ(m_transport.SetPenFeature(nullptr, 0, 0, 5), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : pszCommandBuf = NULL");
  EXPECT_EQ(m_transport.GetPenFeature(nullptr, 0, 0, 5), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error : pszCommandBuf = NULL");

  // Discovery leaves the pen-feature role empty; bad indices fail the same way.
  for (int nDevIdx : {0, 1, -1}) {
    EXPECT_EQ(m_transport.SetPenFeature(buffer.data(), 0, 0, nDevIdx), -6);
    EXPECT_EQ(m_log.LastSince(), "ERR: No valid PREPORT_HANDLER");
    EXPECT_EQ(m_transport.GetPenFeature(buffer.data(), 0, 0, nDevIdx), -6);
    EXPECT_EQ(m_log.LastSince(), "ERR: No valid PREPORT_HANDLER");
  }
}

}  // namespace
