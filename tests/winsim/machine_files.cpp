// Where the machine keeps its files, and what other processes on the same
// machine folder see of them.
#include "simkit/ChildProcess.h"
#include "simkit/Folder.h"

#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/devices.h>
#include <winsim/sim/files.h>
#include <winsim/sim/machine.h>


namespace {

namespace fs = std::filesystem;

bool WriteAll(HANDLE file, const std::string& text) {
  DWORD written = 0;
  return WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) && written == text.size();
}

TEST(MachineFiles, DriveCIsTheMachinesFolderWhateverTheCase) {
  winsim::ScopedMachine machine;
  fs::create_directories(machine->DriveC() / "VornPalmix" / "VrnDbgLog");
  EXPECT_NE(GetFileAttributesW(L"c:\\VORNPALMIX\\vrndbglog") & FILE_ATTRIBUTE_DIRECTORY, 0u);
  HANDLE file = CreateFileW(L"C:/vornpalmix\\VRNDBGLOG\\Day.log", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WriteAll(file, "line\r\n"));
  CloseHandle(file);
  EXPECT_EQ(simkit::FileText(machine->DriveC() / "VornPalmix" / "VrnDbgLog" / "Day.log"), "line\r\n");
  EXPECT_FALSE(fs::exists(machine->DriveC() / "vornpalmix"));
}

TEST(MachineFiles, NamesNeverLeaveTheDrive) {
  winsim::ScopedMachine machine;
  HANDLE file = CreateFileW(L"C:\\..\\..\\..\\escape.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_TRUE(fs::exists(machine->DriveC() / "escape.txt"));
  EXPECT_FALSE(fs::exists(machine->config().root / "escape.txt"));
  // Relative names start at the current folder, C:\.
  EXPECT_NE(GetFileAttributesW(L"escape.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesW(L"\\\\?\\C:\\escape.txt"), INVALID_FILE_ATTRIBUTES);
}

TEST(MachineFiles, NamesThatCannotBeFilesAreRefused) {
  winsim::ScopedMachine machine;
  struct Case {
    std::wstring name;
    DWORD error;
  } cases[] = {
      {L"D:\\file.txt", ERROR_PATH_NOT_FOUND},
      {L"\\\\server\\share\\file.txt", ERROR_BAD_NETPATH},
      {L"C:\\a\x01b", ERROR_INVALID_NAME},
      {L"C:\\a:stream", ERROR_INVALID_NAME},
      {L"C:\\" + std::wstring(300, L'x'), ERROR_FILENAME_EXCED_RANGE},
      {std::wstring(L"C:\\a") + wchar_t(0xD800), ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateFileW(c.name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(nullptr), INVALID_FILE_ATTRIBUTES);
}

TEST(MachineFiles, WindowsNamesOfHostPaths) {
  winsim::ScopedMachine machine;
  EXPECT_EQ(winsim::WindowsPathOf(machine->DriveC() / "dir" / "app.exe"), L"C:\\dir\\app.exe");
  EXPECT_EQ(winsim::WindowsPathOf(machine->DriveC()), L"C:\\");
  EXPECT_EQ(winsim::WindowsPathOf("/usr/lib/x.so"), L"Z:\\usr\\lib\\x.so");
  EXPECT_EQ(winsim::HostPathOf(L"z:\\usr\\lib"), fs::path("/usr/lib"));
  EXPECT_EQ(winsim::HostPathOf(L"C:\\a\\..\\b"), machine->DriveC() / "b");
  EXPECT_FALSE(winsim::HostPathOf(L"Q:\\x").has_value());
}

// A device that answers every read with one byte.
class OneByteDevice : public winsim::IoObject {
 public:
  BOOL Read(LPVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED) override {
    if (length) *static_cast<char*>(buffer) = 'D';
    if (transferred) *transferred = length ? 1 : 0;
    return TRUE;
  }
  BOOL Write(LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) override { return winsim::Fail(ERROR_INVALID_FUNCTION, FALSE); }
};

TEST(MachineFiles, DevicePathsGoToTheDeviceNamespace) {
  winsim::ScopedMachine machine;
  std::wstring opened;
  machine->Part<winsim::DeviceNamespace>().Register(
      L"\\\\?\\fake#", [&](const std::wstring& path, DWORD, DWORD, DWORD, DWORD&) {
        opened = path;
        return std::make_shared<OneByteDevice>();
      });
  HANDLE device = CreateFileW(L"\\\\?\\FAKE#1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(opened, L"\\\\?\\FAKE#1");
  char byte = 0;
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(device, &byte, 1, &count, nullptr));
  EXPECT_EQ(byte, 'D');
  SetLastError(0xdeadbeef);
  EXPECT_EQ(SetFilePointer(device, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  CloseHandle(device);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CreateFileW(L"\\\\.\\nothing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(MachineFiles, SharingHoldsBetweenProcessesOfOneMachineFolder) {
  winsim::ScopedMachine machine;
  const std::string root = machine->config().root.string();
  const std::wstring name = L"C:\\shared.log";
  {
    simkit::ChildProcess child({WINSIM_HELPER_PATH, "hold-file", "C:\\shared.log", std::to_string(GENERIC_WRITE),
                                std::to_string(FILE_SHARE_READ | FILE_SHARE_WRITE)},
                               simkit::MachineEnvironment(root));
    ASSERT_EQ(child.ReadLine(), "ready");
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(child.Finish(), 0);
  }
  simkit::ChildProcess child(
      {WINSIM_HELPER_PATH, "hold-file", "C:\\shared.log", std::to_string(GENERIC_WRITE), std::to_string(FILE_SHARE_READ)},
      simkit::MachineEnvironment(root));
  ASSERT_EQ(child.ReadLine(), "ready");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeleteFileW(name.c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(child.Finish(), 0);
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
}

}  // namespace
