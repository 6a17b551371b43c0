// Helpers of the HID conformance tests: enumeration of the HID interfaces
// present and the vendor collections of an attached touch controller.
#pragma once

#include "conformance.h"
#include "tests/support/CommandReport.h"

#include <handles/win32.h>

#include <string>
#include <vector>

namespace hidtest {

constexpr USHORT kControllerVendorId = 0x2C1A;
constexpr DWORD kDetailHeaderBytes = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

// The HID interface class, as HidD_GetHidGuid reports it on every system.
GUID HidGuid();

struct HidInterface {
  std::wstring path;
  HIDD_ATTRIBUTES attributes{};
  HIDP_CAPS caps{};
};

// Every present HID interface that opens with access 0, in enumeration order.
std::vector<HidInterface> PresentInterfaces();

// The collections of the first touch controller attached, if any.
struct Controller {
  std::wstring touchScreen, vendorInput, vendorOutput;
  bool found = false;
};
Controller FindController();

// An opened collection, closed at scope exit.
using Handle = handles::FileHandle;

inline HANDLE Open(const std::wstring& path, DWORD access, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE,
                   DWORD flags = FILE_FLAG_OVERLAPPED) {
  return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

using vorntest::CommandReport;

}  // namespace hidtest
