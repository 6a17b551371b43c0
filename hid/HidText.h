// Device paths as 8-bit text, for log lines and the maker-word test.
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
