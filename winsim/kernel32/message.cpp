// kernel32: FormatMessageA/W over the system message table (and message
// strings the caller passes), with the escapes and the buffer rules; inserts
// pass through unfilled.
#include "codepage.h"
#include "systemtexts.h"

#include <winsim/kernel32.h>
#include <winsim/sim/object.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

using namespace winsim;

namespace {

// Languages the machine's message table answers: neutral, user and system
// default, and English.
bool EnglishLanguage(DWORD language) {
  return language == 0 || language == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) || language == 0x0800 ||
         language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US) || language == LANG_ENGLISH;
}

// The end of the insert "%N" or "%N!fmt!" whose digits start at `digits`, or
// npos when its format has no closing '!'.
size_t InsertEnd(const std::wstring& text, size_t digits) {
  size_t end = digits;
  while (end < text.size() && end < digits + 2 && std::iswdigit(text[end])) ++end;
  if (end >= text.size() || text[end] != L'!') return end;
  const size_t close = text.find(L'!', end + 1);
  return close == std::wstring::npos ? close : close + 1;
}

// Expands the escapes of a message text. Inserts are kept as they are
// (FORMAT_MESSAGE_IGNORE_INSERTS), which is how the system's texts are read;
// winsim fills none in: a call that asks for that fails. With
// FORMAT_MESSAGE_MAX_WIDTH_MASK the text's own line breaks become spaces.
DWORD Expand(const std::wstring& text, DWORD flags, bool arguments, std::wstring& out) {
  const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  const bool oneLine = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (oneLine && c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
      out.push_back(L' ');
      ++i;
      continue;
    }
    if (c != L'%' || i + 1 >= text.size()) {
      out.push_back(c);
      continue;
    }
    const wchar_t next = text[++i];
    if (next >= L'1' && next <= L'9') {
      const size_t end = InsertEnd(text, i);
      if (end == std::wstring::npos) return ERROR_INVALID_PARAMETER;
      if (!ignoreInserts) return arguments ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER;
      out += text.substr(i - 1, end - i + 1);
      i = end - 1;
      continue;
    }
    switch (next) {
      case L'0': return ERROR_SUCCESS;  // ends the message without a line break
      case L'n': out += L"\r\n"; break;
      case L'r': out += L"\r"; break;
      case L't': out += L"\t"; break;
      default: out.push_back(next); break;  // "%%", "% ", "%.", "%!"
    }
  }
  return ERROR_SUCCESS;
}

DWORD MessageText(DWORD flags, LPCVOID source, DWORD id, DWORD language, bool wide, std::wstring& text) {
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (!source) return ERROR_INVALID_PARAMETER;
    text = wide ? std::wstring(static_cast<const wchar_t*>(source))
                : codepage::WideFromAnsi(static_cast<const char*>(source));
    return ERROR_SUCCESS;
  }
  if ((flags & FORMAT_MESSAGE_FROM_HMODULE) && source) return ERROR_RESOURCE_TYPE_NOT_FOUND;  // no message tables
  if (!(flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE))) return ERROR_INVALID_PARAMETER;
  if (!EnglishLanguage(language)) return ERROR_RESOURCE_LANG_NOT_FOUND;
  const wchar_t* found = messages::SystemText(id);
  if (!found) return ERROR_MR_MID_NOT_FOUND;
  text = found;
  return ERROR_SUCCESS;
}

// Hands the result out: into the caller's buffer of `size` characters, or
// (FORMAT_MESSAGE_ALLOCATE_BUFFER) into a LocalAlloc block of at least `size`
// characters whose address goes where `buffer` points.
template <class Char>
DWORD Deliver(const std::basic_string<Char>& result, DWORD flags, Char* buffer, DWORD size) {
  const size_t needed = result.size() + 1;
  if (!buffer) return Fail(ERROR_INVALID_PARAMETER, 0u);
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* block = static_cast<Char*>(LocalAlloc(LMEM_FIXED, std::max<size_t>(needed, size) * sizeof(Char)));
    if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY, 0u);
    std::memcpy(block, result.c_str(), needed * sizeof(Char));
    *reinterpret_cast<Char**>(buffer) = block;
    return static_cast<DWORD>(result.size());
  }
  if (needed > size) return Fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  std::memcpy(buffer, result.c_str(), needed * sizeof(Char));
  return static_cast<DWORD>(result.size());
}

DWORD Format(DWORD flags, LPCVOID source, DWORD id, DWORD language, va_list* arguments, bool wide,
             std::wstring& result) {
  std::wstring text;
  if (DWORD error = MessageText(flags, source, id, language, wide, text)) return error;
  return Expand(text, flags, arguments != nullptr, result);
}

}  // namespace

extern "C" {

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                            DWORD nSize, va_list* Arguments) {
  std::wstring result;
  if (DWORD error = Format(dwFlags, lpSource, dwMessageId, dwLanguageId, Arguments, true, result))
    return Fail(error, 0u);
  return Deliver(result, dwFlags, lpBuffer, nSize);
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments) {
  std::wstring result;
  if (DWORD error = Format(dwFlags, lpSource, dwMessageId, dwLanguageId, Arguments, false, result))
    return Fail(error, 0u);
  return Deliver(codepage::AnsiFromWide(result), dwFlags, lpBuffer, nSize);
}

}  // extern "C"
