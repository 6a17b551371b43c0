// Code-page behaviour that depends on winsim's 32-bit WCHAR, and the UTF-8
// helpers winsim uses for host names.
#include <gtest/gtest.h>
#include <platform/win32.h>
#include <winsim/sim/text.h>

#include <string>

namespace {

TEST(MachineCodePage, CharactersPastTheBmpAreOneWideCharacter) {
  char bytes[8];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\U0001F600", 1, bytes, 8, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(bytes, 4), "\xf0\x9f\x98\x80");
  WCHAR wide[4];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, 4, wide, 4), 1);
  EXPECT_EQ(wide[0], (WCHAR)0x1F600);
  const WCHAR beyond[] = {(WCHAR)0x110000};
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, beyond, 1, bytes, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
}

TEST(MachineCodePage, MalformedUtf8BecomesOneReplacementPerMaximalPart) {
  // Overlong, encoded surrogate, truncated sequence, stray continuation byte.
  EXPECT_EQ(winsim::WideFromUtf8("\xc0\xaf"), L"\uFFFD\uFFFD");
  EXPECT_EQ(winsim::WideFromUtf8("\xed\xa0\x80" "a"), L"\uFFFD\uFFFD\uFFFDa");
  EXPECT_EQ(winsim::WideFromUtf8("\xe2\x82"), L"\uFFFD");
  EXPECT_EQ(winsim::WideFromUtf8("\x80z"), L"\uFFFDz");
  std::wstring out;
  EXPECT_FALSE(winsim::TryWideFromUtf8("ok\xff", out));
  EXPECT_TRUE(winsim::TryWideFromUtf8("\xc3\xa9", out));
  EXPECT_EQ(out, L"\u00e9");
  EXPECT_EQ(winsim::Utf8FromWide(std::wstring(1, (wchar_t)0xDC00)), "\xef\xbf\xbd");
}

TEST(MachineCodePage, UsAsciiDropsTheHighBitOfBytes) {
  WCHAR wide[4];
  EXPECT_EQ(MultiByteToWideChar(20127, 0, "A\xc1", 2, wide, 4), 2);
  EXPECT_EQ(wide[1], L'A');
}

}  // namespace
