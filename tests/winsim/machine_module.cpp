// The executable as the machine shows it: its Windows name and its version
// resource, with the knobs tests use.
#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/executable.h>
#include <winsim/sim/machine.h>

#include <fstream>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::wstring ModuleName() {
  WCHAR name[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
  return std::wstring(name, length);
}

class MachineModule : public testing::Test {
 protected:
  winsim::ScopedMachine m_machine;
  winsim::Executable& Exe() { return m_machine->Part<winsim::Executable>(); }
  void PlaceExecutable(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "MZ";
    Exe().SetHostPath(path);
  }
  std::vector<BYTE> VersionBlock() {
    DWORD handle = 0xdeadbeef;
    DWORD size = GetFileVersionInfoSizeW(ModuleName().c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    std::vector<BYTE> block(size);
    EXPECT_TRUE(size && GetFileVersionInfoW(ModuleName().c_str(), 0, size, block.data()));
    return block;
  }
};

TEST_F(MachineModule, NameUnderDriveCIsACDrivePathElsewhereZ) {
  PlaceExecutable(m_machine->DriveC() / "VornPalmix" / "VornPalmixSvc.exe");
  EXPECT_EQ(ModuleName(), L"C:\\VornPalmix\\VornPalmixSvc.exe");
  char narrow[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, narrow, MAX_PATH), 0u);
  EXPECT_STREQ(narrow, "C:\\VornPalmix\\VornPalmixSvc.exe");
  Exe().SetHostPath("/opt/tools/svc.exe");
  EXPECT_EQ(ModuleName(), L"Z:\\opt\\tools\\svc.exe");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1234), nullptr, 0), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST_F(MachineModule, AnsiNameReplacesWhatCodePage1252CannotHold) {
  PlaceExecutable(m_machine->DriveC() / "Caf\xc3\xa9\xe2\x82\xac\xe4\xb8\xad.exe");
  EXPECT_EQ(ModuleName(), L"C:\\Caf\u00e9\u20ac\u4e2d.exe");
  char narrow[MAX_PATH];
  ASSERT_EQ(GetModuleFileNameA(nullptr, narrow, MAX_PATH), 13u);
  EXPECT_STREQ(narrow, "C:\\Caf\xe9\x80?.exe");
}

TEST_F(MachineModule, VersionResourceCarriesTheProjectVersion) {
  PlaceExecutable(m_machine->DriveC() / "app.exe");
  auto block = VersionBlock();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID*>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, (DWORD)((VORN_VERSION_MAJOR << 16) | VORN_VERSION_MINOR));
  EXPECT_EQ(fixed->dwFileVersionLS, (DWORD)((VORN_VERSION_PATCH << 16) | VORN_VERSION_TWEAK));
  DWORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translation), &length));
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(*translation, 0x04B00409u);
  WCHAR* text = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion", reinterpret_cast<LPVOID*>(&text), &length));
  const std::wstring expected = std::to_wstring(VORN_VERSION_MAJOR) + L"." + std::to_wstring(VORN_VERSION_MINOR) + L"." +
                                std::to_wstring(VORN_VERSION_PATCH) + L"." + std::to_wstring(VORN_VERSION_TWEAK);
  EXPECT_EQ(std::wstring(text), expected);
  EXPECT_EQ(length, expected.size() + 1);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\Missing", reinterpret_cast<LPVOID*>(&text), &length));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST_F(MachineModule, ACutBlockIsNeverReadPastItsEnd) {
  PlaceExecutable(m_machine->DriveC() / "app.exe");
  DWORD size = GetFileVersionInfoSizeW(ModuleName().c_str(), nullptr);
  ASSERT_GT(size, 100u);
  std::vector<BYTE> cut(size / 2);
  ASSERT_TRUE(GetFileVersionInfoW(ModuleName().c_str(), 0, (DWORD)cut.size(), cut.data()));
  LPVOID value = nullptr;
  UINT length = 0;
  EXPECT_TRUE(VerQueryValueW(cut.data(), L"\\", &value, &length));
  EXPECT_FALSE(VerQueryValueW(cut.data(), L"\\VarFileInfo\\Translation", &value, &length));
}

TEST_F(MachineModule, WithoutAVersionResourceTheSizeIsZero) {
  PlaceExecutable(m_machine->DriveC() / "app.exe");
  Exe().SetVersionResource(false);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileVersionInfoSizeW(ModuleName().c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);
  BYTE buffer[16];
  EXPECT_FALSE(GetFileVersionInfoW(ModuleName().c_str(), 0, sizeof buffer, buffer));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileVersionInfoSizeW(L"C:\\missing.exe", nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

}  // namespace
