// Looks at the virtual controller from outside vorndev:
//
//   vdev_probe control      tries on \\.\VornVdev what the driver does not
//                           serve: a read, a write, a control code it does not
//                           know and one of the HID class driver's. Each must
//                           fail with ERROR_INVALID_FUNCTION at once.
//   vdev_probe collections  the controller's HID interfaces: path, usage page
//                           and usage, input/output/feature report lengths.
//
// Prints one line a try or an interface; exits 0 when all went as it should.
#include <windows.h>

// MinGW's hidsdi.h declares C functions without saying so to C++.
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <handles/win32.h>
#include <vdev/control.h>
#include <vdev/tool/hidpaths.h>

namespace {

// IOCTL_HID_GET_COLLECTION_INFORMATION: CTL_CODE(FILE_DEVICE_KEYBOARD, 106, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr DWORD kHidCollectionInformation = (0x0Bu << 16) | (106u << 2);

bool Refused(const char* what, BOOL ok) {
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  std::printf("%s: %s %lu\n", what, ok ? "succeeded," : "error", static_cast<unsigned long>(error));
  return !ok && error == ERROR_INVALID_FUNCTION;
}

int Control() {
  const handles::FileHandle owner(CreateFileW(VDEV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!owner) {
    std::printf("open: error %lu\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  const HANDLE control = owner.Get();
  BYTE buffer[64] = {};
  DWORD bytes = 0;
  bool clean = Refused("read", ReadFile(control, buffer, sizeof(buffer), &bytes, nullptr));
  clean &= Refused("write", WriteFile(control, buffer, sizeof(buffer), &bytes, nullptr));
  const DWORD unknown = vdev::ControlCode(0x9FF, vdev::kReadAccess);
  clean &= Refused("unknown control code",
                   DeviceIoControl(control, unknown, buffer, sizeof(buffer), buffer, sizeof(buffer), &bytes, nullptr));
  clean &= Refused("HID class control code", DeviceIoControl(control, kHidCollectionInformation, nullptr, 0, buffer,
                                                             sizeof(buffer), &bytes, nullptr));
  return clean ? 0 : 1;
}

bool PrintCollection(const wchar_t* path) {
  const handles::FileHandle device(
      CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!device) {
    std::printf("%ls open: error %lu\n", path, static_cast<unsigned long>(GetLastError()));
    return false;
  }
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  HIDP_CAPS caps{};
  const bool ok =
      HidD_GetPreparsedData(device.Get(), &preparsed) && HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  if (preparsed != nullptr) HidD_FreePreparsedData(preparsed);
  if (!ok) return std::printf("%ls caps: error\n", path), false;
  std::printf("%ls usage %04X:%04X input %u output %u feature %u\n", path, caps.UsagePage, caps.Usage,
              caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength);
  return true;
}

int Collections() {
  std::vector<std::wstring> paths;
  if (!vdev::HidInterfacePaths(paths)) return 1;
  bool ok = true;
  for (const std::wstring& path : paths)
    if (vdev::IsControllerPath(path)) ok &= PrintCollection(path.c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "control") == 0) return Control();
  if (argc == 2 && std::strcmp(argv[1], "collections") == 0) return Collections();
  std::fprintf(stderr, "usage: vdev_probe control|collections\n");
  return 2;
}
