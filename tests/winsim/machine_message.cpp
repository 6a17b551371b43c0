// Every error code winsim's winerror.h declares has its system text, so a
// code that the emulation (or the product) can meet never formats to nothing.
#include <gtest/gtest.h>
#include <platform/win32.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// "#define ERROR_NAME 123L" (and WAIT_TIMEOUT, NO_ERROR): the name and code.
bool ErrorDeclaration(const std::string& line, std::string& name, DWORD& code) {
  std::istringstream words(line);
  std::string define, value;
  if (!(words >> define >> name >> value) || define != "#define") return false;
  if (name.rfind("ERROR_", 0) != 0 && name != "WAIT_TIMEOUT" && name != "NO_ERROR") return false;
  if (value.size() < 2 || value.back() != 'L' || value.find_first_not_of("0123456789") != value.size() - 1)
    return false;
  code = static_cast<DWORD>(std::stoul(value));
  return true;
}

TEST(MachineMessages, EveryDeclaredErrorCodeHasAnEnglishText) {
  std::ifstream header(WINSIM_WINERROR_H);
  ASSERT_TRUE(header.good());
  int checked = 0;
  for (std::string line; std::getline(header, line);) {
    std::string name;
    DWORD code = 0;
    if (!ErrorDeclaration(line, name, code)) continue;
    WCHAR text[1024];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x0409,
                                  text, 1024, nullptr);
    EXPECT_GT(length, 2u) << name << " has no system text";
    if (length > 2) {
      EXPECT_EQ(std::wstring(text + length - 2), L"\r\n") << name;
    }
    ++checked;
  }
  EXPECT_GT(checked, 100);
}

TEST(MachineMessages, BadArgumentsNeverCrash) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, nullptr, 10, nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  WCHAR text[64];
  // Inserts without arguments, and an unterminated insert format.
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, text, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  DWORD_PTR args[] = {1};
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, L"%1!d", 0, 0, text, 64,
                           reinterpret_cast<va_list*>(args)),
            0u);
  // winsim fills no inserts in: a call with arguments for them fails plainly.
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, L"%1 has %2!u! files", 0, 0,
                           text, 64, reinterpret_cast<va_list*>(args)),
            0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
  EXPECT_EQ(FormatMessageW(0, nullptr, ERROR_ACCESS_DENIED, 0, text, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

}  // namespace
