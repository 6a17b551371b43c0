// Code-page conversions: UTF-8, the ANSI code page (1252) and US-ASCII, the
// size-query protocol, short buffers and invalid input.
#include "conformance.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const WCHAR kWide[] = L"h\u00e9llo \u20ac";         // h é llo space €
const char kUtf8[] = "h\xc3\xa9llo \xe2\x82\xac";     // 10 bytes
const char kAnsi[] = "h\xe9llo \x80";

TEST(ConformanceCodePage, Utf8RoundTripWithSizeQuery) {
  ArmLastError();
  int needed = WideCharToMultiByte(CP_UTF8, 0, kWide, -1, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(needed, 11);  // with the terminator
  char bytes[20];
  memset(bytes, 0x5A, sizeof bytes);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kWide, -1, bytes, sizeof bytes, nullptr, nullptr), 11);
  EXPECT_STREQ(bytes, kUtf8);
  EXPECT_EQ(bytes[11], 0x5A);
  WCHAR wide[20];
  for (auto& c : wide) c = 0x5A5A;
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kUtf8, -1, nullptr, 0), 8);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kUtf8, -1, wide, 20), 8);
  EXPECT_EQ(std::wstring(wide), std::wstring(kWide));
  EXPECT_EQ(wide[8], (WCHAR)0x5A5A);
  EXPECT_EQ(GetLastError(), kSentinelError);
}

TEST(ConformanceCodePage, ExplicitLengthsWriteNoTerminator) {
  char bytes[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"abc", 3, bytes, 4, nullptr, nullptr), 3);
  EXPECT_EQ(bytes[3], 'x');
  WCHAR wide[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, 4), 3);
  EXPECT_EQ(wide[3], L'x');
}

TEST(ConformanceCodePage, ShortBuffersFail) {
  char bytes[8];
  memset(bytes, 0x5A, sizeof bytes);
  ArmLastError();
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kWide, -1, bytes, 5, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(bytes[5], 0x5A);
  WCHAR wide[8];
  for (auto& c : wide) c = 0x5A5A;
  ArmLastError();
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kUtf8, -1, wide, 4), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(wide[4], (WCHAR)0x5A5A);
}

TEST(ConformanceCodePage, InvalidInputIsReplacedOrRefused) {
  const char bad[] = "a\xff" "b";
  WCHAR wide[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, bad, 3, wide, 8), 3);
  EXPECT_EQ(wide[1], (WCHAR)0xFFFD);
  ArmLastError();
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, 3, wide, 8), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
  const WCHAR lone[] = {L'a', (WCHAR)0xD800, L'b', 0};
  char bytes[8];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 3, bytes, 8, nullptr, nullptr), 5);
  EXPECT_EQ(std::string(bytes, 5), "a\xef\xbf\xbd" "b");
  ArmLastError();
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, bytes, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
}

TEST(ConformanceCodePage, AnsiIsWindows1252WithDefaultCharacters) {
  char bytes[16];
  BOOL usedDefault = TRUE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kWide, -1, bytes, sizeof bytes, nullptr, &usedDefault), 8);
  EXPECT_STREQ(bytes, kAnsi);
  EXPECT_FALSE(usedDefault);
  WCHAR wide[16];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, kAnsi, -1, wide, 16), 8);
  EXPECT_EQ(std::wstring(wide), std::wstring(kWide));
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"x\u4e2dy", 3, bytes, sizeof bytes, nullptr, &usedDefault), 3);
  EXPECT_EQ(std::string(bytes, 3), "x?y");
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"x\u4e2dy", 3, bytes, sizeof bytes, "*", nullptr), 3);
  EXPECT_EQ(std::string(bytes, 3), "x*y");
  EXPECT_EQ(WideCharToMultiByte(20127, WC_NO_BEST_FIT_CHARS, L"a\u00e9\u4e2d", 3, bytes, sizeof bytes, nullptr,
                                &usedDefault), 3);
  EXPECT_EQ(std::string(bytes, 3), "a??");
  EXPECT_TRUE(usedDefault);
}

DWORD ErrorOf(int result) { return result == 0 ? GetLastError() : ERROR_SUCCESS; }

TEST(ConformanceCodePage, BadArgumentsAreRefused) {
  char bytes[8];
  WCHAR wide[8];
  ArmLastError();
  EXPECT_EQ(ErrorOf(WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, bytes, 8, nullptr, nullptr)), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ErrorOf(WideCharToMultiByte(CP_UTF8, 0, L"a", 0, bytes, 8, nullptr, nullptr)), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ErrorOf(WideCharToMultiByte(CP_UTF8, 0, L"a", -1, nullptr, 8, nullptr, nullptr)), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ErrorOf(MultiByteToWideChar(CP_UTF8, 0, "a", -1, wide, -1)), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ErrorOf(MultiByteToWideChar(12345, 0, "a", -1, wide, 8)), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(ConformanceCodePage, Utf8TakesNoDefaultCharacterAndFewFlags) {
  char bytes[8];
  WCHAR wide[8];
  BOOL usedDefault;
  ArmLastError();
  EXPECT_EQ(ErrorOf(WideCharToMultiByte(CP_UTF8, 0, L"a", -1, bytes, 8, nullptr, &usedDefault)), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ErrorOf(WideCharToMultiByte(CP_UTF8, 0, L"a", -1, bytes, 8, "?", nullptr)), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ErrorOf(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, L"a", -1, bytes, 8, nullptr, nullptr)), (DWORD)ERROR_INVALID_FLAGS);
  EXPECT_EQ(ErrorOf(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", -1, wide, 8)), (DWORD)ERROR_INVALID_FLAGS);
  EXPECT_EQ(ErrorOf(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED | MB_COMPOSITE, "a", -1, wide, 8)), (DWORD)ERROR_INVALID_FLAGS);
}

}  // namespace
