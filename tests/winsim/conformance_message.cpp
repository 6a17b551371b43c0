// FormatMessage: the system's English texts, buffer rules, inserts kept.
#include "conformance.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kEnglishUs = 0x0409;

std::string SystemTextA(DWORD code, DWORD language = kEnglishUs, DWORD extraFlags = 0) {
  char buffer[512];
  DWORD length = FormatMessageA(kSystem | extraFlags, nullptr, code, language, buffer, sizeof buffer, nullptr);
  return std::string(buffer, length);
}

TEST(ConformanceFormatMessage, SystemTextsAreWindowsOwnWords) {
  EXPECT_EQ(SystemTextA(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(SystemTextA(WAIT_TIMEOUT), "The wait operation timed out.\r\n");
  EXPECT_EQ(SystemTextA(ERROR_SHARING_VIOLATION, 0),
            "The process cannot access the file because it is being used by another process.\r\n");
  EXPECT_EQ(SystemTextA(ERROR_DEVICE_NOT_CONNECTED), "The device is not connected.\r\n");
  EXPECT_EQ(SystemTextA(ERROR_MR_MID_NOT_FOUND),
            "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n");
  WCHAR wide[128];
  for (auto& c : wide) c = 0x5A5A;
  DWORD length = FormatMessageW(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, wide, 128, nullptr);
  EXPECT_EQ(length, 19u);
  EXPECT_EQ(std::wstring(wide), L"Access is denied.\r\n");
  EXPECT_EQ(wide[20], (WCHAR)0x5A5A);
  // Only the English table is installed.
  char buffer[64];
  ArmLastError();
  EXPECT_EQ(FormatMessageA(kSystem, nullptr, ERROR_ACCESS_DENIED, 0x0407, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
}

TEST(ConformanceFormatMessage, TextsEndInALineBreakAndUnknownCodesFail) {
  const std::string text = SystemTextA(ERROR_ACCESS_DENIED, 0);
  ASSERT_GT(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  char buffer[64] = "untouched";
  ArmLastError();
  EXPECT_EQ(FormatMessageA(kSystem, nullptr, 0x2000ABCD, kEnglishUs, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
}

TEST(ConformanceFormatMessage, ShortBuffersFailAndAllocatedOnesFit) {
  const std::string expected = SystemTextA(ERROR_ACCESS_DENIED, 0);
  char small[5];
  ArmLastError();
  EXPECT_EQ(FormatMessageA(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, small, sizeof small, nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  char exact[64];
  EXPECT_EQ(FormatMessageA(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, exact, (DWORD)expected.size() + 1, nullptr),
            (DWORD)expected.size());
  char* allocated = nullptr;
  DWORD length = FormatMessageA(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_ACCESS_DENIED, 0,
                                reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(length, (DWORD)expected.size());
  EXPECT_EQ(std::string(allocated), expected);
  EXPECT_EQ(LocalFree(allocated), nullptr);
}

TEST(ConformanceFormatMessage, IgnoredInsertsAreKept) {
  char buffer[64];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "keep %1 here%0 not this",
                                0, 0, buffer, sizeof buffer, nullptr);
  EXPECT_EQ(std::string(buffer, length), "keep %1 here");
}

TEST(ConformanceFormatMessage, MaxWidthMaskTurnsLineBreaksIntoSpaces) {
  std::string text = SystemTextA(ERROR_ACCESS_DENIED, 0);
  ASSERT_GT(text.size(), 2u);
  text.replace(text.size() - 2, 2, " ");
  EXPECT_EQ(SystemTextA(ERROR_ACCESS_DENIED, 0, FORMAT_MESSAGE_MAX_WIDTH_MASK), text);
}

}  // namespace
