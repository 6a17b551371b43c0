// Links, and what a handle says about the file behind it: attributes, link
// count and final name. What the debug log relies on to write only into its
// own file.
#include "conformance.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <string>

namespace {

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
  if (text.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (std::towlower(text[text.size() - tail.size() + i]) != std::towlower(tail[i])) return false;
  return true;
}

class ConformanceLinks : public testing::Test {
 protected:
  const std::wstring m_dir = L"conformance-links";

  void SetUp() override {
    Cleanup();
    ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr)) << GetLastError();
    ASSERT_TRUE(CreateDirectoryW(Path(L"sub").c_str(), nullptr)) << GetLastError();
    WriteText(L"a.txt", "abc");
  }
  void TearDown() override { Cleanup(); }
  void Cleanup() {
    for (const wchar_t* name : {L"a.txt", L"hard.txt", L"link.txt", L"sub\\b.txt"}) DeleteFileW(Path(name).c_str());
    for (const wchar_t* name : {L"dirlink", L"sub"}) RemoveDirectoryW(Path(name).c_str());
    RemoveDirectoryW(m_dir.c_str());
  }
  std::wstring Path(const wchar_t* name) const { return m_dir + L"\\" + name; }

  HANDLE Open(const wchar_t* name, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(Path(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       disposition, flags, nullptr);
  }
  void WriteText(const wchar_t* name, const char* text) {
    HANDLE file = Open(name, GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr));
    CloseHandle(file);
  }
  std::wstring FinalName(HANDLE file) {
    wchar_t name[1024];
    const DWORD length = GetFinalPathNameByHandleW(file, name, 1024, VOLUME_NAME_DOS);
    EXPECT_GT(length, 0u) << GetLastError();
    return length > 0 && length < 1024 ? std::wstring(name, length) : std::wstring();
  }
  BY_HANDLE_FILE_INFORMATION Info(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    memset(&info, 0xCC, sizeof(info));
    EXPECT_TRUE(GetFileInformationByHandle(file, &info)) << GetLastError();
    return info;
  }
  // Symbolic links need a privilege on Windows (or developer mode with the
  // unprivileged flag); without it the test cannot make one.
  bool MakeSymbolicLink(const wchar_t* name, const wchar_t* target, DWORD flags) {
    if (CreateSymbolicLinkW(Path(name).c_str(), target, flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
      return true;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
    return false;
  }
};

TEST_F(ConformanceLinks, FinalNameIsTheLongFormOfTheFullName) {
  HANDLE file = Open(L"a.txt", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const std::wstring name = FinalName(file);
  EXPECT_EQ(name.rfind(L"\\\\?\\", 0), 0u) << "a drive name in the Win32 file namespace";
  EXPECT_EQ(name.substr(5, 2), L":\\");
  EXPECT_TRUE(EndsWithNoCase(name, L"\\conformance-links\\a.txt"));

  // Too small a buffer: nothing written, the size needed with its terminator.
  wchar_t small[4] = {L'x', L'x', L'x', L'x'};
  EXPECT_EQ(GetFinalPathNameByHandleW(file, small, 4, VOLUME_NAME_DOS), name.size() + 1);
  EXPECT_EQ(GetFinalPathNameByHandleW(file, small, 0, VOLUME_NAME_DOS), name.size() + 1);
  std::wstring exact(name.size(), L'x');
  EXPECT_EQ(GetFinalPathNameByHandleW(file, exact.data(), static_cast<DWORD>(name.size()), VOLUME_NAME_DOS),
            name.size() + 1);
  // Without the volume: the name from the drive's root folder on.
  wchar_t rooted[1024];
  const DWORD length = GetFinalPathNameByHandleW(file, rooted, 1024, VOLUME_NAME_NONE);
  EXPECT_EQ(std::wstring(rooted, length), name.substr(6));
  CloseHandle(file);

  ArmLastError();
  EXPECT_EQ(GetFinalPathNameByHandleW(INVALID_HANDLE_VALUE, rooted, 1024, VOLUME_NAME_DOS), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ConformanceLinks, InformationByHandleCountsTheFilesNames) {
  HANDLE file = Open(L"a.txt", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info = Info(file);
  EXPECT_EQ(info.nNumberOfLinks, 1u);
  EXPECT_EQ(info.nFileSizeHigh, 0u);
  EXPECT_EQ(info.nFileSizeLow, 3u);
  EXPECT_EQ(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), 0u);

  ASSERT_TRUE(CreateHardLinkW(Path(L"hard.txt").c_str(), Path(L"a.txt").c_str(), nullptr)) << GetLastError();
  EXPECT_EQ(Info(file).nNumberOfLinks, 2u);
  HANDLE other = Open(L"hard.txt", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  const BY_HANDLE_FILE_INFORMATION same = Info(other);
  EXPECT_EQ(same.nNumberOfLinks, 2u);
  EXPECT_EQ(same.nFileIndexLow, info.nFileIndexLow);
  EXPECT_EQ(same.nFileIndexHigh, info.nFileIndexHigh);
  EXPECT_EQ(same.dwVolumeSerialNumber, info.dwVolumeSerialNumber);
  CloseHandle(other);
  ArmLastError();
  EXPECT_FALSE(CreateHardLinkW(Path(L"hard.txt").c_str(), Path(L"a.txt").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(file);
  ASSERT_TRUE(DeleteFileW(Path(L"hard.txt").c_str()));
  file = Open(L"a.txt", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Info(file).nNumberOfLinks, 1u);
  CloseHandle(file);

  ArmLastError();
  EXPECT_FALSE(GetFileInformationByHandle(INVALID_HANDLE_VALUE, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ConformanceLinks, OpenReparsePointOpensAPlainFileAsItIs) {
  HANDLE file = Open(L"a.txt", GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, "d", 1, &written, nullptr));
  EXPECT_EQ(Info(file).dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_TRUE(EndsWithNoCase(FinalName(file), L"\\conformance-links\\a.txt"));
  CloseHandle(file);
}

TEST_F(ConformanceLinks, AFileLinkIsFollowedUnlessItIsOpenedItself) {
  if (!MakeSymbolicLink(L"link.txt", L"a.txt", 0)) GTEST_SKIP() << "no privilege to make symbolic links";
  const DWORD attributes = GetFileAttributesW(Path(L"link.txt").c_str());
  EXPECT_NE(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

  HANDLE followed = Open(L"link.txt", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(followed, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(EndsWithNoCase(FinalName(followed), L"\\conformance-links\\a.txt"));
  EXPECT_EQ(Info(followed).dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(Info(followed).nFileSizeLow, 3u);
  CloseHandle(followed);

  HANDLE itself = Open(L"link.txt", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_NE(itself, INVALID_HANDLE_VALUE);
  EXPECT_NE(Info(itself).dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_TRUE(EndsWithNoCase(FinalName(itself), L"\\conformance-links\\link.txt"));
  CloseHandle(itself);

  ASSERT_TRUE(DeleteFileW(Path(L"link.txt").c_str()));  // the link goes, its target stays
  EXPECT_NE(GetFileAttributesW(Path(L"a.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ConformanceLinks, AFileReachedThroughAFolderLinkHasItsTargetsName) {
  if (!MakeSymbolicLink(L"dirlink", L"sub", SYMBOLIC_LINK_FLAG_DIRECTORY))
    GTEST_SKIP() << "no privilege to make symbolic links";
  const DWORD attributes = GetFileAttributesW(Path(L"dirlink").c_str());
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  // The link is on the way, not the last name: the flag does not stop it.
  HANDLE file = Open(L"dirlink\\b.txt", GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(EndsWithNoCase(FinalName(file), L"\\conformance-links\\sub\\b.txt"));
  EXPECT_EQ(Info(file).nNumberOfLinks, 1u);
  CloseHandle(file);
  EXPECT_NE(GetFileAttributesW(Path(L"sub\\b.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(RemoveDirectoryW(Path(L"dirlink").c_str()));  // the link goes, the folder stays
  EXPECT_NE(GetFileAttributesW(Path(L"sub\\b.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
