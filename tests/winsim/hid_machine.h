// Helpers of the HID bus machine tests: machines of the kit, and overlapped
// transfers that own their event.
#pragma once

#include "hid_conformance.h"
#include "simkit/Machine.h"

#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/touch_controller.h>

#include <string>
#include <vector>

namespace hidmachine {

using hidtest::CommandReport;
using hidtest::Handle;
using hidtest::Open;
using simkit::VirtualMachine;

// One overlapped transfer with its own event and a 64-byte buffer.
struct Transfer {
  Transfer() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { overlapped.hEvent = event.Get(); }
  handles::ObjectHandle event;
  OVERLAPPED overlapped{};
  std::vector<BYTE> buffer = std::vector<BYTE>(64, 0);
  DWORD bytes = 0;

  // Starts a read; true when it is pending.
  bool StartRead(HANDLE handle) {
    if (ReadFile(handle, buffer.data(), (DWORD)buffer.size(), &bytes, &overlapped)) return false;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    return true;
  }
  // The result of the transfer once it has finished: its error code.
  DWORD Finish(HANDLE handle) {
    if (GetOverlappedResult(handle, &overlapped, &bytes, TRUE)) return ERROR_SUCCESS;
    return GetLastError();
  }
};

// Writes a report on an overlapped handle and waits for the write; its error code.
inline DWORD WriteReport(HANDLE handle, const std::vector<BYTE>& report) {
  Transfer transfer;
  if (WriteFile(handle, report.data(), (DWORD)report.size(), &transfer.bytes, &transfer.overlapped)) return ERROR_SUCCESS;
  if (GetLastError() != ERROR_IO_PENDING) return GetLastError();
  return transfer.Finish(handle);
}

// The pair number as the product reads it: between the first two '&' after
// the second '#'; empty when the path has none.
inline std::wstring PairNumber(const std::wstring& path) {
  const size_t p1 = path.find(L'#');
  const size_t p2 = p1 == std::wstring::npos ? p1 : path.find(L'#', p1 + 1);
  const size_t p3 = p2 == std::wstring::npos ? p2 : path.find(L'&', p2 + 1);
  const size_t p4 = p3 == std::wstring::npos ? p3 : path.find(L'&', p3 + 1);
  if (p4 == std::wstring::npos) return {};
  return path.substr(p3 + 1, p4 - p3 - 1);
}

}  // namespace hidmachine
