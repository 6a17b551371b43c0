// UTF-8 <-> wide text for winsim's own use (host file names, arguments, the
// machine's files). wchar_t holds one code point here.
#pragma once

#include <string>
#include <string_view>

namespace winsim {

// Invalid input (malformed UTF-8; lone surrogates or values past U+10FFFF in
// wide text) becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);
// Strict decoding: false on malformed UTF-8.
bool TryWideFromUtf8(std::string_view text, std::wstring& out);

}  // namespace winsim
