// UTF-8 coding shared by the code-page calls, winsim's own text helpers and
// the service database's file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace winsim::utf8 {

constexpr char32_t kReplacement = 0xFFFD;

inline bool ValidScalar(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

// Decodes one character at `text` (n > 0 bytes available). Returns the bytes
// consumed; on malformed input `valid` is false and the consumed bytes are the
// maximal ill-formed subpart, which stands for one U+FFFD.
size_t Decode(const unsigned char* text, size_t n, char32_t& cp, bool& valid);

// Bytes that Encode writes for `cp` (which must be a valid scalar value).
size_t EncodedLength(char32_t cp);
// Writes EncodedLength(cp) bytes.
void Encode(char32_t cp, char* out);

}  // namespace winsim::utf8
