#include "utf8.h"

#include <winsim/sim/text.h>

namespace winsim::utf8 {

namespace {
struct LeadInfo {
  size_t length;              // 0: not a lead byte
  unsigned char secondLow, secondHigh;  // range of the first continuation byte
};

// Second-byte ranges exclude overlong forms, surrogates and values past U+10FFFF.
LeadInfo InfoOf(unsigned char lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}
}  // namespace

size_t Decode(const unsigned char* text, size_t n, char32_t& cp, bool& valid) {
  const LeadInfo info = InfoOf(text[0]);
  valid = false;
  cp = kReplacement;
  if (info.length == 1) {
    valid = true;
    cp = text[0];
    return 1;
  }
  if (info.length == 0 || n < 2 || text[1] < info.secondLow || text[1] > info.secondHigh) return 1;
  char32_t value = text[0] & (0x7F >> info.length);
  for (size_t i = 1; i < info.length; ++i) {
    if (i >= n || (text[i] & 0xC0) != 0x80) return i;
    value = (value << 6) | (text[i] & 0x3F);
  }
  valid = true;
  cp = value;
  return info.length;
}

size_t EncodedLength(char32_t cp) {
  if (cp < 0x80) return 1;
  if (cp < 0x800) return 2;
  if (cp < 0x10000) return 3;
  return 4;
}

void Encode(char32_t cp, char* out) {
  const size_t length = EncodedLength(cp);
  if (length == 1) {
    out[0] = static_cast<char>(cp);
    return;
  }
  static constexpr unsigned char kLeadMarks[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (size_t i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  out[0] = static_cast<char>(kLeadMarks[length] | cp);
}

}  // namespace winsim::utf8

namespace winsim {

namespace {
bool DecodeAll(std::string_view text, std::wstring& out, bool strict) {
  out.clear();
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    bool valid;
    i += utf8::Decode(bytes + i, text.size() - i, cp, valid);
    if (!valid && strict) return false;
    out.push_back(static_cast<wchar_t>(cp));
  }
  return true;
}
}  // namespace

std::wstring WideFromUtf8(std::string_view text) {
  std::wstring out;
  DecodeAll(text, out, false);
  return out;
}

bool TryWideFromUtf8(std::string_view text, std::wstring& out) { return DecodeAll(text, out, true); }

std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    char32_t cp = utf8::ValidScalar(static_cast<uint32_t>(c)) ? static_cast<char32_t>(c) : utf8::kReplacement;
    char buffer[4];
    utf8::Encode(cp, buffer);
    out.append(buffer, utf8::EncodedLength(cp));
  }
  return out;
}

}  // namespace winsim
