// SIDs between their binary form and their string form.
#include "sid.h"

#include <cstring>
#include <cwchar>

namespace winsim {

namespace {

constexpr uint64_t kMaxAuthority = 0xFFFFFFFFFFFFull;  // 48 bits

// A decimal number, or a hexadecimal one written with "0x".
std::optional<uint64_t> ParseNumber(const std::wstring& text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
  size_t digitsFrom = hex ? 2 : 0;
  uint64_t value = 0;
  for (size_t i = digitsFrom; i < text.size(); ++i) {
    wchar_t c = text[i];
    unsigned digit;
    if (c >= L'0' && c <= L'9') digit = c - L'0';
    else if (hex && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
    else if (hex && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
    else return std::nullopt;
    value = value * (hex ? 16 : 10) + digit;
    if (value > kMaxAuthority) return std::nullopt;
  }
  return value;
}

}  // namespace

// "S-1-<authority>-<sub>..." to the binary SID.
std::optional<std::vector<BYTE>> ParseSid(const std::wstring& text) {
  if (text.size() < 4 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return std::nullopt;
  std::vector<uint64_t> fields;
  size_t start = 2;
  for (;;) {
    size_t end = text.find(L'-', start);
    auto field = ParseNumber(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (!field) return std::nullopt;
    fields.push_back(*field);
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  if (fields.size() < 2 || fields[0] != SID_REVISION) return std::nullopt;
  size_t subCount = fields.size() - 2;
  if (subCount > SID_MAX_SUB_AUTHORITIES) return std::nullopt;
  std::vector<BYTE> sid(kSidHeaderBytes + subCount * sizeof(DWORD));
  sid[0] = SID_REVISION;
  sid[1] = static_cast<BYTE>(subCount);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<BYTE>(fields[1] >> (8 * (5 - i)));
  for (size_t i = 0; i < subCount; ++i) {
    if (fields[2 + i] > 0xFFFFFFFFu) return std::nullopt;
    auto sub = static_cast<DWORD>(fields[2 + i]);
    std::memcpy(sid.data() + kSidHeaderBytes + i * sizeof(DWORD), &sub, sizeof(DWORD));
  }
  return sid;
}

std::wstring FormatSid(const SID* sid) {
  uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid->IdentifierAuthority.Value[i];
  wchar_t authorityText[24];
  if (authority >> 32)
    std::swprintf(authorityText, 24, L"0x%012llX", static_cast<unsigned long long>(authority));
  else
    std::swprintf(authorityText, 24, L"%llu", static_cast<unsigned long long>(authority));
  std::wstring text = L"S-1-" + std::wstring(authorityText);
  for (BYTE i = 0; i < sid->SubAuthorityCount; ++i) {
    DWORD sub;
    std::memcpy(&sub, reinterpret_cast<const BYTE*>(sid) + kSidHeaderBytes + i * sizeof(DWORD), sizeof(DWORD));
    text += L"-" + std::to_wstring(sub);
  }
  return text;
}

}  // namespace winsim
