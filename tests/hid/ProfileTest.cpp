// Report profiles and parsed reports on entries whose touch-screen, pen and
// vendor-defined roles hold real collections: the descriptors of shipping
// touch screens and a pen, plugged into the simulated HID bus, opened, and
// fed reports built field by field from their layouts.
#include "HidDescriptors.h"
#include "HidTestSupport.h"

#include "hid/VendorIds.h"

#include "tests/support/AllocationFaults.h"
#include "simkit/ReportBuilder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <winsim/sim/executable.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/hidbus.h>
#include <winsim/sim/touch_controller.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using hidtest::Contains;
using hidtest::Dump;
using Bytes = std::vector<uint8_t>;

using simkit::kAnyLink;
using simkit::ReportBuilder;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

Bytes SharedDescriptor(const std::string& id) {
  std::ifstream file(std::string(VORN_TEST_DATA_DIR) + "/touch-descriptors.json");
  const auto data = nlohmann::json::parse(file);
  for (const auto& descriptor : data.at("descriptors"))
    if (descriptor.at("id") == id) return FromHex(descriptor.at("descriptor_hex").get<std::string>());
  throw std::runtime_error("no descriptor " + id);
}

// A pen with battery strength and the vendor's two status bits, report ID 9:
// five switches, X/Y, tip pressure, battery, vendor bits, X/Y tilt.
const Bytes kBatteryPen = {
    0x05, 0x0D, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x09, 0x09, 0x20, 0xA1, 0x00, 0x09, 0x42, 0x09, 0x44, 0x09, 0x45,
    0x09, 0x3C, 0x09, 0x32, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x05, 0x81, 0x02, 0x95, 0x03, 0x81, 0x03,
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x26, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x02, 0x81, 0x02, 0x05, 0x0D, 0x09,
    0x30, 0x26, 0xFF, 0x0F, 0x95, 0x01, 0x81, 0x02, 0x09, 0x3B, 0x25, 0x64, 0x75, 0x08, 0x81, 0x02, 0x06, 0x00,
    0xFF, 0x09, 0x01, 0x25, 0x03, 0x75, 0x08, 0x81, 0x02, 0x05, 0x0D, 0x09, 0x3D, 0x09, 0x3E, 0x16, 0xD8, 0xDC,
    0x26, 0x28, 0x23, 0x75, 0x10, 0x95, 0x02, 0x81, 0x02, 0xC0, 0xC0};

class ProfileTest : public hidtest::ConnectedTransportTest {
 protected:
  std::shared_ptr<winsim::HidDevicePort> Plug(const Bytes& descriptor) {
    winsim::HidDeviceDesc desc;
    desc.vendorId = 0x1234;
    desc.productId = static_cast<USHORT>(0x0500 + m_nPlugged);
    desc.hardwareId = L"vid_1234&pid_05" + std::to_wstring(10 + m_nPlugged++);
    desc.reportDescriptor = descriptor;
    std::string error;
    auto port = m_machine.Bus().Plug(desc, std::make_shared<winsim::RecordingHidDevice>(), &error);
    if (!port) throw std::runtime_error("descriptor refused: " + error);
    return port;
  }
  void Open(const winsim::HidDevicePort& port, size_t nCollection, HID_DEVICE_INFO& info, REPORT_HANDLER& handler) {
    const std::wstring path = port.Path(nCollection);
    ASSERT_EQ(m_transport.OpenHidDevice(path.c_str(), info, 0, FALSE), 0);
    InitReportHandler(handler);
    wcsncpy(handler.szDevicePath, path.c_str(), kPathChars - 1);
  }
  void AddTouchScreen(const winsim::HidDevicePort& port, size_t nCollection = 0) {
    CHIDCols& entry = m_transport.Entry(0);
    auto* pInfo = new HID_DEVICE_INFO{};
    pInfo->hHidDevice = INVALID_HANDLE_VALUE;
    entry.TouchScreenInfos.push_back(pInfo);
    entry.TouchScreenHandlers.emplace_back();
    Open(port, nCollection, *pInfo, entry.TouchScreenHandlers.back());
    entry.RoleFlags[kRoleTouchScreen] = TRUE;
  }
  void AddRole(const winsim::HidDevicePort& port, size_t nCollection, EInfoSlot info, EHandlerSlot handler,
               ERoleFlag role) {
    CHIDCols& entry = m_transport.Entry(0);
    Open(port, nCollection, entry.Infos[info], entry.Handlers[handler]);
    entry.RoleFlags[role] = TRUE;
  }
  DEV_PROFILE Profile() {
    DEV_PROFILE profile;
    EXPECT_EQ(m_transport.GetDevProfile(&profile, 0), 0);
    return profile;
  }
  int Parse(const Bytes& report, void* pParsed) {
    m_log.Mark();
    return m_transport.GetDevParsedReport(report.data(), static_cast<int>(report.size()), pParsed, 0);
  }

  int m_nPlugged = 0;
};

TEST_F(ProfileTest, DiscoveredEntryGivesIndexAndClearedRolesOnly) {
  const DEV_PROFILE profile = Profile();
  EXPECT_EQ(profile.bValid, 1);
  EXPECT_EQ(profile.DevIdx, 0u);
  EXPECT_EQ(profile.bTouchScreen + profile.bActivePen + profile.bVendorDefined + profile.bBidirectionalB +
                profile.bPenFeature,
            0);
  EXPECT_EQ(profile.FingerCount, 0u);
  EXPECT_TRUE(m_transport.m_bProfileValid);

  PEN_REPORT pen{};
  EXPECT_EQ(Parse({0x00, 0x01}, &pen), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Not support pen.");
  EXPECT_EQ(Parse({0x05, 0x01}, &pen), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: No Report ID Matched...");
}

TEST_F(ProfileTest, ParsingBeforeTheFirstProfileIsRefused) {
  // The copy starts cleared: report ID 0 meets the pen step, which wants a profile.
  PEN_REPORT pen{};
  EXPECT_EQ(Parse({0x00}, &pen), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Need to call GetProfile() first.");
  EXPECT_EQ(Parse({0x01}, &pen), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: No Report ID Matched...");
  EXPECT_EQ(m_transport.GetDevParsedReport(nullptr, 4, &pen, 0), -6);
  EXPECT_EQ(m_transport.GetDevParsedReport(Bytes{0}.data(), 0, &pen, 0), -6);
  EXPECT_EQ(m_transport.GetDevParsedReport(Bytes{0}.data(), 1, nullptr, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Parameters Error - report or parsed record is not valid.");
}

TEST_F(ProfileTest, TouchScreenProfileCarriesUsagesIndicesMaximaAndLengths) {
  auto port = Plug(SharedDescriptor("touchscreen-a"));
  AddTouchScreen(*port);
  const DEV_PROFILE profile = Profile();
  ASSERT_EQ(profile.bTouchScreen, 1);
  ASSERT_EQ(profile.FingerCount, 1u);
  const FINGER_PROFILE& finger = profile.Fingers[0];
  const auto& layout = port->Layout(0);
  EXPECT_EQ(finger.ReportID, 1u);
  EXPECT_EQ(finger.InputReportLength, layout.reportByteLength[HidP_Input]);
  EXPECT_EQ(finger.ButtonCapsCount, 5u);  // one tip switch per finger
  EXPECT_EQ(finger.ReportLengthEstimate, 1u + 11u * 5u);
  EXPECT_EQ(finger.BytesPerContact, 11u);
  EXPECT_EQ(finger.X.Usage, 0x30u);
  EXPECT_EQ(finger.X.UsagePage, 0x01u);
  EXPECT_EQ(finger.X.BitSize, 16u);
  EXPECT_EQ(finger.XBytes, 2u);
  EXPECT_EQ(finger.XMax, finger.X.LogicalMax);
  EXPECT_GT(finger.XMax, 0);
  EXPECT_EQ(finger.ContactId.Usage, 0x51u);
  EXPECT_EQ(finger.ContactId.BitSize, 5u);
  EXPECT_EQ(finger.ScanTime.BitSize, 16u);
  EXPECT_EQ(finger.ScanTimeBits, 16u);
  EXPECT_EQ(finger.ScanTimeBytes, 2u);
  EXPECT_EQ(finger.ContactCount.BitSize, 8u);
  EXPECT_EQ(finger.Width.bPresent, 0);
  EXPECT_EQ(finger.WidthBits, 0u);
  for (const VALUE_DESC* pDesc : {&finger.ContactId, &finger.X, &finger.Y, &finger.ScanTime, &finger.ContactCount})
    EXPECT_EQ(pDesc->bPresent, 1);
  // The last finger's fields win; every index is a distinct data index.
  EXPECT_EQ(finger.XIndex, finger.X.DataIndex);
  EXPECT_EQ(finger.YIndex, finger.Y.DataIndex);
  EXPECT_NE(finger.XIndex, finger.YIndex);
  EXPECT_EQ(finger.ScanTimeIndex, finger.ScanTime.DataIndex);
  EXPECT_EQ(finger.ContactCountIndex, finger.ContactCount.DataIndex);
  EXPECT_LT(finger.TipIndex, finger.XIndex);
  // Contact Count Maximum comes from the feature report.
  for (const auto& cap : layout.caps[HidP_Feature])
    if (cap.usagePage == 0x0D && cap.usageMin == 0x55) {
      EXPECT_EQ(finger.MaxContacts, cap.logicalMax);
    }
  EXPECT_GE(finger.MaxContacts, 1);
}

TEST_F(ProfileTest, FingerReportGivesEachContactItsOwnFields) {
  auto port = Plug(SharedDescriptor("touchscreen-a"));
  AddTouchScreen(*port);
  Profile();
  const Bytes report = ReportBuilder(port->Layout(0), 1)
                           .Value(0x0D, 0x54, 0, 3)
                           .Button(0x0D, 0x42, 1).Value(0x0D, 0x51, 1, 3).Value(0x01, 0x30, 1, 100).Value(0x01, 0x31, 1, 200)
                           .Button(0x0D, 0x42, 2).Value(0x0D, 0x51, 2, 7).Value(0x01, 0x30, 2, 1000).Value(0x01, 0x31, 2, 2000)
                           .Value(0x0D, 0x51, 3, 9).Value(0x01, 0x30, 3, 5).Value(0x01, 0x31, 3, 65535)
                           .Get();
  FINGER_REPORT parsed;
  memset(&parsed, 0xCC, sizeof(parsed));
  ASSERT_EQ(Parse(report, &parsed), 0) << Dump(m_log.Since());
  EXPECT_EQ(parsed.ContactCount, 3u);
  const struct {
    ULONG nId, nTip, nX, nY;
  } expected[] = {{3, 1, 100, 200}, {7, 1, 1000, 2000}, {9, 0, 5, 65535}};
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    const CONTACT_REPORT& contact = parsed.Contacts[k];
    EXPECT_EQ(contact.ContactId, expected[k].nId);
    EXPECT_EQ(contact.bTipSwitch, expected[k].nTip);
    EXPECT_EQ(contact.X, expected[k].nX);
    EXPECT_EQ(contact.X2, expected[k].nX);
    EXPECT_EQ(contact.Y, expected[k].nY);
    EXPECT_EQ(contact.Y2, expected[k].nY);
  }
  for (int k = 3; k < kMaxContactReports; ++k) {
    EXPECT_EQ(parsed.Contacts[k].X + parsed.Contacts[k].Y + parsed.Contacts[k].ContactId, 0u);
    EXPECT_EQ(parsed.Contacts[k].bTipSwitch, 0);
  }
  EXPECT_EQ(parsed.Reserved, 0xCCCCCCCCu);  // fields the parse does not own stay as they were
}

// Memory refused at each allocation of a profile and a parse in turn: each
// fails with a logged error and leaves nothing allocated, and a parse that
// succeeds gives the same contacts as one with all its memory.
TEST_F(ProfileTest, EachRefusedAllocationFailsTheProfileOrTheParseCleanly) {
  auto port = Plug(SharedDescriptor("touchscreen-a"));
  AddTouchScreen(*port);
  const Bytes report = ReportBuilder(port->Layout(0), 1)
                           .Value(0x0D, 0x54, 0, 2)
                           .Button(0x0D, 0x42, 1).Value(0x0D, 0x51, 1, 3).Value(0x01, 0x30, 1, 100).Value(0x01, 0x31, 1, 200)
                           .Button(0x0D, 0x42, 2).Value(0x0D, 0x51, 2, 7).Value(0x01, 0x30, 2, 1000).Value(0x01, 0x31, 2, 2000)
                           .Get();
  const size_t nHandles = m_machine->handles().Count();
  const size_t nBlocks = winsim::LocalHeapBlocks();
  int nProfile = -1, nParse = -1;
  FINGER_REPORT parsed{};
  const unsigned nAllocations = vorntest::ForEachRefusedAllocation(
      m_machine->Part<winsim::Faults>(),
      [&] {
        m_log.Mark();
        DEV_PROFILE profile{};
        nProfile = m_transport.GetDevProfile(&profile, 0);
        parsed = FINGER_REPORT{};
        nParse = nProfile == 0 ? m_transport.GetDevParsedReport(report.data(), static_cast<int>(report.size()), &parsed, 0) : -1;
      },
      [&](bool fRefused) {
        const auto entries = m_log.Since();
        if (!fRefused) {
          EXPECT_EQ(nProfile, 0);
          EXPECT_EQ(nParse, 0) << Dump(entries);
        }
        if (nProfile != 0 || nParse != 0) {
          EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                                  [](const std::string& entry) { return entry.rfind("ERR", 0) == 0; }))
              << "a failure nobody logged: " << Dump(entries);
        }
        if (nParse == 0) {
          EXPECT_EQ(parsed.ContactCount, 2u);
          EXPECT_EQ(parsed.Contacts[0].ContactId, 3u);
          EXPECT_EQ(parsed.Contacts[1].X, 1000u);
          EXPECT_EQ(parsed.Contacts[1].Y, 2000u);
        }
        EXPECT_EQ(m_machine->handles().Count(), nHandles);
        EXPECT_EQ(winsim::LocalHeapBlocks(), nBlocks);
      });
  EXPECT_GE(nAllocations, 1u) << "the parse allocates its usage list";
}

TEST_F(ProfileTest, ContactCountAboveTenIsClampedToTheRecord) {
  auto port = Plug(SharedDescriptor("touchscreen-b"));
  AddTouchScreen(*port);
  const DEV_PROFILE profile = Profile();
  ASSERT_EQ(profile.FingerCount, 1u);
  ReportBuilder builder(port->Layout(0), static_cast<uint8_t>(profile.Fingers[0].ReportID));
  builder.Value(0x0D, 0x54, 0, 200);
  for (USHORT j = 1; j <= 10; ++j) builder.Button(0x0D, 0x42, j).Value(0x01, 0x30, j, 10u * j).Value(0x0D, 0x51, j, j);
  struct {
    FINGER_REPORT report;
    ULONG guard[8];
  } parsed;
  memset(&parsed, 0xCC, sizeof(parsed));
  ASSERT_EQ(Parse(builder.Get(), &parsed.report), 0) << Dump(m_log.Since());
  EXPECT_EQ(parsed.report.ContactCount, 10u);
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(parsed.report.Contacts[k].X, 10u * (k + 1));
    EXPECT_EQ(parsed.report.Contacts[k].ContactId, ULONG(k + 1));
    EXPECT_EQ(parsed.report.Contacts[k].bTipSwitch, 1);
  }
  for (ULONG word : parsed.guard) EXPECT_EQ(word, 0xCCCCCCCCu);
}

TEST_F(ProfileTest, ReportsAreRoutedToTheirFingerEntryAndAFifthScreenIsSkipped) {
  auto portA = Plug(SharedDescriptor("touchscreen-a"));
  auto portC = Plug(SharedDescriptor("touchscreen-c"));
  AddTouchScreen(*portA);
  AddTouchScreen(*portC);
  AddTouchScreen(*portA);
  AddTouchScreen(*portA);
  AddTouchScreen(*portA);
  const DEV_PROFILE profile = Profile();
  EXPECT_EQ(profile.FingerCount, 4u);
  ASSERT_NE(profile.Fingers[1].ReportID, profile.Fingers[0].ReportID);
  const Bytes report = ReportBuilder(portC->Layout(0), static_cast<uint8_t>(profile.Fingers[1].ReportID))
                           .Value(0x0D, 0x54, kAnyLink, 1)
                           .Button(0x0D, 0x42, 1)
                           .Value(0x01, 0x30, 1, 321)
                           .Value(0x01, 0x31, 1, 654)
                           .Get();
  FINGER_REPORT parsed{};
  ASSERT_EQ(Parse(report, &parsed), 0) << Dump(m_log.Since());
  EXPECT_EQ(parsed.ContactCount, 1u);
  EXPECT_EQ(parsed.Contacts[0].X, 321u);
  EXPECT_EQ(parsed.Contacts[0].Y, 654u);
  EXPECT_EQ(parsed.Contacts[0].bTipSwitch, 1);

  // A report of the wrong length for its collection fails in the parser.
  Bytes truncated = report;
  truncated.pop_back();
  EXPECT_EQ(Parse(truncated, &parsed), -6);
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: HIDP_STATUS_INVALID_REPORT_LENGTH")) << Dump(m_log.Since());
  EXPECT_EQ(m_log.LastSince(), "ERR: HidP_GetUsages error.");
  // Called on its own, the finger step finds no entry for a foreign report ID.
  EXPECT_EQ(m_transport.xGetDevFingerParsedReport(Bytes{0x77}.data(), 1, &parsed, 0), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Error!! No matched report id in profile list");
}

TEST_F(ProfileTest, RealPenProfileAndReport) {
  auto port = Plug(SharedDescriptor("pen-a"));
  AddTouchScreen(*port, 0);
  AddRole(*port, 1, kInfoActivePen, kHandlerActivePen, kRoleActivePen);
  const DEV_PROFILE profile = Profile();
  ASSERT_EQ(profile.bActivePen, 1);
  const PEN_PROFILE& pen = profile.Pen;
  EXPECT_EQ(pen.ReportID, 8u);
  EXPECT_EQ(pen.InputReportLength, port->Layout(1).reportByteLength[HidP_Input]);
  EXPECT_EQ(pen.TipSwitch.Usage, 0x42u);
  EXPECT_EQ(pen.BarrelSwitch.Usage, 0x44u);
  EXPECT_EQ(pen.Eraser.Usage, 0x45u);
  EXPECT_EQ(pen.Invert.Usage, 0x3Cu);
  EXPECT_EQ(pen.InRange.Usage, 0x32u);
  EXPECT_EQ(pen.TipPressure.bPresent, 1);
  EXPECT_EQ(pen.TipPressure.LogicalMax, 4095);
  EXPECT_EQ(pen.BatteryStrength.bPresent, 0);
  EXPECT_EQ(pen.XTilt.Usage, 0x3Du);
  EXPECT_EQ(pen.XTilt.bPresent, 0);  // orientation descriptors carry no present flag
  EXPECT_EQ(pen.XTilt.LogicalMax, 9000);
  EXPECT_EQ(pen.Azimuth.Usage, 0u);

  const Bytes report = ReportBuilder(port->Layout(1), 8)
                           .Button(0x0D, 0x32, kAnyLink).Button(0x0D, 0x42, kAnyLink).Button(0x0D, 0x44, kAnyLink)
                           .Value(0x01, 0x30, kAnyLink, 300).Value(0x01, 0x31, kAnyLink, 400)
                           .Value(0x0D, 0x30, kAnyLink, 1234)
                           .Value(0x0D, 0x3D, kAnyLink, static_cast<uint16_t>(-4500)).Value(0x0D, 0x3E, kAnyLink, 4500)
                           .Get();
  PEN_REPORT parsed;
  memset(&parsed, 0, sizeof(parsed));
  parsed.BatteryStrength = 77;
  parsed.bEraser = 1;
  ASSERT_EQ(Parse(report, &parsed), 0) << Dump(m_log.Since());
  EXPECT_EQ(parsed.bInRange, 1);
  EXPECT_EQ(parsed.bTipSwitch, 1);
  EXPECT_EQ(parsed.bBarrelSwitch, 1);
  EXPECT_EQ(parsed.bEraser, 0);
  EXPECT_EQ(parsed.bInvert, 0);
  EXPECT_EQ(parsed.X, 300u);
  EXPECT_EQ(parsed.Y, 400u);
  EXPECT_EQ(parsed.TipPressure, 1234u);
  EXPECT_EQ(parsed.XTilt, -4500);
  EXPECT_EQ(parsed.YTilt, 4500);
  // No battery on this pen: the direct read fails, is logged, and keeps the field.
  EXPECT_EQ(parsed.BatteryStrength, 77u);
  EXPECT_TRUE(Contains(m_log.Since(), "ERR: HIDP_STATUS_USAGE_NOT_FOUND")) << Dump(m_log.Since());

  Bytes truncated = report;
  truncated.pop_back();
  EXPECT_EQ(Parse(truncated, &parsed), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: HidP_GetUsages error.");
}

TEST_F(ProfileTest, PenBatteryAndVendorBits) {
  auto port = Plug(kBatteryPen);
  AddRole(*port, 0, kInfoActivePen, kHandlerActivePen, kRoleActivePen);
  const DEV_PROFILE profile = Profile();
  EXPECT_EQ(profile.Pen.BatteryStrength.bPresent, 1);
  EXPECT_EQ(profile.Pen.BatteryStrength.LogicalMax, 100);
  EXPECT_EQ(profile.Pen.Vendor01.bPresent, 1);
  EXPECT_EQ(profile.Pen.Vendor80.bPresent, 0);
  const Bytes report = ReportBuilder(port->Layout(0), 9)
                           .Button(0x0D, 0x45, kAnyLink).Button(0x0D, 0x3C, kAnyLink)
                           .Value(0x0D, 0x3B, kAnyLink, 85).Value(0xFF00, 0x01, kAnyLink, 2)
                           .Value(0x0D, 0x30, kAnyLink, 4095)
                           .Get();
  PEN_REPORT parsed{};
  ASSERT_EQ(Parse(report, &parsed), 0) << Dump(m_log.Since());
  EXPECT_TRUE(m_log.Since().empty()) << Dump(m_log.Since());
  EXPECT_EQ(parsed.BatteryStrength, 85u);
  EXPECT_EQ(parsed.TipPressure, 4095u);
  EXPECT_EQ(parsed.bEraser, 1);
  EXPECT_EQ(parsed.bInvert, 1);
  EXPECT_EQ(parsed.bTipSwitch, 0);
  EXPECT_EQ(parsed.bVendorBit0, 0);
  EXPECT_EQ(parsed.bVendorBit1, 1);
}

TEST_F(ProfileTest, PreparsedDataIsFetchedThroughThePathWhenNoRecordHoldsIt) {
  auto port = Plug(kBatteryPen);
  AddRole(*port, 0, kInfoActivePen, kHandlerActivePen, kRoleActivePen);
  Profile();
  CHIDCols& entry = m_transport.Entry(0);
  HID_DEVICE_INFO& info = entry.Infos[kInfoActivePen];
  REPORT_HANDLER& handler = entry.Handlers[kHandlerActivePen];
  const PHIDP_PREPARSED_DATA pKept = info.pPreparsedData;
  info.pPreparsedData = nullptr;
  const Bytes report = ReportBuilder(port->Layout(0), 9).Value(0x01, 0x30, kAnyLink, 42).Get();
  PEN_REPORT parsed{};
  EXPECT_EQ(Parse(report, &parsed), 0) << Dump(m_log.Since());
  EXPECT_EQ(parsed.X, 42u);
  EXPECT_TRUE(Contains(m_log.Since(), "CHIDWinGet::xGetDevPenParsedReport: CreateFile Success")) << Dump(m_log.Since());
  EXPECT_EQ(handler.pPreparsedData, nullptr);
  EXPECT_EQ(handler.hHidDevice, INVALID_HANDLE_VALUE);

  // A handle that is no HID collection gives no preparsed data.
  HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  handler.hHidDevice = hEvent;
  EXPECT_EQ(Parse(report, &parsed), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Can't Get Preparsed Data");
  handler.hHidDevice = INVALID_HANDLE_VALUE;
  CloseHandle(hEvent);

  wcscpy(handler.szDevicePath, L"\\\\?\\hid#nothing#here");
  EXPECT_EQ(Parse(report, &parsed), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Can't get valid device handle");
  info.pPreparsedData = pKept;
}

TEST_F(ProfileTest, FingerParseBoundsTheUsageListTheDescriptorAsksFor) {
  auto port = Plug(SharedDescriptor("touchscreen-a"));
  AddTouchScreen(*port);
  Profile();
  // Behind the profile's finger (report ID 1), a collection whose digitizer
  // page lists 100 000 usages: 100 usages over 1000 fields.
  auto big = Plug(hidtest::ArrayDescriptor(0x000D, 0x04, 1, 100, 1000));
  HANDLE hBig = CreateFileW(big->Path(0).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  ASSERT_NE(hBig, INVALID_HANDLE_VALUE);
  PHIDP_PREPARSED_DATA pBig = nullptr;
  ASSERT_TRUE(HidD_GetPreparsedData(hBig, &pBig));
  HID_DEVICE_INFO& info = *m_transport.Entry(0).TouchScreenInfos[0];
  const PHIDP_PREPARSED_DATA pKept = info.pPreparsedData;
  info.pPreparsedData = pBig;
  Bytes report(big->Layout(0).reportByteLength[HidP_Input], 0);
  report[0] = 1;
  FINGER_REPORT parsed{};
  EXPECT_EQ(Parse(report, &parsed), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Usage list too long (100000 usages).") << Dump(m_log.Since());
  info.pPreparsedData = pKept;
  HidD_FreePreparsedData(pBig);
  CloseHandle(hBig);
}

TEST_F(ProfileTest, ProfileCopyAndFlagsGuardTheParse) {
  auto port = Plug(SharedDescriptor("touchscreen-a"));
  AddTouchScreen(*port);
  const DEV_PROFILE good = Profile();
  DEV_PROFILE bad;
  memset(&bad, 0xAB, sizeof(bad));
  for (int nDevIdx : {1, -1}) {
    m_log.Mark();
    EXPECT_EQ(m_transport.GetDevProfile(&bad, nDevIdx), -6);
    EXPECT_EQ(m_log.LastSince(), "ERR: Error Parameters - DevIdx is not exist");
    EXPECT_EQ(bad.bValid, 0);
    EXPECT_EQ(bad.FingerCount, 0u);
    EXPECT_EQ(memcmp(&m_transport.m_ProfileCopy, &good, sizeof(good)), 0);
    EXPECT_TRUE(m_transport.m_bProfileValid);
  }
  EXPECT_EQ(m_transport.GetDevProfile(nullptr, 0), -6);

  const Bytes report = ReportBuilder(port->Layout(0), 1).Value(0x0D, 0x54, 0, 1).Get();
  FINGER_REPORT parsed{};
  EXPECT_EQ(m_transport.GetDevParsedReport(report.data(), static_cast<int>(report.size()), &parsed, 1), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Error Parameters - DevIdx is not exist");
  m_transport.Entry(0).RoleFlags[kRoleTouchScreen] = FALSE;
  EXPECT_EQ(Parse(report, &parsed), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Not support Finger.");
}

TEST_F(ProfileTest, SetDevProfileRefreshesWithoutTouchingTheCopy) {
  auto screen = Plug(SharedDescriptor("touchscreen-b"));
  AddTouchScreen(*screen);
  AddRole(*screen, 2, kInfoVendorDefined, kHandlerVendorDefined, kRoleVendorDefined);
  const DEV_PROFILE got = Profile();
  EXPECT_EQ(got.bVendorDefined, 1);
  EXPECT_EQ(got.LineTest.InputReportLength, screen->Layout(2).reportByteLength[HidP_Input]);
  EXPECT_EQ(got.LineTest.LineTest.bPresent, 0);

  // A record full of stale data: every field a fill writes comes from the
  // collection alone, the rest keeps the caller's bytes.
  DEV_PROFILE set;
  memset(&set, 0xAB, sizeof(set));
  m_transport.m_bProfileValid = FALSE;
  ASSERT_EQ(m_transport.SetDevProfile(&set, 0), 0);
  EXPECT_EQ(memcmp(&set.Fingers[0], &got.Fingers[0], sizeof(FINGER_PROFILE)), 0);
  EXPECT_EQ(set.FingerCount, 1u);
  EXPECT_EQ(set.Reserved, 0xABABABABu);
  EXPECT_EQ(set.LineTest.ReportID, 0xABABABABu);
  EXPECT_FALSE(m_transport.m_bProfileValid);
  m_log.Mark();
  EXPECT_EQ(m_transport.SetDevProfile(&set, 3), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: Error Parameters - DevIdx is not exist");
  EXPECT_EQ(m_transport.SetDevProfile(nullptr, 0), -6);
}

TEST_F(ProfileTest, ParserStatusNames) {
  char szText[512];
  const struct {
    NTSTATUS status;
    const char* pszName;
  } names[] = {{HIDP_STATUS_SUCCESS, "HIDP_STATUS_SUCCESS"},
               {HIDP_STATUS_NULL, "HIDP_STATUS_NULL"},
               {HIDP_STATUS_INVALID_REPORT_LENGTH, "HIDP_STATUS_INVALID_REPORT_LENGTH"},
               {HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE, "HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE"},
               {HIDP_STATUS_REPORT_DOES_NOT_EXIST, "HIDP_STATUS_REPORT_DOES_NOT_EXIST"},
               {HIDP_STATUS_NOT_IMPLEMENTED, "HIDP_STATUS_NOT_IMPLEMENTED"}};
  for (const auto& name : names) {
    EXPECT_EQ(hidtest::TestTransport::GetDevParsedError(name.status, szText), 0);
    EXPECT_STREQ(szText, name.pszName);
  }
  m_log.Mark();
  EXPECT_EQ(hidtest::TestTransport::GetDevParsedError(static_cast<NTSTATUS>(0xC0110011), szText), -6);
  EXPECT_EQ(m_log.LastSince(), "ERR: GetDevParsedError unknow");

  // A failed read stores 0 and logs the status under its own name.
  auto port = Plug(kBatteryPen);
  AddRole(*port, 0, kInfoActivePen, kHandlerActivePen, kRoleActivePen);
  const Bytes report = ReportBuilder(port->Layout(0), 9).Get();
  VALUE_DESC absent{};
  absent.bPresent = 1;
  absent.Usage = 0x99;
  absent.UsagePage = 0x0D;
  absent.ReportCount = 1;
  ULONG nValue = 55;
  m_log.Mark();
  EXPECT_EQ(hidtest::TestTransport::GetDevParsedUsageValue(m_transport.Entry(0).Infos[kInfoActivePen].pPreparsedData, absent,
                                                      report.data(), static_cast<ULONG>(report.size()), &nValue, 0),
            -6);
  EXPECT_EQ(nValue, 0u);
  EXPECT_EQ(m_log.LastSince(), "ERR: HIDP_STATUS_USAGE_NOT_FOUND");
}

}  // namespace
