#include "hid/HidText.h"

#include <cwchar>

namespace {
constexpr UINT kUsAsciiCodePage = 20127;
}

CAsciiPath::CAsciiPath(PCWSTR pszPath) {
  if (pszPath == nullptr || pszPath[0] == L'\0') return;
  const int nBytes = WideCharToMultiByte(kUsAsciiCodePage, 0, pszPath, -1, nullptr, 0, nullptr, nullptr);
  if (nBytes > 1) {
    m_strText.resize(static_cast<size_t>(nBytes));
    if (WideCharToMultiByte(kUsAsciiCodePage, 0, pszPath, -1, m_strText.data(), nBytes, nullptr, nullptr) ==
        nBytes) {
      m_strText.resize(static_cast<size_t>(nBytes) - 1);
      return;
    }
  }
  // Without the code page the same mapping is done here.
  m_strText.clear();
  for (const WCHAR* p = pszPath; *p != L'\0'; ++p)
    m_strText.push_back(static_cast<unsigned long>(*p) < 0x80 ? static_cast<char>(*p) : '?');
}
