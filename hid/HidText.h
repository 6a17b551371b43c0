// Device paths as 8-bit text, for log lines and the maker-word test, and
// the device part that the collections of one device share.
#pragma once

#include "platform/win32.h"

#include <string>

// The path converted to US-ASCII (code page 20127); characters outside it
// become '?'. A null path gives empty text.
class CAsciiPath {
 public:
  explicit CAsciiPath(PCWSTR pszPath);
  const char* c_str() const { return m_strText.c_str(); }
  bool Contains(const char* pszWord) const { return m_strText.find(pszWord) != std::string::npos; }

 private:
  std::string m_strText;
};

// The text of a HID interface path before its collection part (the "&colNN"
// of the hardware part, between the first and second '#'): what every
// collection of one device shares, "\\?\hid#vorn0101" for
// "\\?\hid#vorn0101&col02#0000#{...}". Empty when the path names no
// collection.
std::wstring DevicePartOf(PCWSTR pszPath);
// Whether two path texts are equal regardless of letter case, as Windows
// compares names.
bool SamePathText(const std::wstring& strA, const std::wstring& strB);
