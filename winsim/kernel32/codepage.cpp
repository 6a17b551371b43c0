// kernel32: code-page conversions for UTF-8, the ANSI code page (the machine
// uses Windows-1252) and US-ASCII (20127). WCHAR holds one code point here,
// so a wide count is a count of code points; a surrogate value on its own,
// or anything past U+10FFFF, is invalid wide text.
#include "codepage.h"
#include "../core/utf8.h"

#include <winsim/kernel32.h>
#include <winsim/sim/object.h>

#include <cstring>
#include <string>

using namespace winsim;

namespace {

enum class CodePage { Utf8, Windows1252, UsAscii };

bool Lookup(UINT id, CodePage& page) {
  switch (id) {
    case CP_ACP:
    case CP_THREAD_ACP:
    case 1252: page = CodePage::Windows1252; return true;
    case CP_UTF8: page = CodePage::Utf8; return true;
    case 20127: page = CodePage::UsAscii; return true;
    default: return false;
  }
}

// Windows-1252's 0x80-0x9F; the five bytes it leaves undefined map to the C1
// controls of the same value, as Windows maps them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// US-ASCII as Windows maps it: bytes past 0x7F lose their high bit.
wchar_t DecodeSingleByte(CodePage page, unsigned char byte) {
  if (page == CodePage::UsAscii) return byte & 0x7F;
  if (byte >= 0x80 && byte < 0xA0) return kWindows1252High[byte - 0x80];
  return byte;
}

bool EncodeSingleByte(CodePage page, wchar_t c, char& byte) {
  const auto value = static_cast<uint32_t>(c);
  if (value < 0x80 || (page == CodePage::Windows1252 && value >= 0xA0 && value <= 0xFF)) {
    byte = static_cast<char>(value);
    return true;
  }
  if (page == CodePage::Windows1252)
    for (unsigned i = 0; i < 32; ++i)
      if (kWindows1252High[i] == value) {
        byte = static_cast<char>(0x80 + i);
        return true;
      }
  return false;
}

bool DecodeUtf8(const char* text, size_t length, bool strict, std::wstring& out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < length;) {
    char32_t cp;
    bool valid;
    i += utf8::Decode(bytes + i, length - i, cp, valid);
    if (!valid && strict) return false;
    out.push_back(static_cast<wchar_t>(cp));
  }
  return true;
}

bool EncodeUtf8(const wchar_t* text, size_t length, bool strict, std::string& out) {
  for (size_t i = 0; i < length; ++i) {
    const auto value = static_cast<uint32_t>(text[i]);
    if (!utf8::ValidScalar(value) && strict) return false;
    const char32_t cp = utf8::ValidScalar(value) ? value : utf8::kReplacement;
    char buffer[4];
    utf8::Encode(cp, buffer);
    out.append(buffer, utf8::EncodedLength(cp));
  }
  return true;
}

// Copies a converted text out with the size-query protocol: no buffer asks
// for the size; a short buffer is filled as far as it goes and fails.
template <class Char>
int CopyOut(const std::basic_string<Char>& text, Char* out, int capacity) {
  const size_t length = text.size();
  if (length > static_cast<size_t>(INT32_MAX)) return Fail(ERROR_INVALID_PARAMETER, 0);
  if (capacity == 0) return static_cast<int>(length);
  if (length > static_cast<size_t>(capacity)) {
    std::memcpy(out, text.data(), static_cast<size_t>(capacity) * sizeof(Char));
    return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  }
  std::memcpy(out, text.data(), length * sizeof(Char));
  return static_cast<int>(length);
}

constexpr DWORD kMbFlags = MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
constexpr DWORD kWcFlags = WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;

DWORD CheckMultiByteFlags(CodePage page, DWORD flags) {
  if (page == CodePage::Utf8) return (flags & ~MB_ERR_INVALID_CHARS) ? ERROR_INVALID_FLAGS : ERROR_SUCCESS;
  if ((flags & ~kMbFlags) || ((flags & MB_PRECOMPOSED) && (flags & MB_COMPOSITE))) return ERROR_INVALID_FLAGS;
  return ERROR_SUCCESS;
}

DWORD CheckWideFlags(CodePage page, DWORD flags) {
  if (page == CodePage::Utf8) return (flags & ~WC_ERR_INVALID_CHARS) ? ERROR_INVALID_FLAGS : ERROR_SUCCESS;
  return (flags & ~kWcFlags) ? ERROR_INVALID_FLAGS : ERROR_SUCCESS;
}

std::string EncodeSingleBytes(CodePage page, const wchar_t* text, size_t length, char defaultChar, bool& usedDefault) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char byte;
    if (!EncodeSingleByte(page, text[i], byte)) {
      byte = defaultChar;
      usedDefault = true;
    }
    out.push_back(byte);
  }
  return out;
}

// The argument rules both directions share: some input, a non-negative
// output size with a buffer when it is not zero, and no buffer reuse.
DWORD CheckBuffers(const void* input, int inputLength, const void* output, int outputLength) {
  if (!input || inputLength == 0 || outputLength < 0 || (!output && outputLength) || input == output)
    return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

}  // namespace

namespace winsim::codepage {

std::wstring WideFromAnsi(std::string_view text) {
  std::wstring out;
  for (char c : text) out.push_back(DecodeSingleByte(CodePage::Windows1252, static_cast<unsigned char>(c)));
  return out;
}

std::string AnsiFromWide(std::wstring_view text) {
  bool usedDefault = false;
  return EncodeSingleBytes(CodePage::Windows1252, text.data(), text.size(), '?', usedDefault);
}

}  // namespace winsim::codepage

extern "C" {

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  if (DWORD error = CheckBuffers(lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar)) return Fail(error, 0);
  ::CodePage page;
  if (!Lookup(CodePage, page)) return Fail(ERROR_INVALID_PARAMETER, 0);
  if (DWORD error = CheckMultiByteFlags(page, dwFlags)) return Fail(error, 0);
  const size_t length = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  std::wstring wide;
  if (page == ::CodePage::Utf8) {
    if (!DecodeUtf8(lpMultiByteStr, length, (dwFlags & MB_ERR_INVALID_CHARS) != 0, wide))
      return Fail(ERROR_NO_UNICODE_TRANSLATION, 0);
  } else {
    for (size_t i = 0; i < length; ++i) wide.push_back(DecodeSingleByte(page, static_cast<unsigned char>(lpMultiByteStr[i])));
  }
  return CopyOut(wide, lpWideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (DWORD error = CheckBuffers(lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte)) return Fail(error, 0);
  ::CodePage page;
  if (!Lookup(CodePage, page)) return Fail(ERROR_INVALID_PARAMETER, 0);
  if (page == ::CodePage::Utf8 && (lpDefaultChar || lpUsedDefaultChar)) return Fail(ERROR_INVALID_PARAMETER, 0);
  if (DWORD error = CheckWideFlags(page, dwFlags)) return Fail(error, 0);
  const size_t length = cchWideChar < 0 ? std::wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  std::string bytes;
  if (page == ::CodePage::Utf8) {
    if (!EncodeUtf8(lpWideCharStr, length, (dwFlags & WC_ERR_INVALID_CHARS) != 0, bytes))
      return Fail(ERROR_NO_UNICODE_TRANSLATION, 0);
  } else {
    bool usedDefault = false;
    bytes = EncodeSingleBytes(page, lpWideCharStr, length, lpDefaultChar ? *lpDefaultChar : '?', usedDefault);
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
  }
  return CopyOut(bytes, lpMultiByteStr, cbMultiByte);
}

}  // extern "C"
