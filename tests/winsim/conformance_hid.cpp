// HID collections of the touch controller as the class driver serves them:
// access rights and sharing, report lengths, overlapped reads that wait for
// the device, cancellation, and the firmware version exchange. Skipped when
// no controller is attached.
#include "hid_conformance.h"

#include <gtest/gtest.h>

using namespace hidtest;

namespace {

class ControllerIo : public testing::Test {
 protected:
  void SetUp() override {
    m_controller = FindController();
    if (!m_controller.found) GTEST_SKIP() << "no touch controller attached";
    m_event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_overlapped.hEvent = m_event.Get();
  }

  HANDLE OpenInput() { return Open(m_controller.vendorInput, GENERIC_READ); }
  HANDLE OpenOutput() { return Open(m_controller.vendorOutput, GENERIC_WRITE); }

  // Writes one command report and waits for the write to finish.
  void Send(HANDLE output, const std::vector<BYTE>& report) {
    OVERLAPPED overlapped{};
    handles::ObjectHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    overlapped.hEvent = event.Get();
    DWORD written = 0;
    if (!WriteFile(output, report.data(), (DWORD)report.size(), &written, &overlapped)) {
      ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
      ASSERT_TRUE(GetOverlappedResult(output, &overlapped, &written, TRUE));
    }
    EXPECT_EQ(written, report.size());
  }

  Controller m_controller;
  handles::ObjectHandle m_event;
  OVERLAPPED m_overlapped{};
  BYTE m_buffer[64] = {};
};

}  // namespace

TEST_F(ControllerIo, FirmwareVersionQueryIsAnsweredOnTheVendorInput) {
  Handle input(OpenInput()), output(OpenOutput());
  ASSERT_TRUE(input.Valid() && output.Valid());
  Send(output.Get(), CommandReport({0x53, 0x00, 0x00, 0x01}));
  DWORD read = 0;
  if (!ReadFile(input.Get(), m_buffer, sizeof m_buffer, &read, &m_overlapped)) {
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_EQ(WaitForSingleObject(m_event.Get(), 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(input.Get(), &m_overlapped, &read, FALSE));
  }
  EXPECT_EQ(read, sizeof m_buffer);
  EXPECT_EQ(m_buffer[0], 2);
  EXPECT_EQ(m_buffer[2], 0x52);
  EXPECT_LE(m_buffer[3], 0x0F);
}

TEST_F(ControllerIo, AccessZeroAllowsQueriesButNoTransfers) {
  Handle none(Open(m_controller.vendorOutput, 0));
  ASSERT_TRUE(none.Valid());
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  EXPECT_TRUE(HidD_GetAttributes(none.Get(), &attributes));
  EXPECT_EQ(attributes.VendorID, kControllerVendorId);
  const auto report = CommandReport({0x53, 0x00, 0x00, 0x01});
  DWORD count = 0;
  ArmLastError();
  EXPECT_FALSE(WriteFile(none.Get(), report.data(), (DWORD)report.size(), &count, &m_overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  Handle inputNone(Open(m_controller.vendorInput, 0));
  ArmLastError();
  EXPECT_FALSE(ReadFile(inputNone.Get(), m_buffer, sizeof m_buffer, &count, &m_overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(ControllerIo, WriteToAReadOnlyHandleIsDenied) {
  Handle readOnly(Open(m_controller.vendorOutput, GENERIC_READ));
  ASSERT_TRUE(readOnly.Valid());
  const auto report = CommandReport({0x53, 0x00, 0x00, 0x01});
  DWORD written = 0;
  ArmLastError();
  EXPECT_FALSE(WriteFile(readOnly.Get(), report.data(), (DWORD)report.size(), &written, &m_overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(ControllerIo, TransfersMustCarryWholeReports) {
  Handle input(OpenInput()), output(OpenOutput());
  auto report = CommandReport({0x53, 0x00, 0x00, 0x01});
  DWORD count = 0;
  ArmLastError();
  EXPECT_FALSE(ReadFile(input.Get(), m_buffer, sizeof m_buffer - 1, &count, &m_overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
  ArmLastError();
  EXPECT_FALSE(WriteFile(output.Get(), report.data(), 0, &count, &m_overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
  ArmLastError();
  EXPECT_FALSE(WriteFile(output.Get(), report.data(), (DWORD)report.size() - 1, &count, &m_overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  report[0] = 0xa5;  // no such output report
  ArmLastError();
  EXPECT_FALSE(WriteFile(output.Get(), report.data(), (DWORD)report.size(), &count, &m_overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(ControllerIo, OverlappedEventMustBeAnEvent) {
  Handle input(OpenInput()), other(OpenInput());
  OVERLAPPED overlapped{};
  overlapped.hEvent = other.Get();
  DWORD read = 0;
  ArmLastError();
  EXPECT_FALSE(ReadFile(input.Get(), m_buffer, sizeof m_buffer, &read, &overlapped));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(ControllerIo, PendingReadWaitsAndIsCancelled) {
  Handle input(OpenInput());
  DWORD read = 0xdeadbeef;
  ArmLastError();
  ASSERT_FALSE(ReadFile(input.Get(), m_buffer, sizeof m_buffer, &read, &m_overlapped));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  ArmLastError();
  EXPECT_FALSE(GetOverlappedResult(input.Get(), &m_overlapped, &read, FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
  EXPECT_EQ(WaitForSingleObject(m_event.Get(), 50), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(CancelIo(input.Get()));
  EXPECT_EQ(WaitForSingleObject(m_event.Get(), 5000), WAIT_OBJECT_0);
  ArmLastError();
  EXPECT_FALSE(GetOverlappedResult(input.Get(), &m_overlapped, &read, TRUE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
  EXPECT_EQ(read, 0u);
}

TEST_F(ControllerIo, PendingReadCompletesWhenTheAnswerArrives) {
  Handle input(OpenInput()), output(OpenOutput());
  DWORD read = 0;
  ASSERT_FALSE(ReadFile(input.Get(), m_buffer, sizeof m_buffer, &read, &m_overlapped));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  Send(output.Get(), CommandReport({0x53, 0x00, 0x00, 0x01}));
  ASSERT_TRUE(GetOverlappedResult(input.Get(), &m_overlapped, &read, TRUE));
  EXPECT_EQ(read, sizeof m_buffer);
  EXPECT_EQ(m_buffer[2], 0x52);
}

TEST_F(ControllerIo, SharingFollowsTheShareModes) {
  Handle exclusive(Open(m_controller.vendorInput, GENERIC_READ, 0));
  ASSERT_TRUE(exclusive.Valid());
  ArmLastError();
  Handle second(Open(m_controller.vendorInput, GENERIC_READ));
  EXPECT_FALSE(second.Valid());
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  Handle query(Open(m_controller.vendorInput, 0));
  EXPECT_TRUE(query.Valid()) << "an open without read or write access takes no part in sharing";
  exclusive.Reset();
  Handle third(Open(m_controller.vendorInput, GENERIC_READ));
  EXPECT_TRUE(third.Valid());
}

TEST_F(ControllerIo, CollectionsHaveTheVendorReportLayout) {
  for (const auto& entry : PresentInterfaces()) {
    if (entry.path == m_controller.vendorInput) {
      EXPECT_EQ(entry.caps.UsagePage, 0xFF00);
      EXPECT_EQ(entry.caps.Usage, 0x0001);
      EXPECT_EQ(entry.caps.OutputReportByteLength, 0);
    }
    if (entry.path == m_controller.vendorOutput) {
      EXPECT_EQ(entry.caps.Usage, 0x0001);
      EXPECT_EQ(entry.caps.InputReportByteLength, 0);
      EXPECT_GT(entry.caps.OutputReportByteLength, 3);
    }
  }
}

TEST(ConformanceHidHandles, NonHidHandlesAreRefused) {
  handles::ObjectHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  ArmLastError();
  EXPECT_FALSE(HidD_GetAttributes(nullptr, &attributes));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(ConformanceHidHandles, MissingPathIsNotFound) {
  ArmLastError();
  HANDLE handle = CreateFileW(L"\\\\?\\hid#vorn_missing&col01#5&00000000&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                              GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}
