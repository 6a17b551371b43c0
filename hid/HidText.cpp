#include "hid/HidText.h"

#include <cwchar>
#include <cwctype>

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

namespace {
const WCHAR kCollectionMark[] = L"&col";
}  // namespace

std::wstring DevicePartOf(PCWSTR pszPath) {
  if (pszPath == nullptr) return std::wstring();
  const std::wstring strPath(pszPath);
  const size_t nHardware = strPath.find(L'#');
  if (nHardware == std::wstring::npos) return std::wstring();
  const size_t nInstance = strPath.find(L'#', nHardware + 1);
  const size_t nMarkLen = wcslen(kCollectionMark);
  const size_t nEnd = nInstance == std::wstring::npos ? strPath.size() : nInstance;
  for (size_t i = nHardware + 1; i + nMarkLen <= nEnd; ++i)
    if (SamePathText(strPath.substr(i, nMarkLen), kCollectionMark)) return strPath.substr(0, i);
  return std::wstring();
}

bool SamePathText(const std::wstring& strA, const std::wstring& strB) {
  if (strA.size() != strB.size()) return false;
  for (size_t i = 0; i < strA.size(); ++i)
    if (std::towlower(static_cast<wint_t>(strA[i])) != std::towlower(static_cast<wint_t>(strB[i]))) return false;
  return true;
}
