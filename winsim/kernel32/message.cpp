// kernel32: FormatMessageA/W over the system message table (and message
// strings the caller passes), with escapes, inserts and the buffer rules.
#include "codepage.h"
#include "systemtexts.h"

#include <winsim/kernel32.h>
#include <winsim/sim/object.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

using namespace winsim;

namespace {

// Languages the machine's message table answers: neutral, user and system
// default, and English.
bool EnglishLanguage(DWORD language) {
  return language == 0 || language == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) || language == 0x0800 ||
         language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US) || language == LANG_ENGLISH;
}

// Where insert arguments come from: an array of DWORD_PTR, or a va_list read
// one pointer-sized argument at a time.
class Arguments {
 public:
  Arguments(DWORD flags, va_list* list) : m_array((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0), m_list(list) {}
  ~Arguments() {
    if (m_copied) va_end(m_copy);
  }
  bool Present() const { return m_list != nullptr; }
  DWORD_PTR Get(unsigned index) {
    if (m_array) return reinterpret_cast<const DWORD_PTR*>(m_list)[index - 1];
    if (!m_copied) {
      va_copy(m_copy, *m_list);
      m_copied = true;
    }
    while (m_fetched.size() < index) m_fetched.push_back(va_arg(m_copy, DWORD_PTR));
    return m_fetched[index - 1];
  }

 private:
  bool m_array;
  va_list* m_list;
  va_list m_copy;
  bool m_copied = false;
  std::vector<DWORD_PTR> m_fetched;
};

// One insert "%N!fmt!" formatted as text of the call's width (`wide`): "s" is
// a string of the call's own width, "S" of the other; numbers go through printf.
bool FormatInsert(const std::wstring& insertFormat, DWORD_PTR value, bool wide, std::wstring& out) {
  std::wstring conversion = insertFormat.empty() ? L"s" : insertFormat;
  const wchar_t type = conversion.back();
  if (type == L's' || type == L'S') {
    const bool argWide = (type == L's') == wide;
    if (!value) return false;
    out += argWide ? std::wstring(reinterpret_cast<const wchar_t*>(value))
                   : codepage::WideFromAnsi(reinterpret_cast<const char*>(value));
    return true;
  }
  std::string format = "%";
  for (wchar_t c : conversion.substr(0, conversion.size() - 1)) {
    if (c == L'l' || c == L'h' || c == L'I' || c == L'6' || c == L'4') continue;  // sizes: value is pointer-sized
    format.push_back(static_cast<char>(c));
  }
  if (std::wcschr(L"diuxXoc", type) == nullptr) return false;
  format += type == L'c' ? "c" : std::string("ll") + static_cast<char>(type);
  char text[64];
  if (type == L'c')
    std::snprintf(text, sizeof text, format.c_str(), static_cast<int>(value));
  else
    std::snprintf(text, sizeof text, format.c_str(), static_cast<unsigned long long>(value));
  out += codepage::WideFromAnsi(text);
  return true;
}

// Expands the escapes and inserts of a message text. With
// FORMAT_MESSAGE_MAX_WIDTH_MASK the text's own line breaks become spaces.
DWORD Expand(const std::wstring& text, DWORD flags, va_list* list, bool wide, std::wstring& out) {
  const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  const bool oneLine = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0;
  Arguments arguments(flags, list);
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
      size_t end = i;
      unsigned index = 0;
      while (end < text.size() && end < i + 2 && std::iswdigit(text[end])) index = index * 10 + (text[end++] - L'0');
      std::wstring insertFormat;
      if (end < text.size() && text[end] == L'!') {
        size_t close = text.find(L'!', end + 1);
        if (close == std::wstring::npos) return ERROR_INVALID_PARAMETER;
        insertFormat = text.substr(end + 1, close - end - 1);
        end = close + 1;
      }
      if (ignoreInserts) {
        out += text.substr(i - 1, end - i + 1);
      } else if (!arguments.Present() || !FormatInsert(insertFormat, arguments.Get(index), wide, out)) {
        return ERROR_INVALID_PARAMETER;
      }
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
  return Expand(text, flags, arguments, wide, result);
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
